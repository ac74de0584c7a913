// Peak resident memory of a full update of a 1 MiB flash, in a process that
// does nothing else: the program and its libraries, the bridge model (its
// flash and its command log) and the engine (its image of the whole flash).
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ImageAuthoring.h"

int main() {
  using zfbench::Format;

  const uint64_t start = zfbench::ResidentBytes();
  const std::vector<unsigned char> file = zfbench::NewFirmware(zfbench::kUpdateCodeSize);
  std::vector<unsigned char> flash;
  std::string error;
  if (!zfimage::BuildDefaultFlashImage(&flash, &error)) {
    std::fprintf(stderr, "cannot build the default flash: %s\n", error.c_str());
    return 1;
  }
  zfbench::Rig rig(flash);
  // The built copy goes before the measurement starts; the model keeps its own.
  std::vector<unsigned char>().swap(flash);
  const uint64_t before = zfbench::ResidentBytes();
  const bool reset = zfbench::ResetPeakResident();
  if (!zfbench::FullUpdate(&rig, file)) {
    std::fprintf(stderr, "the full update failed\n");
    return 1;
  }
  const uint64_t peak = zfbench::PeakResidentBytes();

  const double MiB = 1024.0 * 1024.0;
  std::vector<zfbench::Row> rows;
  rows.push_back({std::string("Peak resident memory, 1 MiB update") + (reset ? "" : " (whole run)"),
                  Format("%.2f MiB", peak / MiB), "<= 8 MiB", peak != 0 && peak <= 8 * MiB});
  rows.push_back({"  program and libraries at start", Format("%.2f MiB", start / MiB), "", true});
  rows.push_back({"  bridge model's flash and set-up", Format("%.2f MiB", (before - start) / MiB),
                  "", true});
  rows.push_back({"  added during the update",
                  Format("%.2f MiB", peak > before ? (peak - before) / MiB : 0.0), "", true});
  rows.push_back({"    of it the engine's image of the flash", Format("%.2f MiB", rig.device->FlashSize() / MiB),
                  "", true});
  const size_t entries = rig.device->Log().size();
  rows.push_back({"    of it the bridge model's command log",
                  Format("%.0f commands", static_cast<double>(entries)) + " x " +
                      std::to_string(sizeof(vbridge::ReceivedCommand)) + " bytes",
                  "", true});
  zfbench::PrintTable(std::string("Memory (") + zfbench::TransportName() + ")", rows);
  return 0;
}
