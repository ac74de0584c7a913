// Firmware areas of the SROM image: which copies are present and valid,
// which one the device runs, what is installed, and the placement of a new
// firmware file.
//
// An area is a 16-byte header (signature, code size N, version, code CRC,
// reserved) followed by N code bytes. An area whose header or code does not
// lie wholly inside the image is never valid, and nothing outside the image
// is read or written.
#include <cstring>
#include <vector>

#include "BuildRules.h"
#include "SROMImage.h"
#include "common.h"

namespace {


// Area header fields.

// Code-size limits: the firmware area slot is 64 KiB; placement allows one
// byte less for the areas it compares against.
constexpr uint32_t kCodeLimit = 65536;
constexpr uint32_t kPlacementCodeLimit = 65535;

// How an area's computed CRC is obtained.
enum class CrcRule {
  Compute,   // always compute over the code
  ZeroAbove  // counts as 0 (not computed) when N is above a limit
};

// One firmware area as found in the image.
struct Area {
  bool present = false;  // offset non-zero
  bool inside = false;   // header and code lie wholly inside the image
  uint32_t offset = 0;
  uint32_t signature = 0;
  uint32_t codeSize = 0;
  uint16_t version = 0;
  uint16_t storedCrc = 0;
  const unsigned char* code = nullptr;
};

Area ReadArea(const unsigned char* image, uint32_t imageSize, uint32_t offset) {
  Area area;
  area.offset = offset;
  area.present = offset != 0;
  if (!area.present || image == nullptr) return area;
  if (!RangeInside(offset, kFirmwareAreaHeaderSize, imageSize)) return area;
  const unsigned char* header = image + offset;
  area.signature = GetLE32(header + kAreaSignature);
  area.codeSize = GetLE32(header + kAreaCodeSize);
  area.version = GetLE16(header + kAreaVersion);
  area.storedCrc = GetLE16(header + kAreaCodeCrc);
  const uint64_t codeAt = static_cast<uint64_t>(offset) + kFirmwareAreaHeaderSize;
  if (!RangeInside(codeAt, area.codeSize, imageSize)) return area;
  area.inside = true;
  area.code = image + codeAt;
  return area;
}

// The stored code CRC equals the computed one. With `countsAsZero` the CRC is
// not computed and the stored value is compared with 0 instead.
bool CrcGood(const Area& area, bool countsAsZero) {
  if (!area.present || !area.inside) return false;
  const int computed = countsAsZero ? 0 : CalcCRC16(area.code, area.codeSize);
  return computed == area.storedCrc;
}

// The placement rule: the computed CRC counts as 0 above 65535 code bytes.
bool CrcGoodForPlacement(const Area& area) {
  return CrcGood(area, area.codeSize > kPlacementCodeLimit);
}

// S, the flash size, from the parameters (0 for an exponent of 32 or more).
uint32_t FlashSize(const ROM_PARAMETER_IMAGE& parameters) {
  return parameters.RomSizeLog2 >= 32 ? 0 : (1u << parameters.RomSizeLog2);
}

}  // namespace

// ---------------------------------------------------------------------------

void CSROMImage::CreateSideBridge() {
  BridgeIC = BRIDGEIC_UNKNOWN;
  FWAllocate = FWALLOCATE_NONE;
  if (!SROMImage) return;

  const uint32_t o1 = GetDWORDFromSROMImage(kArea1OffsetField);
  const uint32_t o2 = GetDWORDFromSROMImage(kArea2OffsetField);
  if (o1 == 0 && o2 == 0) return;

  // L, the start of the last erase block (unsigned 32-bit arithmetic).
  const uint32_t s = FlashSize(RomParameter);
  const uint32_t l = s - GetEraseRomBlockSize();
  if (o1 >= s || o2 >= s) return;

  FWAllocate = (o1 != 0 && o2 != 0) ? FWALLOCATE_DUAL : FWALLOCATE_SINGLE;

  const Area a1 = ReadArea(SROMImage.get(), SROMImageSize, o1);
  const Area a2 = ReadArea(SROMImage.get(), SROMImageSize, o2);
  auto counts = [&](const Area& a) { return CrcGood(a, a.offset > l || a.codeSize > kCodeLimit); };

  uint32_t signature;
  if (a1.present && counts(a1)) {
    signature = a1.signature;
  } else if (a2.present && counts(a2)) {
    signature = a2.signature;
  } else {
    BridgeIC = BRIDGEIC_UNKNOWN;
    return;
  }
  if (signature == kSignatureQK9318A) {
    BridgeIC = BRIDGEIC_QK9318A;
  } else if (signature == kSignatureQK9318E) {
    BridgeIC = BRIDGEIC_QK9318E;
  } else {
    BridgeIC = BRIDGEIC_UNKNOWN;
  }
}

