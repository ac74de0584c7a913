// The update flow on the scripted dialog layer over the virtual bridge:
// every message on its path, the captions, the exit status and the flash
// bytes afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "CommandSet.h"
#include "FilRead.h"
#include "FlashROM.h"
#include "ImageAuthoring.h"
#include "MainDialog.h"
#include "ScriptedDialog.h"
#include "TestSupport.h"
#include "VirtualBus.h"
#include "WriteGuard.h"
#include "common.h"

using testsupport::Area1Offset;
using testsupport::Area2Offset;
using testsupport::HoldsAt;

namespace {

constexpr int kFrom = kCaptionFromControl;
constexpr int kTo = kCaptionToControl;

std::vector<unsigned char> Firmware(uint16_t version, SROM_BRIDGEIC variant = BRIDGEIC_QK9318A,
                                    uint16_t compat = 0x0154, uint32_t size = 30000,
                                    uint32_t seed = 99) {
  return zfimage::BuildFirmwareFile(variant, version, compat,
                                    zfimage::PseudoRandomCode(size, seed));
}

std::vector<unsigned char> Image(const zfimage::FlashImageSpec& imageSpec) {
  std::vector<unsigned char> image;
  std::string error;
  EXPECT_TRUE(zfimage::BuildFlashImage(imageSpec, &image, &error)) << error;
  return image;
}

// How many firmware copies of an image the bridge could run: a QK9318A
// area whose code matches its stored CRC.
int ValidCopies(const std::vector<unsigned char>& image) {
  int valid = 0;
  for (uint32_t area : {Area1Offset(image), Area2Offset(image)}) {
    if (area == 0 || !RangeInside(area, 16, image.size())) continue;
    const uint32_t size = GetLE32(image.data() + area + 4);
    if (!RangeInside(area + 16ull, size, image.size())) continue;
    if (GetLE32(image.data() + area) == kSignatureQK9318A &&
        GetLE16(image.data() + area + 10) ==
            static_cast<uint16_t>(CalcCRC16(image.data() + area + 16, size))) {
      ++valid;
    }
  }
  return valid;
}

// The main dialog of a run that may take the policy's version steps.
class PolicyDialog : public CMainDialog {
 public:
  explicit PolicyDialog(const VersionPolicy& policy) : policy_(policy) {}

 protected:
  VersionPolicy Policy() const override { return policy_; }

 private:
  VersionPolicy policy_;
};

class FlowTest : public ::testing::Test {
 protected:
  void WriteSystemInformation(const std::string& text) {
    ASSERT_TRUE(testsupport::WriteText(dir_.File("ZEDRIKFU.ini"), text));
  }
  void WriteFirmwareFile(const std::vector<unsigned char>& file) {
    firmware_ = file;
    ASSERT_TRUE(testsupport::WriteFile(dir_.File("MainFW.kqfw"), file));
  }
  vbridge::VirtualBridge* AddBridge(const std::vector<unsigned char>& image,
                                    vbridge::DeviceConfig config = vbridge::DeviceConfig()) {
    std::string error;
    vbridge::VirtualBridge* device = bus_.AddDevice(config, image, &error);
    EXPECT_NE(device, nullptr) << error;
    return device;
  }
  // The usual set-up: the default bridge (two copies of 01.10) and a file.
  vbridge::VirtualBridge* Standard(uint16_t fileVersion) {
    WriteSystemInformation(testsupport::DefaultSystemInformation());
    WriteFirmwareFile(Firmware(fileVersion));
    before_ = Image(zfimage::DefaultFlashImageSpec());
    return AddBridge(before_);
  }
  int Run(bool answer = true, const VersionPolicy& policy = {}) {
    layer_.answers.push_back(answer);
    vbridge::ScopedActiveBus scopedBus(&bus_);
    ScopedDialogLayer scopedLayer(&layer_);
    PolicyDialog dialog(policy);
    dialog.Create("MainWindow");
    return dialog.ExitStatus();
  }
  // The commands an identical twin of the standard bridge receives in one
  // run answered `answer`.
  std::vector<vbridge::ReceivedCommand> TwinLog(bool answer) {
    vbridge::VirtualBus twinBus;
    vbridge::VirtualBridge* twin = twinBus.AddDevice(vbridge::DeviceConfig(), before_);
    EXPECT_NE(twin, nullptr);
    if (twin == nullptr) return {};
    ScriptedDialogLayer twinLayer;
    twinLayer.answers.push_back(answer);
    vbridge::ScopedActiveBus scopedBus(&twinBus);
    RunMainWindow(&twinLayer);
    return twin->Log();
  }
  std::vector<int> Messages() const { return layer_.MessageIds(); }

