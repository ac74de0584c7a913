// Fault sweep: a full update on the virtual bridge, run once for every
// command of the write phase (and a spread sample of the read phase) with a
// failed command there, and once more with the device unplugged there.
//
// For every faulted run:
// - the outcome is never a success;
// - dual layout: at least one firmware copy the bridge would run is left;
// - the header and the parameter area are intact (the layouts here never
//   select a first area inside the first erase block, which would widen
//   the region over the header), and nothing outside the erase blocks of
//   the two firmware regions changed;
// - a rerun without the fault, on the device as the fault left it,
//   completes the update: every copy equals the file.
//
// The sweep drives the engine the way CMainDialog does (the same calls in
// the same order, so the Nth command is the same command), without the
// dialog layer's 100 ms poll; a sample of faults is run through the real
// flow on the scripted dialog layer to show that both reach the same
// command, the same outcome and the same flash bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstdio>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "CommandSet.h"
#include "FilRead.h"
#include "FlashROM.h"
#include "IDFilter.h"
#include "ImageAuthoring.h"
#include "MainDialog.h"
#include "ScriptedDialog.h"
#include "SystemInformation.h"
#include "TestSupport.h"
#include "UpdateSession.h"
#include "VirtualBus.h"
#include "common.h"

namespace {

constexpr uint16_t kCompat = 0x0154;
constexpr uint16_t kNewVersion = 0x0120;

// ---------------------------------------------------------------------------
// The update, driven like the flow

enum class Outcome { Updated, AlreadyLatest, Failed };

struct RunResult {
  Outcome outcome = Outcome::Failed;
  int message = 0;              // the message the run ended with
  uint32_t readPhaseEnd = 0;    // commands received when the write began (0: never)
  uint32_t writePhaseEnd = 0;   // commands received at the write's final report
  bool missingReport = false;   // the write worker ended without a final report
  WritePlanSummary promised;    // what the decision said the write would do
};

// The device whose command count the write's final report records.
std::atomic<const vbridge::VirtualBridge*> gWatched{nullptr};
std::atomic<uint32_t> gCommandsAtFinalReport{0};

void WatchFinalReport(unsigned short percent, bool ok) {
  const vbridge::VirtualBridge* device = gWatched.load();
  if (device != nullptr && (!ok || percent > 99) && gCommandsAtFinalReport.load() == 0) {
    gCommandsAtFinalReport.store(device->CommandCount());
  }
}

// A whole run through the update session, answered with OK: the flow's
// checks, read and placement, then the write, without the dialogs.
// How the flash is read: only what the update uses (unread bytes holding
// `fill`), or every byte.
struct ReadChoice {
  bool whole = false;
  uint8_t fill = 0xFF;
};

RunResult RunUpdate(vbridge::VirtualBus* bus, const vbridge::VirtualBridge& device,
                    const std::string& systemInformation,
                    const std::vector<unsigned char>& firmware, ReadChoice read = {}) {
  vbridge::ScopedActiveBus active(bus);
  RunResult result;
  // Every early end leaves the device open, as the main dialog's
  // destructor closes it: without a command.
  CUnattendedFlashROM engine;

  UpdateSessionHooks hooks;
  OpenReleaseFrom(&systemInformation, &firmware, &hooks);
  // Watches the write's final report (the read's reports come before the
  // device is watched).
  hooks.progress = WatchFinalReport;
  hooks.readWholeFlash = read.whole;
  hooks.unreadFill = read.fill;
  CUpdateSession session(&engine, std::move(hooks));
  const UpdateDecision decision = session.Prepare();
  if (!decision.Ask()) {
    result.message = decision.message;
    if (decision.message == MSG_ALREADY_LATEST) result.outcome = Outcome::AlreadyLatest;
    return result;
  }

  result.promised = decision.write;
  result.readPhaseEnd = device.CommandCount();
  gCommandsAtFinalReport.store(0);
  gWatched.store(&device);
  bool finalReport = true;
  result.message = session.Write(&finalReport);
  result.missingReport = !finalReport;
  gWatched.store(nullptr);
  result.writePhaseEnd = gCommandsAtFinalReport.load();
  if (result.message == MSG_UPDATED) result.outcome = Outcome::Updated;
  return result;
}

// ---------------------------------------------------------------------------
// Layouts and checks

struct Layout {
  const char* name;
  const char* part;
  SROM_FWALLOCATE copies;
  uint16_t copy2Version;  // dual only: the copy that is older is written first
  uint32_t codeSize;      // of the new firmware; the installed copies are a little smaller
  SROM_BRIDGEIC variant = BRIDGEIC_QK9318A;
  uint32_t area1 = 0;     // > 0: the areas are moved here
  uint32_t area2 = 0;
  uint32_t installedCode = 0;  // > 0: code bytes of both installed copies
};

void PrintTo(const Layout& layout, std::ostream* os) { *os << layout.name; }

struct Prepared {
  Layout layout;
  std::vector<unsigned char> image;  // the flash before the update
  std::vector<unsigned char> file;   // the new firmware file
  uint32_t area1 = 0;
  uint32_t area2 = 0;
  uint32_t eraseBlock = 0;
};

std::vector<unsigned char> FirmwareFile(uint16_t version, uint32_t codeSize, uint32_t seed,
                                        SROM_BRIDGEIC variant = BRIDGEIC_QK9318A) {
  return zfimage::BuildFirmwareFile(variant, version, kCompat,
                                    zfimage::PseudoRandomCode(codeSize, seed));
}

int RunnableCopies(const Prepared& p, const std::vector<unsigned char>& flash);

// A 64 KiB part with 4 KiB blocks keeps thousands of runs quick; firmware
// of about 5 KB spans two erase blocks and ends inside a transfer unit.
zfimage::FlashImageSpec SpecFor(const Layout& layout) {
  zfimage::FlashImageSpec imageSpec = zfimage::DefaultFlashImageSpec();
  imageSpec.partName = layout.part;
  imageSpec.copies = layout.copies;
  imageSpec.variant = layout.variant;
  const uint32_t installed1 = layout.installedCode != 0 ? layout.installedCode : layout.codeSize - 13;
  const uint32_t installed2 =
      layout.installedCode != 0 ? layout.installedCode : layout.codeSize - 203;
  imageSpec.firmware1 = FirmwareFile(0x0110, installed1, 1, layout.variant);
  imageSpec.firmware2.clear();
  if (layout.copies == FWALLOCATE_DUAL) {
    imageSpec.firmware2 = FirmwareFile(layout.copy2Version, installed2, 2, layout.variant);
  }
  if (layout.variant == BRIDGEIC_QK9318E) imageSpec.encryption = {1, 0x12345678u, 0};
  return imageSpec;
}

// True when the image builder has a placement of the layout's copies on
// its part.
bool Buildable(const Layout& layout) {
  std::vector<unsigned char> image;
  std::string error;
  return zfimage::BuildFlashImage(SpecFor(layout), &image, &error);
}

Prepared Prepare(const Layout& layout) {
  Prepared p;
  p.layout = layout;
  std::string error;
  EXPECT_TRUE(zfimage::BuildFlashImage(SpecFor(layout), &p.image, &error)) << error;
  if (layout.area1 != 0) testsupport::MoveArea(&p.image, 36, layout.area1);
  if (layout.area2 != 0) testsupport::MoveArea(&p.image, 40, layout.area2);
  p.file = FirmwareFile(kNewVersion, layout.codeSize, 3, layout.variant);
  p.area1 = testsupport::Area1Offset(p.image);
  p.area2 = testsupport::Area2Offset(p.image);
  EXPECT_EQ(RunnableCopies(p, p.image), layout.copies == FWALLOCATE_DUAL ? 2 : 1)
      << layout.name << ": the layout's copies were not built as meant";
  vbridge::DeviceConfig config;
  config.flashPart = layout.part;
  vbridge::VirtualBridge probe(config);
  EXPECT_TRUE(probe.Init(&error)) << error;
  p.eraseBlock = probe.EraseBlockSize();
  return p;
}

// A firmware copy the bridge would run: an area of the layout's variant
// wholly inside the flash whose code matches its stored CRC.
bool RunnableCopyAt(const Prepared& p, const std::vector<unsigned char>& flash, uint32_t at) {
  if (at == 0 || !RangeInside(at, 16, flash.size())) return false;
  const uint32_t size = GetLE32(&flash[at + 4]);
  if (size > 0xFFFF || !RangeInside(at + 16ull, size, flash.size())) return false;
  return GetLE32(&flash[at]) == zfimage::SignatureOf(p.layout.variant) &&
         GetLE16(&flash[at + 10]) == static_cast<uint16_t>(CalcCRC16(&flash[at + 16], size));
}

int RunnableCopies(const Prepared& p, const std::vector<unsigned char>& flash) {
  return (RunnableCopyAt(p, flash, p.area1) ? 1 : 0) + (RunnableCopyAt(p, flash, p.area2) ? 1 : 0);
}

// The erase blocks a firmware region of `length` bytes at `at` touches.
bool InRegionBlocks(const Prepared& p, uint32_t address, uint32_t at, uint32_t length) {
  if (at == 0) return false;
  const uint32_t first = at / p.eraseBlock * p.eraseBlock;
  const uint32_t last = (at + length - 1) / p.eraseBlock * p.eraseBlock + p.eraseBlock;
  return address >= first && address < last;
}

// First byte that changed outside the erase blocks of the two regions the
// write covers, or -1.
long ChangedOutsideRegions(const Prepared& p, const std::vector<unsigned char>& before,
                           const std::vector<unsigned char>& after) {
  if (before.size() != after.size()) return 0;
  const uint32_t length = static_cast<uint32_t>(p.file.size());
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i] == after[i]) continue;
    const uint32_t a = static_cast<uint32_t>(i);
    if (InRegionBlocks(p, a, p.area1, length) || InRegionBlocks(p, a, p.area2, length)) continue;
    return static_cast<long>(i);
  }
  return -1;
}

