// The flash engine over the virtual bridge: device checks, block operations
// with the transport's transfer unit, progress arithmetic, the write plan.
// The same tests run over the USB encoding (48-byte unit) and, compiled a
// second time, over the SCSI encoding (512-byte unit).
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "CommandSet.h"
#include "EngineSupport.h"
#include "FlashROM.h"
#include "TestSupport.h"
#include "WritePlan.h"
#include "common.h"

using testsupport::BuildImage;
using testsupport::OneBridge;
using testsupport::ProgressRecorder;

namespace {

constexpr unsigned long kUnit = CFlashROM::kTransferUnit;

std::vector<unsigned char> Firmware(uint16_t version, uint32_t size = 6000) {
  return zfimage::BuildFirmwareFile(BRIDGEIC_QK9318A, version, 0x0154,
                                    zfimage::PseudoRandomCode(size, version));
}

// A 128 KiB flash with 4 KiB blocks keeps the tests quick.
zfimage::FlashImageSpec SmallSpec(SROM_FWALLOCATE copies = FWALLOCATE_DUAL) {
  zfimage::FlashImageSpec imageSpec = zfimage::DefaultFlashImageSpec();
  imageSpec.partName = "EONSillicon EN25LF10";
  imageSpec.copies = copies;
  imageSpec.firmware1 = Firmware(0x0110);
  imageSpec.firmware2.clear();
  return imageSpec;
}

std::vector<uint32_t> AddressesOf(const vbridge::VirtualBridge& device, int command) {
  std::vector<uint32_t> out;
  for (const auto& c : testsupport::CommandsOf(device, command)) out.push_back(c.address);
  return out;
}

// Opens the engine on the bus's bridge and reads the whole flash.
void OpenAndRead(CFlashROM* engine) {
  ASSERT_EQ(engine->OpenFlashROM(nullptr), FLASH_OK);
  ASSERT_EQ(engine->ReadFlashROM(ProgressRecorder::Callback), FLASH_OK);
  engine->WaitWorker();
}

// Places a newer firmware file into the image read from the flash.
void Place(CFlashROM* engine, const std::vector<unsigned char>& file) {
  ASSERT_EQ(engine->SetFWCode(file.data(), static_cast<uint32_t>(file.size()), true), 0);
}

// Starts the write worker and waits for its end.
void WriteToTheEnd(CFlashROM* engine) {
  ASSERT_EQ(engine->WriteFlashROM(ProgressRecorder::Callback), FLASH_OK);
  engine->WaitWorker();
}

void ExpectReportsEndAtHundredOnce(const ProgressRecorder& recorder) {
  std::vector<ProgressRecorder::Report> reports = recorder.Reports();
  ASSERT_FALSE(reports.empty());
  EXPECT_TRUE(reports.back().ok);
  EXPECT_EQ(reports.back().percent, 100);
  EXPECT_EQ(recorder.CountOf(100), 1);
  unsigned short last = 0;
  for (const auto& r : reports) {
    EXPECT_TRUE(r.ok);
    EXPECT_LE(r.percent, 100);
    EXPECT_GE(r.percent, last);
    last = r.percent;
  }
}

TEST(EngineDevice, CompatibilityWordIgnoresTheLowNibble) {
  OneBridge bridge(BuildImage(SmallSpec()));  // version block word 0x0154
  CFlashROM engine;
  ASSERT_EQ(engine.Open(nullptr), kSelectOpened);
  EXPECT_EQ(engine.CheckDevice(0x0150), FLASH_OK);
  EXPECT_EQ(engine.CheckDevice(0x015F), FLASH_OK);
  EXPECT_EQ(engine.CheckDevice(0x0160), FLASH_NOT_BRIDGE);
  EXPECT_EQ(engine.CheckDevice(0), FLASH_OK);
}

TEST(EngineDevice, UnknownChipAndMissingDevice) {
  vbridge::DeviceConfig config;
  config.chipId = "318x";
  OneBridge bridge(BuildImage(SmallSpec()), config);
  CFlashROM engine;
  // Selection skips a device that is not a bridge and reports the end of
  // the enumeration (the SCSI transports' end of the name list).
  EXPECT_EQ(engine.OpenFlashROM(nullptr),
            CUSBControl::kScsiCommandSet ? kSelectAtEnd : kSelectNoneLeft);
  const CFlashROM::BridgeOpening opening = engine.OpenBridge(nullptr);
  EXPECT_EQ(opening.selection, CUSBControl::kScsiCommandSet ? kSelectAtEnd : kSelectNoneLeft);
  EXPECT_FALSE(opening.Ready());
  EXPECT_EQ(engine.CheckDevice(0), FLASH_TRANSFER_FAILED);
  EXPECT_EQ(engine.ReadFlashROM(ProgressRecorder::Callback), FLASH_TRANSFER_FAILED);
}

TEST(EngineRead, WholeFlashInUnitsWithOneReportEach) {
  std::vector<unsigned char> image = BuildImage(SmallSpec());
  OneBridge bridge(image);
  ProgressRecorder recorder;
  CFlashROM engine;
  OpenAndRead(&engine);
  ASSERT_EQ(engine.ImageSize(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), engine.Image()));
  const size_t chunks = (image.size() + kUnit - 1) / kUnit;
  EXPECT_EQ(recorder.Reports().size(), chunks);
  ExpectReportsEndAtHundredOnce(recorder);
  // The header read plus one read per chunk, each address read once.
  std::vector<uint32_t> reads = AddressesOf(*bridge.device, CMD_READROM);
  ASSERT_EQ(reads.size(), chunks + 1);
  EXPECT_EQ(reads[0], 0u);
  for (size_t i = 1; i < reads.size(); ++i) EXPECT_EQ(reads[i], (i - 1) * kUnit);
  EXPECT_EQ(engine.GetBridgeIC(), BRIDGEIC_QK9318A);
  EXPECT_EQ(engine.GetFWAllocate(), FWALLOCATE_DUAL);
  // The ROM parameters sent are the header's parameter bytes.
  std::vector<uint8_t> sent = bridge.device->RomParameters();
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), image.begin() + 7));
}

