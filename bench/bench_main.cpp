// The benchmark program of one transport: checks that both CRC forms agree,
// counts one full update's commands and models its time on hardware, runs
// the benchmarks and prints the summary table with the goals.
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "BenchReport.h"
#include "BenchSupport.h"
#include "common.h"

namespace {

// Both CRC forms over buffers of every length up to 1 KiB and random
// contents; the number of buffers compared, or -1 on a difference.
int CompareCrcForms() {
  std::mt19937 random(12345);
  std::vector<unsigned char> buffer(1024);
  int compared = 0;
  for (uint32_t length = 0; length <= buffer.size(); ++length) {
    for (unsigned char& b : buffer) b = static_cast<unsigned char>(random());
    if (CalcCRC16(buffer.data(), length) != CalcCRC16Bitwise(buffer.data(), length)) return -1;
    ++compared;
  }
  return compared;
}

double Counter(const benchmark::BenchmarkReporter::Run* run, const char* name) {
  if (run == nullptr) return 0;
  const auto it = run->counters.find(name);
  return it == run->counters.end() ? 0 : it->second.value;
}

// Real time per iteration in milliseconds.
double Millis(const benchmark::BenchmarkReporter::Run* run) {
  if (run == nullptr) return 0;
  const double t = run->GetAdjustedRealTime();
  switch (run->time_unit) {
    case benchmark::kNanosecond: return t / 1e6;
    case benchmark::kMicrosecond: return t / 1e3;
    case benchmark::kMillisecond: return t;
    case benchmark::kSecond: return t * 1e3;
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  using zfbench::Format;
  using zfbench::Row;

  const int crcBuffers = CompareCrcForms();
  if (crcBuffers < 0) {
    std::fprintf(stderr, "CalcCRC16 and CalcCRC16Bitwise differ\n");
    return 1;
  }

  // One full update on a fresh device: its command log.
  const std::vector<unsigned char> file = zfbench::NewFirmware(zfbench::kUpdateCodeSize);
  uint32_t readPhase = 0;
  std::vector<vbridge::ReceivedCommand> log;
  uint32_t eraseBlock = 0;
  {
    zfbench::Rig rig(zfbench::DefaultFlash());
    if (!zfbench::FullUpdate(&rig, file, &readPhase)) {
      std::fprintf(stderr, "the full update failed\n");
      return 1;
    }
    log = rig.device->Log();
    eraseBlock = rig.device->EraseBlockSize();
  }
  const uint32_t needed =
      zfbench::ProtocolCommands(zfbench::DefaultFlash(), static_cast<uint32_t>(file.size()),
                                eraseBlock);
  const zfbench::Duplicates dup = zfbench::FindDuplicates(log, readPhase);
  const zfbench::ModelledTime modelled = zfbench::ModelLog(log, readPhase, zfbench::LatencyModel());

  zfbench::CollectingReporter reporter;
  zfbench::RunAll(&argc, argv, &reporter);

  std::vector<Row> rows;
  const auto* crcTable = reporter.Find("BM_CRC16_Table");
  const auto* crcBits = reporter.Find("BM_CRC16_Bitwise");
  if (crcTable != nullptr && crcBits != nullptr) {
    const double table = Counter(crcTable, "bytes_per_second") / 1e6;
    const double bits = Counter(crcBits, "bytes_per_second") / 1e6;
    rows.push_back({"CRC-16 table-driven (CalcCRC16, used)", Format("%.0f MB/s", table),
                    "faster than bitwise", table > bits});
    rows.push_back({"CRC-16 bitwise (CalcCRC16Bitwise)", Format("%.0f MB/s", bits), "", true});
    rows.push_back({"CRC-16 forms agree", Format("%.0f buffers, lengths 0-1024", crcBuffers),
                    "", true});
  }
  const auto* read = reporter.Find("BM_EngineRead1MiB");
  const auto* transport = reporter.Find("BM_TransportRead1MiB");
  const auto* update = reporter.Find("BM_FullUpdate1MiB");
  if (read != nullptr) {
    const double commands = Counter(read, "commands");
    const double ms = Millis(read);
    rows.push_back({"1 MiB read, zero-latency bridge", Format("%.2f ms", ms), "<= 50 ms",
                    ms <= 50.0});
    rows.push_back({"  read commands", Format("%.0f", commands), "", true});
    rows.push_back({"  commands per second", Format("%.3g", Counter(read, "commands_per_s")),
                    "", true});
    rows.push_back({"  us per command (engine + transport + bridge)",
                    Format("%.3f us", ms * 1000.0 / commands), "", true});
    if (transport != nullptr) {
      const double overhead = (ms - Millis(transport)) * 1000.0 / commands;
      rows.push_back({"  us per command (virtual transport + bridge alone)",
                      Format("%.3f us", Millis(transport) * 1000.0 / commands), "", true});
      rows.push_back({"Engine overhead per command", Format("%.3f us", overhead < 0 ? 0 : overhead),
                      "<= 1 us", overhead <= 1.0});
    }
  }
  if (update != nullptr) {
    rows.push_back({"Full update (1 MiB flash, 2 copies of 30016 bytes)",
                    Format("%.2f ms", Millis(update)), "", true});
  }
  rows.push_back({"Commands of the update (of them needed)",
                  std::to_string(log.size()) + " (" + std::to_string(needed) + ")",
                  "only the needed", log.size() == needed});
  rows.push_back({"Duplicate reads / writes / erases",
                  std::to_string(dup.reads) + " / " + std::to_string(dup.writes) + " / " +
                      std::to_string(dup.erases),
                  "0 / 0 / 0", dup.reads == 0 && dup.writes == 0 && dup.erases == 0});
  const zfbench::LatencyModel model;
  rows.push_back({"Modelled hardware: read phase", Format("%.1f s", modelled.readMs / 1000.0),
                  "", true});
  rows.push_back({"Modelled hardware: write phase", Format("%.1f s", modelled.writeMs / 1000.0),
                  "", true});
  rows.push_back({"Modelled hardware: whole update",
                  Format("%.1f s", (modelled.readMs + modelled.writeMs) / 1000.0), "", true});
  zfbench::PrintTable(std::string("Summary (") + zfbench::TransportName() + ")", rows);
  std::printf(
      "\nLatency model: %.2f ms per command round trip, SPI data at %.0f bytes/ms, %.1f ms per "
      "256-byte page programmed, %.0f ms per erase block.\n",
      model.commandMs, model.spiBytesPerMs, model.pageProgramMs, model.blockEraseMs);
  return 0;
}