int CSROMImage::CheckFWCRC(_fw_surface surface) {
  if (!SROMImage) return 2;
  const uint32_t o1 = GetDWORDFromSROMImage(kArea1OffsetField);
  const uint32_t o2 = GetDWORDFromSROMImage(kArea2OffsetField);
  if (o1 == 0 && o2 == 0) return 2;

  const Area a1 = ReadArea(SROMImage.get(), SROMImageSize, o1);
  if (surface != FWALLOCATE_DUAL) {
    // The single copy: any size, as long as it lies inside the image.
    if (FWAllocate != FWALLOCATE_SINGLE) return 2;
    return CrcGood(a1, false) ? 0 : 2;
  }

  // L, the start of the last erase block (unsigned 32-bit arithmetic).
  const uint32_t s = FlashSize(RomParameter);
  const uint32_t l = s - GetEraseRomBlockSize();
  if (o1 == 0 || o1 >= l) return 2;

  const Area a2 = ReadArea(SROMImage.get(), SROMImageSize, o2);
  const bool valid1 = a1.codeSize <= kCodeLimit && CrcGood(a1, false);
  const bool valid2 = o2 != 0 && o2 < l && a2.codeSize <= kCodeLimit && CrcGood(a2, false);
  if (!valid1 && !valid2) return 2;
  // An invalid copy counts as version 0; ties go to area 1.
  const uint16_t v1 = valid1 ? a1.version : 0;
  const uint16_t v2 = valid2 ? a2.version : 0;
  return v1 < v2 ? 1 : 0;
}

namespace {

// Offset of the copy CheckFWCRC chose, or 0 when none is usable.
uint32_t ChosenAreaOffset(int choice, uint32_t o1, uint32_t o2) {
  if (choice == 0) return o1;
  if (choice == 1) return o2;
  return 0;
}

}  // namespace

uint32_t CSROMImage::GetFWBridgeSignature() {
  const int choice = CheckFWCRC(FWAllocate);
  const uint32_t offset = ChosenAreaOffset(choice, GetDWORDFromSROMImage(kArea1OffsetField),
                                           GetDWORDFromSROMImage(kArea2OffsetField));
  const Area area = ReadArea(SROMImage.get(), SROMImageSize, offset);
  return area.inside ? area.signature : 0;
}

uint32_t CSROMImage::GetFWCodeSize() {
  const int choice = CheckFWCRC(FWAllocate);
  const uint32_t offset = ChosenAreaOffset(choice, GetDWORDFromSROMImage(kArea1OffsetField),
                                           GetDWORDFromSROMImage(kArea2OffsetField));
  const Area area = ReadArea(SROMImage.get(), SROMImageSize, offset);
  // Inside the image, so N + 16 is at most the image size.
  return area.inside ? area.codeSize + kFirmwareAreaHeaderSize : 0;
}

void CSROMImage::GetFWCode(unsigned char* out, uint32_t length) {
  if (out == nullptr) return;
  const int choice = CheckFWCRC(FWAllocate);
  const uint32_t offset = ChosenAreaOffset(choice, GetDWORDFromSROMImage(kArea1OffsetField),
                                           GetDWORDFromSROMImage(kArea2OffsetField));
  const Area area = ReadArea(SROMImage.get(), SROMImageSize, offset);
  if (!area.inside) return;
  // Never past the end of the area, whatever the caller asks for.
  const uint32_t areaSize = area.codeSize + kFirmwareAreaHeaderSize;
  const uint32_t count = length < areaSize ? length : areaSize;
  std::memcpy(out, SROMImage.get() + offset, count);
}

uint16_t CSROMImage::GetFWVersion() {
  if (!SROMImage) return 0;
  const uint32_t o1 = GetDWORDFromSROMImage(kArea1OffsetField);
  const uint32_t o2 = GetDWORDFromSROMImage(kArea2OffsetField);

  if (FWAllocate != FWALLOCATE_DUAL) {
    // One copy: its version field as it stands, without a CRC check.
    if (o1 == 0) return 0;
    const uint64_t at = static_cast<uint64_t>(o1) + kAreaVersion;
    if (!RangeInside(at, 2, SROMImageSize)) return 0;
    return GetLE16(SROMImage.get() + at);
  }

  // Two copies: the version of the copy CheckFWCRC did not choose.
  const int choice = CheckFWCRC(FWALLOCATE_DUAL);
  uint32_t examined;
  if (choice == 1) {
    examined = o1;
  } else if (choice == 0) {
    examined = o2;
  } else {
    return 0;
  }
  // L, the start of the last erase block (unsigned 32-bit arithmetic).
  const uint32_t s = FlashSize(RomParameter);
  const uint32_t l = s - GetEraseRomBlockSize();
  if (examined == 0 || examined >= l) return 0;
  const Area area = ReadArea(SROMImage.get(), SROMImageSize, examined);
  if (area.codeSize > kCodeLimit || !CrcGood(area, false)) return 0;
  return area.version;
}

