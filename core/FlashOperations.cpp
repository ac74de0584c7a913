#include "FlashOperations.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "CommandSet.h"
#include "FilRead.h"
#include "IDFilter.h"
#include "ImageLayout.h"
#include "Messages.h"
#include "UpdateSession.h"
#include "WorkProgress.h"
#include "WriteGuard.h"
#include "common.h"

ZF_VARIANT_BEGIN

namespace {

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

void Cause(const FlashOperationHooks& hooks, const std::string& text) {
  if (hooks.cause) hooks.cause(text);
}

void Phase(const FlashOperationHooks& hooks, FlashPhase phase, const FlashOperationResult& result) {
  if (hooks.phase) hooks.phase(phase, result);
}

// Opens the chosen bridge, identifies its flash part by the probe replies
// and reads the whole flash into the engine's image. 0 or the message.
int OpenAndReadWhole(CFlashROM* engine, const FlashOperationHooks& hooks,
                     FlashOperationResult* result) {
  IDFilter filter;  // empty: every device the device choice admits
  if (engine->OpenBridge(&filter).HeldElsewhere()) return MSG_ONLY_ONE;
  BridgeIdentity& identity = result->identity;
  unsigned char version[kVersionBlockSize] = {};
  if (!engine->USBCom_GetVersion(version, sizeof version) || !IsBridgeChipId(version)) {
    Cause(hooks, "no connected device of the chosen ids or position answered as a QK9318 bridge");
    return MSG_NOT_FOUND;
  }
  identity.variant = VariantOfChipId(version);
  std::memcpy(identity.version, version, sizeof version);
  engine->GetOpenedDeviceInfo(&identity.usb);
  const ProbedFlash part = IdentifyFlash(engine);
  identity.part = part.name;
  identity.parameters = part.parameters;
  Phase(hooks, FlashPhase::kReadStarts, *result);
  int message;
  if (!identity.part.empty()) {
    message = ReadAsWithoutDialog(engine, identity.parameters, hooks.progress);
  } else {
    // No part of the table answered: the header's parameters, if it holds.
    message = ReadWithoutDialog(engine, hooks.progress);
    if (message == 0) identity.parameters = *engine->GetRomParameter();
  }
  Phase(hooks, FlashPhase::kReadEnded, *result);
  if (message != 0 && identity.part.empty() && !engine->Work().LastFailure().failed) {
    Cause(hooks, "the flash answers none of the known parts' identification probes and its "
                 "header cannot be read");
  }
  return message;
}

// OpenAndReadWhole with the flash as read, its size and erase block kept in
// the result; false with the message set when it failed.
bool ReadDevice(CFlashROM* engine, const FlashOperationHooks& hooks,
                FlashOperationResult* result) {
  result->message = OpenAndReadWhole(engine, hooks, result);
  if (result->message != 0) return false;
  result->flashSize = engine->ImageSize();
  result->flash.assign(engine->Image(), engine->Image() + result->flashSize);
  result->eraseBlock = engine->GetEraseRomBlockSize();
  return true;
}

// The bridges that the device choice admits; nothing but the version block
// is asked of them.
std::vector<UsbDeviceInfo> AdmittedBridges(CFlashROM* engine) {
  std::vector<UsbDeviceInfo> found;
  void* list = engine->GetDeviceList();
  if (list == nullptr) return found;
  void* cursor = list;
  while (engine->OpenNextDevice(list, &cursor) == kSelectOpened) {
    unsigned char version[kVersionBlockSize] = {};
    UsbDeviceInfo usb;
    if (engine->USBCom_GetVersion(version, sizeof version) != 0 && IsBridgeChipId(version) &&
        engine->GetOpenedDeviceInfo(&usb)) {
      found.push_back(usb);
    }
    engine->CloseDevice();
  }
  return found;
}

bool LoadImageFile(const std::string& path, std::vector<unsigned char>* bytes, std::string* error) {
  CFileRead file;
  const uint64_t largest = uint64_t{1} << kMaxRomSizeLog2;
  file.SetSizeLimit(largest);
  if (!file.OpenPath(path.c_str())) {
    *error = file.OpenProblem();
    if (file.OpenError() == FileOpenError::kTooLarge) *error += " bytes, the largest flash";
    return false;
  }
  const uint32_t size = file.GetFileSize();
  if (size == 0) {
    *error = "it is empty";
    return false;
  }
  const unsigned char* data = file.ReadTextFile();
  if (data == nullptr) {
    *error = "it cannot be read";
    return false;
  }
  bytes->assign(data, data + size);
  return true;
}

// The saved image, loaded and refused when it is no whole flash image.
bool LoadRestoreImage(const std::string& name, std::vector<unsigned char>* image,
                      const FlashOperationHooks& hooks) {
  std::string error;
  if (!LoadImageFile(name, image, &error)) {
    Cause(hooks, "cannot use the image " + name + ": " + error);
    return false;
  }
  if (!HeaderHolds(*image)) {
    Cause(hooks, "refused: the header CRC of the image " + name +
                     " does not hold (not a saved flash image, or a damaged one)");
    return false;
  }
  return true;
}

// "USB 3f1c:0001, release 0x0100, strings "Maker", "Bridge", """ with the
// characters outside printable ASCII as '?'.
std::string IdentityText(const FlashIdentity& identity) {
  UsbDeviceInfo usb;
  usb.vendorId = identity.vendorId;
  usb.productId = identity.productId;
  std::string text =
      "USB " + UsbIdText(usb) + ", release " + Hex(identity.bcdDevice, 4) + ", strings";
  for (int i = 0; i < 3; ++i) {
    std::string shown;
    const std::string& utf16 = identity.strings[i];
    for (size_t c = 0; c + 1 < utf16.size(); c += 2) {
      const unsigned char low = static_cast<unsigned char>(utf16[c]);
      const bool ascii = utf16[c + 1] == 0 && low >= 0x20 && low < 0x7F;
      shown += ascii ? static_cast<char>(low) : '?';
    }
    text += std::string(i == 0 ? " \"" : ", \"") + shown + "\"";
  }
  return text;
}

// The update's device checks for a saved image, before anything is erased:
// its firmware must suit the bridge's compatibility word, and when the
// device's own header holds, the image must carry the device's identity.
bool ImageSuitsDevice(const std::vector<unsigned char>& image,
                      const std::vector<unsigned char>& asRead, const BridgeIdentity& identity,
                      const std::string& name, const FlashOperationHooks& hooks) {
  CFlashROM saved;
  saved.LoadImage(image.data(), static_cast<uint32_t>(image.size()));
  uint16_t required = 0;
  if (!saved.RequiredCompatibility(&required)) {
    Cause(hooks, "refused: the firmware of the image " + name + " does not lie inside it");
    return false;
  }
  const uint16_t word = CompatibilityWordOf(identity.version);
  if (!CompatibilityAccepts(word, required)) {
    Cause(hooks, "refused: the firmware of the image " + name + " needs compatibility " +
                     Hex(required, 4) + "; the bridge reports " + Hex(word, 4));
    return false;
  }
  FlashIdentity device, saving;
  if (!HeaderHolds(asRead) || !IdentityOf(asRead, &device)) return true;  // nothing to compare
  if (!IdentityOf(image, &saving)) {
    Cause(hooks, "refused: the parameter area of the image " + name + " does not lie inside it");
    return false;
  }
  if (saving != device) {
    Cause(hooks, "refused: the image " + name + " belongs to another device (" +
                     IdentityText(saving) + "); the device's flash holds " +
                     IdentityText(device));
    return false;
  }
  return true;
}

// The image's size and bridge variant against the device's.
bool ImageFitsFlash(const std::vector<unsigned char>& image, uint32_t size,
                    const BridgeIdentity& identity, const FlashOperationHooks& hooks) {
  const uint8_t sizeLog2 = image[kHeaderRomSizeLog2];
  if (image.size() != size || sizeLog2 >= 32 || (uint32_t{1} << sizeLog2) != size) {
    Cause(hooks, "refused: the image holds " + std::to_string(image.size()) +
                     " bytes for a flash of " +
                     (sizeLog2 < 32 ? std::to_string(uint64_t{1} << sizeLog2) : std::string("?")) +
                     " bytes; the device's flash holds " + std::to_string(size) + " bytes");
    return false;
  }
  CFlashROM saved;
  saved.LoadImage(image.data(), static_cast<uint32_t>(image.size()));
  const SROM_BRIDGEIC imageBridge = saved.GetBridgeIC();
  const char* imageVariant = imageBridge == BRIDGEIC_QK9318A   ? "QK9318A"
                             : imageBridge == BRIDGEIC_QK9318E ? "QK9318E"
                                                               : nullptr;
  if (imageVariant == nullptr || std::strcmp(imageVariant, identity.variant) != 0) {
    Cause(hooks, std::string("refused: the image holds ") +
                     (imageVariant != nullptr ? std::string("firmware for ") + imageVariant
                                              : std::string("no valid firmware")) +
                     "; the bridge is a " + identity.variant);
    return false;
  }
  return true;
}

// Every check of the saved image against the device as read, and its plan.
// False when the restore is refused (its cause told).
bool PlanForDevice(const std::vector<unsigned char>& image, const std::string& name,
                   const FlashOperationHooks& hooks, FlashOperationResult* result) {
  const uint32_t size = result->flashSize;
  const uint32_t blockSize = result->eraseBlock;
  const bool usableBlocks = blockSize != 0 && blockSize <= size && size % blockSize == 0;
  if (!usableBlocks) Cause(hooks, "refused: the flash's erase block size is unusable");
  if (!usableBlocks || !ImageFitsFlash(image, size, result->identity, hooks) ||
      !ImageSuitsDevice(image, result->flash, result->identity, name, hooks)) {
    return false;
  }
  WriteRequest request;
  request.image = image.data();
  request.flash = result->flash.data();
  request.imageSize = size;
  request.eraseBlockSize = blockSize;
  result->plan = PlanRestore(request);
  if (result->plan.refusal == PlanRefusal::kOutsideImage) {
    Cause(hooks, "refused: the flash's erase block size is unusable");
    return false;
  }
  result->summary = SummarizePlan(result->plan, request, CFlashROM::kTransferUnit);
  return true;
}

// Writes the planned steps under the write guard; the saved image becomes
// the engine's image and the bridge is driven with the parameters of the
// part that answered the probes.
void WriteRestore(CFlashROM* engine, const std::vector<unsigned char>& image,
                  const FlashOperationHooks& hooks, FlashOperationResult* result) {
  engine->LoadImage(image.data(), result->flashSize);
  *engine->GetRomParameter() = result->identity.parameters;
  Phase(hooks, FlashPhase::kWriteStarts, *result);
  CWriteGuardScope scope;
  const int message = WriteStepsWithoutDialog(engine, result->plan.steps, hooks.progress);
  scope.EndWrite();
  result->message = message;
  result->status = message == MSG_UPDATED ? kExitOk : kExitError;
  result->writeFailed = message != MSG_UPDATED;
  result->failure = engine->Work().LastFailure();
  result->reported = true;
  if (hooks.written) hooks.written(*result);
}

}  // namespace