// The header and the parameter area, which the next run reads first.
bool HeaderIntact(const Prepared& p, const std::vector<unsigned char>& after) {
  const uint32_t param = GetLE32(&p.image[32]);
  const uint32_t end = param + 16 + GetLE32(&p.image[param + 4]);
  return std::equal(p.image.begin(), p.image.begin() + end, after.begin());
}

bool CopiesEqualFile(const Prepared& p, const std::vector<unsigned char>& flash) {
  if (!testsupport::HoldsAt(flash, p.area1, p.file)) return false;
  return p.layout.copies != FWALLOCATE_DUAL || testsupport::HoldsAt(flash, p.area2, p.file);
}

vbridge::DeviceConfig ConfigFor(const Prepared& p) {
  vbridge::DeviceConfig config;
  config.flashPart = p.layout.part;
  if (p.layout.variant == BRIDGEIC_QK9318E) config.chipId = "318e";
  return config;
}

std::string SystemInformationFor(const Layout& layout) {
  return testsupport::DefaultSystemInformation(layout.variant == BRIDGEIC_QK9318E ? "QK9318E"
                                                                                  : "QK9318A");
}

// The commands of a fault-free write during which the device has no
// readable header: from the erase of block 0 to the write that puts the
// last byte of the header and parameter area back. [first, last] as
// command numbers, or {0, 0} when block 0 is not erased.
std::pair<uint32_t, uint32_t> HeaderWindow(const vbridge::VirtualBridge& device) {
  const std::vector<vbridge::ReceivedCommand> log = device.Log();
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].command != CMD_BLOCKERASEROM || log[i].address != 0) continue;
    size_t last = i + 1;
    while (last + 1 < log.size() && log[last + 1].command == CMD_WRITEROM) ++last;
    return {static_cast<uint32_t>(i + 1), static_cast<uint32_t>(last + 1)};
  }
  return {0, 0};
}