  testsupport::ScratchDir dir_;
  testsupport::ScopedAppDir appDir_{dir_.Path() + "/"};
  vbridge::VirtualBus bus_;
  ScriptedDialogLayer layer_;
  std::vector<unsigned char> firmware_;
  std::vector<unsigned char> before_;
};

TEST_F(FlowTest, UpdatesBothCopiesAndNothingElse) {
  vbridge::VirtualBridge* device = Standard(0x0120);
  EXPECT_EQ(Run(true), 0);
  ASSERT_EQ(layer_.messages.size(), 1u);
  EXPECT_EQ(layer_.messages[0].id, 201);
  EXPECT_EQ(layer_.messages[0].kind, MESSAGE_INFORMATION);
  EXPECT_EQ(layer_.captions[kFrom], "from version 01.10");
  EXPECT_EQ(layer_.captions[kTo], "to     version 01.20");

  std::vector<unsigned char> after = device->FlashBytes();
  const uint32_t o1 = Area1Offset(before_), o2 = Area2Offset(before_);
  ASSERT_NE(o1, 0u);
  ASSERT_NE(o2, 0u);
  EXPECT_TRUE(HoldsAt(after, o1, firmware_));
  EXPECT_TRUE(HoldsAt(after, o2, firmware_));
  // Outside the two written areas every byte is as it was.
  for (size_t i = 0; i < after.size(); ++i) {
    bool inArea = (i >= o1 && i < o1 + firmware_.size()) || (i >= o2 && i < o2 + firmware_.size());
    if (!inArea && after[i] != before_[i]) {
      ADD_FAILURE() << "byte " << i << " changed outside the written areas";
      break;
    }
  }
  EXPECT_EQ(ValidCopies(after), 2);
  // The run ends by leaving vendor mode, after the last verify.
  std::vector<vbridge::ReceivedCommand> log = device->Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().command, CMD_DISABLEVENDER);
  EXPECT_EQ(testsupport::CommandsOf(*device, CMD_CHIPERASEROM).size(), 0u);
  EXPECT_EQ(layer_.created,
            (std::vector<std::string>{"MainWindow", "ProgressDialog", "ProgressDialog"}));
}

TEST_F(FlowTest, CancelWritesNothing) {
  vbridge::VirtualBridge* device = Standard(0x0120);
  EXPECT_EQ(Run(false), 2);
  EXPECT_TRUE(Messages().empty());
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*device));
  EXPECT_EQ(device->FlashBytes(), before_);
}

// A run's exit status comes from the messages of that run alone: a Cancel
// after an update ends with 2, whatever the update before it showed.
TEST_F(FlowTest, EachRunEndsWithTheStatusOfItsOwnMessages) {
  Standard(0x0120);
  EXPECT_EQ(Run(true), 0);
  WriteFirmwareFile(Firmware(0x0130));
  layer_.messages.clear();
  EXPECT_EQ(Run(false), 2);
  EXPECT_TRUE(Messages().empty());
}

class NotNewerTest : public FlowTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(NotNewerTest, EqualOrOlderFirmwareIsNeverWritten) {
  vbridge::VirtualBridge* device = Standard(GetParam());
  EXPECT_EQ(Run(true), 2);
  ASSERT_EQ(layer_.messages.size(), 1u);
  EXPECT_EQ(layer_.messages[0].id, 200);
  EXPECT_EQ(layer_.messages[0].kind, MESSAGE_WARNING);
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*device));
  EXPECT_EQ(device->FlashBytes(), before_);
}

