#include "SignalHold.h"

#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <cstring>

namespace {

// The first signal of the hold; lock-free, so the handler may set it.
std::atomic<int> gReceived{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free atomic");

// Said once per hold, the moment the first signal arrives, so that whoever
// pressed Ctrl+C knows why the program goes on.
const char kNotice[] =
    "\nZEDRIKFU: the firmware is being written; the program ends once the write is complete\n"
    "and reported.\n";

// The notice of the current hold, set before its handlers are installed.
std::atomic<const char*> gNotice{kNotice};
std::atomic<size_t> gNoticeLength{sizeof kNotice - 1};

// Async-signal-safe: called by the handler as well as by the watcher.
void Record(int signo) {
  int none = 0;
  if (gReceived.compare_exchange_strong(none, signo)) {
    const int savedErrno = errno;
    ssize_t written = write(STDERR_FILENO, gNotice.load(), gNoticeLength.load());
    (void)written;  // nothing to do when standard error is gone
    errno = savedErrno;
  }
}

extern "C" void RecordSignal(int signo) { Record(signo); }

// Holds in place; one at a time in practice (the write's, or the wait for
// Enter at a message outside a write).
std::atomic<int> gHolding{0};

}  // namespace

int CSignalHold::Arrived() { return gHolding.load() > 0 ? gReceived.load() : 0; }

bool CSignalHold::AnyHolding() { return gHolding.load() > 0; }

void CSignalHold::Hold(const char* notice) {
  if (holding_) return;
  gNotice.store(notice != nullptr ? notice : kNotice);
  gNoticeLength.store(notice != nullptr ? std::strlen(notice) : sizeof kNotice - 1);
  gReceived.store(0);
  received_ = 0;
  sigset_t held;
  sigemptyset(&held);
  for (int signo : kSignals) sigaddset(&held, signo);
  pthread_sigmask(SIG_BLOCK, &held, &previousMask_);

  for (int i = 0; i < 4; ++i) {
    installed_[i] = false;
    struct sigaction current;
    std::memset(&current, 0, sizeof current);
    if (sigaction(kSignals[i], nullptr, &current) != 0) continue;
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction record;
    std::memset(&record, 0, sizeof record);
    record.sa_handler = RecordSignal;
    record.sa_mask = held;
    record.sa_flags = SA_RESTART;
    if (sigaction(kSignals[i], &record, &previous_[i]) == 0) installed_[i] = true;
  }
  // The watcher inherits the blocked signals, as sigwait needs. It is woken
  // at the end by a signal that is not ignored (an ignored one would be
  // discarded); with all four ignored there is nothing to watch.
  // It waits for those that are not ignored: a blocked signal is kept
  // pending even when ignored.
  wakeSignal_ = 0;
  sigemptyset(&held_);
  for (int i = 0; i < 4; ++i) {
    if (!installed_[i]) continue;
    sigaddset(&held_, kSignals[i]);
    if (wakeSignal_ == 0) wakeSignal_ = kSignals[i];
  }
  stopping_.store(false);
  watching_ = wakeSignal_ != 0 &&
              pthread_create(&watcher_, nullptr, &CSignalHold::WatchThread, this) == 0;
  holding_ = true;
  gHolding.fetch_add(1);
}

void* CSignalHold::WatchThread(void* self) {
  static_cast<CSignalHold*>(self)->Watch();
  return nullptr;
}

void CSignalHold::Watch() {
  for (;;) {
    int signo = 0;
    if (sigwait(&held_, &signo) != 0) continue;
    if (stopping_.load()) return;  // the wake-up sent by Release
    Record(signo);
  }
}

int CSignalHold::Release() {
  if (!holding_) return received_;
  stopping_.store(true);
  if (watching_) {
    // Sent to the watcher alone, which waits for it.
    pthread_kill(watcher_, wakeSignal_);
    pthread_join(watcher_, nullptr);
    watching_ = false;
  }
  // A signal that is still pending arrives here, in the recording handler.
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  for (int i = 0; i < 4; ++i) {
    if (installed_[i]) sigaction(kSignals[i], &previous_[i], nullptr);
    installed_[i] = false;
  }
  holding_ = false;
  gHolding.fetch_sub(1);
  received_ = gReceived.exchange(0);
  return received_;
}
