// The SROM image held by CFlashROM: its creation, the header's flash
// programming parameters, the bounds-checked accessors and the device
// identity read from the parameter area.
//
// The flash contents are outside input: every offset taken from the image is
// checked against the allocated size before a byte is read or written, and a
// field that lies outside the image counts as absent.
#ifdef _WIN32
#include <windows.h>

// The Windows build's own list fields and string conversion (windows/).
#include "../windows/ActionParameters.h"
#include "../windows/TextConversion.h"
#else
#include <iconv.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "FlashROM.h"
#include "common.h"

ZF_VARIANT_BEGIN

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

// The three causes of a failed conversion, each with its console line.
void ReportConversionFailure(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}
constexpr char kInvalidSequence[] = "invlaid multibyte string";
constexpr char kIncompleteSequence[] = "input multibyte invalid";
constexpr char kOutputTooSmall[] = "output buffer is small";

#ifndef _WIN32
// Closes an iconv descriptor when it goes out of scope.
class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (valid()) iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};
#endif

}  // namespace

// ---------------------------------------------------------------------------
// Construction

CFlashROM::CFlashROM() {
  CopyName(FlashTypeName, kFlashTypeNotShown);
  BridgeIC = BRIDGEIC_UNKNOWN;
  FWAllocate = FWALLOCATE_NONE;
}

CFlashROM::~CFlashROM() {
  // A worker may still be using the image; it ends before the image goes.
  WaitWorker();
  SROMImage.reset();
  SROMImageSize = 0;
}

// ---------------------------------------------------------------------------
// Creating the image