enum class Fault { Fail, Unplug };

struct Counts {
  int runs = 0;
  int falseSuccesses = 0;
  int withoutValidCopy = 0;
  int headerDamaged = 0;
  int strayChanges = 0;
  int readPhaseWrites = 0;
  int tolerated = 0;
  int missingReports = 0;
  int recovered = 0;
  int inHeaderWindow = 0;  // faults that left no readable header (counted apart)
};

// One faulted run and its rerun on a replugged device with the flash as the
// fault left it. Failures are counted and reported with the command number.
void FaultedRun(const Prepared& p, const std::string& systemInformation, Fault fault,
                uint32_t at, bool inReadPhase, std::pair<uint32_t, uint32_t> window,
                Counts* counts) {
  const char* kind = fault == Fault::Fail ? "failed" : "unplug at";
  ++counts->runs;
  std::vector<unsigned char> left;
  {
    vbridge::VirtualBus bus;
    vbridge::DeviceConfig config = ConfigFor(p);
    if (fault == Fault::Fail) config.failAtCommand = at;
    if (fault == Fault::Unplug) config.unplugAtCommand = at;
    std::string error;
    vbridge::VirtualBridge* device = bus.AddDevice(config, p.image, &error);
    ASSERT_NE(device, nullptr) << error;
    const RunResult run = RunUpdate(&bus, *device, systemInformation, p.file);
    left = device->FlashBytes();
    const bool reportedSuccess = run.outcome == Outcome::Updated;
    if (reportedSuccess && inReadPhase && CopiesEqualFile(p, left)) {
      // The flow passes over a failed check while opening (the read checks
      // the device again): the update then really completed.
      ++counts->tolerated;
    } else if (reportedSuccess) {
      ++counts->falseSuccesses;
      ADD_FAILURE() << p.layout.name << ": " << kind << " command " << at << " reported success";
    }
    if (run.missingReport) {
      ++counts->missingReports;
      ADD_FAILURE() << p.layout.name << ": " << kind << " command " << at
                    << ": a worker ended without a final report";
    }
    if (inReadPhase && !reportedSuccess && testsupport::HasFlashChangingCommand(*device)) {
      ++counts->readPhaseWrites;
      ADD_FAILURE() << p.layout.name << ": " << kind << " read-phase command " << at
                    << ": the flash was changed";
    }
  }
  // A single copy is necessarily broken while it is rewritten; two copies
  // never may be at once.
  if (RunnableCopies(p, left) == 0) {
    ++counts->withoutValidCopy;
    if (p.layout.copies == FWALLOCATE_DUAL) {
      ADD_FAILURE() << p.layout.name << ": " << kind << " command " << at
                    << " left no runnable copy";
    }
  }
  if (!HeaderIntact(p, left)) {
    // Between the erase of block 0 and the write-back of its header a
    // fault leaves no readable header: the window the write keeps short.
    if (at > window.first && at <= window.second) {
      ++counts->inHeaderWindow;
      return;
    }
    ++counts->headerDamaged;
    ADD_FAILURE() << p.layout.name << ": " << kind << " command " << at
                  << " changed the header or parameter area";
  }
  const long stray = ChangedOutsideRegions(p, p.image, left);
  if (stray >= 0) {
    ++counts->strayChanges;
    ADD_FAILURE() << p.layout.name << ": " << kind << " command " << at << " changed byte "
                  << stray << " outside the firmware regions";
  }

  // The rerun: a fresh device (replugged, or power-cycled) holding what the
  // faulted run left.
  vbridge::VirtualBus bus;
  std::string error;
  vbridge::VirtualBridge* device = bus.AddDevice(ConfigFor(p), left, &error);
  ASSERT_NE(device, nullptr) << error;
  const RunResult rerun = RunUpdate(&bus, *device, systemInformation, p.file);
  const std::vector<unsigned char> after = device->FlashBytes();
  // A fault in the verify of the last region leaves every copy written: the
  // rerun then finds the file installed, which completes the update too.
  const bool completed =
      rerun.outcome == Outcome::Updated || rerun.outcome == Outcome::AlreadyLatest;
  if (completed && CopiesEqualFile(p, after)) {
    ++counts->recovered;
  } else {
    ADD_FAILURE() << p.layout.name << ": after " << kind << " command " << at
                  << " the rerun did not complete the update";
  }
}

