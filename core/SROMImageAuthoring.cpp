// Authoring of a new SROM image (default header and parameter area, the
// placement of firmware areas and encryption records, the firmware file name
// slot) and the encryption settings carried by QK9318E images.
#include <cstring>

#include "SROMImage.h"
#include "common.h"

namespace {

// Where a new image keeps its parameter area, and its size.
constexpr uint32_t kNewParamAreaOffset = 48;
constexpr uint32_t kNewParamDataSize = 268;
// E1 and E2 of a new image: P + 20 and P + 24 with P = 48.
constexpr uint32_t kNewEncryptionRecord1Field = kNewParamAreaOffset + kEncryptionRecord1Field;
constexpr uint32_t kNewEncryptionRecord2Field = kNewParamAreaOffset + kEncryptionRecord2Field;

// Settings byte of an encryption record.
constexpr uint8_t kEncryptionAlwaysSet = 0x04;
constexpr uint8_t kEncryptionSetting0 = 0x01;
constexpr uint8_t kEncryptionSetting1 = 0x08;
constexpr uint8_t kEncryptionSetting2 = 0x10;

constexpr uint32_t KiB = 1024;
constexpr uint32_t kNoLimit = 0xFFFFFFFFu;

// One row of the placement table for flash sizes of 64 KiB to 256 KiB.
struct PlacementRow {
  uint32_t flashSize;
  uint32_t eraseBlock;
  SROM_FWALLOCATE copies;
  SROM_BRIDGEIC variant;
  uint32_t codeLimit;  // largest firmware size (action list's FWCodeSize)
  uint32_t o1, o2, e1, e2;
};

constexpr SROM_BRIDGEIC E = BRIDGEIC_QK9318E;
constexpr SROM_BRIDGEIC A = BRIDGEIC_QK9318A;
constexpr SROM_FWALLOCATE One = FWALLOCATE_SINGLE;
constexpr SROM_FWALLOCATE Two = FWALLOCATE_DUAL;

constexpr PlacementRow kPlacementTable[] = {
    {64 * KiB, 4 * KiB, One, E, 0xD000, 0x1000, 0, 0xE000, 0xF000},
    {64 * KiB, 4 * KiB, One, A, 0xF000, 0x1000, 0, 0, 0},
    {64 * KiB, 4 * KiB, Two, A, 0x7000, 0x1000, 0x8000, 0, 0},
    {64 * KiB, 32 * KiB, One, A, 0x8000, 0x8000, 0, 0, 0},
    {128 * KiB, 4 * KiB, One, E, kNoLimit, 0x1000, 0, 0x11000, 0x12000},
    {128 * KiB, 4 * KiB, One, A, kNoLimit, 0x1000, 0, 0, 0},
    {128 * KiB, 4 * KiB, Two, E, 0xE000, 0x1000, 0xF000, 0x1D000, 0x1E000},
    {128 * KiB, 4 * KiB, Two, A, 0xF000, 0x1000, 0x10000, 0, 0},
    {128 * KiB, 32 * KiB, One, E, 0x8000, 0x8000, 0, 0x10000, 0x18000},
    {128 * KiB, 32 * KiB, One, A, kNoLimit, 0x8000, 0, 0, 0},
    {128 * KiB, 32 * KiB, Two, A, 0x8000, 0x8000, 0x10000, 0, 0},
    {128 * KiB, 64 * KiB, One, A, kNoLimit, 0x10000, 0, 0, 0},
    {256 * KiB, 64 * KiB, One, E, kNoLimit, 0x10000, 0, 0x20000, 0x30000},
    {256 * KiB, 64 * KiB, One, A, kNoLimit, 0x10000, 0, 0, 0},
    {256 * KiB, 64 * KiB, Two, A, kNoLimit, 0x10000, 0x20000, 0, 0},
};

uint8_t EncryptionSettingsByte(const _encryptionlist& list) {
  uint8_t settings = kEncryptionAlwaysSet;
  if (list.Setting0 != 0) settings |= kEncryptionSetting0;
  if (list.Setting1 != 0) settings |= kEncryptionSetting1;
  if (list.Setting2 != 0) settings |= kEncryptionSetting2;
  return settings;
}

}  // namespace

