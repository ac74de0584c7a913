// A full update of the default 1 MiB flash through one of zedrikfu's real
// transports (libusb or SCSI generic) against the virtual bridge presented
// by the umockdev emulation that vbridge-usb uses: the commands it takes,
// the measured time per update and per command, and the time the latency
// model gives those commands on hardware. Runs with umockdev's preload
// library in LD_PRELOAD (bench/run.sh).
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "CommandSet.h"
#include "UsbEmulation.h"

int main() {
  using zfbench::Format;
  if (!vbridge::UsbEmulation::InMockEnvironment()) {
    std::fprintf(stderr, "run with LD_PRELOAD=%s\n", vbridge::UsbEmulation::kPreloadLibrary);
    return 1;
  }
  const std::vector<unsigned char> file = zfbench::NewFirmware(zfbench::kUpdateCodeSize);
  zfbench::Rig rig(zfbench::DefaultFlash());
  vbridge::UsbEmulation emulation;
  std::string error;
  if (!emulation.Start(&rig.bus, &error)) {
    std::fprintf(stderr, "cannot start the emulation: %s\n", error.c_str());
    return 1;
  }

  uint32_t readPhase = 0;
  const auto start = std::chrono::steady_clock::now();
  const bool updated = zfbench::FullUpdate(&rig, file, &readPhase);
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  if (!updated) {
    std::fprintf(stderr, "the update over the emulation failed\n");
    return 1;
  }
  const std::vector<vbridge::ReceivedCommand> log = rig.device->Log();
  const double commands = static_cast<double>(log.size());
  uint32_t reads = 0;  // the reads of the read phase
  for (uint32_t i = 0; i < readPhase && i < log.size(); ++i) {
    if (log[i].command == CMD_READROM) ++reads;
  }
  const zfbench::ModelledTime modelled =
      zfbench::ModelLog(log, readPhase, zfbench::LatencyModel());

  std::vector<zfbench::Row> rows;
  rows.push_back({"Over the emulation (umockdev): zedrikfu's transport",
                  CUSBControl::kScsiCommandSet ? "SG_IO, libsgutils2" : "control requests, libusb",
                  "", true});
  rows.push_back({"  commands of the update (of them reads of the read phase)",
                  Format("%.0f", commands) + " (" + std::to_string(reads) + ")", "", true});
  rows.push_back({"  measured: whole update", Format("%.2f s", took.count() / 1000.0), "", true});
  rows.push_back({"  measured: per command", Format("%.0f us", took.count() * 1000.0 / commands),
                  "", true});
  rows.push_back({"  modelled hardware: whole update",
                  Format("%.1f s", (modelled.readMs + modelled.writeMs) / 1000.0), "", true});
  zfbench::PrintTable(std::string("Over the emulation (") + zfbench::TransportName() + ")", rows);
  return 0;
}