INSTANTIATE_TEST_SUITE_P(Versions, NotNewerTest, ::testing::Values(0x0110, 0x0109, 0x0001));

TEST_F(FlowTest, MissingSystemInformationTouchesNoDevice) {
  WriteFirmwareFile(Firmware(0x0120));
  vbridge::VirtualBridge* device = AddBridge(Image(zfimage::DefaultFlashImageSpec()));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{104});
  EXPECT_EQ(device->CommandCount(), 0u);
}

TEST_F(FlowTest, MissingFirmwareFile) {
  WriteSystemInformation(testsupport::DefaultSystemInformation());
  vbridge::VirtualBridge* device = AddBridge(Image(zfimage::DefaultFlashImageSpec()));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{105});
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*device));
}

TEST_F(FlowTest, FoldersInPlaceOfTheFilesCountAsMissing) {
  ASSERT_TRUE(std::filesystem::create_directory(dir_.File("ZEDRIKFU.ini")));
  AddBridge(Image(zfimage::DefaultFlashImageSpec()));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{104});

  layer_ = ScriptedDialogLayer();
  std::filesystem::remove(dir_.File("ZEDRIKFU.ini"));
  WriteSystemInformation(testsupport::DefaultSystemInformation());
  ASSERT_TRUE(std::filesystem::create_directory(dir_.File("MainFW.kqfw")));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{105});
}

TEST_F(FlowTest, WrongChipIsRefusedBeforeTheFirmwareFile) {
  // No firmware file at all: the chip check comes first.
  WriteSystemInformation(testsupport::DefaultSystemInformation("QK9318E"));
  AddBridge(Image(zfimage::DefaultFlashImageSpec()));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{204});
}

TEST_F(FlowTest, FirmwareOfTheOtherVariantIsRefused) {
  WriteSystemInformation(testsupport::DefaultSystemInformation());
  WriteFirmwareFile(Firmware(0x0120, BRIDGEIC_QK9318E));
  vbridge::VirtualBridge* device = AddBridge(Image(zfimage::DefaultFlashImageSpec()));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{204});
  EXPECT_TRUE(testsupport::CommandsOf(*device, CMD_READROM).empty());
}

TEST_F(FlowTest, NoDeviceOrNoAdmittedDevice) {
  WriteSystemInformation(testsupport::DefaultSystemInformation());
  WriteFirmwareFile(Firmware(0x0120));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{203});

  // A device whose ids the file does not admit is not considered.
  layer_ = ScriptedDialogLayer();
  vbridge::DeviceConfig other;
  other.productId = 0x0002;
  vbridge::VirtualBridge* device = AddBridge(Image(zfimage::DefaultFlashImageSpec()), other);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{203});
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*device));
}

TEST_F(FlowTest, DeviceAlreadyOpen) {
  vbridge::VirtualBridge* device = Standard(0x0120);
  layer_.answers.push_back(true);
  ScopedDialogLayer scopedLayer(&layer_);
  vbridge::ScopedActiveBus scopedBus(&bus_);
  CMainDialog dialog;
  ASSERT_EQ(dialog.Open(nullptr), kSelectOpened);
  dialog.Create("MainWindow");
  EXPECT_EQ(Messages(), std::vector<int>{206});
  EXPECT_EQ(dialog.ExitStatus(), 1);
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*device));
}

TEST_F(FlowTest, StoredIdentityMustMatch) {
  WriteSystemInformation(testsupport::DefaultSystemInformation() + "bcdDevice0=0x9999\r\n");
  WriteFirmwareFile(Firmware(0x0120));
  vbridge::VirtualBridge* device = AddBridge(Image(zfimage::DefaultFlashImageSpec()));
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{205});
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*device));
}

TEST_F(FlowTest, ReadFailureAbortsAndLeavesTheFlash) {
  vbridge::VirtualBridge* device = Standard(0x0120);
  device->SetFailAtCommand(400);  // well inside the read of the whole flash
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{107});
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*device));
  EXPECT_EQ(device->FlashBytes(), before_);
  // The bar went back to 0 before the poll gave up.
  ASSERT_FALSE(layer_.progressSeen.empty());
  EXPECT_EQ(layer_.progressSeen.back(), 0u);
}