// Read-phase commands to fault: every command before the bulk read (device
// selection, checks, header read, parameters) and a spread of the bulk
// read including its last command.
std::vector<uint32_t> ReadPhaseSample(uint32_t readPhaseEnd, uint32_t bulkStart,
                                      unsigned spread) {
  std::vector<uint32_t> sample;
  for (uint32_t n = 1; n < bulkStart && n <= readPhaseEnd; ++n) sample.push_back(n);
  for (unsigned i = 0; i <= spread; ++i) {
    const uint32_t n = bulkStart + static_cast<uint32_t>(
                                       static_cast<uint64_t>(readPhaseEnd - bulkStart) * i / spread);
    if (sample.empty() || sample.back() != n) sample.push_back(n);
  }
  return sample;
}

class FaultSweep : public ::testing::TestWithParam<Layout> {
 protected:
  std::string systemInformation_ = testsupport::DefaultSystemInformation();
};

// The bytes an update of the layout needs from the flash, worked out from
// the layout: the header, the parameter area, both installed copies and the
// erase blocks the new copies take.
ByteRanges NeededBytes(const Prepared& p) {
  ByteRanges needed;
  const unsigned char* image = p.image.data();
  needed.Add(0, 48);
  const uint32_t param = GetLE32(image + 32);
  needed.Add(param, param + 16 + GetLE32(image + param + 4));
  for (uint32_t field : {20u, 24u}) {
    const uint32_t record = GetLE32(image + param + field);
    if (record != 0) needed.Add(record, record + 4);
  }
  const uint64_t length = p.file.size();
  for (uint32_t at : {p.area1, p.area2}) {
    if (at == 0) continue;
    needed.Add(at, at + 16 + GetLE32(image + at + 4));
    needed.Add(at / p.eraseBlock * p.eraseBlock,
               (at + length - 1) / p.eraseBlock * p.eraseBlock + p.eraseBlock);
  }
  return needed;
}

std::vector<std::pair<uint64_t, uint64_t>> Pairs(const ByteRanges& ranges) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const ByteRanges::Range& r : ranges.Ranges()) out.emplace_back(r.start, r.end);
  return out;
}

