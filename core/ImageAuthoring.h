// Building complete flash images and firmware files in memory, through the
// authoring operations of the SROM image model (no transport, no device).
// Used by the zedrikfu-image tool, by the virtual bridge's default flash and
// by the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SROMImage.h"
#include "Types.h"

namespace zfimage {

// The firmware area header's size; a firmware file is one area.
constexpr uint32_t kAreaHeaderSize = kFirmwareAreaHeaderSize;
// Largest firmware file the updater accepts.
constexpr uint32_t kMaxFirmwareFileSize = kFirmwareMaxFileSize;

// Bridge signature of a variant (0 for an unknown one).
uint32_t SignatureOf(SROM_BRIDGEIC variant);

// `size` deterministic pseudo-random bytes for firmware code.
std::vector<unsigned char> PseudoRandomCode(uint32_t size, uint32_t seed);

// A firmware file: the area header (signature of `variant`, code size,
// `version`, code CRC, reserved zero) followed by `code`, whose last two
// bytes are replaced by `compat` (little-endian). Empty when the variant is
// unknown, the code is shorter than 2 bytes or the file would exceed 65536.
std::vector<unsigned char> BuildFirmwareFile(SROM_BRIDGEIC variant, uint16_t version,
                                             uint16_t compat, std::vector<unsigned char> code);

// What a flash image holds.
struct FlashImageSpec {
  std::string partName = "Winbond W25Q80BL";  // a part of the flash-part table
  SROM_BRIDGEIC variant = BRIDGEIC_QK9318A;
  SROM_FWALLOCATE copies = FWALLOCATE_DUAL;   // 1 or 2
  uint16_t vendorId = 0x3F1C;
  uint16_t productId = 0x0001;
  uint16_t bcdDevice = 0x0100;
  std::string manufacturer = "ZEDRIK";  // UTF-8; at most 31 bytes
  std::string product = "QK9318 Storage";
  std::string thirdString;
  std::vector<unsigned char> firmware1;  // file placed as copy 1
  std::vector<unsigned char> firmware2;  // copy 2; empty: the same as copy 1
  bool writeFlashTypeName = true;        // the part name in the name slot
  std::string firmwareFileName;          // written to its slot when not empty
  _encryptionlist encryption = {0, 0, 0};  // QK9318E images only
  bool blank = false;      // the whole flash erased (0xFF), nothing else
  int corruptCopy = 0;     // 1 or 2: that copy's first code byte inverted
};

// The default flash of a virtual bridge: 1 MiB Winbond W25Q80BL, QK9318A,
// two copies of firmware version 01.10 with compatibility value 0x0154.
FlashImageSpec DefaultFlashImageSpec();
// The firmware of that default flash.
std::vector<unsigned char> DefaultFirmwareFile(SROM_BRIDGEIC variant = BRIDGEIC_QK9318A);

// Builds the image: a new image for the part (CreateSROMImage with the
// part's parameters), MakeparamHeader, the identity and strings in the
// parameter area, SetOffset for the geometry, copies and variant, the
// firmware files at O1 (and O2), the name slots and, for QK9318E, the
// encryption records; both CRCs then cover the final bytes. False with a
// reason in `error` when such an image cannot be built.
bool BuildFlashImage(const FlashImageSpec& imageSpec, std::vector<unsigned char>* out,
                     std::string* error);
bool BuildDefaultFlashImage(std::vector<unsigned char>* out, std::string* error);

// UTF-8 to UTF-16LE; false on invalid UTF-8.
bool Utf8ToUtf16LE(const std::string& text, std::vector<unsigned char>* out);

}  // namespace zfimage
