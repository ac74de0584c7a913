#include "BenchSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "CommandSet.h"
#include "FilRead.h"
#include "ReadPlan.h"
#include "UpdateSession.h"
#include "ImageAuthoring.h"
#include "common.h"

namespace zfbench {


const char* TransportName() {
  return CUSBControl::kScsiCommandSet ? "SCSI, 512-byte unit" : "USB, 48-byte unit";
}

const std::vector<unsigned char>& DefaultFlash() {
  static const std::vector<unsigned char> flash = [] {
    std::vector<unsigned char> image;
    std::string error;
    if (!zfimage::BuildDefaultFlashImage(&image, &error)) {
      std::fprintf(stderr, "cannot build the default flash: %s\n", error.c_str());
      std::exit(1);
    }
    return image;
  }();
  return flash;
}

std::vector<unsigned char> NewFirmware(uint32_t codeSize) {
  return zfimage::BuildFirmwareFile(BRIDGEIC_QK9318A, 0x0120, 0x0154,
                                    zfimage::PseudoRandomCode(codeSize, 11));
}

Rig::Rig(const std::vector<unsigned char>& flash) {
  std::string error;
  device = bus.AddDevice(vbridge::DeviceConfig(), flash, &error);
  if (device == nullptr) {
    std::fprintf(stderr, "cannot set up the virtual bridge: %s\n", error.c_str());
    std::exit(1);
  }
}

bool ReadWholeFlash(Rig* rig) {
  vbridge::ScopedActiveBus active(&rig->bus);
  CFlashROM engine;
  if (engine.OpenFlashROM(nullptr) != FLASH_OK) return false;
  const bool ok = ReadWithoutDialog(&engine) == 0;
  engine.CloseFlashROM();
  return ok;
}

bool FullUpdate(Rig* rig, const std::vector<unsigned char>& file,
                uint32_t* readPhaseCommands) {
  vbridge::ScopedActiveBus active(&rig->bus);
  CUnattendedFlashROM engine;
  static const std::string systemInformation =
      "[TargetInfo]\r\nTargetBridgeIC=QK9318A\r\n[SysInfo]\r\nSysInfoNum=1\r\n"
      "VenderID0=0x3F1C\r\nProductID0=0x0001\r\n";
  UpdateSessionHooks hooks;
  OpenReleaseFrom(&systemInformation, &file, &hooks);
  hooks.readWholeFlash = false;  // the partial read, measured
  CUpdateSession session(&engine, std::move(hooks));
  if (!session.Prepare().Ask()) return false;
  if (readPhaseCommands != nullptr) *readPhaseCommands = rig->device->CommandCount();
  // The write closes the device when it ends, as after an update.
  return session.Write() == MSG_UPDATED;
}

namespace {

// The read commands of an update: the ranges it needs, the lowest missing
// one first, each in transfer units (what ReadPlan.h leads the engine to).
uint32_t UpdateReadCommands(const std::vector<unsigned char>& flash, uint32_t fileSize,
                            uint32_t eraseBlock) {
  ByteRanges read;
  uint32_t commands = 0;
  const uint32_t size = static_cast<uint32_t>(flash.size());
  for (;;) {
    const std::vector<ByteRanges::Range> missing =
        read.Missing(NeededForUpdate(flash.data(), size, read, eraseBlock, fileSize));
    if (missing.empty()) return commands;
    const ByteRanges::Range next = missing.front();
    commands += static_cast<uint32_t>((next.end - next.start + kUnit - 1) / kUnit);
    read.Add(next.start, next.end);
  }
}

}  // namespace

uint32_t ProtocolCommands(const std::vector<unsigned char>& flash, uint32_t fileSize,
                          uint32_t eraseBlock) {
  const uint32_t units = (fileSize + kUnit - 1) / kUnit;
  uint32_t regions = 0;
  for (uint32_t field : {kArea1OffsetField, kArea2OffsetField}) {
    const uint32_t at = GetLE32(flash.data() + field);
    if (at == 0) continue;
    regions += (at + fileSize - 1) / eraseBlock - at / eraseBlock + 1 + 2 * units;
  }
  return 1 + 2 + 1 + 4 + UpdateReadCommands(flash, fileSize, eraseBlock) + 3 + regions + 1;
}

Duplicates FindDuplicates(const std::vector<vbridge::ReceivedCommand>& log,
                          uint32_t readPhaseCommands) {
  std::map<uint32_t, uint32_t> erases, writes, reads;
  ByteRanges readBytes;
  Duplicates d;
  for (size_t i = 0; i < log.size(); ++i) {
    const vbridge::ReceivedCommand& c = log[i];
    if (c.command == CMD_BLOCKERASEROM) ++erases[c.address];
    if (c.command == CMD_WRITEROM) ++writes[c.address];
    if (c.command != CMD_READROM) continue;
    if (i >= readPhaseCommands) {
      ++reads[c.address];  // verifies
    } else if (c.address != 0 || c.dataLength != kImageHeaderSize) {
      // The read phase takes each byte once (the header check aside).
      const uint64_t end = uint64_t{c.address} + c.dataLength;
      ByteRanges one;
      one.Add(c.address, end);
      const std::vector<ByteRanges::Range> fresh = readBytes.Missing(one);
      if (fresh.size() != 1 || fresh[0].start != c.address || fresh[0].end != end) ++d.reads;
      readBytes.Add(c.address, end);
    }
  }
  for (const auto& e : erases) d.erases += e.second - 1;
  for (const auto& w : writes) d.writes += w.second - 1;
  for (const auto& r : reads) {
    const auto w = writes.find(r.first);
    const uint32_t needed = w != writes.end() ? w->second : 0;  // one verify per write
    if (r.second > needed) d.reads += r.second - needed;
  }
  return d;
}

ModelledTime ModelLog(const std::vector<vbridge::ReceivedCommand>& log,
                      uint32_t readPhaseCommands, const LatencyModel& model) {
  ModelledTime t;
  for (size_t i = 0; i < log.size(); ++i) {
    const vbridge::ReceivedCommand& c = log[i];
    double ms = model.commandMs + c.dataLength / model.spiBytesPerMs;
    if (c.command == CMD_WRITEROM) {
      const uint32_t first = c.address / 256;
      const uint32_t last = (c.address + (c.dataLength == 0 ? 1 : c.dataLength) - 1) / 256;
      ms += (last - first + 1) * model.pageProgramMs;
    }
    if (c.command == CMD_BLOCKERASEROM) ms += model.blockEraseMs;
    (i < readPhaseCommands ? t.readMs : t.writeMs) += ms;
  }
  return t;
}

namespace {

uint64_t StatusField(const char* field) {
  std::ifstream status("/proc/self/status");
  const size_t length = std::strlen(field);
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0) {
      return std::strtoull(line.c_str() + length, nullptr, 10) * 1024u;
    }
  }
  return 0;
}

}  // namespace

