// The console of the POSIX programs (Console.h): a terminal on a file
// descriptor, its width from TIOCGWINSZ followed through SIGWINCH, the
// question of the terminal dialog layer, and the write guard of the POSIX
// programs.
#include "Console.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "PosixWriteGuard.h"
#include "TerminalDialog.h"

namespace {

constexpr int kUnknownColumns = 80;

// Set by SIGWINCH (and at the start): the terminal's width is read again.
// A lock-free atomic, so that the handler may set it and the drawing thread,
// whichever it is, read it.
std::atomic<int> gResized{1};
static_assert(std::atomic<int>::is_always_lock_free, "the resize flag is set in a signal handler");
std::atomic<int> gColumns{kUnknownColumns};

void OnResize(int) { gResized.store(1); }

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
  switch (CTerminalDialogLayer::Ask(shown)) {
    case CTerminalDialogLayer::Answer::kOk: return ConsoleAnswer::kOk;
    case CTerminalDialogLayer::Answer::kCancel: return ConsoleAnswer::kCancel;
    case CTerminalDialogLayer::Answer::kCannotAsk: break;
  }
  return ConsoleAnswer::kCannotAsk;
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

std::unique_ptr<CDialogLayer> MakeConsoleDialogLayer() {
  return std::make_unique<CTerminalDialogLayer>();
}