int CFlashROM::CreateSROMImage() {
  SROMImage.reset();
  SROMImageSize = 0;

  if (ParameterChange == 0) {
    // The parameters come from the device: its first 48 bytes are the header.
    SROMImage = AllocateImage(kImageHeaderSize);
    if (!SROMImage) return 0;
    SROMImageSize = kImageHeaderSize;
    const bool read = USBCom_ReadRom(0, SROMImage.get(), kImageHeaderSize) != 0;
    if (!read || !HeaderCrcHolds(SROMImage.get(), SROMImageSize)) {
      SROMImage.reset();
      SROMImageSize = 0;
      return 0;
    }
    MakeSROMParamFromImage();
    SROMImage.reset();
    SROMImageSize = 0;
  }

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

bool CFlashROM::LoadImage(const unsigned char* data, uint32_t size) {
  SROMImage.reset();
  SROMImageSize = 0;
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

void CFlashROM::MakeSROMParamFromImage() {
  if (!HeaderCrcHolds(SROMImage.get(), SROMImageSize)) return;
  CopyName(FlashTypeName, kFlashTypeNotShown);

  const unsigned char* p = SROMImage.get();
  ROM_PARAMETER_IMAGE& r = RomParameter;
  for (const HeaderByte& b : kHeaderBytes) r.*b.field = p[b.offset];
  r.FrequencyCode = static_cast<uint8_t>(p[kHeaderFrequency] & 0x0F);
  r.PageProgramUnitSize = GetLE16(p + kHeaderPageProgramUnit);
  // The mode-2 flag marks mode 2, which the mode byte cannot say by itself.
  r.ModeCode = (p[kHeaderModeTwoFlag] & 0x01) ? 2 : p[kHeaderModeCode];
}

void CFlashROM::MakeImageFromSROMParam() {
  if (!SROMImage && CreateSROMImage() == 0) return;

  for (uint32_t i = 0; i < kParamBytesLength; ++i) SetBYTEToSROMImage(kParamBytesOffset + i, 0);
  const ROM_PARAMETER_IMAGE& r = RomParameter;
  for (const HeaderByte& b : kHeaderBytes) SetBYTEToSROMImage(b.offset, r.*b.field);
  SetBYTEToSROMImage(kHeaderFrequency, r.FrequencyCode);
  SetWORDToSROMImage(kHeaderPageProgramUnit, r.PageProgramUnitSize);
  SetBYTEToSROMImage(kHeaderModeCode, r.ModeCode == 2 ? 1 : r.ModeCode);
  SetBYTEToSROMImage(kHeaderModeTwoFlag, r.ModeCode == 2 ? 1 : 0);
}

uint32_t CFlashROM::GetParamSize() {
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
#ifdef _WIN32
  // The Windows build compares the strings in the thread's code page.
  if (!zfwin::UTF16ToThreadCodePage(image + textAt, n, converted, kActionStringCapacity)) {
    return false;
  }
#else
  if (!localUTF16ToUTF8(image + textAt, n, converted, kActionStringCapacity)) return false;
#endif
  std::memcpy(field, converted, kActionStringCapacity);
  return true;
}

}  // namespace

void CFlashROM::GetActionParameter(_actionparamlist* list) {
  if (list == nullptr || !SROMImage) return;
  const unsigned char* image = SROMImage.get();
  const uint64_t p = GetDWORDFromSROMImage(kParamAreaOffsetField);

#ifdef _WIN32
  // The Windows build's list also carries the nine option flags (P+16 to
  // P+19), Option38/Option39 (P+38, P+39) and the identification texts (P+256,
  // P+264, P+280); its string slots are converted to the thread's code page
  // (ReadStringSlot) and the values beside the name slot are read below.
  zfwin::FillWindowsActionFields(image, SROMImageSize, p, list);
#endif

  if (!ReadStringSlot(image, SROMImageSize, p, kStringSlot1, list->ManufacturerString)) return;
  if (!ReadStringSlot(image, SROMImageSize, p, kStringSlot2, list->ProductString)) return;
  if (!ReadStringSlot(image, SROMImageSize, p, kStringSlot3, list->ThirdString)) return;

  list->VendorID = LE16At(image, SROMImageSize, p + kVendorIdField);
  list->ProductID = LE16At(image, SROMImageSize, p + kProductIdField);
  list->BcdDevice = LE16At(image, SROMImageSize, p + kBcdDeviceField);

  ImageToList(&list->FlashParamList, &RomParameter);

  // The flash type name slot; erased (or outside the image) means no name.
  const uint64_t nameAt = p + kFlashTypeNameSlot;
  const bool slotInside = RangeInside(nameAt, kFlashTypeNameSize, SROMImageSize);
  if (!slotInside || (image[nameAt] == 0xFF && image[nameAt + 1] == 0xFF &&
                      image[nameAt + 2] == 0xFF && image[nameAt + 3] == 0xFF)) {
    CopyName(FlashTypeName, kFlashTypeNotShown);
  } else {
    std::memcpy(FlashTypeName, image + nameAt, kFlashTypeNameSize);
    FlashTypeName[kFlashTypeNameSize - 1] = '\0';
  }
  CopyName(list->FlashParamList.Name, FlashTypeName);
#ifdef _WIN32
  const bool namePresent = slotInside && !(image[nameAt] == 0xFF && image[nameAt + 1] == 0xFF &&
                                           image[nameAt + 2] == 0xFF && image[nameAt + 3] == 0xFF);
  zfwin::FillWindowsNameSlotFields(image, SROMImageSize, p, namePresent, list);
#endif

  list->FWCodeSize = GetFWCodeSize();
  list->FWAllocate = FWAllocate;
  list->BridgeIC = BridgeIC;
}

// ---------------------------------------------------------------------------
// Accessors: little-endian, byte by byte; nothing outside the image.

uint32_t CFlashROM::GetDWORDFromSROMImage(uint32_t offset) {
  if (!SROMImage || !RangeInside(offset, 4, SROMImageSize)) return 0;
  return GetLE32(SROMImage.get() + offset);
}

uint16_t CFlashROM::GetWORDFromSROMImage(uint32_t offset) {
  if (!SROMImage || !RangeInside(offset, 2, SROMImageSize)) return 0;
  return GetLE16(SROMImage.get() + offset);
}

uint8_t CFlashROM::GetBYTEFromSROMImage(uint32_t offset) {
  if (!SROMImage || !RangeInside(offset, 1, SROMImageSize)) return 0;
  return SROMImage[offset];
}

uint8_t CFlashROM::GetBITFromSROMImage(uint32_t offset, uint8_t bit) {
  if (!SROMImage || !RangeInside(offset, 1, SROMImageSize) || bit > 7) return 0;
  return static_cast<uint8_t>((SROMImage[offset] >> bit) & 1);
}

void CFlashROM::SetDWORDToSROMImage(uint32_t offset, uint32_t value) {
  if (!SROMImage || !RangeInside(offset, 4, SROMImageSize)) return;
  PutLE32(SROMImage.get() + offset, value);
}

void CFlashROM::SetWORDToSROMImage(uint32_t offset, uint16_t value) {
  if (!SROMImage || !RangeInside(offset, 2, SROMImageSize)) return;
  PutLE16(SROMImage.get() + offset, value);
}

void CFlashROM::SetBYTEToSROMImage(uint32_t offset, uint8_t value) {
  if (!SROMImage || !RangeInside(offset, 1, SROMImageSize)) return;
  SROMImage[offset] = value;
}

void CFlashROM::SetBITToSROMImage(uint32_t offset, uint8_t bit, uint8_t value) {
  if (!SROMImage || !RangeInside(offset, 1, SROMImageSize) || bit > 7) return;
  const uint8_t mask = static_cast<uint8_t>(1u << bit);
  uint8_t updated = static_cast<uint8_t>(SROMImage[offset] & ~mask);
  if (value != 0) updated = static_cast<uint8_t>(updated | mask);
  SROMImage[offset] = updated;
}

uint32_t CFlashROM::GetEraseRomBlockSize() const {
  if (RomParameter.EraseSizeLog2 >= 32) return 0;
  return static_cast<uint32_t>(1) << RomParameter.EraseSizeLog2;
}

void CFlashROM::ClearFlag() {
  ProgressCallback = nullptr;
  SROMTypeCheck = 0;
  ParameterChange = 0;
  FWCodeChange = 0;
  EncryptionChange = 0;
}

// ---------------------------------------------------------------------------
// Text conversion

bool localUTF16ToUTF8(const unsigned char* in, uint16_t inBytes, char* out, uint16_t capacity) {
  if (out == nullptr || capacity == 0) {
    ReportConversionFailure(kOutputTooSmall);
    return false;
  }
  if (inBytes == 0) {
    out[0] = '\0';
    return true;
  }
  if (in == nullptr) return false;
  // Room for the terminator.
  const size_t room = static_cast<size_t>(capacity) - 1;

#ifdef _WIN32
  // The system's converter: UTF-16 units composed from the little-endian
  // bytes, then converted with invalid sequences rejected.
  if (inBytes % 2 != 0) {
    ReportConversionFailure(kIncompleteSequence);
    return false;
  }
  std::vector<wchar_t> units(inBytes / 2);
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<wchar_t>(GetLE16(in + 2 * i));
  const wchar_t last = units.back();
  if (last >= 0xD800 && last <= 0xDBFF) {  // a pair cut off at the end
    ReportConversionFailure(kIncompleteSequence);
    return false;
  }
  const int count = static_cast<int>(units.size());
  const int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units.data(), count,
                                         nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    ReportConversionFailure(kInvalidSequence);
    return false;
  }
  if (static_cast<size_t>(needed) > room) {
    ReportConversionFailure(kOutputTooSmall);
    return false;
  }
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units.data(), count, out, needed, nullptr,
                      nullptr);
  out[needed] = '\0';
  return true;
#else
  IconvHandle converter("UTF-8", "UTF-16LE");
  if (!converter.valid()) return false;

  // iconv takes a non-const input pointer; the input is copied so that the
  // caller's bytes are never written through.
  std::vector<char> input(in, in + inBytes);
  char* inPtr = input.data();
  size_t inLeft = inBytes;
  char* outPtr = out;
  size_t outLeft = room;

  size_t result = iconv(converter.get(), &inPtr, &inLeft, &outPtr, &outLeft);
  if (result != static_cast<size_t>(-1)) {
    result = iconv(converter.get(), nullptr, nullptr, &outPtr, &outLeft);
  }
  if (result == static_cast<size_t>(-1)) {
    const int error = errno;
    if (error == EILSEQ) {
      ReportConversionFailure(kInvalidSequence);
    } else if (error == EINVAL) {
      ReportConversionFailure(kIncompleteSequence);
    } else if (error == E2BIG) {
      ReportConversionFailure(kOutputTooSmall);
    }
    return false;
  }
  *outPtr = '\0';
  return true;
#endif
}

ZF_VARIANT_END
