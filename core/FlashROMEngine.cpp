// The engine side of CFlashROM: device connection, block operations and the
// read and write workers.
#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>
#include <vector>

#include "FlashROM.h"
#include "WorkProgress.h"
#include "common.h"

ZF_VARIANT_BEGIN

namespace {


// The percentage reported after `done` of `total` bytes: never above 100, so
// a bar only reaches 100 when the last piece of work is done.
unsigned short Percent(unsigned long done, unsigned long total) {
  if (total == 0) return 100;
  uint64_t percent = static_cast<uint64_t>(done) * 100u / total;
  return static_cast<unsigned short>(std::min<uint64_t>(percent, 100u));
}

}  // namespace

int CFlashROM::CheckDevice(unsigned short compatibility) {
  unsigned char version[kVersionBlockSize] = {};
  if (!USBCom_GetVersion(version, sizeof version)) return FLASH_TRANSFER_FAILED;
  if (!IsBridgeChipId(version)) return FLASH_NOT_BRIDGE;
  if (!CompatibilityAccepts(CompatibilityWordOf(version), compatibility)) return FLASH_NOT_BRIDGE;
  if (!USBCom_EnableVender()) return FLASH_TRANSFER_FAILED;
  return FLASH_OK;
}

CFlashROM::BridgeOpening CFlashROM::OpenBridge(IDFilter* filter) {
  BridgeOpening opening;
  opening.selection = Open(filter);
  if (opening.selection == kSelectOpened) opening.device = CheckDevice(0);
  return opening;
}

int CFlashROM::OpenFlashROM(IDFilter* filter) {
  const BridgeOpening opening = OpenBridge(filter);
  return opening.selection != kSelectOpened ? opening.selection : opening.device;
}

int CFlashROM::CloseFlashROM() {
  WaitWorker();
  USBCom_DisableVender();
  return CloseDevice() ? FLASH_OK : FLASH_TRANSFER_FAILED;
}