// The commands of a fault-free update are exactly those the protocol needs:
// the header read, one read per transfer unit of the flash, and per
// firmware region one erase per touched block, one write and one verify
// read per transfer unit; nothing twice.
TEST_P(FaultSweep, FaultFreeUpdateUsesExactlyTheNeededCommands) {
  const Prepared p = Prepare(GetParam());
  vbridge::VirtualBus bus;
  vbridge::VirtualBridge* device = bus.AddDevice(ConfigFor(p), p.image);
  ASSERT_NE(device, nullptr);
  const RunResult run = RunUpdate(&bus, *device, SystemInformationFor(p.layout), p.file);
  ASSERT_EQ(run.outcome, Outcome::Updated);
  EXPECT_TRUE(CopiesEqualFile(p, device->FlashBytes()));
  if (HeaderWindow(*device).first != 0) return;  // block 0 takes write-backs

  const uint32_t unit = CFlashROM::kTransferUnit;
  const uint32_t length = static_cast<uint32_t>(p.file.size());
  const uint32_t chunks = (length + unit - 1) / unit;
  const uint32_t regions = p.layout.copies == FWALLOCATE_DUAL ? 2 : 1;
  uint32_t blocks = 0;
  for (uint32_t at : {p.area1, p.area2}) {
    if (at != 0) blocks += (at + length - 1) / p.eraseBlock - at / p.eraseBlock + 1;
  }
  // The read takes each byte it needs once, in ascending order: the header,
  // the parameter area, the installed copies and the blocks the new copies
  // take; nothing else.
  const std::vector<vbridge::ReceivedCommand> log = device->Log();
  ASSERT_GE(log.size(), run.readPhaseEnd);
  const std::vector<vbridge::ReceivedCommand> readLog(log.begin(), log.begin() + run.readPhaseEnd);
  uint32_t readCommands = 0;
  uint64_t lastEnd = 0;
  ByteRanges read;
  for (size_t i = 0; i < readLog.size(); ++i) {
    const vbridge::ReceivedCommand& c = readLog[i];
    if (c.command != CMD_READROM || i < 8) continue;  // the read's start reads the header too
    ++readCommands;
    EXPECT_GE(c.address, lastEnd) << "read twice or out of order at command " << i + 1;
    lastEnd = uint64_t{c.address} + c.dataLength;
    read.Add(c.address, lastEnd);
  }
  EXPECT_EQ(Pairs(read), Pairs(NeededBytes(p)));
  // Selection 1, open 2, the flow's version query 1, read start 4, the
  // read, write start 3, regions, leaving vendor mode 1.
  const uint32_t expected =
      1 + 2 + 1 + 4 + readCommands + 3 + blocks + regions * 2 * chunks + 1;
  EXPECT_EQ(device->CommandCount(), expected);
  EXPECT_EQ(run.readPhaseEnd, 8 + readCommands);
  EXPECT_EQ(run.writePhaseEnd + 1, expected);

  std::vector<uint32_t> erased, written;
  uint32_t verifyReads = 0;
  for (size_t i = 0; i < log.size(); ++i) {
    const vbridge::ReceivedCommand& c = log[i];
    EXPECT_TRUE(c.ok);
    EXPECT_NE(c.command, CMD_CHIPERASEROM);
    if (c.command == CMD_BLOCKERASEROM) erased.push_back(c.address);
    if (c.command == CMD_WRITEROM) written.push_back(c.address);
    if (c.command == CMD_READROM && i >= run.readPhaseEnd) ++verifyReads;
  }
  EXPECT_EQ(erased.size(), blocks);
  EXPECT_EQ(written.size(), regions * chunks);
  // What the decision promised (the check's report) is what was sent.
  EXPECT_EQ(run.promised.eraseCommands, erased.size());
  EXPECT_EQ(run.promised.writeCommands, written.size());
  EXPECT_EQ(run.promised.verifyCommands, verifyReads);
  EXPECT_EQ(run.promised.copies, regions);
  std::sort(erased.begin(), erased.end());
  std::sort(written.begin(), written.end());
  EXPECT_EQ(std::adjacent_find(erased.begin(), erased.end()), erased.end()) << "a block erased twice";
  EXPECT_EQ(std::adjacent_find(written.begin(), written.end()), written.end())
      << "a unit written twice";
}

// Faults every `stride`th command of the write phase (each command with
// stride 1) and at a spread sample of the read phase, each as a failed
// command and as an unplug.
void Sweep(const Prepared& p, const std::string& systemInformation, uint32_t stride) {
  RunResult baseline;
  std::pair<uint32_t, uint32_t> window;
  {
    vbridge::VirtualBus bus;
    vbridge::VirtualBridge* device = bus.AddDevice(ConfigFor(p), p.image);
    ASSERT_NE(device, nullptr);
    baseline = RunUpdate(&bus, *device, systemInformation, p.file);
    ASSERT_EQ(baseline.outcome, Outcome::Updated);
    ASSERT_GT(baseline.writePhaseEnd, baseline.readPhaseEnd);
    window = HeaderWindow(*device);
  }
  std::vector<uint32_t> writePoints;
  for (uint32_t n = baseline.readPhaseEnd + 1; n <= baseline.writePhaseEnd; n += stride) {
    writePoints.push_back(n);
  }
  if (writePoints.back() != baseline.writePhaseEnd) writePoints.push_back(baseline.writePhaseEnd);
  // The bulk read starts after selection, open, version query and the
  // read's start (check, header, parameters): command 9.
  const std::vector<uint32_t> readSample = ReadPhaseSample(baseline.readPhaseEnd, 9, 24);

  Counts counts;
  for (Fault fault : {Fault::Fail, Fault::Unplug}) {
    for (uint32_t n : writePoints) {
      FaultedRun(p, systemInformation, fault, n, false, window, &counts);
    }
    for (uint32_t n : readSample) FaultedRun(p, systemInformation, fault, n, true, window, &counts);
  }

  const uint32_t writeCommands = baseline.writePhaseEnd - baseline.readPhaseEnd;
  std::printf(
      "[ sweep    ] %s: %d runs (%zu of %u write-phase commands and %zu read-phase samples, "
      "each failed and unplugged): %d false successes, %d devices left without a valid "
      "copy, %d headers damaged, %d recovered by a rerun; %d read-phase faults passed over "
      "by the flow with the update completed; header window %u commands (%d runs faulted "
      "inside it)\n",
      p.layout.name, counts.runs, writePoints.size(), writeCommands, readSample.size(),
      counts.falseSuccesses, counts.withoutValidCopy, counts.headerDamaged, counts.recovered,
      counts.tolerated, window.first == 0 ? 0u : window.second - window.first,
      counts.inHeaderWindow);
  std::fflush(stdout);
  EXPECT_EQ(counts.runs, static_cast<int>(2 * (writePoints.size() + readSample.size())));
  EXPECT_EQ(counts.falseSuccesses, 0);
  EXPECT_EQ(counts.missingReports, 0);
  EXPECT_EQ(counts.headerDamaged, 0);
  EXPECT_EQ(counts.strayChanges, 0);
  EXPECT_EQ(counts.readPhaseWrites, 0);
  if (p.layout.copies == FWALLOCATE_DUAL) {
    EXPECT_EQ(counts.withoutValidCopy, 0);
  }
  EXPECT_EQ(counts.recovered + counts.inHeaderWindow, counts.runs);
  // Only the write-back's own commands lie in the window, each faulted
  // twice (failed and unplugged) at most.
  EXPECT_LE(counts.inHeaderWindow, 2 * static_cast<int>(window.second - window.first));
}