TEST(EngineRead, FailureIsReportedOnceAndStopsTheRead) {
  OneBridge bridge(BuildImage(SmallSpec()));
  bridge.device->SetFailAtCommand(20);
  ProgressRecorder recorder;
  CFlashROM engine;
  OpenAndRead(&engine);
  std::vector<ProgressRecorder::Report> reports = recorder.Reports();
  ASSERT_FALSE(reports.empty());
  EXPECT_FALSE(reports.back().ok);
  EXPECT_EQ(reports.back().percent, 0);
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(), [](auto r) { return !r.ok; }), 1);
  EXPECT_EQ(bridge.device->CommandCount(), 20u);
}

// The block operations report only while a callback is set, as during a
// worker's run.
class ReportingEngine : public CFlashROM {
 public:
  void SetCallback(::ProgressCallback callback) { ProgressCallback = callback; }
};

class EngineBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    OpenAndRead(&engine_);
    engine_.SetCallback(ProgressRecorder::Callback);
    bridge_.device->ClearLog();
  }
  OneBridge bridge_{BuildImage(SmallSpec())};
  ProgressRecorder recorder_;
  ReportingEngine engine_;
};

TEST_F(EngineBlocks, EraseCoversEveryTouchedBlockOnce) {
  unsigned long done = 0;
  ASSERT_EQ(engine_.EraseRomBlock(0x1234, 0x2000, &done, 0x4000), FLASH_OK);
  EXPECT_EQ(AddressesOf(*bridge_.device, CMD_BLOCKERASEROM),
            (std::vector<uint32_t>{0x1000, 0x2000, 0x3000}));
  // One report for the whole erase, counting the requested length.
  EXPECT_EQ(done, 0x2000u);
  bridge_.device->ClearLog();
  ASSERT_EQ(engine_.EraseRomBlock(0x1234, 0x10, &done, 0x4000), FLASH_OK);
  EXPECT_EQ(AddressesOf(*bridge_.device, CMD_BLOCKERASEROM), (std::vector<uint32_t>{0x1000}));
  std::vector<ProgressRecorder::Report> reports = recorder_.Reports();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports.back().percent, (0x2000 + 0x10) * 100 / 0x4000);
}

