// Start-up shared by ZEDRIKFU.exe and ZEDRIKFU-sim.exe.
#include "AppMain.h"

#include <string>
#include <vector>

#include "FilRead.h"
#include "RunHistory.h"
#include "Settings.h"
#include "Win32Dialog.h"
#include "WinWriteGuard.h"
#include "WinMainDialog.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

namespace {

// OLE for the lifetime of the run (the file chooser hosts shell objects).
class OleSession {
 public:
  OleSession() : ok_(SUCCEEDED(OleInitialize(nullptr))) {}
  ~OleSession() {
    if (ok_) OleUninitialize();
  }
  OleSession(const OleSession&) = delete;
  OleSession& operator=(const OleSession&) = delete;

 private:
  bool ok_;
};

}  // namespace

void RegisterCommonControls() {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = 0xFF;  // every common-control class
  InitCommonControlsEx(&controls);
}

int RunWindowsUpdater(void* instance) {
  RegisterCommonControls();
  OleSession ole;

  const std::string folder = zfwin::FolderOfModulePath(zfwin::ProgramModulePath().c_str());
  std::vector<char> appDir(folder.begin(), folder.end());
  appDir.push_back('\0');
  strAppDir = appDir.data();

  const RunClock clock;
  int status;
  {
    CWinWriteGuard writeGuard;
    CWin32DialogLayer layer(instance);
    layer.SetWriteGuard(&writeGuard);
    SetDialogLayer(&layer);
    SetWriteGuard(&writeGuard);
    {
      // Its destruction frees the image and closes a device left open.
      CWinMainDialog dialog;
      dialog.Create("MainWindow");
      status = dialog.ExitStatus();
      // A run that erased keeps its record, as on the command line.
      if (dialog.WriteStarted()) {
        CliOptions run;
        run.program = zfwin::ProgramNameOf(zfwin::ProgramModulePath());
        RecordUpdate(run, dialog.RunOutcome(), dialog.Firmware(), clock.Seconds());
      }
    }
    SetWriteGuard(nullptr);
    SetDialogLayer(nullptr);
  }
  strAppDir = nullptr;
  return status;
}
