// Fuzzes the reader of virtual-devices.ini: arbitrary file contents. A file
// that is taken must describe devices the bus can set up (their flash files
// and traces left out, so that nothing is written); a refused one must say
// why, naming the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "VirtualBus.h"
#include "VirtualDevices.h"
#include "VirtualFlash.h"

namespace {

std::string gFolder;
std::string gPath;

void RemoveScratch() {
  std::remove(gPath.c_str());
  ::rmdir(gFolder.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/zf-fuzz-vdev-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  gFolder = pattern;
  gPath = gFolder + "/virtual-devices.ini";
  std::atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::FILE* file = std::fopen(gPath.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    if (std::fclose(file) != 0) std::abort();
  }
  vbridge::VirtualDevices devices;
  std::string error;
  if (!devices.Load(gPath, &error)) {
    if (error.compare(0, gPath.size(), gPath) != 0) std::abort();
    if (!devices.Devices().empty()) std::abort();
    return 0;
  }
  if (!error.empty()) std::abort();
  for (const vbridge::DeviceConfig& d : devices.Devices()) {
    if (d.chipId.size() > 4) std::abort();
    if (vbridge::VirtualFlash::FindPart(d.flashPart) < 0) std::abort();
    if (d.flipReadBitAt < -1 || d.flipReadBitAt > 0xFFFFFFFFll) std::abort();
  }
  // The first two devices on a bus, without files.
  vbridge::VirtualBus bus;
  for (size_t i = 0; i < devices.Devices().size() && i < 2; ++i) {
    vbridge::DeviceConfig config = devices.Devices()[i];
    config.flashImage.clear();
    config.trace.clear();
    if (bus.AddDevice(config, &error) == nullptr) std::abort();
  }
  return 0;
}