TEST_F(FlowTest, UnplugDuringReadAborts) {
  vbridge::VirtualBridge* device = Standard(0x0120);
  device->SetUnplugAtCommand(1000);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{107});
}

TEST_F(FlowTest, ReadStartFailures) {
  // Command 8 is the ROM parameter send of the read (after the selection's
  // version query, the open's check, the flow's version query, the read's
  // check and the header read): a failed transfer in read mode is 204.
  vbridge::VirtualBridge* device = Standard(0x0120);
  device->SetFailAtCommand(8);
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(Messages(), std::vector<int>{204});
  EXPECT_EQ(testsupport::CommandsOf(*device, CMD_SETROMPARAMETERS).size(), 1u);
  EXPECT_FALSE(testsupport::CommandsOf(*device, CMD_SETROMPARAMETERS)[0].ok);

  // A blank flash has no header: the image cannot be created (202).
  layer_ = ScriptedDialogLayer();
  vbridge::VirtualBus blankBus;
  std::string error;
  vbridge::VirtualBridge* blank = blankBus.AddDevice(vbridge::DeviceConfig(), &error);
  ASSERT_NE(blank, nullptr) << error;
  layer_.answers.push_back(true);
  {
    vbridge::ScopedActiveBus scopedBus(&blankBus);
    EXPECT_EQ(RunMainWindow(&layer_), 1);
  }
  EXPECT_EQ(Messages(), std::vector<int>{202});
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*blank));
}

TEST_F(FlowTest, UnknownInstalledFirmwareIsReplaced) {
  WriteSystemInformation(testsupport::DefaultSystemInformation());
  WriteFirmwareFile(Firmware(0x0120));
  zfimage::FlashImageSpec imageSpec = zfimage::DefaultFlashImageSpec();
  imageSpec.corruptCopy = 1;
  std::vector<unsigned char> image = Image(imageSpec);
  // Both copies broken.
  image[Area2Offset(image) + 16] ^= 0xFF;
  vbridge::VirtualBridge* device = AddBridge(image);
  EXPECT_EQ(Run(true), 0);
  EXPECT_EQ(layer_.captions[kFrom], "from version Unknown");
  EXPECT_EQ(Messages(), std::vector<int>{201});
  std::vector<unsigned char> after = device->FlashBytes();
  EXPECT_TRUE(HoldsAt(after, Area1Offset(image), firmware_));
  EXPECT_TRUE(HoldsAt(after, Area2Offset(image), firmware_));
}

TEST_F(FlowTest, FirmwareOfTheOtherBridgeCountsAsUnknown) {
  WriteSystemInformation(testsupport::DefaultSystemInformation());
  WriteFirmwareFile(Firmware(0x0105));
  zfimage::FlashImageSpec imageSpec = zfimage::DefaultFlashImageSpec();
  imageSpec.variant = BRIDGEIC_QK9318E;
  imageSpec.copies = FWALLOCATE_SINGLE;
  imageSpec.firmware1 = Firmware(0x0900, BRIDGEIC_QK9318E);
  imageSpec.firmware2.clear();
  std::vector<unsigned char> image = Image(imageSpec);
  vbridge::VirtualBridge* device = AddBridge(image);
  EXPECT_EQ(Run(true), 0);
  EXPECT_EQ(layer_.captions[kFrom], "from version Unknown");
  EXPECT_EQ(layer_.captions[kTo], "to     version 01.05");
  EXPECT_TRUE(HoldsAt(device->FlashBytes(), Area1Offset(image), firmware_));
}