TEST_F(EngineBlocks, WritesAndVerifiesInTransferUnits) {
  size_t before = recorder_.Reports().size();
  unsigned long done = 0;
  ASSERT_EQ(engine_.EraseRomBlock(0x1000, 100, &done, 300), FLASH_OK);
  ASSERT_EQ(engine_.WriteRomBlock(0x1000, 100, &done, 300), FLASH_OK);
  ASSERT_EQ(engine_.VerifyRomBlock(0x1000, 100, &done, 300), FLASH_OK);
  std::vector<uint32_t> lengths;
  for (const auto& c : testsupport::CommandsOf(*bridge_.device, CMD_WRITEROM)) {
    lengths.push_back(c.dataLength);
  }
  std::vector<uint32_t> expected;
  for (unsigned long left = 100; left > 0; left -= std::min(left, kUnit)) {
    expected.push_back(static_cast<uint32_t>(std::min(left, kUnit)));
  }
  EXPECT_EQ(lengths, expected);
  // One report per chunk of the write and of the verify, one for the erase.
  EXPECT_EQ(recorder_.Reports().size() - before, 1 + 2 * expected.size());
  EXPECT_EQ(recorder_.Reports().back().percent, 100);
}

TEST_F(EngineBlocks, VerifyMismatchReportsFailureAndSeven) {
  // A byte early in the second chunk, the last byte of the second chunk and
  // the last byte of a region that ends inside its last chunk.
  const unsigned long length = 2 * kUnit + 5;
  for (unsigned long at : {kUnit + 3, 2 * kUnit - 1, length - 1}) {
    SCOPED_TRACE(at);
    bridge_.device->ClearLog();
    engine_.MutableImage()[0x1000 + at] ^= 0x40;
    unsigned long done = 0;
    EXPECT_EQ(engine_.VerifyRomBlock(0x1000, length, &done, length), FLASH_IMAGE_ERROR);
    EXPECT_EQ(done, at / kUnit * kUnit);  // the chunks before it matched
    std::vector<ProgressRecorder::Report> reports = recorder_.Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_FALSE(reports.back().ok);
    EXPECT_EQ(reports.back().percent, 0);
    // No chunk after the mismatch was read.
    EXPECT_EQ(testsupport::CommandsOf(*bridge_.device, CMD_READROM).size(), at / kUnit + 1);
    engine_.MutableImage()[0x1000 + at] ^= 0x40;
  }
}

TEST_F(EngineBlocks, FailedCommandStopsTheBlockAtOnce) {
  // The third command of each operation fails: nothing after it is sent.
  struct Operation {
    const char* name;
    int (ReportingEngine::*run)(unsigned long, unsigned long, unsigned long*, unsigned long);
    unsigned long length;
    unsigned long doneBefore;
  };
  const Operation operations[] = {
      {"write", &ReportingEngine::WriteRomBlock, 5 * kUnit, 2 * kUnit},
      {"verify", &ReportingEngine::VerifyRomBlock, 5 * kUnit, 2 * kUnit},
      {"erase", &ReportingEngine::EraseRomBlock, 5 * 0x1000, 0},
  };
  for (const Operation& op : operations) {
    SCOPED_TRACE(op.name);
    bridge_.device->ClearLog();
    bridge_.device->SetFailAtCommand(bridge_.device->CommandCount() + 3);
    unsigned long done = 0;
    EXPECT_EQ((engine_.*op.run)(0x10000, op.length, &done, op.length), FLASH_TRANSFER_FAILED);
    EXPECT_EQ(done, op.doneBefore);
    EXPECT_EQ(bridge_.device->Log().size(), 3u);
    EXPECT_FALSE(bridge_.device->Log().back().ok);
    std::vector<ProgressRecorder::Report> reports = recorder_.Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_FALSE(reports.back().ok);
    EXPECT_EQ(reports.back().percent, 0);
    bridge_.device->SetFailAtCommand(0);
  }
}

// Order of the flash-changing commands of one write: which area each lies in.
std::vector<char> RegionOrder(const vbridge::VirtualBridge& device, uint32_t o1, uint32_t o2) {
  std::vector<char> order;
  for (const auto& c : device.Log()) {
    if (c.command != CMD_BLOCKERASEROM && c.command != CMD_WRITEROM) continue;
    char region = c.address >= o2 ? '2' : (c.address >= (o1 & ~0xFFFu) ? '1' : '0');
    if (order.empty() || order.back() != region) order.push_back(region);
  }
  return order;
}