bool CSROMImage::PlacementOverlaps(uint32_t o1, uint32_t o2, uint32_t length) {
  struct Extent {
    uint64_t start;
    uint64_t end;
  };
  auto overlap = [](const Extent& a, const Extent& b) {
    return a.start < b.end && b.start < a.end;
  };
  std::vector<Extent> copies = {{o1, static_cast<uint64_t>(o1) + length}};
  if (o2 != 0) copies.push_back({o2, static_cast<uint64_t>(o2) + length});
  if (copies.size() == 2 && overlap(copies[0], copies[1])) return true;

  // What the copies must leave alone: the header, the parameter area and
  // the encryption records.
  std::vector<Extent> kept = {{0, kImageHeaderSize}};
  const uint64_t p = GetDWORDFromSROMImage(kParamAreaOffsetField);
  if (p != 0) {
    kept.push_back({p, p + GetParamSize()});
    for (uint32_t field : {kEncryptionRecord1Field, kEncryptionRecord2Field}) {
      if (!RangeInside(p + field, 4, SROMImageSize)) continue;
      const uint32_t record = GetLE32(SROMImage.get() + p + field);
      if (record != 0) kept.push_back({record, static_cast<uint64_t>(record) + 4});
    }
  }
  for (const Extent& copy : copies) {
    for (const Extent& other : kept) {
      if (overlap(copy, other)) return true;
    }
  }
  return false;
}

uint16_t CSROMImage::GetNewestFWVersion(uint32_t signature) {
  if (!SROMImage) return 0;
  uint16_t newest = 0;
  for (uint32_t field : {kArea1OffsetField, kArea2OffsetField}) {
    const Area area = ReadArea(SROMImage.get(), SROMImageSize, GetDWORDFromSROMImage(field));
    if (area.signature != signature || area.codeSize > kCodeLimit || !CrcGood(area, false)) {
      continue;
    }
    if (area.version > newest) newest = area.version;
  }
  return newest;
}

CSROMImage::AreaFacts CSROMImage::DescribeArea(int number) {
  AreaFacts facts;
  if (number != 1 && number != 2) return facts;
  const Area area =
      ReadArea(SROMImage.get(), SROMImageSize,
               GetDWORDFromSROMImage(number == 1 ? kArea1OffsetField : kArea2OffsetField));
  facts.present = area.present;
  facts.inside = area.inside;
  facts.offset = area.offset;
  facts.signature = area.signature;
  facts.codeSize = area.codeSize;
  facts.version = area.version;
  facts.crcGood = area.codeSize <= kCodeLimit && CrcGood(area, false);
  return facts;
}

bool CSROMImage::RequiredCompatibility(uint16_t* word) {
  *word = 0;
  const uint32_t area1 = GetDWORDFromSROMImage(kArea1OffsetField);
  if (area1 == 0 || !RangeInside(area1, 8, SROMImageSize)) return true;
  const uint32_t codeSize = GetDWORDFromSROMImage(area1 + kAreaCodeSize);
  if (codeSize < 1 || codeSize > 0xFFFF) return true;
  // The last two code bytes: header, then code, less the word itself.
  const uint64_t at = static_cast<uint64_t>(area1) + kFirmwareAreaHeaderSize + codeSize - 2;
  if (!RangeInside(at, 2, SROMImageSize)) return false;
  *word = GetWORDFromSROMImage(static_cast<uint32_t>(at));
  return true;
}

bool CSROMImage::PlacementSpace(uint32_t signature, uint32_t o1, uint32_t o2, uint32_t* space) {
  const uint32_t s = FlashSize(RomParameter);
  if (BridgeIC == BRIDGEIC_QK9318E) {
    const uint64_t p = GetDWORDFromSROMImage(kParamAreaOffsetField);
    const uint64_t eAt = p + kEncryptionRecord1Field;
    const uint32_t e = RangeInside(eAt, 4, SROMImageSize) ? GetLE32(SROMImage.get() + eAt) : 0;
    // Whether a missing encryption record (E = 0) is refused is the build's
    // rule; where it is not, a single copy's space wraps and the length
    // checks bound it.
    const bool noRecordRefused = kFirmwareNeedsEncryptionRecord && e == 0;
    if (noRecordRefused || signature != kSignatureQK9318E) return false;
    if (FWAllocate == FWALLOCATE_SINGLE) {
      *space = e - o1;
    } else if (FWAllocate == FWALLOCATE_DUAL) {
      *space = o2 - o1;
    } else {
      return false;
    }
    return true;
  }
  if (BridgeIC == BRIDGEIC_QK9318A) {
    if (signature != kSignatureQK9318A) return false;
    if (FWAllocate == FWALLOCATE_SINGLE) {
      *space = s - o1;
    } else if (FWAllocate == FWALLOCATE_DUAL) {
      *space = o2 - o1;
    } else {
      return false;
    }
    return true;
  }
  return false;
}