TEST_F(FlowTest, UnplaceableFirmwareIsRefusedWithAWarning) {
  WriteSystemInformation(testsupport::DefaultSystemInformation());
  std::vector<unsigned char> file = Firmware(0x0120);
  file[20] ^= 0x01;  // the code no longer matches its stored CRC
  WriteFirmwareFile(file);
  vbridge::VirtualBridge* device = AddBridge(Image(zfimage::DefaultFlashImageSpec()));
  EXPECT_EQ(Run(true), 1);
  ASSERT_EQ(layer_.messages.size(), 1u);
  EXPECT_EQ(layer_.messages[0].id, 202);
  EXPECT_EQ(layer_.messages[0].kind, MESSAGE_WARNING);
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*device));
}

TEST_F(FlowTest, WriteFailureKeepsOneValidCopy) {
  vbridge::VirtualBridge* device = Standard(0x0120);
  // Find where the write starts, then fail a command in the middle of it.
  {
    const std::vector<vbridge::ReceivedCommand> log = TwinLog(true);
    size_t firstErase = 0;
    while (firstErase < log.size() && log[firstErase].command != CMD_BLOCKERASEROM) ++firstErase;
    ASSERT_LT(firstErase, log.size());
    device->SetFailAtCommand(static_cast<uint32_t>(firstErase + 300));
  }
  EXPECT_EQ(Run(true), 1);
  ASSERT_EQ(layer_.messages.size(), 1u);
  EXPECT_EQ(layer_.messages[0].id, 202);
  EXPECT_EQ(layer_.messages[0].kind, MESSAGE_ERROR);
  EXPECT_GE(ValidCopies(device->FlashBytes()), 1);
  // The device is still closed properly after the failed write.
  EXPECT_EQ(device->Log().back().command, CMD_DISABLEVENDER);
}

// Records each call of the build's write hooks with what the bridge had
// received and what had been shown by then.
class RecordingWriteGuard : public CWriteGuard {
 public:
  struct Call {
    std::string hook;
    size_t commands;
    bool flashChanged;
    std::vector<int> messages;
  };
  RecordingWriteGuard(const vbridge::VirtualBridge* device, const ScriptedDialogLayer* layer)
      : device_(device), layer_(layer) {
    SetWriteGuard(this);
  }
  ~RecordingWriteGuard() override { SetWriteGuard(nullptr); }
  void WriteStarts() override { Record("starts"); }
  void WriteEnded() override { Record("ended"); }
  void ReportShown() override { Record("shown"); }
  std::vector<std::string> Hooks() const {
    std::vector<std::string> hooks;
    for (const Call& call : calls) hooks.push_back(call.hook);
    return hooks;
  }
  std::vector<Call> calls;

 private:
  void Record(const char* hook) {
    calls.push_back({hook, device_->Log().size(), testsupport::HasFlashChangingCommand(*device_),
                     layer_->MessageIds()});
  }
  const vbridge::VirtualBridge* device_;
  const ScriptedDialogLayer* layer_;
};

TEST_F(FlowTest, TheWriteGuardSpansTheWriteFromItsFirstCommandToItsReport) {
  vbridge::VirtualBridge* device = Standard(0x0120);
  RecordingWriteGuard guard(device, &layer_);
  EXPECT_EQ(Run(true), 0);
  ASSERT_EQ(guard.Hooks(), (std::vector<std::string>{"starts", "ended", "shown"}));
  const std::vector<vbridge::ReceivedCommand> log = device->Log();
  // Held before the first erase, with nothing shown yet.
  EXPECT_FALSE(guard.calls[0].flashChanged);
  ASSERT_LT(guard.calls[0].commands, log.size());
  EXPECT_TRUE(guard.calls[0].messages.empty());
  // The write's last command (vendor mode left) was sent before the end of
  // the write, and the report came after it.
  EXPECT_EQ(guard.calls[1].commands, log.size());
  EXPECT_EQ(log.back().command, CMD_DISABLEVENDER);
  EXPECT_TRUE(guard.calls[1].messages.empty());
  EXPECT_EQ(guard.calls[2].messages, (std::vector<int>{201}));
}

