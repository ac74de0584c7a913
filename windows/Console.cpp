// The console of the Windows programs (Console.h). A console is a handle
// GetConsoleMode accepts; output that goes to a file or a pipe gets plain
// lines. In-place drawing needs the console's virtual terminal processing
// (the carriage return and the erase to the end of the line): where it
// cannot be switched on, progress is printed as plain lines.
#include "Console.h"

#include <iostream>

#include "TerminalProgress.h"
#include "WideText.h"
#include "WinWriteGuard.h"

#include "WindowsApi.h"
#include <io.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

constexpr int kUnknownColumns = 80;

HANDLE HandleOf(FILE* stream) {
  if (stream == nullptr) return INVALID_HANDLE_VALUE;
  const int fd = _fileno(stream);
  return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool IsConsoleHandle(HANDLE handle) {
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, &mode) != 0;
}

void Print(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

}  // namespace

bool DrawsInPlace(FILE* stream) {
  const HANDLE handle = HandleOf(stream);
  DWORD mode = 0;
  if (!IsConsoleHandle(handle) || GetConsoleMode(handle, &mode) == 0) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int TerminalColumns(int fd) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE || GetConsoleScreenBufferInfo(handle, &info) == 0) {
    return kUnknownColumns;
  }
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? columns : kUnknownColumns;
}

// The answer is read from standard input when there is one (a console, a
// pipe or a file); without any, a message box asks.
ConsoleAnswer AskOnConsole(const std::string& shown) {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == INVALID_HANDLE_VALUE || input == nullptr) {
    const std::wstring title = zfwin::ShownText(ProgramName());
    const int pressed = MessageBoxW(nullptr, zfwin::ShownText(shown).c_str(), title.c_str(),
                                    MB_OKCANCEL | MB_ICONQUESTION | MB_SETFOREGROUND);
    const bool ok = pressed == IDOK;
    Print(ok ? "OK\n" : "Cancel\n");
    return ok ? ConsoleAnswer::kOk : ConsoleAnswer::kCancel;
  }
  // Keys pressed while the flash was read were not an answer to a question
  // not yet shown: an Enter among them would start the write unasked.
  if (IsConsoleHandle(input)) FlushConsoleInputBuffer(input);
  Print(kAnswerPrompt);
  std::string line;
  const bool ok = static_cast<bool>(std::getline(std::cin, line)) && IsOkAnswer(line);
  if (!IsConsoleHandle(input)) Print(ok ? "OK\n" : "Cancel\n");
  return ok ? ConsoleAnswer::kOk : ConsoleAnswer::kCancel;
}

StdoutToStderr::StdoutToStderr() {
  std::fflush(stdout);
  saved_ = _dup(_fileno(stdout));
  if (saved_ >= 0) _dup2(_fileno(stderr), _fileno(stdout));
}

StdoutToStderr::~StdoutToStderr() {
  std::fflush(stdout);
  if (saved_ >= 0) {
    _dup2(saved_, _fileno(stdout));
    _close(saved_);
  }
}

std::unique_ptr<CWriteGuard> MakeWriteGuard() { return std::make_unique<CWinWriteGuard>(); }

void WaitForEnterOnConsole(const std::string& /*shown*/) {
  if (!IsConsoleHandle(GetStdHandle(STD_INPUT_HANDLE))) return;
  Print(kEnterToClose);
  std::string line;
  std::getline(std::cin, line);
}
