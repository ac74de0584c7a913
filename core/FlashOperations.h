// The recovery operations on the flash: identifying the flash part by its
// probes, reading the whole flash of a bridge found without the system
// information file, and restoring a saved image of the whole flash. Each
// front-end calls these; what it keeps is the showing of texts, the
// question, the progress and the saving of files, given as hooks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "DeviceChoice.h"
#include "ExitStatus.h"
#include "FlashROM.h"
#include "Operations.h"
#include "Types.h"
#include "Variant.h"
#include "WritePlan.h"

ZF_VARIANT_BEGIN

// The part of the flash-part table whose identification probes the flash
// answers, with its programming parameters; an empty name when none does
// (the parameters are then all zero).
struct ProbedFlash {
  std::string name;
  ROM_PARAMETER_IMAGE parameters{};
};
ProbedFlash IdentifyFlash(CFlashROM* engine);

// Opens the bridge the device choice admits, identifies its flash part by
// the probes and reads the whole flash with the part's parameters (with the
// header's when no part answers). The device is closed after a complete
// read; after a failed one the engine still holds it (its owner closes it).
FlashOperationResult ReadWholeFlash(CFlashROM* engine, const FlashOperationHooks& hooks);

// Restores the saved flash image at `imagePath` (named so in the causes):
// refused unless it is a whole flash image whose header holds, exactly one
// bridge is admitted, the image has the flash's size and the bridge's
// variant, its firmware suits the bridge's compatibility word and, when the
// device's own header holds, it carries the device's identity. The blocks
// that differ are planned with PlanRestore and, after the question, written
// under the write guard installed by the front-end. The device is closed at
// every end that follows a complete read; after a failed read the engine
// still holds it.
FlashOperationResult RestoreFlash(CFlashROM* engine, const std::string& imagePath,
                                  const FlashOperationHooks& hooks);

// The header CRC of a flash image holds.
bool HeaderHolds(const std::vector<unsigned char>& image);

// What a flash says of the device it belongs to: the USB identity and the
// three strings of its parameter area (the bytes of their UTF-16LE text).
struct FlashIdentity {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t bcdDevice = 0;
  std::string strings[3];
  bool operator!=(const FlashIdentity& other) const {
    return vendorId != other.vendorId || productId != other.productId ||
           bcdDevice != other.bcdDevice || strings[0] != other.strings[0] ||
           strings[1] != other.strings[1] || strings[2] != other.strings[2];
  }
};
// False when the parameter area with its string slots does not lie inside.
bool IdentityOf(const std::vector<unsigned char>& flash, FlashIdentity* identity);

ZF_VARIANT_END
