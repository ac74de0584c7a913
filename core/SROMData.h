// Knowledge of the supported SPI flash parts: the part table, the code
// tables and the conversions between list and record form (SROMTables.h,
// which works without a device), plus probing the part on the device
// through its identification commands.
#pragma once

#include <cstdint>

#include "SROMTables.h"
#include "Types.h"
#include "Variant.h"

ZF_VARIANT_BEGIN

class CUSBCommand;

class CSROMData {
 public:
  CSROMData() = default;
  ~CSROMData() = default;

  unsigned long ListToFlashROMSize(unsigned char code) { return srom::ListToFlashROMSize(code); }
  unsigned long ListToEraseSize(unsigned char code) { return srom::ListToEraseSize(code); }
  unsigned short ListToPPUnitSize(unsigned char code) { return srom::ListToPPUnitSize(code); }
  unsigned char ListToAAIUnitSize(unsigned char code) { return srom::ListToAAIUnitSize(code); }
  const char* ListToFrequency(unsigned char code) { return srom::ListToFrequency(code); }

  // 2 fits and filled, 1 does not fit, 0 no such row or bad erase size code.
  int GetParamList(unsigned int index, _serialflash_romparamlist* list, unsigned int size,
                   SROM_BRIDGEIC bridge, SROM_FWALLOCATE allocate) {
    return srom::GetParamList(index, list, size, bridge, allocate);
  }
  // 1 found and filled, 0 not in the table.
  int GetParamList(const char* name, _serialflash_romparamlist* list) {
    return srom::GetParamList(name, list);
  }

  void ImageToList(_serialflash_romparamlist* list, const ROM_PARAMETER_IMAGE* image) {
    srom::ImageToList(list, image);
  }
  void ListToImage(ROM_PARAMETER_IMAGE* image, const _serialflash_romparamlist* list) {
    srom::ListToImage(image, list);
  }

  // 1 when a part of the table answers its identification probes (the
  // rows tried in table order): its record in `image` and, when `name` is
  // given, its name from the table there; 0 when none answers.
  int SearchSROMType(CUSBCommand* command, ROM_PARAMETER_IMAGE* image,
                     const char** name = nullptr);
  int CheckSROMType(const char* name, CUSBCommand* command);
};

ZF_VARIANT_END