ProbedFlash IdentifyFlash(CFlashROM* engine) {
  ProbedFlash part;
  const char* name = nullptr;
  if (engine->SearchSROMType(engine, &part.parameters, &name) == 1 && name != nullptr) {
    part.name = name;
  } else {
    part.parameters = ROM_PARAMETER_IMAGE{};
  }
  return part;
}

FlashOperationResult ReadWholeFlash(CFlashROM* engine, const FlashOperationHooks& hooks) {
  FlashOperationResult result;
  if (!ReadDevice(engine, hooks, &result)) return result;
  engine->CloseFlashROM();
  result.status = kExitOk;
  return result;
}

FlashOperationResult RestoreFlash(CFlashROM* engine, const std::string& imagePath,
                                  const FlashOperationHooks& hooks) {
  FlashOperationResult result;
  std::vector<unsigned char> image;
  if (!LoadRestoreImage(imagePath, &image, hooks)) return result;
  result.bridges = AdmittedBridges(engine);
  if (result.bridges.size() > 1) {
    Cause(hooks, "refused: " + std::to_string(result.bridges.size()) +
                     " bridges are connected and a restore writes one; choose it with --device "
                     "BUS:ADDR:");
    return result;
  }
  if (!ReadDevice(engine, hooks, &result)) return result;
  if (!PlanForDevice(image, imagePath, hooks, &result)) {
    engine->CloseFlashROM();
    return result;
  }
  if (result.plan.refusal == PlanRefusal::kNothingToWrite || !hooks.ask || !hooks.ask(result)) {
    engine->CloseFlashROM();
    result.nothingToWrite = result.plan.refusal == PlanRefusal::kNothingToWrite;
    result.status = kExitNothingToDo;
    return result;
  }
  if (hooks.beforeWrite && !hooks.beforeWrite(result)) {
    engine->CloseFlashROM();
    result.message = MSG_UPDATE_FAILED;
    result.writeFailed = true;
    return result;
  }
  WriteRestore(engine, image, hooks, &result);
  result.image = std::move(image);
  return result;
}

