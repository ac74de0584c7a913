// The console of the POSIX programs (Console.h): a terminal on a file
// descriptor, its width from TIOCGWINSZ followed through SIGWINCH, the
// question and the wait for Enter where the answer is read, and the write
// guard of the POSIX programs.
#include "Console.h"

#include "FileDescriptor.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>

#include "PosixWriteGuard.h"
#include "SignalHold.h"
#include "TerminalProgress.h"

namespace {

constexpr int kUnknownColumns = 80;

// Set by SIGWINCH (and at the start): the terminal's width is read again.
// A lock-free atomic, so that the handler may set it and the drawing thread,
// whichever it is, read it.
std::atomic<int> gResized{1};
static_assert(std::atomic<int>::is_always_lock_free, "the resize flag is set in a signal handler");
std::atomic<int> gColumns{kUnknownColumns};

void OnResize(int) { gResized.store(1); }

void Print(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}


// Where a question whose answer comes from the terminal on standard input is
// shown: standard output when that is a terminal too, else the controlling
// terminal, else standard error when that is a terminal. Closed when it goes.
class QuestionOutput {
 public:
  QuestionOutput() {
    if (isatty(STDOUT_FILENO) != 0) {
      fd_ = STDOUT_FILENO;
      return;
    }
    owned_ = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (owned_ >= 0) {
      fd_ = owned_;
    } else if (isatty(STDERR_FILENO) != 0) {
      fd_ = STDERR_FILENO;
    }
  }
  ~QuestionOutput() {
    if (owned_ >= 0) close(owned_);
  }
  QuestionOutput(const QuestionOutput&) = delete;
  QuestionOutput& operator=(const QuestionOutput&) = delete;

  bool Usable() const { return fd_ >= 0; }
  bool IsStdout() const { return fd_ == STDOUT_FILENO; }
  void Write(const std::string& text) const {
    if (fd_ == STDOUT_FILENO) {
      Print(text);
      return;
    }
    std::fflush(stdout);
    if (fd_ >= 0) WriteAll(fd_, text.data(), text.size());
  }

 private:
  int fd_ = -1;
  int owned_ = -1;
};

bool ReadAnswerLine() {
  std::string line;
  return static_cast<bool>(std::getline(std::cin, line)) &&
         IsOkAnswer(line);
}



// Follows the terminal's size from the first in-place drawing on, unless the
// program handles SIGWINCH itself.
void WatchResizes() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current;
    if (sigaction(SIGWINCH, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) return;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnResize;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGWINCH, &action, nullptr);
  });
}

}  // namespace

bool DrawsInPlace(FILE* stream) {
  if (stream == nullptr || isatty(fileno(stream)) == 0) return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

int TerminalColumns(int fd) {
  WatchResizes();
  if (gResized.exchange(0) != 0) {
    struct winsize size;
    std::memset(&size, 0, sizeof size);
    const bool known = ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
    gColumns.store(known ? static_cast<int>(size.ws_col) : kUnknownColumns);
  }
  return gColumns.load();
}

ConsoleAnswer AskOnConsole(const std::string& shown) {
  if (isatty(STDIN_FILENO) == 0) {
    // A scripted answer: the prompt and the answer go with the output.
    Print(kAnswerPrompt);
    const bool ok = ReadAnswerLine();
    Print(ok ? "OK\n" : "Cancel\n");
    return ok ? ConsoleAnswer::kOk : ConsoleAnswer::kCancel;
  }
  // Keys pressed while the flash was read were not an answer to a question
  // not yet shown: an Enter among them would start the write unasked.
  tcflush(STDIN_FILENO, TCIFLUSH);
  const QuestionOutput out;
  if (!out.Usable()) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: the question cannot be shown on the terminal that would answer it "
                         "(standard output is no terminal and no terminal can be opened); "
                         "nothing is written: use --yes to answer OK in advance\n",
                 ProgramName().c_str());
    std::fflush(stderr);
    return ConsoleAnswer::kCannotAsk;
  }
  if (!out.IsStdout()) out.Write(shown);
  out.Write(kAnswerPrompt);
  const bool ok = ReadAnswerLine();
  // The output (a file) keeps the answer.
  if (!out.IsStdout()) Print(ok ? "OK\n" : "Cancel\n");
  return ok ? ConsoleAnswer::kOk : ConsoleAnswer::kCancel;
}

namespace {

// Waits for a line on standard input (a terminal) until a held signal has
// arrived; the line is read and dropped.
void ReadLineUnlessSignalled() {
  for (;;) {
    if (CSignalHold::Arrived() != 0) return;
    if (std::cin.rdbuf()->in_avail() <= 0) {
      struct pollfd input = {STDIN_FILENO, POLLIN, 0};
      const int ready = poll(&input, 1, 50);
      if (ready < 0 && errno != EINTR) return;
      if (ready <= 0) continue;
    }
    std::string line;
    std::getline(std::cin, line);
    return;
  }
}

}  // namespace

void WaitForEnterOnConsole(const std::string& shown) {
  if (isatty(STDIN_FILENO) == 0) return;
  // A signal held during the write has asked the program to end: the report
  // is shown and the run ends with its status, without a wait.
  if (CSignalHold::Arrived() != 0) return;
  const QuestionOutput out;
  if (!out.Usable()) return;  // no one would see what is waited for
  if (!out.IsStdout()) out.Write(shown);
  // A signal while waiting closes the message like Enter: the run ends with
  // the message's status, not by the signal's default action. Outside a
  // write the signals are held for the wait alone, without a notice. The
  // hold starts before the prompt is shown, so a signal sent as soon as
  // the prompt appears is held too.
  CSignalHold waitHold;
  if (!CSignalHold::AnyHolding()) waitHold.Hold("");
  out.Write(kEnterToClose);
  ReadLineUnlessSignalled();
  if (CSignalHold::Arrived() != 0) out.Write("\n");
}

StdoutToStderr::StdoutToStderr() {
  std::fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  if (saved_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
}

StdoutToStderr::~StdoutToStderr() {
  std::fflush(stdout);
  if (saved_ >= 0) {
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
}

std::unique_ptr<CWriteGuard> MakeWriteGuard() { return std::make_unique<CPosixWriteGuard>(); }