// A bridge holding an image and an engine that reads its flash and places
// the newer file in it; Write() writes it with a clear log, the write's
// reports alone in writeReports.
struct PlacedFile {
  explicit PlacedFile(const std::vector<unsigned char>& image) : bridge(image) {}
  void ReadAndPlace() {
    ASSERT_NO_FATAL_FAILURE(OpenAndRead(&engine));
    ASSERT_NO_FATAL_FAILURE(Place(&engine, file));
  }
  void Write() {
    bridge.device->ClearLog();
    writeReports.emplace();
    ASSERT_NO_FATAL_FAILURE(WriteToTheEnd(&engine));
  }

  OneBridge bridge;
  ProgressRecorder readReports;
  CFlashROM engine;
  const std::vector<unsigned char> file = Firmware(0x0130);
  std::optional<ProgressRecorder> writeReports;
};

TEST(EngineWrite, OlderCopyFirstThenTheOther) {
  zfimage::FlashImageSpec imageSpec = SmallSpec();
  imageSpec.firmware1 = Firmware(0x0120);
  imageSpec.firmware2 = Firmware(0x0110);  // area 2 is the older copy
  std::vector<unsigned char> image = BuildImage(imageSpec);
  PlacedFile placed(image);
  ASSERT_NO_FATAL_FAILURE(placed.ReadAndPlace());
  CFlashROM& engine = placed.engine;
  const std::vector<unsigned char>& file = placed.file;
  ASSERT_EQ(engine.GetFWCodeChange(), 2);
  EXPECT_EQ(engine.GetWriteSize(), 2 * file.size());
  ASSERT_NO_FATAL_FAILURE(placed.Write());
  ExpectReportsEndAtHundredOnce(*placed.writeReports);
  const OneBridge& bridge = placed.bridge;
  const uint32_t o1 = testsupport::Area1Offset(image), o2 = testsupport::Area2Offset(image);
  EXPECT_EQ(RegionOrder(*bridge.device, o1, o2), (std::vector<char>{'2', '1'}));
  std::vector<unsigned char> after = bridge.device->FlashBytes();
  EXPECT_TRUE(testsupport::HoldsAt(after, o1, file));
  EXPECT_TRUE(testsupport::HoldsAt(after, o2, file));
  // Each block erased once; each written byte read back once.
  std::vector<uint32_t> erases = AddressesOf(*bridge.device, CMD_BLOCKERASEROM);
  std::vector<uint32_t> sorted = erases;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
  size_t readBytes = 0;
  for (const auto& c : testsupport::CommandsOf(*bridge.device, CMD_READROM)) {
    readBytes += c.dataLength;
  }
  EXPECT_EQ(readBytes, 2 * file.size());
  // The operation state is cleared after a successful write.
  EXPECT_EQ(engine.GetFWCodeChange(), 0);
}

TEST(EngineWrite, AreaInsideTheFirstBlockTakesTheHeaderWithIt) {
  // Move area 1 of a dual image into the first erase block, at 0x400.
  std::vector<unsigned char> image = BuildImage(SmallSpec());
  const uint32_t o1 = testsupport::Area1Offset(image), o2 = testsupport::Area2Offset(image);
  const uint32_t size = GetLE32(image.data() + o1 + 4) + 16;
  const uint32_t moved = 0x400;
  std::copy(image.begin() + o1, image.begin() + o1 + size, image.begin() + moved);
  std::fill(image.begin() + o1, image.begin() + o1 + size, 0xFF);
  PutLE32(image.data() + 36, moved);
  // A frequency byte with its upper nibble set: the bridge gets only the low
  // nibble, the rewritten header keeps the byte its CRC covers.
  image[18] |= 0xA0;
  SealHeaderCrc(image.data());
  PlacedFile placed(image);
  ASSERT_NO_FATAL_FAILURE(placed.ReadAndPlace());
  ASSERT_EQ(placed.engine.GetFWCodeChange(), 1);
  ASSERT_NO_FATAL_FAILURE(placed.Write());
  // The widened region [0, 0x400 + size) first, then area 2; the bar still
  // reaches 100 once, at the very end.
  ExpectReportsEndAtHundredOnce(*placed.writeReports);
  const OneBridge& bridge = placed.bridge;
  const std::vector<unsigned char>& file = placed.file;
  std::vector<uint32_t> erases = AddressesOf(*bridge.device, CMD_BLOCKERASEROM);
  ASSERT_FALSE(erases.empty());
  EXPECT_EQ(erases.front(), 0u);
  std::vector<uint32_t> writes = AddressesOf(*bridge.device, CMD_WRITEROM);
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.front(), 0u);
  EXPECT_GE(writes.back(), o2);
  EXPECT_EQ(bridge.device->RomParameters()[18 - 7], image[18] & 0x0F);
  std::vector<unsigned char> after = bridge.device->FlashBytes();
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + moved, after.begin()));
  EXPECT_TRUE(testsupport::HoldsAt(after, moved, file));
  EXPECT_TRUE(testsupport::HoldsAt(after, o2, file));
}

