// Conversions between the list form and the record form of a flash part's
// programming parameters and the fitting test of a part for a firmware size.
// Compiled once, without a transport.
#include "SROMTables.h"

#include <cstring>

namespace srom {

namespace {

constexpr unsigned kEndRow = kSerialFlashPartCount;
constexpr size_t kNameSize = sizeof(_serialflash_romparamlist::Name);
static_assert(sizeof(SerialFlashRomParam::Name) == kNameSize, "name fields of one width");

// Out-of-table codes that ImageToList gives a value missing from a table.
constexpr uint8_t kPageProgUnitCodeNone = 4;
constexpr uint8_t kAAIUnitCodeNone = 2;
constexpr uint8_t kEraseSizeCodeNone = 3;
constexpr uint8_t kRomSizeCodeNone = 5;

constexpr uint8_t kControlFastRead = 0x01;
constexpr uint8_t kControlAAI = 0x08;

template <typename T, size_t N>
constexpr size_t CountOf(const T (&)[N]) {
  return N;
}

// Entry `code` of a code table; 0 for a code outside the table (a list that
// holds such a code comes from display, never from a real part).
template <typename T, size_t N>
T CodeEntry(const T (&table)[N], unsigned char code) {
  return code < N ? table[code] : T{0};
}

// Index of `value` in a code table, or `none`.
template <typename T, size_t N>
uint8_t CodeOf(const T (&table)[N], unsigned value, uint8_t none) {
  for (size_t i = 0; i < N; ++i) {
    if (table[i] == value) return static_cast<uint8_t>(i);
  }
  return none;
}

void FillList(const SerialFlashRomParam& row, _serialflash_romparamlist* list) {
  // The name, the rest of the field zero-filled; the last byte always stays
  // zero so the list's name is terminated.
  std::memset(list->Name, 0, kNameSize);
  size_t length = 0;
  while (length < kNameSize - 1 && row.Name[length] != '\0') ++length;
  std::memcpy(list->Name, row.Name, length);
  list->ReadCommand = row.ReadCommand;
  list->ProgramCommand = row.ProgramCommand;
  list->PageProgramUnitCode = row.PageProgramUnitCode;
  list->EraseCommand = row.EraseCommand;
  list->ChipEraseCommand = row.ChipEraseCommand;
  list->AAIProgramUnitCode = row.AAIProgramUnitCode;
  list->EraseSizeCode = row.EraseSizeCode;
  list->RomSizeCode = row.RomSizeCode;
  list->ModeCode = row.ModeCode;
  list->FrequencyCode = row.FrequencyCode;
}

// Outcome of the fitting test: the part fits, does not fit, or the row's
// erase size code is not in its table.
enum class Fit { Yes, No, BadEraseCode };

Fit Bound(unsigned size, unsigned bound) { return size <= bound ? Fit::Yes : Fit::No; }

// Whether a firmware of `size` bytes can be placed on a part of ROM size
// code r and erase size code e, for bridge kind 1 (QK9318A) or another
// nonzero kind, and a single or another nonzero number of copies.
Fit FitsPart(uint8_t r, uint8_t e, bool bridgeA, bool single, unsigned size) {
  const bool badErase = e >= CountOf(gEraseSizeTable);
  if (bridgeA && single) {
    if (r != 0) return Fit::Yes;
    if (badErase) return Fit::BadEraseCode;
    if (e == 0) return Bound(size, 0xF000);
    if (e == 1) return Bound(size, 0x8000);
    return Fit::No;
  }
  if (bridgeA) {
    if (r >= 2) return Fit::Yes;
    if (badErase) return Fit::BadEraseCode;
    if (r == 0) return e == 0 ? Bound(size, 0x7800) : Fit::No;
    if (e == 0) return Fit::Yes;
    if (e == 1) return Bound(size, 0x8000);
    return Fit::No;
  }
  if (single) {
    if (r >= 2) return Fit::Yes;
    if (badErase) return Fit::BadEraseCode;
    if (r == 0) return e == 0 ? Bound(size, 0xD000) : Fit::No;
    return e == 0 ? Fit::Yes : Fit::No;
  }
  if (r == 0) return Fit::No;  // the erase size is not looked at here
  if (r >= 3) return Fit::Yes;
  if (badErase) return Fit::BadEraseCode;
  if (r == 1) return e == 0 ? Bound(size, 0xE000) : Fit::No;
  return e <= 1 ? Fit::Yes : Fit::No;
}

}  // namespace

bool NameEquals(const char* rowName, const char* name) {
  return std::strncmp(rowName, name, kNameSize) == 0;
}

bool IsEndRow(unsigned index) {
  return index >= kEndRow || NameEquals(gSerialFlashRomParamTbl[index].Name, "END");
}

// The size conversions answer 0 for a code outside its table.
unsigned long ListToFlashROMSize(unsigned char code) {
  if (code >= CountOf(gFlashRomSizeTable)) return 0;
  return 1UL << gFlashRomSizeTable[code];
}

unsigned long ListToEraseSize(unsigned char code) {
  if (code >= CountOf(gEraseSizeTable)) return 0;
  return 1UL << gEraseSizeTable[code];
}

unsigned short ListToPPUnitSize(unsigned char code) {
  return CodeEntry(gPageProgUnitSizeTable, code);
}

unsigned char ListToAAIUnitSize(unsigned char code) {
  return CodeEntry(gAAIProgUnitSizeTable, code);
}

const char* ListToFrequency(unsigned char code) {
  switch (code) {
    case 0:
      return "37.50";
    case 1:
      return "18.75";
    case 2:
      return "12.50";
    case 3:
      return " 8.38";
    default:
      return "--.--";
  }
}

int GetParamList(unsigned int index, _serialflash_romparamlist* list, unsigned int size,
                            SROM_BRIDGEIC bridge, SROM_FWALLOCATE allocate) {
  if (index > kEndRow || IsEndRow(index)) return 0;
  const SerialFlashRomParam& row = gSerialFlashRomParamTbl[index];
  if (bridge != BRIDGEIC_QK9318E && allocate != FWALLOCATE_ANY) {
    const Fit fit = FitsPart(row.RomSizeCode, row.EraseSizeCode, bridge == BRIDGEIC_QK9318A,
                             allocate == FWALLOCATE_SINGLE, size);
    if (fit == Fit::BadEraseCode) return 0;
    if (fit == Fit::No) return 1;
  }
  if (list == nullptr) return 0;
  FillList(row, list);
  return 2;
}

int GetParamList(const char* name, _serialflash_romparamlist* list) {
  if (name == nullptr || list == nullptr) return 0;
  for (unsigned i = 0; !IsEndRow(i); ++i) {
    if (NameEquals(gSerialFlashRomParamTbl[i].Name, name)) {
      return GetParamList(i, list, 0, BRIDGEIC_QK9318E, FWALLOCATE_ANY) == 2 ? 1 : 0;
    }
  }
  return 0;
}

void ImageToList(_serialflash_romparamlist* list, const ROM_PARAMETER_IMAGE* image) {
  if (list == nullptr || image == nullptr) return;
  std::memset(list->Name, 0, sizeof list->Name);
  list->ReadCommand = image->ReadCommand;
  list->ProgramCommand = image->ProgramCommand;
  list->EraseCommand = image->EraseCommand;
  list->ChipEraseCommand = image->ChipEraseCommand;
  list->PageProgramUnitCode =
      CodeOf(gPageProgUnitSizeTable, image->PageProgramUnitSize, kPageProgUnitCodeNone);
  list->AAIProgramUnitCode =
      CodeOf(gAAIProgUnitSizeTable, image->AAIProgramUnitSize, kAAIUnitCodeNone);
  list->EraseSizeCode = CodeOf(gEraseSizeTable, image->EraseSizeLog2, kEraseSizeCodeNone);
  list->RomSizeCode = CodeOf(gFlashRomSizeTable, image->RomSizeLog2, kRomSizeCodeNone);
  list->ModeCode = image->ModeCode;
  list->FrequencyCode = static_cast<uint8_t>(image->FrequencyCode & 0x0F);
}

void ListToImage(ROM_PARAMETER_IMAGE* image, const _serialflash_romparamlist* list) {
  if (image == nullptr || list == nullptr) return;
  *image = ROM_PARAMETER_IMAGE{};

  for (unsigned i = 0; i <= kEndRow; ++i) {
    const bool end = IsEndRow(i);
    const SerialFlashRomParam& row = gSerialFlashRomParamTbl[end ? kEndRow : i];
    if (!end && !NameEquals(row.Name, list->Name)) continue;
    image->EWSRCommand = row.EWSRCommand;
    image->WriteEnableCommand = row.WriteEnableCommand;
    image->WriteDisableCommand = row.WriteDisableCommand;
    image->ReadStatusCommand = row.ReadStatusCommand;
    image->WriteStatusCommand = row.WriteStatusCommand;
    image->ControlFlags = row.ControlFlags;
    image->Reserved = row.Reserved;
    if (end) {
      // A part the table does not know: the AAI and fast-read bits follow
      // from the list's opcodes.
      if (list->ProgramCommand == 0xAD || list->ProgramCommand == 0xAF) {
        image->ControlFlags |= kControlAAI;
      }
      if (list->ReadCommand == 0x0B) image->ControlFlags |= kControlFastRead;
    }
    break;
  }

  image->ReadCommand = list->ReadCommand;
  image->ProgramCommand = list->ProgramCommand;
  image->EraseCommand = list->EraseCommand;
  image->ChipEraseCommand = list->ChipEraseCommand;
  image->ModeCode = list->ModeCode;
  image->FrequencyCode = list->FrequencyCode;
  // Codes outside their tables give 0 here (see CodeEntry).
  image->PageProgramUnitSize = CodeEntry(gPageProgUnitSizeTable, list->PageProgramUnitCode);
  image->AAIProgramUnitSize = CodeEntry(gAAIProgUnitSizeTable, list->AAIProgramUnitCode);
  image->EraseSizeLog2 = CodeEntry(gEraseSizeTable, list->EraseSizeCode);
  image->RomSizeLog2 = CodeEntry(gFlashRomSizeTable, list->RomSizeCode);
}

}  // namespace srom
