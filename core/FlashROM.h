// The flash engine: owns the device connection (through CUSBCommand) and the
// in-memory image of the whole flash (the SROM image), and reads and writes
// it on a worker thread. The image itself, its layout, firmware areas and
// authoring operations are the model CSROMImage (SROMImage.h), compiled
// once without a transport; CFlashROM holds one and forwards to it, and
// keeps here only what needs the device.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "ImageLayout.h"
#include "ReadPlan.h"
#include "SROMData.h"
#include "SROMImage.h"
#include "Types.h"
#include "USBCommand.h"
#include "WorkProgress.h"
#include "WritePlan.h"
#include "Variant.h"

class IDFilter;

ZF_VARIANT_BEGIN

class CFlashROM : public CUSBCommand, public CSROMData {
 public:
  CFlashROM();
  ~CFlashROM();
  CFlashROM(const CFlashROM&) = delete;
  CFlashROM& operator=(const CFlashROM&) = delete;

  // ---- image (layout, header, accessors) ----
  // With ParameterChange clear the header is read from the device first and
  // RomParameter taken from it; then the model makes the new image.
  int CreateSROMImage();
  void MakeSROMParamFromImage() { image_.MakeSROMParamFromImage(); }
  void MakeImageFromSROMParam();
  uint32_t GetParamSize() { return image_.GetParamSize(); }
  void GetActionParameter(_actionparamlist* list) { image_.GetActionParameter(list); }
  // Takes `size` bytes as the image, as a read of the flash would leave it
  // (CSROMImage::LoadImage); the flash as read is then unknown. Used by the
  // offline image tools; the engine's read path does not use it.
  bool LoadImage(const unsigned char* data, uint32_t size);

  uint32_t GetDWORDFromSROMImage(uint32_t offset) { return image_.GetDWORDFromSROMImage(offset); }
  uint16_t GetWORDFromSROMImage(uint32_t offset) { return image_.GetWORDFromSROMImage(offset); }
  uint8_t GetBYTEFromSROMImage(uint32_t offset) { return image_.GetBYTEFromSROMImage(offset); }
  uint8_t GetBITFromSROMImage(uint32_t offset, uint8_t bit) {
    return image_.GetBITFromSROMImage(offset, bit);
  }
  void SetDWORDToSROMImage(uint32_t offset, uint32_t value) {
    image_.SetDWORDToSROMImage(offset, value);
  }
  void SetWORDToSROMImage(uint32_t offset, uint16_t value) {
    image_.SetWORDToSROMImage(offset, value);
  }
  void SetBYTEToSROMImage(uint32_t offset, uint8_t value) {
    image_.SetBYTEToSROMImage(offset, value);
  }
  void SetBITToSROMImage(uint32_t offset, uint8_t bit, uint8_t value) {
    image_.SetBITToSROMImage(offset, bit, value);
  }

  uint32_t GetParameterChange() const { return image_.GetParameterChange(); }
  // Authoring: a set flag makes CreateSROMImage take RomParameter as it is
  // instead of reading the header from the device.
  void SetParameterChange(uint32_t value) { image_.SetParameterChange(value); }
  uint16_t GetFWCodeChange() const { return image_.GetFWCodeChange(); }
  uint32_t GetEncryptionChange() const { return image_.GetEncryptionChange(); }
  ROM_PARAMETER_IMAGE* GetRomParameter() { return image_.GetRomParameter(); }
  uint32_t GetEraseRomBlockSize() const { return image_.GetEraseRomBlockSize(); }
  // The model's operation state and the progress callback.
  void ClearFlag();

  // ---- firmware areas ----
  void CreateSideBridge() { image_.CreateSideBridge(); }
  int CheckFWCRC(_fw_surface surface) { return image_.CheckFWCRC(surface); }
  uint32_t GetFWBridgeSignature() { return image_.GetFWBridgeSignature(); }
  uint16_t GetFWVersion() { return image_.GetFWVersion(); }
  uint32_t GetFWCodeSize() { return image_.GetFWCodeSize(); }
  void GetFWCode(unsigned char* out, uint32_t length) { image_.GetFWCode(out, length); }
  int SetFWCode(const unsigned char* file, uint32_t length, bool versionKnown) {
    return image_.SetFWCode(file, length, versionKnown);
  }
  uint16_t GetNewestFWVersion(uint32_t signature) { return image_.GetNewestFWVersion(signature); }
  using AreaFacts = CSROMImage::AreaFacts;
  AreaFacts DescribeArea(int number) { return image_.DescribeArea(number); }
  bool RequiredCompatibility(uint16_t* word) { return image_.RequiredCompatibility(word); }
  bool PlacementOverlaps(uint32_t o1, uint32_t o2, uint32_t length) {
    return image_.PlacementOverlaps(o1, o2, length);
  }

  // ---- authoring and encryption ----
  void GetEncryption(_encryptionlist* list) { image_.GetEncryption(list); }
  void SetEncryption(const _encryptionlist* list) { image_.SetEncryption(list); }
  int MakeparamHeader() { return image_.MakeparamHeader(); }
  void SetOffset(const _actionparamlist* list) { image_.SetOffset(list); }
  void GetFWFileName(char* out, uint32_t capacity) { image_.GetFWFileName(out, capacity); }
  void SetFWFileName(const char* name) { image_.SetFWFileName(name); }