bool HeaderHolds(const std::vector<unsigned char>& image) {
  if (image.size() < kImageHeaderSize) return false;
  return HeaderCrcOf(image.data()) == GetLE16(image.data() + kHeaderCrcOffset);
}

bool IdentityOf(const std::vector<unsigned char>& flash, FlashIdentity* identity) {
  if (flash.size() < kImageHeaderSize) return false;
  const uint32_t p = GetLE32(flash.data() + kParamAreaOffsetField);
  const uint32_t extent = kStringSlot3 + kStringSlotSize;
  if (p > flash.size() || flash.size() - p < extent) return false;
  const unsigned char* area = flash.data() + p;
  identity->vendorId = GetLE16(area + kVendorIdField);
  identity->productId = GetLE16(area + kProductIdField);
  identity->bcdDevice = GetLE16(area + kBcdDeviceField);
  const uint32_t slots[3] = {kStringSlot1, kStringSlot2, kStringSlot3};
  for (int i = 0; i < 3; ++i) {
    const unsigned char* slot = area + slots[i];
    const uint32_t length = std::min<uint32_t>(slot[0], kStringSlotSize - 2);
    identity->strings[i].assign(reinterpret_cast<const char*>(slot + 2), length);
  }
  return true;
}

ZF_VARIANT_END
