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

// The bridge a recovery operation opened and what it found of its flash.
struct BridgeIdentity {
  std::string part;  // "" when no part of the table answered the probes
  ROM_PARAMETER_IMAGE parameters{};  // the part's, or the header's without one
  const char* variant = nullptr;     // "QK9318A" or "QK9318E"
  UsbDeviceInfo usb;
  unsigned char version[kVersionBlockSize] = {};  // the bridge's version block
};

// The outcome of a recovery operation and the facts its report shows.
struct FlashOperationResult {
  // The message that ends the run (the front-end shows it with its cause),
  // 0 when none does.
  int message = 0;
  int status = kExitError;
  BridgeIdentity identity;
  uint32_t flashSize = 0;   // bytes of the flash as read
  uint32_t eraseBlock = 0;  // bytes per erase block
  std::vector<unsigned char> flash;  // the whole flash as read
  // More than one bridge admitted: a restore writes one. Their positions.
  std::vector<UsbDeviceInfo> bridges;
  WritePlan plan;              // a restore's steps
  WritePlanSummary summary;    // what they do
  bool nothingToWrite = false;  // the flash holds the image already
  bool writeFailed = false;     // the restore failed before or while writing
  bool reported = false;        // the write ran and the report hook showed it
};

enum class FlashPhase { kReadStarts, kReadEnded, kWriteStarts };

// What the front-end does for an operation. Every hook may be left empty.
struct FlashOperationHooks {
  // The one line naming why the operation is refused or failed.
  std::function<void(const std::string&)> cause;
  // Every progress report of the read and the write (on the worker thread).
  ProgressCallback progress = nullptr;
  // The operation enters a phase; the result holds what is known so far.
  std::function<void(FlashPhase, const FlashOperationResult&)> phase;
  // Shows what the restore will do and asks: true for OK, false for Cancel.
  std::function<bool(const FlashOperationResult&)> ask;
  // After OK, before anything is erased (the backup of the flash as read);
  // false ends the restore as failed, its cause told by the hook.
  std::function<bool(const FlashOperationResult&)> beforeWrite;
  // Inside the write guard, once the write has ended and the device is
  // closed: shows the outcome (message and status are set).
  std::function<void(const FlashOperationResult&)> written;
};

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

// The bridge variant of a version block, null when it is no bridge's.
const char* VariantOfChipId(const unsigned char* version);
// "3f1c:0001"
std::string UsbIdText(const UsbDeviceInfo& usb);

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