  // ---- engine ----
  // What opening the bridge came to, each code in its own space: the device
  // selection's status (kSelect*, Transport.h) and, once a device is open,
  // the device check's (FLASH_*).
  struct BridgeOpening {
    int selection = kSelectNoneLeft;
    int device = FLASH_TRANSFER_FAILED;  // only when selection is kSelectOpened
    bool Ready() const { return selection == kSelectOpened && device == FLASH_OK; }
    // A bridge the filter admits is held by another run or program.
    bool HeldElsewhere() const { return selection == kSelectAlreadyOpen; }
  };
  BridgeOpening OpenBridge(IDFilter* filter);
  // The same in one int, as the engine's callers have always had it: the
  // selection's status when no device opened, else the device check's code.
  // The core's own callers take OpenBridge.
  int OpenFlashROM(IDFilter* filter);
  int CloseFlashROM();
  int CheckDevice(unsigned short compatibility);
  int ReadFlashROM(::ProgressCallback callback);
  int WriteFlashROM(::ProgressCallback callback);
  // What ReadFlashROM reads: the whole flash (the default), or only what an
  // update that places a firmware file of `firmwareLength` bytes uses: the
  // header, the parameter area, the encryption records, both copies and
  // the erase blocks the new copies take (ReadPlan.h). The bytes not read
  // hold `unreadFill`; a write that would use one of them is refused.
  void ReadOnlyForUpdate(uint32_t firmwareLength, uint8_t unreadFill = 0xFF) {
    readForUpdate_ = true;
    updateFirmwareLength_ = firmwareLength;
    unreadFill_ = unreadFill;
  }
  void ReadWholeFlash() { readForUpdate_ = false; }
  // The bytes the last read took from the flash.
  const ByteRanges& BytesRead() const { return bytesRead_; }
  // What the worker's current or last run reports: phase, bytes, the first
  // failing command and how the run ended.
  const CWorkReport& Work() const { return work_; }
  // Recovery: reads the whole flash with the given programming parameters
  // (those of the part the probes found) instead of the device's header,
  // which may be destroyed; and writes the image by the given steps (erase,
  // write and verify of the blocks that differ) on the write worker.
  int ReadFlashROMAs(const ROM_PARAMETER_IMAGE& parameters, ::ProgressCallback callback);
  int WriteFlashROMSteps(const std::vector<WriteStep>& steps, ::ProgressCallback callback);
  int ReadRomBlock(unsigned long address, unsigned long length, unsigned long* done,
                   unsigned long total);
  int WriteRomBlock(unsigned long address, unsigned long length, unsigned long* done,
                    unsigned long total);
  int EraseRomBlock(unsigned long address, unsigned long length, unsigned long* done,
                    unsigned long total);
  int VerifyRomBlock(unsigned long address, unsigned long length, unsigned long* done,
                     unsigned long total);
  unsigned long GetWriteSize();
  // What a write of the image as it stands would be asked to do.
  WriteRequest MakeWriteRequest();
  static void* ReadThread(void* engine);
  static void* WriteThread(void* engine);
  // Waits until a running worker has ended (no-op when none runs). The flow
  // calls it before it uses the image or the device after a worker's report.
  void WaitWorker();

  // ---- state, also read by tools and tests ----
  const unsigned char* Image() const { return image_.Image(); }
  // The image model itself, for what is told of any image (CopiesOf).
  CSROMImage* ImageModel() { return &image_; }
  unsigned char* MutableImage() { return image_.MutableImage(); }
  uint32_t ImageSize() const { return image_.ImageSize(); }
  SROM_BRIDGEIC GetBridgeIC() const { return image_.GetBridgeIC(); }
  void SetBridgeIC(SROM_BRIDGEIC value) { image_.SetBridgeIC(value); }
  SROM_FWALLOCATE GetFWAllocate() const { return image_.GetFWAllocate(); }
  void SetFWAllocate(SROM_FWALLOCATE value) { image_.SetFWAllocate(value); }
  const char* GetFlashTypeName() const { return image_.GetFlashTypeName(); }
  // The transfer unit of the transport: bytes per flash read or write command.
  static constexpr unsigned long kTransferUnit = CUSBControl::kRomTransferMax;

 protected:
  ::ProgressCallback ProgressCallback = nullptr;

 private:
  int StartWorker(::ProgressCallback callback, void* (*entry)(void*));
  bool SendRomParameters();
  template <typename Transfer>
  int ChunkedBlock(WorkPhase phase, unsigned long address, unsigned long length,
                   unsigned long* done, unsigned long total, Transfer transfer);
  int ReadWhole();
  int ReadForUpdate();
  // True when every step of the plan uses only bytes that were read from
  // the flash or placed from the firmware file.
  bool PlanUsesKnownBytes() const;
  void ReportPercent(unsigned short percent);
  // The run's final report of a failure: (0, false) to the callback.
  void ReportFailed();
  CSROMImage image_;  // the image and its decoded parameters
  std::thread worker_;
  WritePlan writePlan_;  // worked out by WriteFlashROM, run by the worker
  // The flash as the last complete read left the image (before any firmware
  // was placed into it); empty when unknown, or once a write has begun.
  std::vector<unsigned char> flashAsRead_;
  bool readForUpdate_ = false;
  uint32_t updateFirmwareLength_ = 0;
  uint8_t unreadFill_ = 0xFF;
  ByteRanges bytesRead_;
  unsigned short percentShown_ = 0;  // the bar never goes back within a run
  CWorkReport work_;
};

ZF_VARIANT_END
