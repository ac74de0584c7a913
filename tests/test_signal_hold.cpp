// The POSIX signal hold of the write: a held signal neither ends the
// process nor is lost, whichever thread the kernel hands it to; threads
// started during the hold (the write's worker) inherit it; an ignored
// signal stays ignored; afterwards everything is as before.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "SignalHold.h"

namespace {

using namespace std::chrono_literals;

bool Blocked(int signo) {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return sigismember(&mask, signo) == 1;
}

struct sigaction ActionOf(int signo) {
  struct sigaction action {};
  sigaction(signo, nullptr, &action);
  return action;
}

// Puts the default action back for the four signals, unblocked, whatever
// the test runner started with.
class SignalHoldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sigset_t four;
    sigemptyset(&four);
    for (int signo : CSignalHold::kSignals) {
      signal(signo, SIG_DFL);
      sigaddset(&four, signo);
    }
    pthread_sigmask(SIG_UNBLOCK, &four, nullptr);
  }
  void TearDown() override { SetUp(); }
};

TEST_F(SignalHoldTest, EachSignalSentToTheProcessIsHeldAndReported) {
  for (int signo : CSignalHold::kSignals) {
    SCOPED_TRACE(signo);
    CSignalHold hold;
    hold.Hold();
    EXPECT_TRUE(hold.Holding());
    EXPECT_TRUE(Blocked(signo));
    ASSERT_EQ(kill(getpid(), signo), 0);  // the default action would end the tests here
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(hold.Release(), signo);
    EXPECT_FALSE(Blocked(signo));
    EXPECT_EQ(ActionOf(signo).sa_handler, SIG_DFL);
  }
}

TEST_F(SignalHoldTest, ASignalPendingOnTheHoldingThreadIsReportedAtTheEnd) {
  CSignalHold hold;
  hold.Hold();
  // Directed at this thread, which blocks it: it stays pending until the end.
  ASSERT_EQ(pthread_kill(pthread_self(), SIGTERM), 0);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGTERM), 1);
  EXPECT_EQ(hold.Release(), SIGTERM);
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGTERM), 0);
}

TEST_F(SignalHoldTest, AThreadStartedBeforeTheHoldDoesNotTakeTheDefaultAction) {
  // A library thread that runs with the signals unblocked.
  std::atomic<bool> done{false};
  std::thread library([&done] {
    while (!done.load()) std::this_thread::sleep_for(1ms);
  });
  CSignalHold hold;
  hold.Hold();
  for (int signo : {SIGINT, SIGQUIT}) {
    ASSERT_EQ(pthread_kill(library.native_handle(), signo), 0);
  }
  std::this_thread::sleep_for(20ms);
  done.store(true);
  library.join();
  // The first one counts.
  EXPECT_EQ(hold.Release(), SIGINT);
}

TEST_F(SignalHoldTest, AThreadStartedDuringTheHoldInheritsIt) {
  CSignalHold hold;
  hold.Hold();
  bool blocked[4] = {};
  std::thread worker([&blocked] {
    for (int i = 0; i < 4; ++i) blocked[i] = Blocked(CSignalHold::kSignals[i]);
  });
  worker.join();
  for (bool b : blocked) EXPECT_TRUE(b);
  EXPECT_EQ(hold.Release(), 0);
}

TEST_F(SignalHoldTest, AnIgnoredSignalStaysIgnoredAndOtherActionsComeBack) {
  signal(SIGHUP, SIG_IGN);  // started with nohup
  struct sigaction own {};
  own.sa_handler = [](int) {};
  sigaction(SIGTERM, &own, nullptr);
  {
    CSignalHold hold;
    hold.Hold();
    EXPECT_EQ(ActionOf(SIGHUP).sa_handler, SIG_IGN);
    ASSERT_EQ(kill(getpid(), SIGHUP), 0);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(hold.Release(), 0);
  }
  EXPECT_EQ(ActionOf(SIGHUP).sa_handler, SIG_IGN);
  EXPECT_EQ(ActionOf(SIGTERM).sa_handler, own.sa_handler);
  EXPECT_EQ(ActionOf(SIGINT).sa_handler, SIG_DFL);
}

TEST_F(SignalHoldTest, AllFourIgnoredHoldsNothingAndEndsAtOnce) {
  for (int signo : CSignalHold::kSignals) signal(signo, SIG_IGN);
  CSignalHold hold;
  hold.Hold();
  ASSERT_EQ(kill(getpid(), SIGINT), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(hold.Release(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  for (int signo : CSignalHold::kSignals) EXPECT_EQ(ActionOf(signo).sa_handler, SIG_IGN);
}

TEST_F(SignalHoldTest, ASecondHoldStartsAfresh) {
  CSignalHold hold;
  hold.Hold();
  ASSERT_EQ(kill(getpid(), SIGQUIT), 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(hold.Release(), SIGQUIT);
  hold.Hold();
  EXPECT_EQ(hold.Release(), 0);
  EXPECT_EQ(hold.Release(), 0);  // a second release changes nothing
}

}  // namespace
