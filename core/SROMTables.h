// The supported SPI flash parts and the conversions between the list form
// and the record form of a part's programming parameters. Nothing here
// touches a device: the SROM image model (SROMImage.h) and the tools use it
// without a transport, and CSROMData (SROMData.h) forwards to it.
#pragma once

#include <cstdint>

#include "Types.h"

// One identification probe of a part.
struct SerialFlashIdProbe {
  uint8_t CommandLength;  // bytes to clock out; 0 = probe not used
  uint32_t Command;       // opcode in bits 31-24
  uint8_t ReplyLength;    // bytes to clock in (at most 3)
  uint8_t Reply[3];       // expected reply, first byte first
};

// One row of gSerialFlashRomParamTbl.
struct SerialFlashRomParam {
  // The columns of _serialflash_romparamlist.
  char Name[50];
  uint8_t ReadCommand;
  uint8_t ProgramCommand;
  uint8_t PageProgramUnitCode;
  uint8_t EraseCommand;
  uint8_t ChipEraseCommand;
  uint8_t AAIProgramUnitCode;
  uint8_t EraseSizeCode;
  uint8_t RomSizeCode;
  uint8_t ModeCode;
  uint8_t FrequencyCode;
  // Opcodes and flags the list form does not carry.
  uint8_t EWSRCommand;
  uint8_t WriteEnableCommand;
  uint8_t WriteDisableCommand;
  uint8_t ReadStatusCommand;
  uint8_t WriteStatusCommand;
  uint8_t ControlFlags;
  uint8_t Reserved;
  SerialFlashIdProbe IdProbe1;
  SerialFlashIdProbe IdProbe2;
};

// The 20 supported parts followed by the row named "END"; the rules the
// table keeps are in SROMTableCheck.h.
constexpr unsigned kSerialFlashPartCount = 20;
extern const SerialFlashRomParam gSerialFlashRomParamTbl[kSerialFlashPartCount + 1];

// The code tables of the list form: page program unit in bytes, AAI unit in
// bytes, erase block and flash size as log2 of bytes.
inline constexpr uint16_t gPageProgUnitSizeTable[4] = {1, 32, 128, 256};
inline constexpr uint8_t gAAIProgUnitSizeTable[2] = {1, 2};
inline constexpr uint8_t gEraseSizeTable[3] = {12, 15, 16};
inline constexpr uint8_t gFlashRomSizeTable[5] = {16, 17, 18, 19, 20};

// The name the engine gives a part it cannot name.
extern const char kFlashTypeNotShown[];

namespace srom {

// The size conversions answer 0 for a code outside its table.
unsigned long ListToFlashROMSize(unsigned char code);
unsigned long ListToEraseSize(unsigned char code);
unsigned short ListToPPUnitSize(unsigned char code);
unsigned char ListToAAIUnitSize(unsigned char code);
const char* ListToFrequency(unsigned char code);

// 2 fits and filled, 1 does not fit, 0 no such row or bad erase size code.
int GetParamList(unsigned int index, _serialflash_romparamlist* list, unsigned int size,
                 SROM_BRIDGEIC bridge, SROM_FWALLOCATE allocate);
// 1 found and filled, 0 not in the table.
int GetParamList(const char* name, _serialflash_romparamlist* list);

void ImageToList(_serialflash_romparamlist* list, const ROM_PARAMETER_IMAGE* image);
void ListToImage(ROM_PARAMETER_IMAGE* image, const _serialflash_romparamlist* list);

// Row `index` is the END row, or lies past it: every search of the table
// stops there.
bool IsEndRow(unsigned index);
// A row's name equals `name`, compared over the width of the name field, so
// that a name that fills the field without a terminator is read in bounds.
bool NameEquals(const char* rowName, const char* name);

}  // namespace srom