uint64_t ResidentBytes() { return StatusField("VmRSS:"); }
uint64_t PeakResidentBytes() { return StatusField("VmHWM:"); }

bool ResetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5" << std::flush;
  return static_cast<bool>(clear);
}

void PrintTable(const std::string& title, const std::vector<Row>& rows) {
  size_t w1 = 6, w2 = 5, w3 = 4;
  for (const Row& r : rows) {
    w1 = std::max(w1, r.figure.size());
    w2 = std::max(w2, r.value.size());
    w3 = std::max(w3, r.goal.size() + (r.goal.empty() ? 0 : r.met ? 6 : 9));
  }
  std::cout << "\n" << title << "\n\n";
  auto line = [&](const std::string& a, const std::string& b, const std::string& c) {
    std::cout << "| " << a << std::string(w1 - a.size(), ' ') << " | " << b
              << std::string(w2 - b.size(), ' ') << " | " << c << std::string(w3 - c.size(), ' ')
              << " |\n";
  };
  line("Figure", "Value", "Goal");
  std::cout << "|" << std::string(w1 + 2, '-') << "|" << std::string(w2 + 2, '-') << "|"
            << std::string(w3 + 2, '-') << "|\n";
  for (const Row& r : rows) {
    line(r.figure, r.value, r.goal.empty() ? "" : r.goal + (r.met ? " (met)" : " (MISSED)"));
  }
  std::cout << std::flush;

  const char* rowsFile = std::getenv("ZF_BENCH_ROWS");
  if (rowsFile == nullptr || *rowsFile == '\0') return;
  std::ofstream out(rowsFile, std::ios::app);
  const char* transport = CUSBControl::kScsiCommandSet ? "SCSI" : "USB";
  for (const Row& r : rows) {
    out << transport << '\t' << r.figure << '\t' << r.value << '\t' << r.goal << '\t'
        << (r.goal.empty() ? "" : r.met ? "met" : "MISSED") << '\n';
  }
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace zfbench
