// Shared pieces of the benchmarks: the default flash and firmware, a full
// update driven through the engine as the flow drives it, the protocol's
// command count, the latency model of real hardware, peak memory and the
// summary table.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "FlashROM.h"
#include "VirtualBus.h"

namespace zfbench {

// The transfer unit of the core this benchmark is linked with.
constexpr uint32_t kUnit = CFlashROM::kTransferUnit;
const char* TransportName();

// The default flash of the virtual bridge (1 MiB W25Q80BL, QK9318A, two
// copies of 01.10) and a newer firmware file of `codeSize` code bytes.
const std::vector<unsigned char>& DefaultFlash();
std::vector<unsigned char> NewFirmware(uint32_t codeSize);
constexpr uint32_t kUpdateCodeSize = 30000;

// A bus with one default bridge holding `flash`.
struct Rig {
  vbridge::VirtualBus bus;
  vbridge::VirtualBridge* device = nullptr;
  explicit Rig(const std::vector<unsigned char>& flash);
};

// Opens the rig's bridge, reads the whole flash and closes it. True when
// the read worker reported 100.
bool ReadWholeFlash(Rig* rig);

// The update as CMainDialog runs it with OK, without the dialogs: the
// update session's checks, its read of what the update uses and its
// placement, then the write of both copies, close. True when the write
// worker reported 100. `readPhaseCommands` (may be null) receives the
// number of commands the device had received when the write began.
bool FullUpdate(Rig* rig, const std::vector<unsigned char>& file,
                uint32_t* readPhaseCommands = nullptr);

// Commands the protocol needs for a full update of `flash` with `file`:
// selection 1, open 2, the version query 1, read start 4 (version, vendor
// mode, header, parameters), the reads of what the update uses (ReadPlan.h),
// write start 3, per copy one erase per touched block and one write and one
// verify read per unit, close 1.
uint32_t ProtocolCommands(const std::vector<unsigned char>& flash, uint32_t fileSize,
                          uint32_t eraseBlock);

// Duplicates in a command log that the protocol never needs: a block erased
// twice, a unit written twice, a byte read twice in the read phase (the
// header check aside), a verify read more often than its write.
struct Duplicates {
  uint32_t erases = 0;
  uint32_t writes = 0;
  uint32_t reads = 0;
};
Duplicates FindDuplicates(const std::vector<vbridge::ReceivedCommand>& log,
                          uint32_t readPhaseCommands);

// Time real hardware would take for the commands of a log: a transport
// round trip per command, the SPI transfer of its data, and the flash's own
// busy time for programming and erasing.
struct LatencyModel {
  double commandMs = 0.5;         // one vendor request or SCSI command, round trip
  double spiBytesPerMs = 1500.0;  // 12 MHz SPI clock
  double pageProgramMs = 0.8;     // per 256-byte page a write touches
  double blockEraseMs = 45.0;     // per 4 KiB block erased
};
struct ModelledTime {
  double readMs = 0;   // everything up to the write's start
  double writeMs = 0;  // the write phase and closing
};
ModelledTime ModelLog(const std::vector<vbridge::ReceivedCommand>& log,
                      uint32_t readPhaseCommands, const LatencyModel& model);

// Resident memory of this process now (VmRSS) and its peak (VmHWM), in
// bytes; 0 when unknown. ResetPeakResident starts the peak afresh from the
// current size (false when the kernel does not offer it).
uint64_t ResidentBytes();
uint64_t PeakResidentBytes();
bool ResetPeakResident();

// Rows of a summary: figure, value, goal, whether the goal is met (an empty
// goal is shown without a verdict).
struct Row {
  std::string figure;
  std::string value;
  std::string goal;
  bool met = true;
};
// Prints the rows as a table, and appends them for bench/run.sh to the file
// named by ZF_BENCH_ROWS (when set) as tab-separated lines: transport,
// figure, value, goal, met.
void PrintTable(const std::string& title, const std::vector<Row>& rows);

std::string Format(const char* format, double value);

}  // namespace zfbench
