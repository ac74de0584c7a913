#include "CommandLineMain.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AppMain.h"
#include "CliModes.h"
#include "CoreEntry.h"
#include "ExitStatus.h"
#include "Settings.h"
#include "UpdaterRun.h"
#include "Win32Dialog.h"
#include "WinWriteGuard.h"

#include "WideText.h"
#include "WindowsApi.h"
#include <shellapi.h>

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

// The console shows the output, UTF-8 text, in UTF-8 while the program
// runs; its code page is the starter's again afterwards. Without a console
// nothing changes (the bytes are UTF-8 either way).
class ConsoleOutputInUtf8 {
 public:
  ConsoleOutputInUtf8() : saved_(GetConsoleOutputCP()) {
    if (saved_ != 0 && saved_ != CP_UTF8 && SetConsoleOutputCP(CP_UTF8) == 0) saved_ = 0;
  }
  ~ConsoleOutputInUtf8() {
    if (saved_ != 0 && saved_ != CP_UTF8) SetConsoleOutputCP(saved_);
  }
  ConsoleOutputInUtf8(const ConsoleOutputInUtf8&) = delete;
  ConsoleOutputInUtf8& operator=(const ConsoleOutputInUtf8&) = delete;

 private:
  UINT saved_;
};

struct LocalFreer {
  void operator()(LPWSTR* block) const { LocalFree(block); }
};

// The arguments in UTF-8, from the wide command line. False when one holds
// a surrogate without its other half, which has no UTF-8.
bool Utf8Arguments(std::vector<std::string>* arguments) {
  int count = 0;
  const std::unique_ptr<LPWSTR, LocalFreer> wide(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!wide) return false;
  for (int i = 0; i < count; ++i) {
    std::string argument;
    if (!zfwin::WideToUtf8(std::wstring(wide.get()[i]), &argument)) return false;
    arguments->push_back(argument);
  }
  return true;
}

}  // namespace

bool HasCommandLineOptions(int argc) { return argc > 1; }

int RunWindowsCommandLine(void* instance, bool console, const char* transportName,
                          const std::function<bool()>& prepare) {
  if (!console) AttachParentConsole();
  const ConsoleOutputInUtf8 utf8Output;
  // The program's own path in front of the arguments: its name in the texts
  // and its folder for the release, however it was started.
  const std::string modulePath = zfwin::ProgramModulePath();
  std::string program = zfwin::ProgramNameOf(modulePath);
  std::vector<std::string> arguments;
  if (!Utf8Arguments(&arguments)) {
    std::fprintf(stderr, "%s: the command line holds text that is not Unicode\n",
                 program.c_str());
    return kExitError;
  }
  std::vector<char*> args;
  for (std::string& argument : arguments) args.push_back(&argument[0]);
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