bool CSROMImage::FileFitsPlacement(const unsigned char* file, uint32_t length, uint32_t space,
                                   uint32_t o1, uint32_t o2) {
  if (length > kFirmwareMaxFileSize || length > space) return false;
  const uint32_t codeSize = GetLE16(file + kAreaCodeSize);
  if (length != codeSize + kFirmwareAreaHeaderSize) return false;
  // The placed area keeps all four size bytes, and the device, the region
  // lengths and the CRC check read them as one 32-bit value: a file whose
  // upper two bytes are not zero would be placed with another size than the
  // one checked here.
  if (GetLE32(file + kAreaCodeSize) != codeSize) return false;
  if (CalcCRC16(file + kFirmwareAreaHeaderSize, codeSize) != GetLE16(file + kAreaCodeCrc)) {
    return false;
  }
  if (!RangeInside(o1, length, SROMImageSize)) return false;
  if (FWAllocate == FWALLOCATE_DUAL && (o2 == 0 || !RangeInside(o2, length, SROMImageSize))) {
    return false;
  }
  return !PlacementOverlaps(o1, FWAllocate == FWALLOCATE_DUAL ? o2 : 0, length);
}

int CSROMImage::SetFWCode(const unsigned char* file, uint32_t length, bool versionKnown) {
  // 1. An image with a first firmware area, and a file with a whole header.
  if (!SROMImage || file == nullptr || length < kFirmwareAreaHeaderSize) return FLASH_IMAGE_ERROR;
  const uint32_t o1 = GetDWORDFromSROMImage(kArea1OffsetField);
  const uint32_t o2 = GetDWORDFromSROMImage(kArea2OffsetField);
  if (o1 == 0) return FLASH_IMAGE_ERROR;  // covers "both 0" as well

  // 2. The file must be built for the image's bridge; the space for area 1.
  uint32_t space = 0;
  if (!PlacementSpace(GetLE32(file + kAreaSignature), o1, o2, &space)) return FLASH_IMAGE_ERROR;

  // 3. Length: at most one area slot, within the space, exactly the size
  //    field (its low 16 bits) plus the header; the file's own code CRC must
  //    hold, so that no copy is written that the device would reject; every
  //    copy inside the image (a second copy needs a second area), clear of
  //    the header, the parameter area and the encryption records.
  if (!FileFitsPlacement(file, length, space, o1, o2)) return FLASH_IMAGE_ERROR;

  const uint16_t fileVersion = GetLE16(file + kAreaVersion);
  const Area a1 = ReadArea(SROMImage.get(), SROMImageSize, o1);

  if (FWAllocate == FWALLOCATE_DUAL) {
    // 4. Two copies: the older (or broken) copy is the target.
    const Area a2 = ReadArea(SROMImage.get(), SROMImageSize, o2);
    const bool good1 = CrcGoodForPlacement(a1);
    const bool good2 = CrcGoodForPlacement(a2);
    uint16_t target;
    if (!good1) {
      target = 1;
    } else if (!good2) {
      target = 2;
    } else {
      target = a1.version > a2.version ? 2 : 1;
    }
    FWCodeChange = target;
    const bool targetGood = target == 1 ? good1 : good2;
    const uint16_t targetVersion = target == 1 ? a1.version : a2.version;
    if (versionKnown && targetGood && fileVersion <= targetVersion) {
      FWCodeChange = 0;
      return FLASH_IMAGE_ERROR;
    }
    std::memcpy(SROMImage.get() + o1, file, length);
    std::memcpy(SROMImage.get() + o2, file, length);
    return FLASH_OK;
  }

  // 5. One copy.
  if (versionKnown && CrcGoodForPlacement(a1) && fileVersion <= a1.version) {
    FWCodeChange = 0;
    return FLASH_IMAGE_ERROR;
  }
  FWCodeChange = 1;
  std::memcpy(SROMImage.get() + o1, file, length);
  return FLASH_OK;
}