// ---------------------------------------------------------------------------
// Encryption settings

namespace {

// The 4-byte record at `at` is inside the image and its CRC of bytes 2 and 3
// matches the u16 at bytes 0 and 1.
bool EncryptionRecordGood(const unsigned char* image, uint32_t size, uint32_t at) {
  if (image == nullptr || at == 0 || !RangeInside(at, 4, size)) return false;
  return CalcCRC16(image + at + 2, 2) == GetLE16(image + at);
}

uint32_t LE32At(const unsigned char* image, uint32_t size, uint64_t at) {
  if (image == nullptr || !RangeInside(at, 4, size)) return 0;
  return GetLE32(image + at);
}

}  // namespace

void CSROMImage::GetEncryption(_encryptionlist* list) {
  if (list == nullptr || !SROMImage || BridgeIC != BRIDGEIC_QK9318E) return;
  list->Setting0 = 0;
  list->Setting1 = 0;
  list->Setting2 = 0;

  const unsigned char* image = SROMImage.get();
  const uint64_t p = GetDWORDFromSROMImage(kParamAreaOffsetField);
  const uint32_t e1 = LE32At(image, SROMImageSize, p + kEncryptionRecord1Field);
  if (e1 == 0) return;
  const uint32_t e2 = LE32At(image, SROMImageSize, p + kEncryptionRecord2Field);

  uint8_t settings;
  if (EncryptionRecordGood(image, SROMImageSize, e1)) {
    settings = image[e1 + 2];
  } else if (e2 != 0 && EncryptionRecordGood(image, SROMImageSize, e2)) {
    settings = image[e2 + 2];
  } else {
    return;
  }
  list->Setting0 = settings & 0x01;
  list->Setting1 = (settings >> 3) & 0x01;
  list->Setting2 = (settings >> 4) & 0x01;
}

void CSROMImage::SetEncryption(const _encryptionlist* list) {
  if (list == nullptr || !SROMImage || BridgeIC != BRIDGEIC_QK9318E) return;
  const uint64_t p = GetDWORDFromSROMImage(kParamAreaOffsetField);
  const uint32_t records[2] = {
      LE32At(SROMImage.get(), SROMImageSize, p + kEncryptionRecord1Field),
      LE32At(SROMImage.get(), SROMImageSize, p + kEncryptionRecord2Field),
  };
  const uint8_t settings = EncryptionSettingsByte(*list);
  for (const uint32_t e : records) {
    // A record that does not lie inside the image counts as absent.
    if (e == 0 || !RangeInside(e, 4, SROMImageSize)) continue;
    EncryptionChange = 1;
    unsigned char* record = SROMImage.get() + e;
    record[2] = settings;
    record[3] = 0;
    PutLE16(record, static_cast<uint16_t>(CalcCRC16(record + 2, 2)));
  }
}

// ---------------------------------------------------------------------------
// A new image

int CSROMImage::MakeparamHeader() {
  if (!SROMImage || SROMImageSize < kNewImageZeroedSize) return 0;
  unsigned char* image = SROMImage.get();

  std::memcpy(image, "318H", 4);
  image[6] = 0x80;
  PutLE32(image + kParamAreaOffsetField, kNewParamAreaOffset);
  // The header CRC covers bytes 6 to 47 only; it is taken before the
  // parameter area is filled.
  SealHeaderCrc(image);

  unsigned char* area = image + kNewParamAreaOffset;
  std::memcpy(area, "318P", 4);
  PutLE32(area + kParamDataSizeField, kNewParamDataSize);
  area[8] = 0x00;
  area[9] = 0x01;
  static const unsigned char kFixed[4] = {0x40, 0x00, 0xFF, 0x03};
  std::memcpy(area + 12, kFixed, sizeof kFixed);
  // Mass-storage class, SCSI subclass, Bulk-Only and UAS protocols.
  static const unsigned char kInterfaceCodes[8] = {0x08, 0x06, 0x50, 0x08, 0x06, 0x62, 0x0F, 0x05};
  std::memcpy(area + 40, kInterfaceCodes, sizeof kInterfaceCodes);

  const int crc = CalcCRC16(area + kFirmwareAreaHeaderSize, kNewParamDataSize);
  PutLE16(area + kParamCrcField, static_cast<uint16_t>(crc));
  return crc;
}