TEST(EngineWrite, NothingSelectedSendsNothing) {
  OneBridge bridge(BuildImage(SmallSpec()));
  ProgressRecorder recorder;
  CFlashROM engine;
  EXPECT_EQ(engine.WriteFlashROM(ProgressRecorder::Callback), FLASH_IMAGE_ERROR);  // no image
  OpenAndRead(&engine);
  bridge.device->ClearLog();
  EXPECT_EQ(engine.GetWriteSize(), 0u);
  EXPECT_EQ(engine.WriteFlashROM(ProgressRecorder::Callback), FLASH_IMAGE_ERROR);
  EXPECT_TRUE(bridge.device->Log().empty());
}

TEST(EngineWrite, VerifyFailureLeavesTheOtherCopyUntouched) {
  std::vector<unsigned char> image = BuildImage(SmallSpec());
  const uint32_t o1 = testsupport::Area1Offset(image), o2 = testsupport::Area2Offset(image);
  PlacedFile placed(image);
  ASSERT_NO_FATAL_FAILURE(placed.ReadAndPlace());
  const OneBridge& bridge = placed.bridge;
  bridge.device->SetFlipReadBitAt(o1 + 64);
  ASSERT_NO_FATAL_FAILURE(placed.Write());
  EXPECT_FALSE(placed.writeReports->Reports().back().ok);
  for (const auto& c : bridge.device->Log()) {
    if (c.command == CMD_BLOCKERASEROM || c.command == CMD_WRITEROM) {
      EXPECT_LT(c.address, o2);
    }
  }
  EXPECT_TRUE(testsupport::HoldsAt(bridge.device->FlashBytes(), o2,
                                   std::vector<unsigned char>(image.begin() + o2,
                                                              image.begin() + o2 + 6016)));
}

// ---------------------------------------------------------------------------
// The write plan, worked out from images alone

// Runs a plan on a model flash holding `before`: an erase sets its blocks to
// 0xFF, a write programs the target's bytes, a verify compares them. Counts
// the steps during which the header differs from the target's.
struct Simulated {
  std::vector<unsigned char> flash;
  bool verifiesPass = true;
  int stepsWithoutHeader = 0;
};

Simulated Simulate(const std::vector<unsigned char>& before,
                   const std::vector<unsigned char>& target, const WritePlan& plan,
                   uint32_t block) {
  Simulated sim{before};
  for (const WriteStep& step : plan.steps) {
    const uint64_t end = static_cast<uint64_t>(step.start) + step.length;
    if (step.kind == WriteStep::kErase) {
      const uint64_t first = BlockStart(step.start, block);
      const uint64_t last = BlockStart(end - 1, block) + block;
      std::fill(sim.flash.begin() + first, sim.flash.begin() + last, 0xFF);
    } else if (step.kind == WriteStep::kWrite) {
      for (uint64_t a = step.start; a < end; ++a) sim.flash[a] &= target[a];
    } else if (!std::equal(target.begin() + step.start, target.begin() + end,
                           sim.flash.begin() + step.start)) {
      sim.verifiesPass = false;
    }
    if (!std::equal(target.begin(), target.begin() + 48, sim.flash.begin())) {
      ++sim.stepsWithoutHeader;
    }
  }
  return sim;
}