TEST_F(FlowTest, TheWriteGuardIsNotCalledWithoutAWrite) {
  vbridge::VirtualBridge* device = Standard(0x0120);
  {
    RecordingWriteGuard guard(device, &layer_);
    EXPECT_EQ(Run(false), 2);  // Cancel
    EXPECT_TRUE(guard.calls.empty());
  }
  {
    RecordingWriteGuard guard(device, &layer_);
    EXPECT_EQ(Run(true), 0);
    layer_.messages.clear();
    EXPECT_EQ(Run(true), 2);  // already the latest
    EXPECT_EQ(guard.Hooks(), (std::vector<std::string>{"starts", "ended", "shown"}));
  }
}

TEST_F(FlowTest, TheWriteGuardEndsAfterAFailedWrite) {
  vbridge::VirtualBridge* device = Standard(0x0120);
  // How many commands come up to the question, on an identical twin; one
  // 50 commands into the write fails.
  const std::vector<vbridge::ReceivedCommand> twinLog = TwinLog(false);
  ASSERT_FALSE(twinLog.empty());
  device->SetFailAtCommand(static_cast<uint32_t>(twinLog.size() + 50));
  RecordingWriteGuard guard(device, &layer_);
  EXPECT_EQ(Run(true), 1);
  ASSERT_EQ(guard.Hooks(), (std::vector<std::string>{"starts", "ended", "shown"}));
  EXPECT_FALSE(guard.calls[0].flashChanged);
  EXPECT_EQ(guard.calls[1].commands, device->Log().size());
  EXPECT_EQ(guard.calls[2].messages, (std::vector<int>{202}));
}

// The compatibility word the file needs is checked before the question
// (so a check promises only what the write does): the bridge reports
// 0x0154, and only the low four bits may differ.
TEST_F(FlowTest, IncompatibleDeviceIsRefusedBeforeTheQuestion) {
  WriteSystemInformation(testsupport::DefaultSystemInformation());
  struct Case {
    uint16_t required;
    int status;
  };
  for (const Case c : {Case{0x0160, 1}, Case{0x014F, 1}, Case{0x015F, 0}, Case{0x0150, 0}}) {
    SCOPED_TRACE(c.required);
    WriteFirmwareFile(Firmware(0x0120, BRIDGEIC_QK9318A, c.required));
    vbridge::VirtualBus bus;
    vbridge::VirtualBridge* device = bus.AddDevice(vbridge::DeviceConfig(),
                                                   Image(zfimage::DefaultFlashImageSpec()));
    ASSERT_NE(device, nullptr);
    ScriptedDialogLayer layer;
    layer.answers.push_back(true);
    {
      vbridge::ScopedActiveBus scopedBus(&bus);
      EXPECT_EQ(RunMainWindow(&layer), c.status);
    }
    EXPECT_EQ(layer.MessageIds(), std::vector<int>{c.status == 0 ? 201 : 204});
    EXPECT_EQ(layer.answers.size(), c.status == 0 ? 0u : 1u) << "asked before refusing";
    EXPECT_EQ(testsupport::HasFlashChangingCommand(*device), c.status == 0);
  }
}

TEST_F(FlowTest, VerifyMismatchFailsTheWrite) {
  vbridge::VirtualBridge* device = Standard(0x0120);
  device->SetFlipReadBitAt(Area1Offset(before_) + 100);
  EXPECT_EQ(Run(true), 1);
  EXPECT_EQ(Messages(), std::vector<int>{202});
}

TEST_F(FlowTest, ReturnAndEscapeDoNotEndTheProgressDialog) {
  Standard(0x0120);
  layer_.pressKeysInProgress = true;
  EXPECT_EQ(Run(true), 0);
  EXPECT_EQ(Messages(), std::vector<int>{201});
  for (const ScriptedDialogLayer::Ended& e : layer_.ended) EXPECT_EQ(e.outcome, 0) << e.window;
}

TEST_F(FlowTest, ProgressDialogThatCannotBeCreated) {
  vbridge::VirtualBridge* device = Standard(0x0120);
  layer_.refuseWindows.push_back("ProgressDialog");
  EXPECT_EQ(Run(true), 1);
  EXPECT_TRUE(Messages().empty());
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*device));
}