void CSROMImage::SetOffset(const _actionparamlist* list) {
  if (list == nullptr) return;
  uint32_t o1 = 0, o2 = 0, e1 = 0, e2 = 0;

  const uint32_t s = RomParameter.RomSizeLog2 >= 32 ? 0 : (1u << RomParameter.RomSizeLog2);
  const uint32_t b = GetEraseRomBlockSize();
  const uint32_t z = list->FWCodeSize;

  const bool tabled =
      s == 64 * KiB || s == 128 * KiB || (s == 256 * KiB && b == 64 * KiB);
  if (tabled) {
    // A geometry, copy count or variant without a row leaves all four at 0.
    for (const PlacementRow& row : kPlacementTable) {
      if (row.flashSize != s || row.eraseBlock != b || row.copies != FWAllocate ||
          row.variant != BridgeIC) {
        continue;
      }
      if (z <= row.codeLimit) {
        o1 = row.o1;
        o2 = row.o2;
        e1 = row.e1;
        e2 = row.e2;
      }
      break;
    }
  } else {
    // Each copy gets a 64 KiB slot after the first erase block; the
    // encryption records follow the slots, one erase block apart.
    o1 = b;
    if (FWAllocate == FWALLOCATE_DUAL) o2 = 0x10000 + b;
    if (BridgeIC == BRIDGEIC_QK9318E) {
      const uint32_t n = FWAllocate == FWALLOCATE_SINGLE ? 1 : 2;
      e1 = n * 0x10000 + b;
      e2 = n * 0x10000 + 2 * b;
    }
  }

  SetDWORDToSROMImage(kArea1OffsetField, o1);
  SetDWORDToSROMImage(kArea2OffsetField, o2);
  SetDWORDToSROMImage(kNewEncryptionRecord1Field, e1);
  SetDWORDToSROMImage(kNewEncryptionRecord2Field, e2);
}

// ---------------------------------------------------------------------------
// Firmware file name slot

void CSROMImage::GetFWFileName(char* out, uint32_t capacity) {
  if (out == nullptr || capacity == 0 || !SROMImage) return;
  const uint64_t at = static_cast<uint64_t>(GetDWORDFromSROMImage(kParamAreaOffsetField)) +
                      kFileNameSlot;
  if (!RangeInside(at, 4, SROMImageSize)) return;
  const unsigned char* name = SROMImage.get() + at;
  if (name[0] == 0xFF && name[1] == 0xFF && name[2] == 0xFF && name[3] == 0xFF) return;

  // The name and its terminator, at most `capacity` bytes. A name that runs
  // into the end of the image ends there.
  const uint64_t available = SROMImageSize - at;
  uint32_t i = 0;
  for (; i < capacity && i < available; ++i) {
    out[i] = static_cast<char>(name[i]);
    if (name[i] == '\0') return;
  }
  if (i < capacity) out[i] = '\0';
}

void CSROMImage::SetFWFileName(const char* name) {
  if (name == nullptr || !SROMImage) return;
  const uint64_t at = static_cast<uint64_t>(GetDWORDFromSROMImage(kParamAreaOffsetField)) +
                      kFileNameSlot;
  const size_t length = std::strlen(name);
  if (!RangeInside(at, static_cast<uint64_t>(length) + 1, SROMImageSize)) return;
  unsigned char* slot = SROMImage.get() + at;
  std::memset(slot, 0, length + 1);
  std::memcpy(slot, name, length);
}
