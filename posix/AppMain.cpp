#include "AppMain.h"

#include <vector>

#include "FilRead.h"
#include "MainDialog.h"
#include "TerminalDialog.h"

std::string ProgramFolder(const char* argv0) {
  std::string path = argv0 != nullptr ? argv0 : "";
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

int RunUpdater(int argc, char** argv) {
  std::string folder = ProgramFolder(argc > 0 ? argv[0] : nullptr);
  std::vector<char> appDir(folder.begin(), folder.end());
  appDir.push_back('\0');
  strAppDir = appDir.data();

  CTerminalDialogLayer terminal;
  SetDialogLayer(&terminal);
  ResetLastMessageId();
  int status;
  {
    CMainDialog dialog;
    dialog.Create("MainWindow");
    status = dialog.ExitStatus();
  }
  SetDialogLayer(nullptr);
  strAppDir = nullptr;
  return status;
}
