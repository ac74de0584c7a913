// Where the fields of the flash image lie: the 48-byte header, the parameter
// area (offsets from its start P) and the 16-byte firmware area header. All
// multi-byte fields are little-endian.
#pragma once

#include <cstdint>

#include "common.h"

// ---- image header (offsets from the start of the image) ----
constexpr uint32_t kImageHeaderSize = 48;
constexpr uint32_t kHeaderCrcOffset = 4;                                 // u16
constexpr uint32_t kHeaderCrcFirst = 6;                                  // CRC covers 6..47
constexpr uint32_t kHeaderCrcLength = kImageHeaderSize - kHeaderCrcFirst;  // 42 bytes
constexpr uint32_t kParamBytesOffset = 7;                                // 19 parameter bytes
constexpr uint32_t kParamBytesLength = 19;
// The flash programming parameters among them (one byte each unless noted).
constexpr uint32_t kHeaderReadCommand = 7;
constexpr uint32_t kHeaderProgramCommand = 8;
constexpr uint32_t kHeaderEraseCommand = 9;
constexpr uint32_t kHeaderWriteEnableCommand = 10;
constexpr uint32_t kHeaderWriteDisableCommand = 11;
constexpr uint32_t kHeaderReadStatusCommand = 12;
constexpr uint32_t kHeaderWriteStatusCommand = 13;
constexpr uint32_t kHeaderChipEraseCommand = 14;
constexpr uint32_t kHeaderEWSRCommand = 15;
constexpr uint32_t kHeaderControlFlags = 16;
constexpr uint32_t kHeaderModeTwoFlag = 17;       // bit 0: mode 2
constexpr uint32_t kHeaderFrequency = 18;         // low nibble
constexpr uint32_t kHeaderPageProgramUnit = 19;   // u16
constexpr uint32_t kHeaderAAIProgramUnit = 21;
constexpr uint32_t kHeaderEraseSizeLog2 = 22;
constexpr uint32_t kHeaderRomSizeLog2 = 23;
constexpr uint32_t kHeaderReserved = 24;
constexpr uint32_t kHeaderModeCode = 25;
constexpr uint32_t kParamAreaOffsetField = 32;  // u32 P
constexpr uint32_t kArea1OffsetField = 36;      // u32 O1
constexpr uint32_t kArea2OffsetField = 40;      // u32 O2
constexpr uint32_t kNewImageZeroedSize = 332;   // header + parameter area of a new image

// ---- parameter area (offsets from P) ----
constexpr uint32_t kParamDataSizeField = 4;        // u32 D
constexpr uint32_t kParamCrcField = 10;            // u16
constexpr uint32_t kOptionBitsField = 16;          // read by the Windows build only
constexpr uint32_t kEncryptionRecord1Field = 20;   // u32 E1
constexpr uint32_t kEncryptionRecord2Field = 24;   // u32 E2
constexpr uint32_t kVendorIdField = 32;            // u16
constexpr uint32_t kProductIdField = 34;           // u16
constexpr uint32_t kBcdDeviceField = 36;           // u16
constexpr uint32_t kOption38Field = 38;            // two bytes, Windows build only
constexpr uint32_t kStringSlot1 = 64;              // manufacturer
constexpr uint32_t kStringSlot2 = 128;             // product
constexpr uint32_t kStringSlot3 = 192;             // third string
constexpr uint32_t kStringSlotSize = 64;           // length byte, unused byte, UTF-16LE text
constexpr uint32_t kIdentVendorField = 256;        // space-padded texts, Windows build only
constexpr uint32_t kIdentProductField = 264;
constexpr uint32_t kIdentRevisionField = 280;
constexpr uint32_t kFlashTypeNameSlot = 1024;      // NUL-terminated, 50 bytes
constexpr uint32_t kFlashTypeNameSize = 50;
constexpr uint32_t kNameSlotWordField = 1072;      // u16, Windows build only
constexpr uint32_t kOptionalValueField = 1074;     // present flag, u32, flag byte
constexpr uint32_t kFileNameSlot = 1080;           // NUL-terminated firmware file name

// ---- firmware area header (offsets from the area's start) ----
constexpr uint32_t kFirmwareAreaHeaderSize = 16;
constexpr uint32_t kAreaSignature = 0;  // u32 bridge signature
constexpr uint32_t kAreaCodeSize = 4;   // u32 N
constexpr uint32_t kAreaVersion = 8;    // u16
constexpr uint32_t kAreaCodeCrc = 10;   // u16
constexpr uint32_t kAreaReserved = 12;  // u32

// The CRC the header should carry (over bytes 6..47), and the header sealed
// with it. `image` holds at least the 48 header bytes.
inline uint16_t HeaderCrcOf(const unsigned char* image) {
  return static_cast<uint16_t>(CalcCRC16(image + kHeaderCrcFirst, kHeaderCrcLength));
}
inline void SealHeaderCrc(unsigned char* image) {
  PutLE16(image + kHeaderCrcOffset, HeaderCrcOf(image));
}