TEST_P(FaultSweep, EveryWriteCommandAndASampleOfTheReadSurvive) {
  Sweep(Prepare(GetParam()), SystemInformationFor(GetParam()), 1);
}

// The default flash of the virtual bridge (1 MiB, two copies of 30000-byte
// firmware): a spread of about 40 write-phase commands.
TEST(FaultSweepDefaultFlash, SpreadOfTheWritePhaseSurvives) {
  const Prepared p = Prepare(
      Layout{"default 1 MiB dual", "Winbond W25Q80BL", FWALLOCATE_DUAL, 0x0110, 30000});
  Sweep(p, testsupport::DefaultSystemInformation(), 63);
}

Layout Moved(Layout layout, uint32_t area1, uint32_t area2) {
  layout.area1 = area1;
  layout.area2 = area2;
  return layout;
}

// Adjacent copies on 4 KiB blocks: the installed copy in front ends in the
// block the other copy starts in. With a 3003-byte file over 5003-byte
// copies the new front copy ends before that block, with a 5003-byte file
// over 4990/4800-byte copies it ends inside it.
constexpr const char* kAdjacentPart = "Macronix MX25V512C";
Layout Adjacent(const char* name, uint16_t copy2Version, bool area2InFront, bool shorterFile) {
  Layout layout{name, kAdjacentPart, FWALLOCATE_DUAL, copy2Version, shorterFile ? 3003u : 5003u};
  if (shorterFile) layout.installedCode = 5003;
  return area2InFront ? Moved(layout, 0x2400, 0x1000) : Moved(layout, 0x1000, 0x2400);
}

// A layout's name with only its letters and digits: a valid test name.
std::string LayoutTestName(const ::testing::TestParamInfo<Layout>& param) {
  std::string name;
  for (const char* c = param.param.name; *c != '\0'; ++c) {
    if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
  }
  return name;
}

// Layouts refused before any erase: erasing a copy's blocks would cut the
// other copy as it stands on the flash at that moment (its installed
// extent while it is the copy kept valid), so no order of the write keeps a
// valid copy at every moment.
class FaultSweepRefusedLayout : public ::testing::TestWithParam<Layout> {};

TEST_P(FaultSweepRefusedLayout, CopiesAreNeverErased) {
  const Layout& layout = GetParam();
  const Prepared p = Prepare(layout);
  vbridge::VirtualBus bus;
  vbridge::VirtualBridge* device = bus.AddDevice(ConfigFor(p), p.image);
  ASSERT_NE(device, nullptr);
  const RunResult run = RunUpdate(&bus, *device, SystemInformationFor(layout), p.file);
  EXPECT_EQ(run.message, MSG_UPDATE_FAILED);
  EXPECT_EQ(run.readPhaseEnd, 0u);  // refused before the question
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*device));
  EXPECT_TRUE(device->FlashBytes() == p.image);
  std::printf("[ sweep    ] %s: refused before any erase (message %d)\n", layout.name,
              run.message);
}

