// The recovery operations of the core (FlashOperations.h) on the virtual
// bridge, with recording hooks: the read of the whole flash, and the
// restore's refusals, question, backup hook and write.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CommandSet.h"
#include "DefaultDevices.h"
#include "FlashOperations.h"
#include "FlashROM.h"
#include "Messages.h"
#include "TestSupport.h"
#include "VirtualBus.h"

namespace {

using testsupport::ScratchDir;

// The default virtual bridge, its flash as first made, and what the hooks
// of an operation were told.
class OperationRig {
 public:
  OperationRig() {
    std::string error;
    ready_ = vbridge::LoadOrCreateVirtualDevices(dir_.File("virtual-devices.ini"), &bus_, &error);
    EXPECT_TRUE(ready_) << error;
    active_ = std::make_unique<vbridge::ScopedActiveBus>(&bus_);
    bridge_ = bus_.Device(0);
    if (bridge_ != nullptr) good_ = bridge_->FlashBytes();
    ready_ = ready_ && bridge_ != nullptr;
  }

  bool Ready() const { return ready_; }
  vbridge::VirtualBus* Bus() { return &bus_; }
  vbridge::VirtualBridge* Bridge() { return bridge_; }
  const std::vector<uint8_t>& Good() const { return good_; }
  std::string SaveGood(const std::string& name, size_t size = 0) {
    std::vector<unsigned char> bytes(good_.begin(), good_.end());
    if (size != 0) bytes.resize(size);
    EXPECT_TRUE(testsupport::WriteFile(dir_.File(name), bytes));
    return dir_.File(name);
  }

  // Hooks that record; `answer` is the reply to the question.
  FlashOperationHooks Hooks(bool answer, bool backupSaved = true) {
    FlashOperationHooks hooks;
    hooks.cause = [this](const std::string& text) { causes.push_back(text); };
    hooks.phase = [this](FlashPhase phase, const FlashOperationResult&) {
      phases.push_back(phase);
    };
    hooks.ask = [this, answer](const FlashOperationResult& result) {
      asked.push_back(result.plan.regions);
      return answer;
    };
    hooks.beforeWrite = [this, backupSaved](const FlashOperationResult& result) {
      backups.push_back(result.flash);
      return backupSaved;
    };
    hooks.written = [this](const FlashOperationResult& result) { shown.push_back(result.message); };
    return hooks;
  }

  // The addresses of the block erases the bridge received.
  std::vector<uint32_t> Erases() const {
    std::vector<uint32_t> at;
    for (const auto& c : testsupport::CommandsOf(*bridge_, CMD_BLOCKERASEROM)) {
      at.push_back(c.address);
    }
    return at;
  }

  std::vector<std::string> causes;
  std::vector<FlashPhase> phases;
  std::vector<uint32_t> asked;  // the plan's blocks at each question
  std::vector<std::vector<unsigned char>> backups;
  std::vector<int> shown;

 private:
  ScratchDir dir_;
  vbridge::VirtualBus bus_;
  std::unique_ptr<vbridge::ScopedActiveBus> active_;
  vbridge::VirtualBridge* bridge_ = nullptr;
  std::vector<uint8_t> good_;
  bool ready_ = false;
};

TEST(FlashOperations, ReadWholeFlashReadsWithTheProbedParameters) {
  OperationRig rig;
  ASSERT_TRUE(rig.Ready());
  CFlashROM engine;
  const FlashOperationResult result = ReadWholeFlash(&engine, rig.Hooks(true));
  EXPECT_EQ(result.message, 0);
  EXPECT_EQ(result.status, kExitOk);
  EXPECT_EQ(result.flash, std::vector<unsigned char>(rig.Good().begin(), rig.Good().end()));
  EXPECT_EQ(result.flashSize, rig.Bridge()->FlashSize());
  EXPECT_EQ(result.eraseBlock, rig.Bridge()->EraseBlockSize());
  EXPECT_EQ(result.identity.part, rig.Bridge()->Config().flashPart);
  ASSERT_NE(result.identity.variant, nullptr);
  EXPECT_EQ(rig.phases, (std::vector<FlashPhase>{FlashPhase::kReadStarts, FlashPhase::kReadEnded}));
  EXPECT_TRUE(rig.causes.empty());
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*rig.Bridge()));
}

TEST(FlashOperations, RestoreWritesTheBlocksThatDifferWithTheHeaderLast) {
  OperationRig rig;
  ASSERT_TRUE(rig.Ready());
  const std::string good = rig.SaveGood("good.bin");
  const uint32_t block = rig.Bridge()->EraseBlockSize();
  // The first byte of the header and the first byte of block 5 spoilt.
  ASSERT_TRUE(rig.Bridge()->StoreFlash(0, {static_cast<uint8_t>(~rig.Good()[0])}));
  ASSERT_TRUE(
      rig.Bridge()->StoreFlash(5 * block, {static_cast<uint8_t>(~rig.Good()[5 * block])}));
  const std::vector<uint8_t> spoilt = rig.Bridge()->FlashBytes();
  rig.Bridge()->ClearLog();

  CFlashROM engine;
  const FlashOperationResult result = RestoreFlash(&engine, good, rig.Hooks(true));
  EXPECT_EQ(result.status, kExitOk);
  EXPECT_EQ(result.message, MSG_UPDATED);
  EXPECT_TRUE(result.reported);
  EXPECT_FALSE(result.writeFailed);
  EXPECT_EQ(rig.asked, std::vector<uint32_t>{2});
  EXPECT_EQ(result.summary.eraseBlocks, 2u);
  ASSERT_EQ(rig.backups.size(), 1u);
  EXPECT_EQ(rig.backups[0], std::vector<unsigned char>(spoilt.begin(), spoilt.end()));
  EXPECT_EQ(rig.shown, std::vector<int>{MSG_UPDATED});
  EXPECT_EQ(rig.phases, (std::vector<FlashPhase>{FlashPhase::kReadStarts, FlashPhase::kReadEnded,
                                                 FlashPhase::kWriteStarts}));
  EXPECT_EQ(rig.Erases(), (std::vector<uint32_t>{5 * block, 0}));
  EXPECT_EQ(rig.Bridge()->FlashBytes(), rig.Good());
  EXPECT_TRUE(rig.causes.empty());
}

