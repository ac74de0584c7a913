// Fuzzes SetFWCode: arbitrary firmware file bytes placed into flash images of
// every layout (one or two copies, QK9318A and QK9318E, table rows and the
// general rule) built with the authoring library, on the SROM image model
// alone. A refusal must leave the image as it was; a placement must leave a
// copy the device would run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ImageAuthoring.h"
#include "SROMImage.h"
#include "common.h"

namespace {

struct Layout {
  const char* part;
  SROM_BRIDGEIC variant;
  SROM_FWALLOCATE copies;
};

// Small parts keep each run cheap; each has a placement for its layouts.
const Layout kLayouts[] = {
    {"Macronix MX25V512C", BRIDGEIC_QK9318E, FWALLOCATE_SINGLE},     // 64 KiB row
    {"Macronix MX25V512C", BRIDGEIC_QK9318A, FWALLOCATE_DUAL},       // 64 KiB row
    {"EONSillicon EN25LF10", BRIDGEIC_QK9318E, FWALLOCATE_DUAL},     // 128 KiB row
    {"EONSillicon EN25LF10", BRIDGEIC_QK9318A, FWALLOCATE_SINGLE},   // 128 KiB row
    {"Numonyx M25P20", BRIDGEIC_QK9318A, FWALLOCATE_DUAL},           // 256 KiB, 64 KiB blocks
    {"Macronix MX25V4005C", BRIDGEIC_QK9318E, FWALLOCATE_DUAL},      // general rule
    {"Macronix MX25V4005C", BRIDGEIC_QK9318A, FWALLOCATE_SINGLE},    // general rule
};

const std::vector<std::vector<unsigned char>>& Images() {
  static const std::vector<std::vector<unsigned char>> images = [] {
    std::vector<std::vector<unsigned char>> built;
    for (const Layout& layout : kLayouts) {
      zfimage::FlashImageSpec imageSpec;
      imageSpec.partName = layout.part;
      imageSpec.variant = layout.variant;
      imageSpec.copies = layout.copies;
      imageSpec.firmware1 = zfimage::BuildFirmwareFile(layout.variant, 0x0110, 0x0154,
                                                  zfimage::PseudoRandomCode(0x2000, 1));
      imageSpec.firmware2 = zfimage::BuildFirmwareFile(layout.variant, 0x0100, 0x0154,
                                                  zfimage::PseudoRandomCode(0x1000, 2));
      std::vector<unsigned char> image;
      std::string error;
      if (!zfimage::BuildFlashImage(imageSpec, &image, &error)) std::abort();
      built.push_back(std::move(image));
    }
    return built;
  }();
  return images;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0x20000) return 0;
  const uint32_t length = static_cast<uint32_t>(size);
  for (const std::vector<unsigned char>& image : Images()) {
    for (bool versionKnown : {false, true}) {
      CSROMImage rom;
      rom.LoadImage(image.data(), static_cast<uint32_t>(image.size()));
      const int result = rom.SetFWCode(data, length, versionKnown);
      if (result != 0) {
        if (result != 7) std::abort();
        if (std::memcmp(rom.Image(), image.data(), image.size()) != 0) std::abort();
        continue;
      }
      // Placed: the file's own CRC held, so with a 16-bit size (bytes 6 and
      // 7 clear) the copies it wrote are valid and one is chosen.
      const uint32_t o1 = rom.GetDWORDFromSROMImage(36);
      if (std::memcmp(rom.Image() + o1, data, size) != 0) std::abort();
      if (rom.GetFWCodeChange() != 1 && rom.GetFWCodeChange() != 2) std::abort();
      if (size >= 8 && data[6] == 0 && data[7] == 0 &&
          rom.CheckFWCRC(rom.GetFWAllocate()) == 2) {
        std::abort();
      }
    }
  }
  return 0;
}
