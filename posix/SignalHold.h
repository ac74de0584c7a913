// Holds SIGINT, SIGTERM, SIGHUP and SIGQUIT while the flash is written: a
// Ctrl+C, a closed terminal or a plain `kill` must not end the process
// between an erase and the write that follows it.
//
// Hold() blocks the four signals on the calling thread (threads started
// after it, such as the write's worker, inherit the mask) and starts a
// watcher thread that takes them as they come, so that the notice is shown
// at once. A thread started earlier with the signals unblocked (a library's)
// may be the one the kernel picks: for every signal that is not ignored, a
// handler that only records it stands in for the default action. Release()
// stops the watcher, unblocks the signals (a signal still pending is
// recorded too) and puts the previous actions back. An ignored signal stays
// ignored.
#pragma once

#include <signal.h>

#include <pthread.h>

#include <atomic>

class CSignalHold {
 public:
  CSignalHold() = default;
  ~CSignalHold() { Release(); }
  CSignalHold(const CSignalHold&) = delete;
  CSignalHold& operator=(const CSignalHold&) = delete;

  // `notice`, when given, is the line shown when the first signal arrives
  // (it must outlive the hold); by default the one of the write.
  void Hold(const char* notice = nullptr);
  // The first signal that arrived while held (0 for none).
  int Release();
  bool Holding() const { return holding_; }

  // The first signal that arrived in the hold now in place (0: none, or no
  // hold); read by the wait for Enter at a report, which then ends.
  static int Arrived();
  // True while any hold is in place in the process.
  static bool AnyHolding();

  // The signals held, in the order they are handled.
  static constexpr int kSignals[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

 private:
  static void* WatchThread(void* self);
  void Watch();

  bool holding_ = false;
  sigset_t previousMask_{};
  struct sigaction previous_[4] = {};
  bool installed_[4] = {};
  sigset_t held_{};
  pthread_t watcher_{};
  bool watching_ = false;
  std::atomic<bool> stopping_{false};
  int wakeSignal_ = 0;
  int received_ = 0;
};
