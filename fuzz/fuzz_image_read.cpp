// Fuzzes the SROM image as the engine reads it from a device: the input,
// with its header CRC made valid, is the flash of a virtual bridge;
// CreateSROMImage takes the header from the flash, the read worker fills the
// image, and every query of fuzz_image follows on the engine.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FlashROM.h"
#include "ImageQueries.h"
#include "UpdateSession.h"
#include "VirtualBus.h"
#include "common.h"

namespace {

// A 64 KiB flash holding the input (erased beyond it) on a virtual bridge.
void ThroughDevice(const uint8_t* data, uint32_t size) {
  constexpr uint32_t kFlashSize = 64 * 1024;
  std::vector<uint8_t> content(kFlashSize, 0xFF);
  std::memcpy(content.data(), data, size < kFlashSize ? size : kFlashSize);
  vbridge::VirtualBus bus;
  vbridge::DeviceConfig config;
  config.flashPart = "Macronix MX25V512C";
  if (bus.AddDevice(config, content) == nullptr) std::abort();
  vbridge::ScopedActiveBus active(&bus);
  CFlashROM rom;
  if (rom.OpenFlashROM(nullptr) != FLASH_OK) std::abort();
  ReadWithoutDialog(&rom);  // the queries follow on a complete or a cut read
  ImageQueries(rom);
  rom.CloseFlashROM();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QuietStandardOutput();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Only inputs with a valid header: the engine reads nothing else.
  ExerciseImageBytes(data, size, false, ThroughDevice);
  return 0;
}