INSTANTIATE_TEST_SUITE_P(
    Refused, FaultSweepRefusedLayout,
    ::testing::Values(
        Moved(Layout{"dual, copy 2 in the block copy 1 ends in", kAdjacentPart, FWALLOCATE_DUAL,
                     0x0110, 5003},
              0x1000, 0x2800),
        Adjacent("adjacent, shorter file, copy 2 older", 0x0100, false, true),
        Adjacent("adjacent, longer file, copy 1 older", 0x0110, false, false),
        Adjacent("adjacent, longer file, copy 2 older", 0x0100, false, false),
        Adjacent("adjacent area 2 in front, shorter file, copy 1 older", 0x0110, true, true),
        Adjacent("adjacent area 2 in front, longer file, copy 2 older", 0x0100, true, false)),
    LayoutTestName);


Layout OfVariant(Layout layout, SROM_BRIDGEIC variant) {
  layout.variant = variant;
  return layout;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FaultSweep,
    ::testing::Values(
        Layout{"dual, copy 1 written first", "Macronix MX25V512C", FWALLOCATE_DUAL, 0x0110, 5003},
        Layout{"dual, copy 2 written first", "Macronix MX25V512C", FWALLOCATE_DUAL, 0x0100, 5003},
        Layout{"single copy", "Macronix MX25V512C", FWALLOCATE_SINGLE, 0, 5003},
        OfVariant(Layout{"single copy QK9318E", "Macronix MX25V512C", FWALLOCATE_SINGLE, 0, 5003},
                  BRIDGEIC_QK9318E),
        // 64 KiB blocks: copy 1 shares block 0 with the header.
        Moved(Layout{"64 KiB blocks, block-0 copy written first", "Numonyx M25P40",
                     FWALLOCATE_DUAL, 0x0110, 5003},
              0x1000, 0x20000),
        Moved(Layout{"64 KiB blocks, block-0 copy written second", "Numonyx M25P40",
                     FWALLOCATE_DUAL, 0x0100, 5003},
              0x1000, 0x20000),
        // Adjacent copies the write can take: the copy in front is written
        // first and, shorter now, leaves the block the other starts in.
        Adjacent("adjacent, shorter file, copy 1 older", 0x0110, false, true),
        Adjacent("adjacent area 2 in front, shorter file, copy 2 older", 0x0100, true, true)),
    LayoutTestName);

// ---------------------------------------------------------------------------
// The partial read decides and writes as the whole read does: the same
// message, the same final flash and the same write-phase commands, whatever
// the bytes it does not read hold in the image.

struct Ended {
  int message = 0;
  Outcome outcome = Outcome::Failed;
  std::vector<unsigned char> flash;
  std::vector<std::string> writePhase;  // trace lines of the write
  uint32_t readPhase = 0;
};

Ended EndOf(const Prepared& p, ReadChoice read) {
  Ended ended;
  vbridge::VirtualBus bus;
  vbridge::VirtualBridge* device = bus.AddDevice(ConfigFor(p), p.image);
  if (device == nullptr) {
    ADD_FAILURE() << "no device";
    return ended;
  }
  const RunResult run = RunUpdate(&bus, *device, SystemInformationFor(p.layout), p.file, read);
  ended.message = run.message;
  ended.outcome = run.outcome;
  ended.flash = device->FlashBytes();
  ended.readPhase = run.readPhaseEnd;
  const std::vector<vbridge::ReceivedCommand> log = device->Log();
  for (size_t i = run.readPhaseEnd; run.readPhaseEnd != 0 && i < log.size(); ++i) {
    ended.writePhase.push_back(vbridge::TraceLine(log[i]));
  }
  return ended;
}

void ExpectPartialReadEndsAsWholeRead(const Prepared& p) {
  SCOPED_TRACE(p.layout.name);
  const Ended whole = EndOf(p, ReadChoice{true, 0xFF});
  for (uint8_t fill : {0x00, 0xFF, 0x5A}) {
    SCOPED_TRACE(testing::Message() << "unread bytes " << int{fill});
    const Ended partial = EndOf(p, ReadChoice{false, fill});
    EXPECT_EQ(partial.message, whole.message);
    EXPECT_EQ(partial.outcome, whole.outcome);
    EXPECT_TRUE(partial.flash == whole.flash);
    EXPECT_EQ(partial.writePhase, whole.writePhase);
    if (whole.readPhase != 0) {
      EXPECT_LT(partial.readPhase, whole.readPhase);
    }
  }
}

TEST_P(FaultSweep, PartialReadEndsAsTheWholeRead) { ExpectPartialReadEndsAsWholeRead(Prepare(GetParam())); }

TEST_P(FaultSweepRefusedLayout, PartialReadEndsAsTheWholeRead) {
  ExpectPartialReadEndsAsWholeRead(Prepare(GetParam()));
}

