// The engine side of CFlashROM: device connection, block operations and the
// read and write workers.
#include <algorithm>
#include <cstring>
#include <system_error>
#include <vector>

#include "FlashROM.h"
#include "common.h"

namespace {


// The percentage reported after `done` of `total` bytes: never above 100, so
// a bar only reaches 100 when the last piece of work is done.
unsigned short Percent(unsigned long done, unsigned long total) {
  if (total == 0) return 100;
  uint64_t percent = static_cast<uint64_t>(done) * 100u / total;
  return static_cast<unsigned short>(std::min<uint64_t>(percent, 100u));
}

// One step of the write worker.
struct WriteStep {
  enum Kind { kErase, kWrite, kVerify } kind;
  uint32_t start;
  uint32_t length;
};

}  // namespace

int CFlashROM::CheckDevice(unsigned short compatibility) {
  unsigned char version[kVersionBlockSize] = {};
  if (!USBCom_GetVersion(version, sizeof version)) return FLASH_TRANSFER_FAILED;
  if (!IsBridgeChipId(version)) return FLASH_NOT_BRIDGE;
  if (compatibility != 0) {
    uint16_t word = GetLE16(version + 8);
    if ((word & 0xFFF0u) != (compatibility & 0xFFF0u)) return FLASH_NOT_BRIDGE;
  }
  if (!USBCom_EnableVender()) return FLASH_TRANSFER_FAILED;
  return FLASH_OK;
}

int CFlashROM::OpenFlashROM(IDFilter* filter) {
  int result = Open(filter);
  if (result != kSelectOpened) return result;
  return CheckDevice(0);
}

int CFlashROM::CloseFlashROM() {
  WaitWorker();
  USBCom_DisableVender();
  return CloseDevice() ? FLASH_OK : FLASH_TRANSFER_FAILED;
}

// Stores the callback and starts the worker; 7 when no thread can be had.
int CFlashROM::StartWorker(::ProgressCallback callback, void* (*entry)(void*)) {
  ProgressCallback = callback;
  try {
    worker_ = std::thread([this, entry] { entry(this); });
  } catch (const std::system_error&) {
    ProgressCallback = nullptr;
    return FLASH_IMAGE_ERROR;
  }
  return FLASH_OK;
}

void CFlashROM::WaitWorker() {
  if (worker_.joinable()) worker_.join();
}

int CFlashROM::ReadFlashROM(::ProgressCallback callback) {
  WaitWorker();
  int result = CheckDevice(0);
  if (result != FLASH_OK) return result;
  ClearFlag();
  if (!CreateSROMImage()) return FLASH_IMAGE_ERROR;
  MakeImageFromSROMParam();
  if (SROMImage == nullptr || SROMImageSize < kImageHeaderSize) return FLASH_IMAGE_ERROR;
  if (!USBCom_SetRomParameters(SROMImage.get() + kParamBytesOffset, kRomParameterSize)) {
    return FLASH_TRANSFER_FAILED;
  }
  return StartWorker(callback, &ReadThread);
}

int CFlashROM::WriteFlashROM(::ProgressCallback callback) {
  WaitWorker();
  if (SROMImage == nullptr || SROMImageSize < kImageHeaderSize) return FLASH_IMAGE_ERROR;
  // Nothing selected: a worker would end without a report, so refuse here.
  if (GetWriteSize() == 0) return FLASH_IMAGE_ERROR;

  // The compatibility word the new firmware requires: the last two code
  // bytes of area 1. An area whose code lies outside the image is refused
  // rather than written without the check.
  unsigned short compatibility = 0;
  uint32_t area1 = GetDWORDFromSROMImage(kArea1OffsetField);
  if (area1 != 0) {
    uint32_t codeSize = GetDWORDFromSROMImage(area1 + 4);
    if (!RangeInside(area1, 8, SROMImageSize)) codeSize = 0;
    if (codeSize >= 1 && codeSize <= 0xFFFF) {
      uint64_t at = static_cast<uint64_t>(area1) + 14 + codeSize;
      if (!RangeInside(at, 2, SROMImageSize)) return FLASH_IMAGE_ERROR;
      compatibility = GetWORDFromSROMImage(static_cast<uint32_t>(at));
    }
  }
  int result = CheckDevice(compatibility);
  if (result != FLASH_OK) return result;
  if (SROMTypeCheck && !CheckSROMType(FlashTypeName, this)) return FLASH_PART_MISMATCH;
  // The bridge gets the parameter bytes rebuilt from RomParameter, but the
  // image keeps the header bytes as read: rebuilding normalises some of them
  // (frequency nibble, mode flag) without updating the header CRC, and a
  // write that covers the header would then leave a header the next read
  // refuses.
  unsigned char asRead[kRomParameterSize];
  std::memcpy(asRead, SROMImage.get() + kParamBytesOffset, kRomParameterSize);
  MakeImageFromSROMParam();
  unsigned char parameters[kRomParameterSize];
  std::memcpy(parameters, SROMImage.get() + kParamBytesOffset, kRomParameterSize);
  std::memcpy(SROMImage.get() + kParamBytesOffset, asRead, kRomParameterSize);
  if (!USBCom_SetRomParameters(parameters, kRomParameterSize)) return FLASH_TRANSFER_FAILED;
  return StartWorker(callback, &WriteThread);
}