// Stores the callback and starts the worker; 7 when no thread can be had.
int CFlashROM::StartWorker(::ProgressCallback callback, void* (*entry)(void*)) {
  ProgressCallback = callback;
  percentShown_ = 0;
  work_.Reset();
  try {
    worker_ = std::thread([this, entry] {
      entry(this);
      percentShown_ = 0;  // the next run's bar starts from nothing
    });
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
  flashAsRead_.clear();
  int result = CheckDevice(0);
  if (result != FLASH_OK) return result;
  ClearFlag();
  if (!CreateSROMImage()) return FLASH_IMAGE_ERROR;
  MakeImageFromSROMParam();
  if (image_.Image() == nullptr || image_.ImageSize() < kImageHeaderSize) return FLASH_IMAGE_ERROR;
  if (!USBCom_SetRomParameters(image_.MutableImage() + kParamBytesOffset, kRomParameterSize)) {
    return FLASH_TRANSFER_FAILED;
  }
  if (readForUpdate_) {
    // What is not read holds the fill: never a byte of the flash.
    std::memset(image_.MutableImage(), unreadFill_, image_.ImageSize());
  }
  return StartWorker(callback, &ReadThread);
}

int CFlashROM::WriteFlashROM(::ProgressCallback callback) {
  WaitWorker();
  if (image_.Image() == nullptr || image_.ImageSize() < kImageHeaderSize) return FLASH_IMAGE_ERROR;
  // Nothing selected: a worker would end without a report, so refuse here.
  if (GetWriteSize() == 0) return FLASH_IMAGE_ERROR;
  // The steps are worked out before the first command: a plan that reaches
  // outside the image or cannot keep a valid copy is refused here. The plan
  // needs the flash as read: which copy is valid there, and what it holds.
  if (flashAsRead_.size() != image_.ImageSize()) return FLASH_IMAGE_ERROR;
  writePlan_ = PlanWrite(MakeWriteRequest());
  if (!writePlan_.ok() || !PlanUsesKnownBytes()) return FLASH_IMAGE_ERROR;

  uint16_t compatibility = 0;
  if (!RequiredCompatibility(&compatibility)) return FLASH_IMAGE_ERROR;
  int result = CheckDevice(compatibility);
  if (result != FLASH_OK) return result;
  if (image_.GetSROMTypeCheck() && !CheckSROMType(image_.GetFlashTypeName(), this)) {
    return FLASH_PART_MISMATCH;
  }
  if (!SendRomParameters()) return FLASH_TRANSFER_FAILED;
  return StartWorker(callback, &WriteThread);
}

bool CFlashROM::SendRomParameters() {
  // The bridge gets the parameter bytes rebuilt from RomParameter, but the
  // image keeps the header bytes as read: rebuilding normalises some of them
  // (frequency nibble, mode flag) without updating the header CRC, and a
  // write that covers the header would then leave a header the next read
  // refuses.
  unsigned char asRead[kRomParameterSize];
  std::memcpy(asRead, image_.MutableImage() + kParamBytesOffset, kRomParameterSize);
  MakeImageFromSROMParam();
  unsigned char parameters[kRomParameterSize];
  std::memcpy(parameters, image_.MutableImage() + kParamBytesOffset, kRomParameterSize);
  std::memcpy(image_.MutableImage() + kParamBytesOffset, asRead, kRomParameterSize);
  return USBCom_SetRomParameters(parameters, kRomParameterSize) != 0;
}

int CFlashROM::ReadFlashROMAs(const ROM_PARAMETER_IMAGE& parameters,
                              ::ProgressCallback callback) {
  WaitWorker();
  readForUpdate_ = false;  // a recovery reads every byte
  flashAsRead_.clear();
  int result = CheckDevice(0);
  if (result != FLASH_OK) return result;
  ClearFlag();
  // CreateSROMImage takes RomParameter as it stands when ParameterChange is
  // set, instead of reading the header from the device.
  *image_.GetRomParameter() = parameters;
  image_.SetParameterChange(1);
  const int created = CreateSROMImage();
  image_.SetParameterChange(0);
  if (!created || image_.ImageSize() < kImageHeaderSize) return FLASH_IMAGE_ERROR;
  MakeImageFromSROMParam();
  if (!USBCom_SetRomParameters(image_.MutableImage() + kParamBytesOffset, kRomParameterSize)) {
    return FLASH_TRANSFER_FAILED;
  }
  return StartWorker(callback, &ReadThread);
}

int CFlashROM::WriteFlashROMSteps(const std::vector<WriteStep>& steps,
                                  ::ProgressCallback callback) {
  WaitWorker();
  if (image_.Image() == nullptr || image_.ImageSize() < kImageHeaderSize || steps.empty()) {
    return FLASH_IMAGE_ERROR;
  }
  for (const WriteStep& step : steps) {
    if (!RangeInside(step.start, step.length, image_.ImageSize())) return FLASH_IMAGE_ERROR;
  }
  writePlan_ = WritePlan{};
  try {
    writePlan_.steps = steps;
  } catch (const std::bad_alloc&) {
    return FLASH_IMAGE_ERROR;
  }
  const int result = CheckDevice(0);
  if (result != FLASH_OK) return result;
  if (!SendRomParameters()) return FLASH_TRANSFER_FAILED;
  return StartWorker(callback, &WriteThread);
}

// Runs `transfer`(address, chunk) over [address, address + length) in chunks
// of the transfer unit, reporting progress after each chunk. The first
// failing chunk is reported as (0, false) and its result returned at once.
template <typename Transfer>
int CFlashROM::ChunkedBlock(WorkPhase phase, unsigned long address, unsigned long length,
                            unsigned long* done, unsigned long total, Transfer transfer) {
  unsigned long offset = 0;
  while (offset < length) {
    unsigned short chunk = static_cast<unsigned short>(std::min(kTransferUnit, length - offset));
    unsigned long at = address + offset;
    int result = RangeInside(at, chunk, image_.ImageSize()) ? transfer(at, chunk)
                                                       : FLASH_TRANSFER_FAILED;
    if (result != FLASH_OK) {
      work_.Failure(phase, static_cast<uint32_t>(at), chunk, result == FLASH_IMAGE_ERROR);
      ReportFailed();
      return result;
    }
    offset += chunk;
    *done += chunk;
    work_.Work(phase, *done, total);
    ReportPercent(Percent(*done, total));
  }
  return FLASH_OK;
}

int CFlashROM::ReadRomBlock(unsigned long address, unsigned long length, unsigned long* done,
                            unsigned long total) {
  return ChunkedBlock(WorkPhase::kReading, address, length, done, total,
                      [this](unsigned long at, unsigned short n) {
    return USBCom_ReadRom(at, image_.MutableImage() + at, n) ? FLASH_OK : FLASH_TRANSFER_FAILED;
  });
}

int CFlashROM::WriteRomBlock(unsigned long address, unsigned long length, unsigned long* done,
                             unsigned long total) {
  return ChunkedBlock(WorkPhase::kWriting, address, length, done, total,
                      [this](unsigned long at, unsigned short n) {
    return USBCom_WriteRom(at, image_.MutableImage() + at, n) ? FLASH_OK : FLASH_TRANSFER_FAILED;
  });
}

int CFlashROM::VerifyRomBlock(unsigned long address, unsigned long length, unsigned long* done,
                              unsigned long total) {
  unsigned char scratch[kTransferUnit];
  return ChunkedBlock(WorkPhase::kVerifying, address, length, done, total,
                      [this, &scratch](unsigned long at, unsigned short n) {
                        if (!USBCom_ReadRom(at, scratch, n)) return FLASH_TRANSFER_FAILED;
                        return std::memcmp(scratch, image_.Image() + at, n) == 0
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
        work_.Failure(WorkPhase::kErasing, static_cast<uint32_t>(block), 0, false);
        ReportFailed();
        return FLASH_TRANSFER_FAILED;
      }
    }
  }
  *done += length;
  work_.Work(WorkPhase::kErasing, *done, total);
  ReportPercent(Percent(*done, total));
  return FLASH_OK;
}

