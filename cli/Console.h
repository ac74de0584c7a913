// What the command-line front-end asks of the console it runs on. The
// front-end (this folder) is the same on every platform; each platform
// answers these in its own folder (posix/Console.cpp, windows/Console.cpp).
#pragma once

#include <cstdio>
#include <memory>
#include <string>

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
// printed on standard output: the question is asked where its answer is
// read. Standard input answers; a scripted answer (no console) goes with
// the output. On POSIX, when standard input is a terminal and standard
// output is not, `shown` and the prompt go to the controlling terminal, or
// to standard error when that is a terminal; on Windows, without any
// standard input, a message box asks. kCannotAsk: there is no one to ask (a
// line on standard error says to use --yes); nothing is to be written. Keys
// typed before the prompt are no answer.
enum class ConsoleAnswer { kOk, kCancel, kCannotAsk };
ConsoleAnswer AskOnConsole(const std::string& shown);

// The prompt of the question and the line of the wait for Enter, on every
// platform (cli/TerminalDialog.cpp).
extern const char kAnswerPrompt[];  // "[OK/Cancel] (Enter = OK): "
extern const char kEnterToClose[];  // "(Enter to close)"

// "OK" for an empty line, "y", "yes" or "ok" in any case; anything else is
// Cancel (cli/TerminalDialog.cpp).
bool IsOkAnswer(const std::string& line);

// After a message `shown` on standard output: waits for Enter when standard
// input is a console, with "(Enter to close)" where it is read. On POSIX no
// wait once a signal held during the write has arrived, and a signal during
// the wait ends it as Enter does.
void WaitForEnterOnConsole(const std::string& shown);

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
