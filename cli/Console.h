// What the command-line front-end asks of the console it runs on. The
// front-end (this folder) is the same on every platform; each platform
// answers these in its own folder (posix/Console.cpp, windows/Console.cpp).
#pragma once

#include <cstdio>
#include <memory>
#include <string>

class CDialogLayer;
class CWriteGuard;

// Whether progress on `stream` is redrawn in place: the stream is a terminal
// (a console) that understands a carriage return and the erase to the end of
// the line. Otherwise plain lines are printed, with no carriage returns or
// escape sequences.
bool DrawsInPlace(FILE* stream);

// The width of the terminal on `fd` in columns (80 when it cannot be told).
// Follows the terminal's size while the program runs.
int TerminalColumns(int fd);

// Asks OK or Cancel on the console after `shown` (the question's text) was
// printed on standard output; `shown` is printed again where the answer is
// read when that is not standard output's terminal. kCannotAsk: there is no
// one to ask (a line on standard error says so); nothing is to be written.
enum class ConsoleAnswer { kOk, kCancel, kCannotAsk };
ConsoleAnswer AskOnConsole(const std::string& shown);

// Sends standard output to standard error while it lives: the JSON report
// is then the only thing on standard output (the path lines of the files
// read and the progress go with the diagnostics).
class StdoutToStderr {
 public:
  StdoutToStderr();
  ~StdoutToStderr();
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;

 private:
  int saved_ = -1;  // standard output's descriptor, kept aside
};

// The platform's write guard (WriteGuard.h): what it holds off from the
// start of a write until its report has been shown.
std::unique_ptr<CWriteGuard> MakeWriteGuard();

// The dialog layer of an update run on the console (no window).
std::unique_ptr<CDialogLayer> MakeConsoleDialogLayer();