unsigned long CFlashROM::GetWriteSize() {
  unsigned long size = 0;
  if (image_.GetParameterChange()) size += GetParamSize() + kImageHeaderSize;
  if (image_.GetFWCodeChange() != 0 && image_.Image() != nullptr) {
    for (uint32_t field : {kArea1OffsetField, kArea2OffsetField}) {
      uint32_t area = GetDWORDFromSROMImage(field);
      if (area != 0) size += GetDWORDFromSROMImage(area + kAreaCodeSize) + kFirmwareAreaHeaderSize;
    }
  }
  if (image_.GetEncryptionChange()) size += 8;
  return size;
}

void CFlashROM::ReportPercent(unsigned short percent) {
  percentShown_ = std::max(percentShown_, percent);
  // The verdict is set before the callback: a front-end that learns of the
  // end from the callback finds it there.
  if (percentShown_ > 99) work_.End(true);
  if (ProgressCallback) ProgressCallback(percentShown_, true);
}

void CFlashROM::ReportFailed() {
  work_.End(false);
  if (ProgressCallback) ProgressCallback(0, false);
}

int CFlashROM::ReadWhole() {
  unsigned long done = 0;
  const unsigned long size = image_.ImageSize();
  const int result = ReadRomBlock(0, size, &done, size);
  if (result == FLASH_OK) bytesRead_.Add(0, size);
  return result;
}