TEST_F(FlowTest, SingleCopyLayout) {
  WriteSystemInformation(testsupport::DefaultSystemInformation());
  WriteFirmwareFile(Firmware(0x0200));
  zfimage::FlashImageSpec imageSpec = zfimage::DefaultFlashImageSpec();
  imageSpec.copies = FWALLOCATE_SINGLE;
  imageSpec.firmware2.clear();
  std::vector<unsigned char> image = Image(imageSpec);
  vbridge::VirtualBridge* device = AddBridge(image);
  EXPECT_EQ(Run(true), 0);
  EXPECT_EQ(layer_.captions[kFrom], "from version 01.10");
  EXPECT_TRUE(HoldsAt(device->FlashBytes(), Area1Offset(image), firmware_));
}

TEST(Captions, NibblesPrintAsDecimalNumbers) {
  char text[64];
  FormatFromCaption(0x0123, text, sizeof text);
  EXPECT_STREQ(text, "from version 01.23");
  FormatFromCaption(0x01A3, text, sizeof text);
  EXPECT_STREQ(text, "from version 01.103");
  FormatFromCaption(0, text, sizeof text);
  EXPECT_STREQ(text, "from version Unknown");
  FormatToCaption(0x0123, text, sizeof text);
  EXPECT_STREQ(text, "to     version 01.23");
}

}  // namespace

