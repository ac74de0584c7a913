#include "ImageAuthoring.h"

#include <cstring>

#include "SROMImage.h"
#include "SROMTables.h"
#include "common.h"

namespace zfimage {

namespace {

// The three string slots of the parameter area, in order.
constexpr uint32_t kStringSlots[3] = {kStringSlot1, kStringSlot2, kStringSlot3};

// The updater converts each string into a 32-byte field with its terminator.
constexpr size_t kMaxUtf8StringBytes = 31;

void SetError(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text;
}

// Writes `text` as a string slot: its UTF-16LE byte count, an unused byte and
// the text.
bool WriteStringSlot(CSROMImage& rom, uint32_t slotAt, const std::string& text, const char* what,
                     std::string* error) {
  if (text.size() > kMaxUtf8StringBytes) {
    SetError(error, std::string(what) + " is longer than 31 bytes");
    return false;
  }
  std::vector<unsigned char> utf16;
  if (!Utf8ToUtf16LE(text, &utf16)) {
    SetError(error, std::string(what) + " is not valid UTF-8");
    return false;
  }
  if (utf16.size() > kStringSlotSize - 2) {
    SetError(error, std::string(what) + " does not fit its slot");
    return false;
  }
  rom.SetBYTEToSROMImage(slotAt, static_cast<uint8_t>(utf16.size()));
  rom.SetBYTEToSROMImage(slotAt + 1, 0);
  for (size_t i = 0; i < utf16.size(); ++i) {
    rom.SetBYTEToSROMImage(slotAt + 2 + static_cast<uint32_t>(i), utf16[i]);
  }
  return true;
}

bool CheckFirmwareFile(const std::vector<unsigned char>& file, SROM_BRIDGEIC variant,
                       const char* which, std::string* error) {
  if (file.size() < kAreaHeaderSize || file.size() > kMaxFirmwareFileSize ||
      file.size() != GetLE16(file.data() + kAreaCodeSize) + static_cast<size_t>(kAreaHeaderSize)) {
    SetError(error, std::string(which) + ": not a firmware file (length)");
    return false;
  }
  if (GetLE32(file.data()) != SignatureOf(variant)) {
    SetError(error, std::string(which) + ": built for another bridge variant");
    return false;
  }
  return true;
}

}  // namespace

uint32_t SignatureOf(SROM_BRIDGEIC variant) {
  switch (variant) {
    case BRIDGEIC_QK9318A:
      return kSignatureQK9318A;
    case BRIDGEIC_QK9318E:
      return kSignatureQK9318E;
    default:
      return 0;
  }
}

std::vector<unsigned char> PseudoRandomCode(uint32_t size, uint32_t seed) {
  std::vector<unsigned char> code(size);
  uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  for (uint32_t i = 0; i < size; ++i) {
    // xorshift32: cheap, deterministic, every byte value occurs.
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    code[i] = static_cast<unsigned char>(state >> 24);
  }
  return code;
}

std::vector<unsigned char> BuildFirmwareFile(SROM_BRIDGEIC variant, uint16_t version,
                                             uint16_t compat, std::vector<unsigned char> code) {
  const uint32_t signature = SignatureOf(variant);
  if (signature == 0 || code.size() < 2 || code.size() > kMaxFirmwareFileSize - kAreaHeaderSize) {
    return {};
  }
  PutLE16(code.data() + code.size() - 2, compat);
  std::vector<unsigned char> file(kAreaHeaderSize + code.size(), 0);
  PutLE32(file.data(), signature);
  PutLE32(file.data() + kAreaCodeSize, static_cast<uint32_t>(code.size()));
  PutLE16(file.data() + kAreaVersion, version);
  PutLE16(file.data() + kAreaCodeCrc,
          static_cast<uint16_t>(CalcCRC16(code.data(), static_cast<uint32_t>(code.size()))));
  std::memcpy(file.data() + kAreaHeaderSize, code.data(), code.size());
  return file;
}

std::vector<unsigned char> DefaultFirmwareFile(SROM_BRIDGEIC variant) {
  return BuildFirmwareFile(variant, 0x0110, 0x0154, PseudoRandomCode(0x4000, 1));
}

FlashImageSpec DefaultFlashImageSpec() {
  FlashImageSpec imageSpec;
  imageSpec.firmware1 = DefaultFirmwareFile(BRIDGEIC_QK9318A);
  return imageSpec;
}

bool BuildDefaultFlashImage(std::vector<unsigned char>* out, std::string* error) {
  return BuildFlashImage(DefaultFlashImageSpec(), out, error);
}

bool Utf8ToUtf16LE(const std::string& text, std::vector<unsigned char>* out) {
  out->clear();
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    uint32_t cp;
    size_t extra;
    if (lead < 0x80) {
      cp = lead;
      extra = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      cp = lead & 0x1F;
      extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      cp = lead & 0x0F;
      extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      cp = lead & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;  // sequence cut short
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static const uint32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
    auto put = [out](uint32_t unit) {
      out->push_back(static_cast<unsigned char>(unit & 0xFF));
      out->push_back(static_cast<unsigned char>(unit >> 8));
    };
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return true;
}

namespace {

// A new image for the part (CreateSROMImage with the part's parameters).
bool NewImageForPart(CSROMImage& rom, const FlashImageSpec& imageSpec, std::string* error) {
  _serialflash_romparamlist part = {};
  if (srom::GetParamList(imageSpec.partName.c_str(), &part) != 1) {
    SetError(error, "unknown flash part \"" + imageSpec.partName + "\"");
    return false;
  }
  srom::ListToImage(rom.GetRomParameter(), &part);
  rom.SetParameterChange(1);
  if (rom.CreateSROMImage() != 1) {
    SetError(error, "cannot create an image for this part");
    return false;
  }
  return true;
}

bool CheckLayout(const FlashImageSpec& imageSpec, std::string* error) {
  if (imageSpec.variant != BRIDGEIC_QK9318A && imageSpec.variant != BRIDGEIC_QK9318E) {
    SetError(error, "unknown bridge variant");
    return false;
  }
  if (imageSpec.copies != FWALLOCATE_SINGLE && imageSpec.copies != FWALLOCATE_DUAL) {
    SetError(error, "copies must be 1 or 2");
    return false;
  }
  return true;
}

// The identity and the three strings of the parameter area at `p`.
bool WriteIdentity(CSROMImage& rom, uint32_t p, const FlashImageSpec& imageSpec,
                   std::string* error) {
  rom.SetWORDToSROMImage(p + kVendorIdField, imageSpec.vendorId);
  rom.SetWORDToSROMImage(p + kProductIdField, imageSpec.productId);
  rom.SetWORDToSROMImage(p + kBcdDeviceField, imageSpec.bcdDevice);
  return WriteStringSlot(rom, p + kStringSlots[0], imageSpec.manufacturer, "manufacturer", error) &&
         WriteStringSlot(rom, p + kStringSlots[1], imageSpec.product, "product", error) &&
         WriteStringSlot(rom, p + kStringSlots[2], imageSpec.thirdString, "third string", error);
}

// Where the copies went.
struct Placed {
  uint32_t o1 = 0;
  uint32_t o2 = 0;
  bool dual = false;
};

// SetOffset for the geometry, copy count and variant, then the firmware files
// at O1 (and O2), each ending before the next area (copy 2, the encryption
// records, or the end of the flash).
bool PlaceFirmware(CSROMImage& rom, uint32_t p, const FlashImageSpec& imageSpec, Placed* placed,
                   std::string* error) {
  // Copy 2 defaults to copy 1.
  const std::vector<unsigned char>& fw1 = imageSpec.firmware1;
  const std::vector<unsigned char>& fw2 =
      imageSpec.firmware2.empty() ? imageSpec.firmware1 : imageSpec.firmware2;
  if (!CheckFirmwareFile(fw1, imageSpec.variant, "firmware", error)) return false;
  const bool dual = imageSpec.copies == FWALLOCATE_DUAL;
  if (dual && !CheckFirmwareFile(fw2, imageSpec.variant, "firmware 2", error)) return false;

  rom.SetBridgeIC(imageSpec.variant);
  rom.SetFWAllocate(imageSpec.copies);
  _actionparamlist placement = {};
  placement.FWCodeSize = static_cast<uint32_t>(dual && fw2.size() > fw1.size() ? fw2.size()
                                                                                : fw1.size());
  rom.SetOffset(&placement);
  const uint32_t o1 = rom.GetDWORDFromSROMImage(kArea1OffsetField);
  const uint32_t o2 = rom.GetDWORDFromSROMImage(kArea2OffsetField);
  if (o1 == 0 || (dual && o2 == 0)) {
    SetError(error, "no firmware placement for this part, copy count and variant (or the "
                    "firmware is too large for it)");
    return false;
  }

  const uint32_t size = rom.ImageSize();
  const uint32_t e1 = rom.GetDWORDFromSROMImage(p + kEncryptionRecord1Field);
  auto place = [&](uint32_t at, uint32_t limit, const std::vector<unsigned char>& file,
                   const char* which) {
    if (!RangeInside(at, file.size(), size) || static_cast<uint64_t>(at) + file.size() > limit) {
      SetError(error, std::string(which) + " does not fit its area");
      return false;
    }
    std::memcpy(rom.MutableImage() + at, file.data(), file.size());
    return true;
  };
  uint32_t limit1 = size;
  if (dual) {
    limit1 = o2;
  } else if (imageSpec.variant == BRIDGEIC_QK9318E && e1 != 0) {
    limit1 = e1;
  }
  uint32_t limit2 = size;
  if (imageSpec.variant == BRIDGEIC_QK9318E && e1 > o2) limit2 = e1;
  if (!place(o1, limit1, fw1, "firmware")) return false;
  if (dual && !place(o2, limit2, fw2, "firmware 2")) return false;
  *placed = Placed{o1, o2, dual};
  return true;
}

// The name slots beyond the CRC-protected data.
void WriteNameSlots(CSROMImage& rom, uint32_t p, const FlashImageSpec& imageSpec) {
  if (imageSpec.writeFlashTypeName) {
    for (uint32_t i = 0; i < kFlashTypeNameSize; ++i) {
      const char c = i < imageSpec.partName.size() ? imageSpec.partName[i] : '\0';
      rom.SetBYTEToSROMImage(p + kFlashTypeNameSlot + i,
                             i + 1 < kFlashTypeNameSize ? static_cast<uint8_t>(c) : 0);
    }
  }
  if (!imageSpec.firmwareFileName.empty()) rom.SetFWFileName(imageSpec.firmwareFileName.c_str());
}

// SetOffset and the identity changed CRC-protected bytes: both CRCs are taken
// again over the final contents.
bool SealCrcs(CSROMImage& rom, uint32_t p, std::string* error) {
  unsigned char* image = rom.MutableImage();
  const uint32_t d = rom.GetDWORDFromSROMImage(p + kParamDataSizeField);
  if (!RangeInside(static_cast<uint64_t>(p) + kAreaHeaderSize, d, rom.ImageSize())) {
    SetError(error, "parameter area outside the image");
    return false;
  }
  PutLE16(image + p + kParamCrcField,
          static_cast<uint16_t>(CalcCRC16(image + p + kAreaHeaderSize, d)));
  SealHeaderCrc(image);
  return true;
}

// The first code byte of copy `copy` (1 or 2, 0 for none) inverted.
bool CorruptCopy(CSROMImage& rom, int copy, const Placed& placed, std::string* error) {
  if (copy == 1 || (copy == 2 && placed.dual)) {
    const uint32_t at = (copy == 1 ? placed.o1 : placed.o2) + kAreaHeaderSize;
    rom.SetBYTEToSROMImage(at, static_cast<uint8_t>(~rom.GetBYTEFromSROMImage(at)));
  } else if (copy != 0) {
    SetError(error, "no such copy to corrupt");
    return false;
  }
  return true;
}

}  // namespace

bool BuildFlashImage(const FlashImageSpec& imageSpec, std::vector<unsigned char>* out,
                     std::string* error) {
  if (out == nullptr) return false;
  out->clear();

  CSROMImage rom;
  if (!NewImageForPart(rom, imageSpec, error)) return false;
  const uint32_t size = rom.ImageSize();
  if (imageSpec.blank) {
    out->assign(size, 0xFF);
    return true;
  }
  if (!CheckLayout(imageSpec, error)) return false;

  // Header with the part's parameters, then the default parameter area.
  rom.MakeImageFromSROMParam();
  rom.MakeparamHeader();
  const uint32_t p = rom.GetDWORDFromSROMImage(kParamAreaOffsetField);
  if (!WriteIdentity(rom, p, imageSpec, error)) return false;
  Placed placed;
  if (!PlaceFirmware(rom, p, imageSpec, &placed, error)) return false;
  WriteNameSlots(rom, p, imageSpec);
  // Encryption records (QK9318E): written with their CRCs.
  rom.SetEncryption(&imageSpec.encryption);
  if (!SealCrcs(rom, p, error)) return false;
  if (!CorruptCopy(rom, imageSpec.corruptCopy, placed, error)) return false;

  const unsigned char* image = rom.Image();
  out->assign(image, image + size);
  return true;
}

}  // namespace zfimage