struct PlanCase {
  const char* name;
  const char* part;
  uint32_t area1;      // 0: where the image builder puts it
  uint32_t area2;
  uint16_t selected;   // the copy written first
  int markerAfterArea2;  // >= 0: a data byte this far behind the end of copy 2
  PlanRefusal refusal;
  bool firstBlockShared;  // a copy lies in the first erase block
  uint32_t fileCode = 6100;    // code bytes of the new file (the installed copies hold 6000)
  int markerBeforeArea2 = -1;  // >= 0: a data byte this far in front of copy 2
  bool copy1HoldsFile = false;  // the flash holds the new file as copy 1 already
  bool flashKnown = true;       // the plan is given the flash as read
};

void PrintTo(const PlanCase& c, std::ostream* os) { *os << c.name; }

class WritePlanTest : public ::testing::TestWithParam<PlanCase> {};

// The bytes an installed copy at `at` holds behind the end of a new copy
// of `length` bytes: [at + length, end of the installed copy).
std::pair<uint32_t, uint32_t> StaleTail(const std::vector<unsigned char>& before, uint32_t at,
                                        uint32_t length) {
  const uint32_t installed = GetLE32(&before[at + 4]) + 16;
  return {at + length, at + std::max(installed, length)};
}

TEST_P(WritePlanTest, KeepsEveryByteItDoesNotWrite) {
  const PlanCase& c = GetParam();
  zfimage::FlashImageSpec imageSpec = SmallSpec();
  imageSpec.partName = c.part;
  std::vector<unsigned char> before = BuildImage(imageSpec);
  if (c.area1 != 0) testsupport::MoveArea(&before, 36, c.area1);
  if (c.area2 != 0) testsupport::MoveArea(&before, 40, c.area2);
  const uint32_t o1 = testsupport::Area1Offset(before), o2 = testsupport::Area2Offset(before);
  const std::vector<unsigned char> file = Firmware(0x0130, c.fileCode);
  const uint32_t length = static_cast<uint32_t>(file.size());
  const uint32_t end2 = o2 + std::max<uint32_t>(length, GetLE32(&before[o2 + 4]) + 16);
  if (c.markerAfterArea2 >= 0) before[end2 + c.markerAfterArea2] = 0x5A;
  if (c.markerBeforeArea2 >= 0) before[o2 - 1 - c.markerBeforeArea2] = 0x5B;
  if (c.copy1HoldsFile) std::copy(file.begin(), file.end(), before.begin() + o1);
  // The target: the file placed at both areas, as SetFWCode leaves it.
  std::vector<unsigned char> target = before;
  std::copy(file.begin(), file.end(), target.begin() + o1);
  std::copy(file.begin(), file.end(), target.begin() + o2);

  vbridge::DeviceConfig config;
  config.flashPart = c.part;
  vbridge::VirtualBridge probe(config);
  std::string error;
  ASSERT_TRUE(probe.Init(&error)) << error;
  WriteRequest request;
  request.image = target.data();
  request.imageSize = static_cast<uint32_t>(target.size());
  request.eraseBlockSize = probe.EraseBlockSize();
  request.fwCodeChange = c.selected;
  if (c.flashKnown) request.flash = before.data();
  const WritePlan plan = PlanWrite(request);
  ASSERT_EQ(plan.refusal, c.refusal);
  if (!plan.ok()) {
    EXPECT_TRUE(plan.steps.empty());
    return;
  }
  const Simulated sim = Simulate(before, target, plan, request.eraseBlockSize);
  EXPECT_TRUE(sim.verifiesPass);
  // The stale tail of a longer installed copy is erased or left, never
  // written back; every other byte ends as the target has it.
  std::vector<std::pair<uint32_t, uint32_t>> stale;
  if (c.flashKnown) {
    stale.push_back(StaleTail(before, o2, length));
    if (!c.copy1HoldsFile) stale.push_back(StaleTail(before, o1, length));
  }
  auto isStale = [&stale](uint32_t a) {
    return std::any_of(stale.begin(), stale.end(),
                       [a](const auto& r) { return a >= r.first && a < r.second; });
  };
  for (uint32_t a = 0; a < target.size(); ++a) {
    if (isStale(a)) {
      ASSERT_TRUE(sim.flash[a] == 0xFF || sim.flash[a] == before[a]) << "stale byte " << a;
    } else {
      ASSERT_EQ(sim.flash[a], target[a]) << "byte " << a << " lost or not written";
    }
  }
  for (const WriteStep& step : plan.steps) {
    if (step.kind != WriteStep::kWrite) continue;
    for (uint32_t a = step.start; a < step.start + step.length; ++a) {
      ASSERT_FALSE(isStale(a)) << "stale byte " << a << " written back";
    }
  }
  // The header is written back right after the erase of the first block.
  EXPECT_EQ(sim.stepsWithoutHeader, c.firstBlockShared ? 1 : 0);

  // Without anything to keep, each copy written is one erase, one write
  // and one verify, the selected copy first; a copy the flash holds
  // already is not touched.
  std::vector<WriteStep> plain;
  const uint32_t first = c.selected == 1 ? o1 : o2, second = c.selected == 1 ? o2 : o1;
  for (uint32_t at : {first, second}) {
    if (c.copy1HoldsFile && at == o1) continue;
    for (WriteStep::Kind kind : {WriteStep::kErase, WriteStep::kWrite, WriteStep::kVerify}) {
      plain.push_back({kind, at, length});
    }
  }
  const bool keepsSomething =
      c.firstBlockShared || c.markerAfterArea2 >= 0 || c.markerBeforeArea2 >= 0;
  EXPECT_EQ(plan.steps == plain, !keepsSomething);
  const WritePlanSummary summary = SummarizePlan(plan, request, 48);
  const uint32_t written = c.copy1HoldsFile ? 1u : 2u;
  EXPECT_EQ(summary.copies, written);
  EXPECT_EQ(summary.regions, written);
  EXPECT_EQ(summary.unchangedRegions, 2u - written);
  EXPECT_EQ(summary.writeBackRanges > 0, keepsSomething);
}

