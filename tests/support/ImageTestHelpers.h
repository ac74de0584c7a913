// Helpers for the image, firmware and authoring tests: images made from
// scratch with the engine's own operations, firmware areas put in place,
// and snapshots of the image bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FlashROM.h"
#include "ImageAuthoring.h"
#include "common.h"

namespace imagetest {

constexpr uint32_t kArea1Field = kArea1OffsetField;
constexpr uint32_t kArea2Field = kArea2OffsetField;
constexpr uint32_t kParamField = kParamAreaOffsetField;

// A new (erased) image of 2^romLog2 bytes with 2^eraseLog2-byte blocks and
// the default header and parameter area (P = 48).
inline bool NewImage(CFlashROM& rom, uint8_t romLog2, uint8_t eraseLog2, bool header = true) {
  ROM_PARAMETER_IMAGE& r = *rom.GetRomParameter();
  r = ROM_PARAMETER_IMAGE{};
  r.RomSizeLog2 = romLog2;
  r.EraseSizeLog2 = eraseLog2;
  rom.SetParameterChange(1);
  if (rom.CreateSROMImage() != 1) return false;
  rom.SetParameterChange(0);
  if (header) {
    rom.MakeImageFromSROMParam();
    rom.MakeparamHeader();
  }
  return true;
}

// Recomputes the header CRC after bytes 6 to 47 changed.
inline void FixHeaderCrc(CFlashROM& rom) {
  unsigned char* image = rom.MutableImage();
  SealHeaderCrc(image);
}

inline std::vector<unsigned char> Firmware(SROM_BRIDGEIC variant, uint16_t version,
                                           uint32_t codeSize = 256, uint32_t seed = 7) {
  return zfimage::BuildFirmwareFile(variant, version, 0x0154,
                                    zfimage::PseudoRandomCode(codeSize, seed));
}

// A firmware area written straight into the image (any size, any offset
// that fits).
inline void PutBytes(CFlashROM& rom, uint32_t offset, const std::vector<unsigned char>& bytes) {
  ASSERT_TRUE(RangeInside(offset, bytes.size(), rom.ImageSize()));
  std::memcpy(rom.MutableImage() + offset, bytes.data(), bytes.size());
}

// An area header (no code written) claiming `codeSize` code bytes.
inline void PutAreaHeader(CFlashROM& rom, uint32_t offset, uint32_t signature, uint32_t codeSize,
                          uint16_t version, uint16_t crc) {
  rom.SetDWORDToSROMImage(offset + kAreaSignature, signature);
  rom.SetDWORDToSROMImage(offset + kAreaCodeSize, codeSize);
  rom.SetWORDToSROMImage(offset + kAreaVersion, version);
  rom.SetWORDToSROMImage(offset + kAreaCodeCrc, crc);
  rom.SetDWORDToSROMImage(offset + kAreaReserved, 0);
}

// A valid area of `codeSize` pseudo-random code bytes with a correct CRC.
inline void PutValidArea(CFlashROM& rom, uint32_t offset, uint32_t signature, uint32_t codeSize,
                         uint16_t version, uint32_t seed = 3) {
  const std::vector<unsigned char> code = zfimage::PseudoRandomCode(codeSize, seed);
  PutAreaHeader(rom, offset, signature, codeSize, version,
                static_cast<uint16_t>(CalcCRC16(code.data(), codeSize)));
  PutBytes(rom, offset + kFirmwareAreaHeaderSize, code);
}

inline void SetAreas(CFlashROM& rom, uint32_t o1, uint32_t o2) {
  rom.SetDWORDToSROMImage(kArea1Field, o1);
  rom.SetDWORDToSROMImage(kArea2Field, o2);
}

inline std::vector<unsigned char> Snapshot(const CFlashROM& rom) {
  return std::vector<unsigned char>(rom.Image(), rom.Image() + rom.ImageSize());
}

inline std::vector<unsigned char> Utf16(const std::string& utf8) {
  std::vector<unsigned char> out;
  EXPECT_TRUE(zfimage::Utf8ToUtf16LE(utf8, &out));
  return out;
}

}  // namespace imagetest