// Runs `transfer`(address, chunk) over [address, address + length) in chunks
// of the transfer unit, reporting progress after each chunk. The first
// failing chunk is reported as (0, false) and its result returned at once.
template <typename Transfer>
int CFlashROM::ChunkedBlock(unsigned long address, unsigned long length, unsigned long* done,
                            unsigned long total, Transfer transfer) {
  unsigned long offset = 0;
  while (offset < length) {
    unsigned short chunk = static_cast<unsigned short>(std::min(kTransferUnit, length - offset));
    unsigned long at = address + offset;
    int result = RangeInside(at, chunk, SROMImageSize) ? transfer(at, chunk)
                                                       : FLASH_TRANSFER_FAILED;
    if (result != FLASH_OK) {
      if (ProgressCallback) ProgressCallback(0, false);
      return result;
    }
    offset += chunk;
    *done += chunk;
    if (ProgressCallback) ProgressCallback(Percent(*done, total), true);
  }
  return FLASH_OK;
}

int CFlashROM::ReadRomBlock(unsigned long address, unsigned long length, unsigned long* done,
                            unsigned long total) {
  return ChunkedBlock(address, length, done, total, [this](unsigned long at, unsigned short n) {
    return USBCom_ReadRom(at, SROMImage.get() + at, n) ? FLASH_OK : FLASH_TRANSFER_FAILED;
  });
}

int CFlashROM::WriteRomBlock(unsigned long address, unsigned long length, unsigned long* done,
                             unsigned long total) {
  return ChunkedBlock(address, length, done, total, [this](unsigned long at, unsigned short n) {
    return USBCom_WriteRom(at, SROMImage.get() + at, n) ? FLASH_OK : FLASH_TRANSFER_FAILED;
  });
}

int CFlashROM::VerifyRomBlock(unsigned long address, unsigned long length, unsigned long* done,
                              unsigned long total) {
  unsigned char scratch[kTransferUnit];
  return ChunkedBlock(address, length, done, total,
                      [this, &scratch](unsigned long at, unsigned short n) {
                        if (!USBCom_ReadRom(at, scratch, n)) return FLASH_TRANSFER_FAILED;
                        return std::memcmp(scratch, SROMImage.get() + at, n) == 0
                                   ? FLASH_OK
                                   : FLASH_IMAGE_ERROR;
                      });
}

int CFlashROM::EraseRomBlock(unsigned long address, unsigned long length, unsigned long* done,
                             unsigned long total) {
  if (length != 0) {
    uint64_t blockSize = GetEraseRomBlockSize();
    uint64_t mask = blockSize > 1 ? blockSize - 1 : 1;
    uint64_t first = static_cast<uint64_t>(address) & ~mask;
    uint64_t last = (static_cast<uint64_t>(address) + length - 1) & ~mask;
    for (uint64_t block = first; block <= last; block += mask + 1) {
      if (!USBCom_BlockEraseRom(static_cast<unsigned long>(block))) {
        if (ProgressCallback) ProgressCallback(0, false);
        return FLASH_TRANSFER_FAILED;
      }
    }
  }
  *done += length;
  if (ProgressCallback) ProgressCallback(Percent(*done, total), true);
  return FLASH_OK;
}

unsigned long CFlashROM::GetWriteSize() {
  unsigned long size = 0;
  if (ParameterChange) size += GetParamSize() + kImageHeaderSize;
  if (FWCodeChange != 0 && SROMImage != nullptr) {
    for (uint32_t field : {kArea1OffsetField, kArea2OffsetField}) {
      uint32_t area = GetDWORDFromSROMImage(field);
      if (area != 0) size += GetDWORDFromSROMImage(area + 4) + kFirmwareAreaHeaderSize;
    }
  }
  if (EncryptionChange) size += 8;
  return size;
}

