// The SROM image model: its creation, the header's flash programming
// parameters, the bounds-checked accessors and the device identity read from
// the parameter area. CFlashROM reads the header from the device and hands
// it over (TakeDeviceHeader); everything else here works on bytes alone.
//
// The flash contents are outside input: every offset taken from the image is
// checked against the allocated size before a byte is read or written, and a
// field that lies outside the image counts as absent.
#include <cstring>
#include <new>

#include "ActionParameters.h"
#include "BuildRules.h"
#include "SROMImage.h"
#include "SROMTables.h"
#include "SlotText.h"
#include "common.h"

namespace {

// Image layout used here.

// Offsets inside the parameter area (from P).

constexpr uint16_t kActionStringCapacity = 32;

// Copies a NUL-terminated text into a fixed char field, zero-filling the rest
// and always leaving a terminator.
template <size_t N>
void CopyName(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  if (text == nullptr) return;
  for (size_t i = 0; i + 1 < N && text[i] != '\0'; ++i) field[i] = text[i];
}

// A buffer for an image of `size` bytes, or null when the memory cannot be had.
std::unique_ptr<unsigned char[]> AllocateImage(uint32_t size) {
  if (size == 0) return nullptr;
  try {
    return std::unique_ptr<unsigned char[]>(new unsigned char[size]);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// The u32 at `at` of an image of `size` bytes; 0 when it is not all inside.
uint32_t LE32At(const unsigned char* image, uint32_t size, uint64_t at) {
  if (image == nullptr || !RangeInside(at, 4, size)) return 0;
  return GetLE32(image + at);
}

uint16_t LE16At(const unsigned char* image, uint32_t size, uint64_t at) {
  if (image == nullptr || !RangeInside(at, 2, size)) return 0;
  return GetLE16(image + at);
}

bool HeaderCrcHolds(const unsigned char* image, uint32_t size) {
  if (image == nullptr || size < kImageHeaderSize) return false;
  const int crc = CalcCRC16(image + kHeaderCrcFirst, kHeaderCrcLength);
  return crc == GetLE16(image + kHeaderCrcOffset);
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction

CSROMImage::CSROMImage() { CopyName(FlashTypeName, kFlashTypeNotShown); }

// ---------------------------------------------------------------------------
// Creating the image

void CSROMImage::Release() {
  SROMImage.reset();
  SROMImageSize = 0;
}

bool CSROMImage::TakeDeviceHeader(const unsigned char* header, uint32_t size) {
  Release();
  if (header == nullptr || size < kImageHeaderSize || !HeaderCrcHolds(header, size)) return false;
  TakeHeaderParameters(header);
  return true;
}

int CSROMImage::CreateSROMImage() {
  Release();
  // A damaged header could ask for up to 2 GiB; no serial flash this bridge
  // drives (3-byte SPI addresses) is larger than 16 MiB, so larger exponents
  // are refused (this also keeps the shift below inside 32 bits).
  if (RomParameter.RomSizeLog2 > kMaxRomSizeLog2) return 0;
  const uint32_t size = static_cast<uint32_t>(1) << RomParameter.RomSizeLog2;
  std::unique_ptr<unsigned char[]> image = AllocateImage(size);
  if (!image) return 0;
  // Erased flash, except the header and parameter area of a new image.
  std::memset(image.get(), 0xFF, size);
  std::memset(image.get(), 0, size < kNewImageZeroedSize ? size : kNewImageZeroedSize);
  SROMImage = std::move(image);
  SROMImageSize = size;
  return 1;
}

bool CSROMImage::LoadImage(const unsigned char* data, uint32_t size) {
  Release();
  if (data == nullptr || size == 0) return false;
  std::unique_ptr<unsigned char[]> image = AllocateImage(size);
  if (!image) return false;
  std::memcpy(image.get(), data, size);
  SROMImage = std::move(image);
  SROMImageSize = size;

  // What a read does with a flash: parameters from the header (when its CRC
  // holds), then the operation state cleared and the firmware layout derived.
  const bool headerGood = HeaderCrcHolds(SROMImage.get(), SROMImageSize);
  MakeSROMParamFromImage();
  ClearFlag();
  CreateSideBridge();
  return headerGood;
}

// ---------------------------------------------------------------------------
// Header parameter bytes

namespace {

// The single-byte programming parameters and where the header keeps them;
// both directions of the conversion go through this one table.
struct HeaderByte {
  uint32_t offset;
  uint8_t ROM_PARAMETER_IMAGE::*field;
};
constexpr HeaderByte kHeaderBytes[] = {
    {kHeaderReadCommand, &ROM_PARAMETER_IMAGE::ReadCommand},
    {kHeaderProgramCommand, &ROM_PARAMETER_IMAGE::ProgramCommand},
    {kHeaderEraseCommand, &ROM_PARAMETER_IMAGE::EraseCommand},
    {kHeaderWriteEnableCommand, &ROM_PARAMETER_IMAGE::WriteEnableCommand},
    {kHeaderWriteDisableCommand, &ROM_PARAMETER_IMAGE::WriteDisableCommand},
    {kHeaderReadStatusCommand, &ROM_PARAMETER_IMAGE::ReadStatusCommand},
    {kHeaderWriteStatusCommand, &ROM_PARAMETER_IMAGE::WriteStatusCommand},
    {kHeaderChipEraseCommand, &ROM_PARAMETER_IMAGE::ChipEraseCommand},
    {kHeaderEWSRCommand, &ROM_PARAMETER_IMAGE::EWSRCommand},
    {kHeaderControlFlags, &ROM_PARAMETER_IMAGE::ControlFlags},
    {kHeaderAAIProgramUnit, &ROM_PARAMETER_IMAGE::AAIProgramUnitSize},
    {kHeaderEraseSizeLog2, &ROM_PARAMETER_IMAGE::EraseSizeLog2},
    {kHeaderRomSizeLog2, &ROM_PARAMETER_IMAGE::RomSizeLog2},
    {kHeaderReserved, &ROM_PARAMETER_IMAGE::Reserved},
};

}  // namespace

void CSROMImage::MakeSROMParamFromImage() {
  if (!HeaderCrcHolds(SROMImage.get(), SROMImageSize)) return;
  TakeHeaderParameters(SROMImage.get());
}

void CSROMImage::TakeHeaderParameters(const unsigned char* p) {
  CopyName(FlashTypeName, kFlashTypeNotShown);
  ROM_PARAMETER_IMAGE& r = RomParameter;
  for (const HeaderByte& b : kHeaderBytes) r.*b.field = p[b.offset];
  r.FrequencyCode = static_cast<uint8_t>(p[kHeaderFrequency] & 0x0F);
  r.PageProgramUnitSize = GetLE16(p + kHeaderPageProgramUnit);
  // The mode-2 flag marks mode 2, which the mode byte cannot say by itself.
  r.ModeCode = (p[kHeaderModeTwoFlag] & 0x01) ? 2 : p[kHeaderModeCode];
}

void CSROMImage::MakeImageFromSROMParam() {
  if (!SROMImage && CreateSROMImage() == 0) return;

  for (uint32_t i = 0; i < kParamBytesLength; ++i) SetBYTEToSROMImage(kParamBytesOffset + i, 0);
  const ROM_PARAMETER_IMAGE& r = RomParameter;
  for (const HeaderByte& b : kHeaderBytes) SetBYTEToSROMImage(b.offset, r.*b.field);
  SetBYTEToSROMImage(kHeaderFrequency, r.FrequencyCode);
  SetWORDToSROMImage(kHeaderPageProgramUnit, r.PageProgramUnitSize);
  SetBYTEToSROMImage(kHeaderModeCode, r.ModeCode == 2 ? 1 : r.ModeCode);
  SetBYTEToSROMImage(kHeaderModeTwoFlag, r.ModeCode == 2 ? 1 : 0);
}

uint32_t CSROMImage::GetParamSize() {
  if (!SROMImage) return kFirmwareAreaHeaderSize;
  const uint64_t p = GetDWORDFromSROMImage(kParamAreaOffsetField);
  const uint32_t d = LE32At(SROMImage.get(), SROMImageSize, p + kParamDataSizeField);
  // A parameter area that does not fit inside the image counts as the bare
  // area header, so that no caller is sent past the image's end.
  if (!RangeInside(p, static_cast<uint64_t>(kFirmwareAreaHeaderSize) + d, SROMImageSize)) {
    return kFirmwareAreaHeaderSize;
  }
  return d + kFirmwareAreaHeaderSize;
}

// ---------------------------------------------------------------------------
// The device identity

namespace {

// Converts string slot `slot` of the parameter area at `p`: n bytes of
// UTF-16LE text after the slot's length byte. A slot whose text does not lie
// inside the image fails like a text that does not convert. On success the
// field receives the text and its terminator; on failure it keeps its value.
bool ReadStringSlot(const unsigned char* image, uint32_t size, uint64_t p, uint32_t slot,
                    char (&field)[kActionStringCapacity]) {
  const uint64_t lengthAt = p + slot;
  if (!RangeInside(lengthAt, 2, size)) return false;
  const uint16_t n = image[lengthAt];
  const uint64_t textAt = lengthAt + 2;
  if (!RangeInside(textAt, n, size)) return false;
  char converted[kActionStringCapacity] = {};
  if (!ConvertSlotText(image + textAt, n, converted, kActionStringCapacity)) return false;
  std::memcpy(field, converted, kActionStringCapacity);
  return true;
}

}  // namespace

void CSROMImage::GetActionParameter(_actionparamlist* list) {
  if (list == nullptr || !SROMImage) return;
  const unsigned char* image = SROMImage.get();
  const uint64_t p = GetDWORDFromSROMImage(kParamAreaOffsetField);

  // Where the build's list carries them: the nine option flags (P+16 to
  // P+19), Option38/Option39 (P+38, P+39) and the identification texts
  // (P+256, P+264, P+280); the values beside the name slot are read below.
  if (kActionListHasOptionFields) FillActionOptionFields(image, SROMImageSize, p, list);

  if (!ReadStringSlot(image, SROMImageSize, p, kStringSlot1, list->ManufacturerString)) return;
  if (!ReadStringSlot(image, SROMImageSize, p, kStringSlot2, list->ProductString)) return;
  if (!ReadStringSlot(image, SROMImageSize, p, kStringSlot3, list->ThirdString)) return;

  list->VendorID = LE16At(image, SROMImageSize, p + kVendorIdField);
  list->ProductID = LE16At(image, SROMImageSize, p + kProductIdField);
  list->BcdDevice = LE16At(image, SROMImageSize, p + kBcdDeviceField);

  srom::ImageToList(&list->FlashParamList, &RomParameter);

  // The flash type name slot; erased (or outside the image) means no name.
  const uint64_t nameAt = p + kFlashTypeNameSlot;
  const bool namePresent =
      RangeInside(nameAt, kFlashTypeNameSize, SROMImageSize) &&
      !(image[nameAt] == 0xFF && image[nameAt + 1] == 0xFF && image[nameAt + 2] == 0xFF &&
        image[nameAt + 3] == 0xFF);
  if (!namePresent) {
    CopyName(FlashTypeName, kFlashTypeNotShown);
  } else {
    std::memcpy(FlashTypeName, image + nameAt, kFlashTypeNameSize);
    FlashTypeName[kFlashTypeNameSize - 1] = '\0';
  }
  CopyName(list->FlashParamList.Name, FlashTypeName);
  if (kActionListHasOptionFields) {
    FillActionNameSlotFields(image, SROMImageSize, p, namePresent, list);
  }

  list->FWCodeSize = GetFWCodeSize();
  list->FWAllocate = FWAllocate;
  list->BridgeIC = BridgeIC;
}

// ---------------------------------------------------------------------------
// Accessors: little-endian, byte by byte; nothing outside the image.

uint32_t CSROMImage::GetDWORDFromSROMImage(uint32_t offset) {
  if (!SROMImage || !RangeInside(offset, 4, SROMImageSize)) return 0;
  return GetLE32(SROMImage.get() + offset);
}

uint16_t CSROMImage::GetWORDFromSROMImage(uint32_t offset) {
  if (!SROMImage || !RangeInside(offset, 2, SROMImageSize)) return 0;
  return GetLE16(SROMImage.get() + offset);
}

uint8_t CSROMImage::GetBYTEFromSROMImage(uint32_t offset) {
  if (!SROMImage || !RangeInside(offset, 1, SROMImageSize)) return 0;
  return SROMImage[offset];
}

uint8_t CSROMImage::GetBITFromSROMImage(uint32_t offset, uint8_t bit) {
  if (!SROMImage || !RangeInside(offset, 1, SROMImageSize) || bit > 7) return 0;
  return static_cast<uint8_t>((SROMImage[offset] >> bit) & 1);
}

void CSROMImage::SetDWORDToSROMImage(uint32_t offset, uint32_t value) {
  if (!SROMImage || !RangeInside(offset, 4, SROMImageSize)) return;
  PutLE32(SROMImage.get() + offset, value);
}

void CSROMImage::SetWORDToSROMImage(uint32_t offset, uint16_t value) {
  if (!SROMImage || !RangeInside(offset, 2, SROMImageSize)) return;
  PutLE16(SROMImage.get() + offset, value);
}

void CSROMImage::SetBYTEToSROMImage(uint32_t offset, uint8_t value) {
  if (!SROMImage || !RangeInside(offset, 1, SROMImageSize)) return;
  SROMImage[offset] = value;
}

void CSROMImage::SetBITToSROMImage(uint32_t offset, uint8_t bit, uint8_t value) {
  if (!SROMImage || !RangeInside(offset, 1, SROMImageSize) || bit > 7) return;
  const uint8_t mask = static_cast<uint8_t>(1u << bit);
  uint8_t updated = static_cast<uint8_t>(SROMImage[offset] & ~mask);
  if (value != 0) updated = static_cast<uint8_t>(updated | mask);
  SROMImage[offset] = updated;
}

uint32_t CSROMImage::GetEraseRomBlockSize() const {
  if (RomParameter.EraseSizeLog2 >= 32) return 0;
  return static_cast<uint32_t>(1) << RomParameter.EraseSizeLog2;
}

void CSROMImage::ClearFlag() {
  SROMTypeCheck = 0;
  ParameterChange = 0;
  FWCodeChange = 0;
  EncryptionChange = 0;
}
