// The image side of CFlashROM that is more than a forwarder to its model:
// the header read from the device when a new image is made, and the state
// the engine keeps beside the image (the flash as read, the callback).
#include "FlashROM.h"

ZF_VARIANT_BEGIN

CFlashROM::CFlashROM() = default;

CFlashROM::~CFlashROM() {
  // A worker may still be using the image; it ends before the image goes.
  WaitWorker();
  image_.Release();
}

int CFlashROM::CreateSROMImage() {
  image_.Release();
  if (image_.GetParameterChange() == 0) {
    // The parameters come from the device: its first 48 bytes are the header.
    unsigned char header[kImageHeaderSize] = {};
    if (USBCom_ReadRom(0, header, kImageHeaderSize) == 0) return 0;
    if (!image_.TakeDeviceHeader(header, kImageHeaderSize)) return 0;
  }
  return image_.CreateSROMImage();
}

void CFlashROM::MakeImageFromSROMParam() {
  // Without an image the new one takes the device's header first.
  if (image_.Image() == nullptr && CreateSROMImage() == 0) return;
  image_.MakeImageFromSROMParam();
}

bool CFlashROM::LoadImage(const unsigned char* data, uint32_t size) {
  flashAsRead_.clear();  // these bytes are not known to be on the flash
  const bool headerGood = image_.LoadImage(data, size);
  // Taking the bytes clears the operation state, the callback with it.
  if (image_.Image() != nullptr) ProgressCallback = nullptr;
  return headerGood;
}

void CFlashROM::ClearFlag() {
  ProgressCallback = nullptr;
  image_.ClearFlag();
}

ZF_VARIANT_END