// Reads what the update needs, the lowest missing range first: what a range
// holds can name further ranges (a copy's header its code), which come
// after it. The total shown is what the read is expected to come to
// (ExpectedReadBytes), so that the bar does not leap ahead on the first
// small ranges; it shows 100 only once the last range is in.
int CFlashROM::ReadForUpdate() {
  const unsigned char* image = image_.Image();
  const uint32_t size = image_.ImageSize();
  const uint32_t block = GetEraseRomBlockSize();
  unsigned long done = 0;
  for (;;) {
    const std::vector<ByteRanges::Range> missing = bytesRead_.Missing(
        NeededForUpdate(image, size, bytesRead_, block, updateFirmwareLength_));
    if (missing.empty()) break;
    uint64_t left = 0;
    for (const ByteRanges::Range& r : missing) left += r.end - r.start;
    const uint64_t expected =
        ExpectedReadBytes(image, size, bytesRead_, block, updateFirmwareLength_);
    const uint64_t total = std::max<uint64_t>(done + left, expected) + 1;
    const ByteRanges::Range next = missing.front();
    const int result = ReadRomBlock(static_cast<unsigned long>(next.start),
                                    static_cast<unsigned long>(next.end - next.start), &done,
                                    static_cast<unsigned long>(total));
    if (result != FLASH_OK) return result;
    bytesRead_.Add(next.start, next.end);
  }
  work_.Work(WorkPhase::kReading, done, done);
  ReportPercent(100);
  return FLASH_OK;
}

bool CFlashROM::PlanUsesKnownBytes() const {
  ByteRanges known = bytesRead_;
  // The copies placed from the firmware file.
  if (image_.GetFWCodeChange() != 0) {
    const unsigned char* image = image_.Image();
    const uint32_t size = image_.ImageSize();
    for (uint32_t field : {kArea1OffsetField, kArea2OffsetField}) {
      const uint32_t at = GetLE32(image + field);
      if (at == 0 || !RangeInside(at, kFirmwareAreaHeaderSize, size)) continue;
      known.Add(at, uint64_t{at} + kFirmwareAreaHeaderSize + GetLE32(image + at + kAreaCodeSize));
    }
  }
  const uint32_t block = GetEraseRomBlockSize();
  for (const WriteStep& step : writePlan_.steps) {
    uint64_t start = step.start;
    uint64_t end = uint64_t{step.start} + step.length;
    if (step.kind == WriteStep::kErase) {  // whole blocks, kept bytes written back
      start = BlockStart(start, block);
      end = BlockStart(end - 1, block) + block;
    }
    if (!known.Contains(start, end)) return false;
  }
  return true;
}

void* CFlashROM::ReadThread(void* argument) {
  CFlashROM* engine = static_cast<CFlashROM*>(argument);
  const unsigned long size = engine->image_.ImageSize();
  engine->flashAsRead_.clear();
  engine->bytesRead_.Clear();
  const int result = engine->readForUpdate_ ? engine->ReadForUpdate() : engine->ReadWhole();
  if (result == FLASH_OK) {
    const unsigned char* image = engine->image_.Image();
    try {
      engine->flashAsRead_.assign(image, image + size);
    } catch (const std::bad_alloc&) {
      engine->flashAsRead_.clear();  // the plan then goes without it
    }
  }
  engine->ClearFlag();
  engine->CreateSideBridge();
  engine->MakeSROMParamFromImage();
  return nullptr;
}

WriteRequest CFlashROM::MakeWriteRequest() {
  WriteRequest request;
  request.image = image_.MutableImage();
  request.imageSize = image_.ImageSize();
  request.eraseBlockSize = GetEraseRomBlockSize();
  request.parameterChange = image_.GetParameterChange() != 0;
  request.fwCodeChange = image_.GetFWCodeChange();
  request.encryptionChange = image_.GetEncryptionChange() != 0;
  request.paramSize = GetParamSize();
  if (flashAsRead_.size() == image_.ImageSize()) request.flash = flashAsRead_.data();
  return request;
}

void* CFlashROM::WriteThread(void* argument) {
  CFlashROM* engine = static_cast<CFlashROM*>(argument);
  const std::vector<WriteStep>& steps = engine->writePlan_.steps;
  // WriteFlashROM starts the worker only with a plan; every run ends with
  // one final report all the same.
  if (!engine->writePlan_.ok() || steps.empty()) {
    engine->ReportFailed();
    return nullptr;
  }

  // From the first erase on the flash no longer is what was read.
  engine->flashAsRead_.clear();
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

ZF_VARIANT_END