// Every part of the flash-part table that the image builder has a placement
// for, one and two copies.
TEST(PartialRead, EveryPartEndsAsTheWholeRead) {
  int layouts = 0;
  for (unsigned i = 0; i < kSerialFlashPartCount; ++i) {
    const char* part = gSerialFlashRomParamTbl[i].Name;
    for (SROM_FWALLOCATE copies : {FWALLOCATE_SINGLE, FWALLOCATE_DUAL}) {
      const Layout layout{part, part, copies, 0x0100, 3003};
      if (!Buildable(layout)) continue;
      ++layouts;
      ExpectPartialReadEndsAsWholeRead(Prepare(layout));
    }
  }
  std::printf("[ partial  ] %d layouts of %u parts end as with the whole read\n", layouts,
              kSerialFlashPartCount);
  EXPECT_GE(layouts, static_cast<int>(kSerialFlashPartCount));
}

// ---------------------------------------------------------------------------
// The real flow on the scripted dialog layer reaches the same command, the
// same outcome and the same flash bytes as the sweep's driver.

class SweepAgreesWithFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::WriteText(dir_.File("ZEDRIKFU.ini"), systemInformation_));
  }

  struct Observed {
    bool success = false;
    uint32_t commands = 0;
    uint32_t readPhaseEnd = 0;  // the driver's: commands when the write began
    std::vector<unsigned char> flash;
  };

  Observed ThroughFlow(const Prepared& p, Fault fault, uint32_t at) {
    Observed seen;
    EXPECT_TRUE(testsupport::WriteFile(dir_.File("MainFW.kqfw"), p.file));
    vbridge::VirtualBus bus;
    vbridge::VirtualBridge* device = bus.AddDevice(Config(p, fault, at), p.image);
    if (device == nullptr) {
      ADD_FAILURE() << "no device";
      return seen;
    }
    ScriptedDialogLayer layer;
    layer.answers.push_back(true);
    {
      vbridge::ScopedActiveBus scopedBus(&bus);
      seen.success = RunMainWindow(&layer) == 0;
    }
    seen.commands = device->CommandCount();
    seen.flash = device->FlashBytes();
    return seen;
  }

  Observed ThroughDriver(const Prepared& p, Fault fault, uint32_t at) {
    Observed seen;
    vbridge::VirtualBus bus;
    vbridge::VirtualBridge* device = bus.AddDevice(Config(p, fault, at), p.image);
    if (device == nullptr) {
      ADD_FAILURE() << "no device";
      return seen;
    }
    // The dialogs read only what the update uses, as the driver does.
    const RunResult run = RunUpdate(&bus, *device, systemInformation_, p.file);
    seen.success = run.outcome == Outcome::Updated;
    seen.readPhaseEnd = run.readPhaseEnd;
    seen.commands = device->CommandCount();
    seen.flash = device->FlashBytes();
    return seen;
  }

  static vbridge::DeviceConfig Config(const Prepared& p, Fault fault, uint32_t at) {
    vbridge::DeviceConfig config = ConfigFor(p);
    if (at != 0 && fault == Fault::Fail) config.failAtCommand = at;
    if (at != 0 && fault == Fault::Unplug) config.unplugAtCommand = at;
    return config;
  }

  std::string systemInformation_ = testsupport::DefaultSystemInformation();
  testsupport::ScratchDir dir_;
  testsupport::ScopedAppDir appDir_{dir_.Path() + "/"};
};

TEST_F(SweepAgreesWithFlow, SameCommandsOutcomeAndFlash) {
  const Prepared p =
      Prepare(Layout{"dual", "Macronix MX25V512C", FWALLOCATE_DUAL, 0x0110, 5003});
  const Observed clean = ThroughFlow(p, Fault::Fail, 0);
  const Observed cleanDriver = ThroughDriver(p, Fault::Fail, 0);
  ASSERT_TRUE(clean.success);
  ASSERT_TRUE(cleanDriver.success);
  EXPECT_EQ(clean.commands, cleanDriver.commands);
  EXPECT_EQ(clean.flash, cleanDriver.flash);

  // Faults spread over the run: the selection, the flow's version query, the
  // read, the write's start, the first erase, the middle of copy 1, copy 2
  // and the last verify.
  const uint32_t total = clean.commands;
  const uint32_t bulkRead = 9;
  const uint32_t readEnd = cleanDriver.readPhaseEnd;
  ASSERT_GT(readEnd, bulkRead + 2);
  const std::vector<uint32_t> points = {1,           5,           (bulkRead + readEnd) / 2,
                                        readEnd + 2, readEnd + 4, readEnd + 120,
                                        total - 150, total - 1};
  for (Fault fault : {Fault::Fail, Fault::Unplug}) {
    for (uint32_t at : points) {
      SCOPED_TRACE(testing::Message() << (fault == Fault::Fail ? "failed" : "unplug at")
                                      << " command " << at);
      const Observed flow = ThroughFlow(p, fault, at);
      const Observed driver = ThroughDriver(p, fault, at);
      EXPECT_FALSE(flow.success);
      EXPECT_FALSE(driver.success);
      EXPECT_EQ(flow.commands, driver.commands);
      EXPECT_TRUE(flow.flash == driver.flash);
    }
  }
}

}  // namespace