namespace {

// Flash layouts and files that a safe write refuses, and the ones it must
// still write, on the default 1 MiB flash (4 KiB blocks, copies at 0x1000
// and 0x11000) with a 30016-byte file.
struct WritePathCase {
  const char* name;
  uint16_t copy1Version;
  uint16_t copy2Version;
  SROM_BRIDGEIC copy1Variant;
  int corruptCopy;          // 0, or the copy whose code is broken
  uint32_t moveArea2To;     // 0: where it is
  bool setSizeHighBytes;    // the file's code size bytes 6-7 not zero
  uint16_t fileVersion;
  int message;              // the one message of the run
  int exitStatus;
  VersionPolicy policy;     // --allow-older, --allow-reinstall
  const char* toCaption;    // the second caption when the question is asked
};

constexpr VersionPolicy kAllowOlder{true, false};
constexpr VersionPolicy kAllowReinstall{false, true};

void PrintTo(const WritePathCase& c, std::ostream* os) { *os << c.name; }

class WritePathTest : public FlowTest, public ::testing::WithParamInterface<WritePathCase> {};

TEST_P(WritePathTest, WritesOnlyWhatKeepsAValidCopy) {
  const WritePathCase& c = GetParam();
  WriteSystemInformation(testsupport::DefaultSystemInformation());
  std::vector<unsigned char> file = Firmware(c.fileVersion);
  if (c.setSizeHighBytes) file[6] = 0x01;
  WriteFirmwareFile(file);
  zfimage::FlashImageSpec imageSpec = zfimage::DefaultFlashImageSpec();
  imageSpec.firmware1 = Firmware(c.copy1Version, BRIDGEIC_QK9318A, 0x0154, 16384, 1);
  imageSpec.firmware2 = Firmware(c.copy2Version, BRIDGEIC_QK9318A, 0x0154, 16384, 2);
  imageSpec.corruptCopy = c.corruptCopy;
  before_ = Image(imageSpec);
  if (c.moveArea2To != 0) testsupport::MoveArea(&before_, 40, c.moveArea2To);
  // The signature is not covered by the code CRC: the copy stays valid.
  PutLE32(before_.data() + Area1Offset(before_), zfimage::SignatureOf(c.copy1Variant));
  vbridge::VirtualBridge* device = AddBridge(before_);

  EXPECT_EQ(Run(true, c.policy), c.exitStatus);
  EXPECT_EQ(Messages(), std::vector<int>{c.message});
  if (c.toCaption != nullptr) {
    EXPECT_EQ(layer_.captions[kTo], c.toCaption);
  }
  const std::vector<unsigned char> after = device->FlashBytes();
  if (c.message == 201) {
    EXPECT_TRUE(HoldsAt(after, Area1Offset(before_), firmware_));
    EXPECT_TRUE(HoldsAt(after, Area2Offset(before_), firmware_));
  } else {
    EXPECT_FALSE(testsupport::HasFlashChangingCommand(*device));
    EXPECT_EQ(after, before_);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WritePathTest,
    ::testing::Values(
        // Copy 2 (older) is compared, but copy 1 runs 01.10: no downgrade.
        WritePathCase{"DowngradeOfTheRunningCopy", 0x0110, 0x0100, BRIDGEIC_QK9318A, 0, 0, false,
                      0x0105, 200, 2},
        // An interrupted update to 01.20 is finished by a rerun.
        WritePathCase{"RerunFinishesAnInterruptedUpdate", 0x0120, 0x0110, BRIDGEIC_QK9318A, 0, 0,
                      false, 0x0120, 201, 0},
        // A newer copy built for the other bridge variant does not count.
        WritePathCase{"OtherVariantCopyDoesNotCount", 0x0150, 0x0100, BRIDGEIC_QK9318E, 0, 0,
                      false, 0x0105, 201, 0},
        // Nor does a newer copy whose code is broken.
        WritePathCase{"BrokenCopyDoesNotCount", 0x0150, 0x0100, BRIDGEIC_QK9318A, 1, 0, false,
                      0x0105, 201, 0},
        // The 32-bit size would make copy 1's region run over copy 2.
        WritePathCase{"CodeSizeUpperBytesSet", 0x0110, 0x0110, BRIDGEIC_QK9318A, 0, 0, true,
                      0x0120, 202, 1},
        // Area 2 in front of area 1 and overlapping it: the room wraps.
        WritePathCase{"CopiesOverlapping", 0x0110, 0x0110, BRIDGEIC_QK9318A, 0, 0x0800, false,
                      0x0120, 202, 1},
        // Copy 1 (0x1000 + 30016 bytes) ends in the block where area 2
        // starts: erasing either copy would cut into the other.
        WritePathCase{"CopiesSharingAnEraseBlock", 0x0110, 0x0110, BRIDGEIC_QK9318A, 0, 0x8800,
                      false, 0x0120, 202, 1},
        // The way back, asked for: from the running copy's 01.10.
        WritePathCase{"DowngradeOfTheRunningCopyAllowed", 0x0110, 0x0100, BRIDGEIC_QK9318A, 0, 0,
                      false, 0x0105, 201, 0, kAllowOlder, "to the OLDER version 01.05"},
        // One step below both copies: older at distance 1.
        WritePathCase{"OlderByOneAllowed", 0x0110, 0x0110, BRIDGEIC_QK9318A, 0, 0, false, 0x0109,
                      201, 0, kAllowOlder, "to the OLDER version 01.09"},
        WritePathCase{"OlderByOneNeedsAllowOlder", 0x0110, 0x0110, BRIDGEIC_QK9318A, 0, 0, false,
                      0x0109, 200, 2, kAllowReinstall, nullptr},
        // The same version: copies whose code differs from the file's are
        // written again only with --allow-reinstall.
        WritePathCase{"SameVersionNeedsAllowReinstall", 0x0110, 0x0110, BRIDGEIC_QK9318A, 0, 0,
                      false, 0x0110, 200, 2, kAllowOlder, nullptr},
        WritePathCase{"SameVersionReinstalled", 0x0110, 0x0110, BRIDGEIC_QK9318A, 0, 0, false,
                      0x0110, 201, 0, kAllowReinstall, "to the SAME version 01.10 (repair)"},
        // A newer file by one still needs no option.
        WritePathCase{"NewerByOne", 0x0110, 0x0110, BRIDGEIC_QK9318A, 0, 0, false, 0x0111, 201, 0,
                      {}, "to     version 01.11"},
        // The safety rules hold on the way back: a file too big for its
        // slot is refused before any erase.
        WritePathCase{"OlderStillPlacedSafely", 0x0110, 0x0110, BRIDGEIC_QK9318A, 0, 0x8800,
                      false, 0x0105, 202, 1, kAllowOlder, nullptr}),
    [](const ::testing::TestParamInfo<WritePathCase>& param) { return param.param.name; });

}  // namespace