TEST(FlashOperations, RestoreCancelledOrUnneededWritesNothing) {
  OperationRig rig;
  ASSERT_TRUE(rig.Ready());
  const std::string good = rig.SaveGood("good.bin");
  {
    // The flash holds the image: no question.
    CFlashROM engine;
    const FlashOperationResult result = RestoreFlash(&engine, good, rig.Hooks(true));
    EXPECT_EQ(result.status, kExitNothingToDo);
    EXPECT_TRUE(result.nothingToWrite);
    EXPECT_TRUE(rig.asked.empty());
  }
  const uint32_t last = rig.Bridge()->FlashSize() - 1;
  ASSERT_TRUE(rig.Bridge()->StoreFlash(last, {static_cast<uint8_t>(~rig.Good()[last])}));
  {
    CFlashROM engine;
    const FlashOperationResult result = RestoreFlash(&engine, good, rig.Hooks(false));
    EXPECT_EQ(result.status, kExitNothingToDo);
    EXPECT_FALSE(result.nothingToWrite);
    EXPECT_EQ(rig.asked, std::vector<uint32_t>{1});
  }
  EXPECT_TRUE(rig.backups.empty());
  EXPECT_TRUE(rig.shown.empty());
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*rig.Bridge()));
}

TEST(FlashOperations, RestoreRefusalsAskNothingAndWriteNothing) {
  OperationRig rig;
  ASSERT_TRUE(rig.Ready());
  const uint32_t size = rig.Bridge()->FlashSize();
  ASSERT_TRUE(rig.Bridge()->StoreFlash(size - 1, {static_cast<uint8_t>(~rig.Good()[size - 1])}));
  struct Refusal {
    std::string image;
    std::string cause;
  };
  const std::vector<Refusal> refusals = {
      {rig.SaveGood("short.bin", size - 1), "refused: the image holds " + std::to_string(size - 1)},
      {rig.SaveGood("long.bin", size + 1), "refused: the image holds " + std::to_string(size + 1)},
      {rig.SaveGood("none.bin") + ".missing", "cannot use the image "},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.image);
    rig.causes.clear();
    CFlashROM engine;
    const FlashOperationResult result = RestoreFlash(&engine, r.image, rig.Hooks(true));
    EXPECT_EQ(result.status, kExitError);
    EXPECT_EQ(result.message, 0);
    ASSERT_EQ(rig.causes.size(), 1u);
    EXPECT_EQ(rig.causes[0].rfind(r.cause, 0), 0u) << rig.causes[0];
  }
  EXPECT_TRUE(rig.asked.empty());
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*rig.Bridge()));
}

TEST(FlashOperations, RestoreRefusesWhenTwoBridgesAreAdmitted) {
  OperationRig rig;
  ASSERT_TRUE(rig.Ready());
  const std::string good = rig.SaveGood("good.bin");
  ASSERT_NE(rig.Bus()->AddDevice(rig.Bridge()->Config(), rig.Good()), nullptr);
  CFlashROM engine;
  const FlashOperationResult result = RestoreFlash(&engine, good, rig.Hooks(true));
  EXPECT_EQ(result.status, kExitError);
  EXPECT_EQ(result.bridges.size(), 2u);
  ASSERT_EQ(rig.causes.size(), 1u);
  EXPECT_EQ(rig.causes[0].rfind("refused: 2 bridges are connected", 0), 0u) << rig.causes[0];
  EXPECT_TRUE(rig.phases.empty());  // nothing was read
}

TEST(FlashOperations, AFailedBackupEndsTheRestoreBeforeAnyErase) {
  OperationRig rig;
  ASSERT_TRUE(rig.Ready());
  const std::string good = rig.SaveGood("good.bin");
  ASSERT_TRUE(rig.Bridge()->StoreFlash(0, {static_cast<uint8_t>(~rig.Good()[0])}));
  CFlashROM engine;
  const FlashOperationResult result =
      RestoreFlash(&engine, good, rig.Hooks(true, /*backupSaved=*/false));
  EXPECT_EQ(result.status, kExitError);
  EXPECT_EQ(result.message, MSG_UPDATE_FAILED);
  EXPECT_TRUE(result.writeFailed);
  EXPECT_FALSE(result.reported);
  EXPECT_EQ(rig.backups.size(), 1u);
  EXPECT_TRUE(rig.shown.empty());
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*rig.Bridge()));
}

}  // namespace
