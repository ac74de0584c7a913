// What the Windows programs hold while writing, against a fake system: the
// execution state from the start of the write to its end, the shutdown
// block reason on the write's progress dialog while it is on the screen,
// and the answer to a query to end the session.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../windows/WriteHold.h"

namespace {

struct FakeSystem {
  std::vector<std::string> calls;
  bool executionStateWorks = true;
  bool blockReasonWorks = true;
  bool consoleWorks = true;

  uint32_t SetExecutionState(uint32_t flags) {
    calls.push_back("state " + std::to_string(flags));
    return executionStateWorks ? zfwin::kEsContinuous : 0;
  }
  bool CreateBlockReason(void* window, const wchar_t* reason) {
    const bool hasReason = reason != nullptr && reason[0] != 0;
    calls.push_back("create " + Name(window) + (hasReason ? "" : " (no reason)"));
    return blockReasonWorks;
  }
  bool DestroyBlockReason(void* window) {
    calls.push_back("destroy " + Name(window));
    return true;
  }
  bool HoldConsoleBreaks(bool hold) {
    calls.push_back(hold ? "breaks held" : "breaks back");
    return consoleWorks;
  }
  std::string Name(void* window) const {
    if (window == main) return "main";
    if (window == progress) return "progress";
    return "other";
  }
  void* main = reinterpret_cast<void*>(0x100);
  void* progress = reinterpret_cast<void*>(0x200);
  void* box = reinterpret_cast<void*>(0x300);
};

using Calls = std::vector<std::string>;
const std::string kAwake = "state " + std::to_string(zfwin::kEsContinuous | zfwin::kEsSystemRequired);
const std::string kBack = "state " + std::to_string(zfwin::kEsContinuous);
const std::string kHeld = "breaks held";
const std::string kFreed = "breaks back";

TEST(WinWriteHold, AWholeRunAsTheDialogsGo) {
  FakeSystem system;
  zfwin::WriteHold<FakeSystem> hold(&system);
  // Before the write: the main window and the read's progress dialog.
  hold.WindowShown(system.main);
  hold.WindowShown(system.progress);
  hold.WindowClosing(system.progress);
  EXPECT_FALSE(hold.HoldsSessionEnd());
  EXPECT_TRUE(system.calls.empty());
  // OK: the write and its progress dialog.
  hold.Start();
  EXPECT_TRUE(hold.HoldsSessionEnd());
  hold.WindowShown(system.progress);
  hold.WindowShown(system.box);  // a later window keeps the reason where it is
  hold.WindowClosing(system.box);
  hold.WindowClosing(system.progress);
  EXPECT_TRUE(hold.HoldsSessionEnd());  // until the write has ended
  hold.End();
  EXPECT_FALSE(hold.HoldsSessionEnd());
  EXPECT_EQ(system.calls, (Calls{kAwake, kHeld, "create progress", "destroy progress", kBack, kFreed}));
  // The main window closing afterwards changes nothing.
  hold.WindowClosing(system.main);
  hold.End();
  EXPECT_EQ(system.calls.size(), 6u);
}

TEST(WinWriteHold, TheEndReleasesAReasonStillInPlace) {
  FakeSystem system;
  zfwin::WriteHold<FakeSystem> hold(&system);
  hold.Start();
  hold.Start();  // once only
  hold.WindowShown(system.progress);
  hold.End();
  EXPECT_EQ(system.calls, (Calls{kAwake, kHeld, "create progress", "destroy progress", kBack, kFreed}));
  hold.WindowClosing(system.progress);  // already released
  EXPECT_EQ(system.calls.size(), 6u);
}

TEST(WinWriteHold, CallsThatFailAreNotUndone) {
  FakeSystem system;
  system.executionStateWorks = false;
  system.blockReasonWorks = false;
  system.consoleWorks = false;
  zfwin::WriteHold<FakeSystem> hold(&system);
  hold.Start();
  hold.WindowShown(system.progress);
  EXPECT_TRUE(hold.HoldsSessionEnd());  // the answer to the query still holds
  hold.WindowShown(system.box);         // tried again on the next window
  hold.WindowClosing(system.progress);
  hold.End();
  EXPECT_EQ(system.calls, (Calls{kAwake, kHeld, "create progress", "create other"}));
}

TEST(WinWriteHold, ASecondWriteHoldsAgain) {
  FakeSystem system;
  zfwin::WriteHold<FakeSystem> hold(&system);
  for (int run = 0; run < 2; ++run) {
    hold.Start();
    hold.WindowShown(system.progress);
    hold.WindowClosing(system.progress);
    hold.End();
  }
  EXPECT_EQ(system.calls, (Calls{kAwake, kHeld, "create progress", "destroy progress", kBack,
                                 kFreed, kAwake, kHeld, "create progress", "destroy progress",
                                 kBack, kFreed}));
}

}  // namespace