PlanCase FileOf(PlanCase c, uint32_t code) {
  c.fileCode = code;
  return c;
}

PlanCase Before2(PlanCase c, int distance) {
  c.markerBeforeArea2 = distance;
  return c;
}

PlanCase Copy1HoldsFile(PlanCase c) {
  c.copy1HoldsFile = true;
  return c;
}

PlanCase FlashUnknown(PlanCase c) {
  c.flashKnown = false;
  return c;
}

constexpr PlanRefusal kNone = PlanRefusal::kNone;
constexpr PlanRefusal kShare = PlanRefusal::kCopiesShareBlocks;
constexpr const char* kSmall = "EONSillicon EN25LF10";

// Copies at 0x1000 and 0x2800: installed copy 1 (6016 bytes) ends at
// 0x2780, in the 4 KiB block copy 2 starts in. A 4000-byte file (4016 with
// its header) ends at 0x1FB0, before that block; a 6100-byte one at 0x27E4.
INSTANTIATE_TEST_SUITE_P(
    Layouts, WritePlanTest,
    ::testing::Values(
        PlanCase{"Plain", kSmall, 0, 0, 1, -1, kNone, false},
        PlanCase{"PlainCopy2First", kSmall, 0, 0, 2, -1, kNone, false},
        FlashUnknown(PlanCase{"PlainFlashUnknown", kSmall, 0, 0, 1, -1, kNone, false}),
        PlanCase{"CopiesShareABlock", kSmall, 0x1000, 0x2800, 1, -1, kShare, false},
        PlanCase{"CopiesShareABlockCopy2First", kSmall, 0x1000, 0x2800, 2, -1, kShare, false},
        // A shorter file: copy 1 written first leaves copy 2's block; its
        // old tail there is stale. Copy 2 written first would cut the tail
        // of copy 1 while it is the copy kept.
        FileOf(PlanCase{"AdjacentShorterCopy1First", kSmall, 0x1000, 0x2800, 1, -1, kNone, false},
               4000),
        FileOf(PlanCase{"AdjacentShorterCopy2First", kSmall, 0x1000, 0x2800, 2, -1, kShare, false},
               4000),
        // Data bytes right behind copy 2 and right in front of it, in the
        // blocks its erase takes.
        PlanCase{"DataBehindCopy2", kSmall, 0, 0, 1, 20, kNone, false},
        PlanCase{"DataRightBehindCopy2", kSmall, 0, 0, 1, 0, kNone, false},
        PlanCase{"DataOneBehindCopy2", kSmall, 0, 0, 1, 1, kNone, false},
        Before2(PlanCase{"DataRightInFrontOfCopy2", kSmall, 0x1000, 0x8010, 1, -1, kNone, false},
                0),
        Before2(PlanCase{"DataOneInFrontOfCopy2", kSmall, 0x1000, 0x8010, 1, -1, kNone, false}, 1),
        // A shorter file, copy 2 at 0x9060: the new copy ends at 0xA010, the
        // installed one at 0xA7E0, in the same block. The byte right behind
        // the installed copy is kept, its stale tail is not written back.
        FileOf(PlanCase{"ShorterFileDataRightBehindOldCopy2", kSmall, 0x1000, 0x9060, 1, 0, kNone,
                        false},
               4000),
        FileOf(PlanCase{"ShorterFileDataOneBehindOldCopy2", kSmall, 0x1000, 0x9060, 1, 1, kNone,
                        false},
               4000),
        Copy1HoldsFile(PlanCase{"Copy1HoldsTheFileAlready", kSmall, 0, 0, 2, -1, kNone, false}),
        // 64 KiB blocks: area 1 shares the first block with the header,
        // written first or second.
        PlanCase{"FirstBlockCopyWrittenFirst", "Numonyx M25P40", 0x1000, 0x20000, 1, -1, kNone,
                 true},
        PlanCase{"FirstBlockCopyWrittenSecond", "Numonyx M25P40", 0x1000, 0x20000, 2, -1, kNone,
                 true}),
    [](const ::testing::TestParamInfo<PlanCase>& param) { return param.param.name; });