void* CFlashROM::ReadThread(void* argument) {
  CFlashROM* engine = static_cast<CFlashROM*>(argument);
  unsigned long done = 0;
  unsigned long size = engine->SROMImageSize;
  engine->ReadRomBlock(0, size, &done, size);
  engine->ClearFlag();
  engine->CreateSideBridge();
  engine->MakeSROMParamFromImage();
  return nullptr;
}

void* CFlashROM::WriteThread(void* argument) {
  CFlashROM* engine = static_cast<CFlashROM*>(argument);
  const uint32_t imageSize = engine->SROMImageSize;
  std::vector<WriteStep> steps;
  bool planOk = true;

  // A region is erased, written and verified; all three count its length.
  auto addRegion = [&](uint64_t start, uint64_t length) {
    if (length == 0) return;
    if (!RangeInside(start, length, imageSize)) {
      planOk = false;
      return;
    }
    uint32_t s = static_cast<uint32_t>(start), l = static_cast<uint32_t>(length);
    steps.push_back({WriteStep::kErase, s, l});
    steps.push_back({WriteStep::kWrite, s, l});
    steps.push_back({WriteStep::kVerify, s, l});
  };
  auto areaLength = [&](uint32_t area) -> uint64_t {
    if (!RangeInside(area, kFirmwareAreaHeaderSize, imageSize)) {
      planOk = false;
      return 0;
    }
    return static_cast<uint64_t>(engine->GetDWORDFromSROMImage(area + 4)) +
           kFirmwareAreaHeaderSize;
  };

  // 1. Header and parameter area.
  if (engine->ParameterChange) {
    uint64_t paramSize = engine->GetParamSize();
    uint32_t p = engine->GetDWORDFromSROMImage(kParamAreaOffsetField);
    if (!RangeInside(0, paramSize + kImageHeaderSize, imageSize) ||
        (p != 0 && !RangeInside(p, paramSize, imageSize))) {
      planOk = false;
    } else {
      steps.push_back({WriteStep::kErase, 0, static_cast<uint32_t>(paramSize + kImageHeaderSize)});
      steps.push_back({WriteStep::kWrite, 0, kImageHeaderSize});
      steps.push_back({WriteStep::kVerify, 0, kImageHeaderSize});
      if (p != 0) {
        steps.push_back({WriteStep::kWrite, p, static_cast<uint32_t>(paramSize)});
        steps.push_back({WriteStep::kVerify, p, static_cast<uint32_t>(paramSize)});
      }
    }
  }

  // 2. Firmware areas: the selected copy first, then the other one.
  if (engine->FWCodeChange != 0) {
    if (engine->FWCodeChange != 1 && engine->FWCodeChange != 2) {
      planOk = false;
    } else {
      uint32_t selectedField = engine->FWCodeChange == 1 ? kArea1OffsetField : kArea2OffsetField;
      uint32_t otherField = engine->FWCodeChange == 1 ? kArea2OffsetField : kArea1OffsetField;
      uint32_t f = engine->GetDWORDFromSROMImage(selectedField);
      uint32_t g = engine->GetDWORDFromSROMImage(otherField);
      if (f != 0) {
        uint64_t length = areaLength(f);
        // An area inside the first erase block takes the header and the
        // parameter area with it: they are rewritten from the image.
        if (f < engine->GetEraseRomBlockSize()) {
          addRegion(0, length + f);
        } else {
          addRegion(f, length);
        }
        if (g != 0) addRegion(g, areaLength(g));
      }
    }
  }

  // 3. Encryption records.
  if (engine->EncryptionChange) {
    uint32_t p = engine->GetDWORDFromSROMImage(kParamAreaOffsetField);
    for (uint32_t field : {20u, 24u}) {
      uint32_t record = engine->GetDWORDFromSROMImage(p + field);
      if (record != 0) addRegion(record, 4);
    }
  }

  // A plan that reaches outside the image is refused before anything is
  // erased. Every run ends with one final report, so an empty plan (nothing
  // that could be written) is reported as a failure too.
  if (!planOk || steps.empty()) {
    if (engine->ProgressCallback) engine->ProgressCallback(0, false);
    return nullptr;
  }

  unsigned long total = 0;
  for (const WriteStep& step : steps) total += step.length;
  unsigned long done = 0;
  for (const WriteStep& step : steps) {
    int result = FLASH_OK;
    switch (step.kind) {
      case WriteStep::kErase:
        result = engine->EraseRomBlock(step.start, step.length, &done, total);
        break;
      case WriteStep::kWrite:
        result = engine->WriteRomBlock(step.start, step.length, &done, total);
        break;
      case WriteStep::kVerify:
        result = engine->VerifyRomBlock(step.start, step.length, &done, total);
        break;
    }
    if (result != FLASH_OK) return nullptr;
  }
  engine->ClearFlag();
  return nullptr;
}
