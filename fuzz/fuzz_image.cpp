// Fuzzes the reading side of the SROM image: arbitrary bytes taken as the
// whole flash, then every query the updater and the image tool make on it.
// Each input runs twice: as it is, and with its header CRC made valid so
// that the header's parameters (flash size, erase block) are taken too. The
// second form is also put on a virtual bridge and read the way the updater
// reads a device: CreateSROMImage takes the header from the flash, the read
// worker fills the image, and the same queries follow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

#include "FlashROM.h"
#include "VirtualBus.h"
#include "common.h"

namespace {

void Queries(CFlashROM& rom) {
  rom.CreateSideBridge();
  rom.CheckFWCRC(1);
  rom.CheckFWCRC(2);
  rom.GetFWVersion();
  rom.GetFWBridgeSignature();
  rom.GetParamSize();

  _actionparamlist list;
  std::memset(&list, 0, sizeof list);
  rom.GetActionParameter(&list);

  // The encryption records are read for QK9318E images only.
  const SROM_BRIDGEIC derived = rom.GetBridgeIC();
  rom.SetBridgeIC(BRIDGEIC_QK9318E);
  _encryptionlist settings = {};
  rom.GetEncryption(&settings);
  rom.SetBridgeIC(derived);

  char name[128];
  rom.GetFWFileName(name, sizeof name);

  // The code of the chosen copy, into a buffer of exactly its size.
  const uint32_t codeSize = rom.GetFWCodeSize();
  if (codeSize > 0) {
    std::vector<unsigned char> code(codeSize);
    rom.GetFWCode(code.data(), codeSize);
  }
  rom.MakeSROMParamFromImage();
}

void Exercise(const uint8_t* data, uint32_t size) {
  CFlashROM rom;
  rom.LoadImage(data, size);
  Queries(rom);
}

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
  if (rom.ReadFlashROM(nullptr) == FLASH_OK) rom.WaitWorker();
  Queries(rom);
  rom.CloseFlashROM();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The string conversion reports failures on standard output.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (4u << 20)) return 0;
  const uint32_t n = static_cast<uint32_t>(size);
  Exercise(data, n);
  if (n >= kImageHeaderSize) {
    std::vector<uint8_t> fixed(data, data + n);
    SealHeaderCrc(fixed.data());
    Exercise(fixed.data(), n);
    ThroughDevice(fixed.data(), n);
  }
  return 0;
}
