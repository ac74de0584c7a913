#include "CommandLineMain.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AppMain.h"
#include "CliModes.h"
#include "CoreEntry.h"
#include "Settings.h"
#include "UpdaterRun.h"
#include "Win32Dialog.h"
#include "WinWriteGuard.h"

#include "WindowsApi.h"

namespace {

bool Usable(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// A windowed program starts without standard handles unless its starter
// redirected them: then the console of the program that started it, if
// any, takes the output, and its input the answers.
void AttachParentConsole() {
  const bool output = Usable(GetStdHandle(STD_OUTPUT_HANDLE));
  const bool error = Usable(GetStdHandle(STD_ERROR_HANDLE));
  if (output && error) return;
  if (AttachConsole(ATTACH_PARENT_PROCESS) == 0) return;
  FILE* reopened = nullptr;
  if (!output) freopen_s(&reopened, "CONOUT$", "w", stdout);
  if (!error) freopen_s(&reopened, "CONOUT$", "w", stderr);
  if (!Usable(GetStdHandle(STD_INPUT_HANDLE))) freopen_s(&reopened, "CONIN$", "r", stdin);
}

// The program's name in the texts: its file name without ".exe" or ".com".
std::string ProgramNameOf(const std::string& modulePath) {
  const size_t slash = modulePath.find_last_of("\\/");
  std::string name = slash == std::string::npos ? modulePath : modulePath.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

}  // namespace

bool HasCommandLineOptions(int argc) { return argc > 1; }

int RunWindowsCommandLine(void* instance, int argc, char** argv, bool console,
                          const char* transportName, const std::function<bool()>& prepare) {
  if (!console) AttachParentConsole();
  // The program's own path in front of the arguments: its name in the texts
  // and its folder for the release, however it was started.
  const std::string modulePath = zfwin::ProgramModulePath();
  std::string program = ProgramNameOf(modulePath);
  std::vector<char*> args(argv, argv + argc);
  if (args.empty()) args.push_back(nullptr);
  args[0] = &program[0];
  CliOptions options;
  const int parsed = ParseCommandLine(static_cast<int>(args.size()), args.data(), &options);
  std::fflush(stdout);
  if (parsed >= 0) return parsed;
  options.transportName = transportName;
  const int started = StartCommandLine(options, prepare);
  if (started >= 0) return started;

  // An update runs on the console when there is one (the terminal's
  // dialogs, as on Linux), else in the program's windows; the write guard
  // holds the system awake either way, and off shutdown from the windows.
  CWinWriteGuard writeGuard;
  options.writeGuard = &writeGuard;
  std::unique_ptr<CWin32DialogLayer> windows;
  if (!Usable(GetStdHandle(STD_OUTPUT_HANDLE))) {
    RegisterCommonControls();
    windows = std::make_unique<CWin32DialogLayer>(instance);
    windows->SetWriteGuard(&writeGuard);
    options.dialogLayer = windows.get();
  }
  std::string path = modulePath;
  args[0] = &path[0];
  const int status =
      RunCommandLine(static_cast<int>(args.size()), args.data(), options, ThisCoreOperations());
  std::fflush(stdout);
  std::fflush(stderr);
  return status;
}