// On a device: area 1 in the first 64 KiB block is the copy written second
// (area 2 is older). Its erase takes the header and parameter area, which
// come back at once, so the next run reads the device again.
TEST(EngineWrite, FirstBlockCopyWrittenSecondKeepsTheHeader) {
  zfimage::FlashImageSpec imageSpec = SmallSpec();
  imageSpec.partName = "Numonyx M25P40";
  imageSpec.firmware1 = Firmware(0x0120);
  imageSpec.firmware2 = Firmware(0x0110);
  std::vector<unsigned char> image = BuildImage(imageSpec);
  testsupport::MoveArea(&image, 36, 0x1000);
  testsupport::MoveArea(&image, 40, 0x20000);
  vbridge::DeviceConfig config;
  config.flashPart = imageSpec.partName;
  OneBridge bridge(image, config);
  ProgressRecorder recorder;
  CFlashROM engine;
  OpenAndRead(&engine);
  const std::vector<unsigned char> file = Firmware(0x0130);
  ASSERT_NO_FATAL_FAILURE(Place(&engine, file));
  ASSERT_EQ(engine.GetFWCodeChange(), 2);
  bridge.device->ClearLog();
  ASSERT_NO_FATAL_FAILURE(WriteToTheEnd(&engine));
  EXPECT_TRUE(recorder.Reports().back().ok);

  // The erase of block 0 is followed straight by the write of the header.
  const std::vector<vbridge::ReceivedCommand> log = bridge.device->Log();
  size_t erase0 = 0;
  while (erase0 < log.size() &&
         !(log[erase0].command == CMD_BLOCKERASEROM && log[erase0].address == 0)) {
    ++erase0;
  }
  ASSERT_LT(erase0 + 1, log.size());
  EXPECT_EQ(log[erase0 + 1].command, CMD_WRITEROM);
  EXPECT_EQ(log[erase0 + 1].address, 0u);

  std::vector<unsigned char> after = bridge.device->FlashBytes();
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x1000, after.begin()));
  EXPECT_TRUE(testsupport::HoldsAt(after, 0x1000, file));
  EXPECT_TRUE(testsupport::HoldsAt(after, 0x20000, file));
  CFlashROM next;
  OpenAndRead(&next);
  EXPECT_EQ(next.GetFWAllocate(), FWALLOCATE_DUAL);
  EXPECT_EQ(next.GetFWVersion(), 0x0130);
}

}  // namespace
