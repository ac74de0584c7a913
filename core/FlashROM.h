// The flash engine: owns the device connection (through CUSBCommand) and the
// in-memory image of the whole flash (the SROM image), reads and writes it
// on a worker thread, and knows the image's layout, firmware areas and
// authoring operations.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "ImageLayout.h"
#include "SROMData.h"
#include "Types.h"
#include "USBCommand.h"
#include "WorkProgress.h"
#include "WritePlan.h"
#include "Variant.h"

class IDFilter;

// Engine result codes.
enum : int {
  FLASH_OK = 0,
  FLASH_NOT_BRIDGE = 3,
  FLASH_TRANSFER_FAILED = 5,
  FLASH_IMAGE_ERROR = 7,
  FLASH_PART_MISMATCH = 8,
};

// Largest firmware file (one area) the updater takes.
constexpr uint32_t kFirmwareMaxFileSize = 65536;
// Largest flash the engine takes on: 2^24 bytes, all that 3-byte SPI
// addresses reach.
constexpr uint8_t kMaxRomSizeLog2 = 24;

ZF_VARIANT_BEGIN

class CFlashROM : public CUSBCommand, public CSROMData {
 public:
  CFlashROM();
  ~CFlashROM();
  CFlashROM(const CFlashROM&) = delete;
  CFlashROM& operator=(const CFlashROM&) = delete;

  // ---- image (layout, header, accessors) ----
  int CreateSROMImage();
  void MakeSROMParamFromImage();
  void MakeImageFromSROMParam();
  uint32_t GetParamSize();
  void GetActionParameter(_actionparamlist* list);
  // Takes `size` bytes as the image, as a read of the flash would leave it:
  // RomParameter from the header when its CRC holds, the operation state
  // cleared, BridgeIC and FWAllocate derived. False when the header CRC does
  // not hold (the bytes are still taken) or no image could be made. Used by
  // the offline image tools; the engine's read path does not use it.
  bool LoadImage(const unsigned char* data, uint32_t size);

  uint32_t GetDWORDFromSROMImage(uint32_t offset);
  uint16_t GetWORDFromSROMImage(uint32_t offset);
  uint8_t GetBYTEFromSROMImage(uint32_t offset);
  uint8_t GetBITFromSROMImage(uint32_t offset, uint8_t bit);
  void SetDWORDToSROMImage(uint32_t offset, uint32_t value);
  void SetWORDToSROMImage(uint32_t offset, uint16_t value);
  void SetBYTEToSROMImage(uint32_t offset, uint8_t value);
  void SetBITToSROMImage(uint32_t offset, uint8_t bit, uint8_t value);

  uint32_t GetParameterChange() const { return ParameterChange; }
  // Authoring: a set flag makes CreateSROMImage take RomParameter as it is
  // instead of reading the header from the device.
  void SetParameterChange(uint32_t value) { ParameterChange = value; }
  uint16_t GetFWCodeChange() const { return FWCodeChange; }
  uint32_t GetEncryptionChange() const { return EncryptionChange; }
  ROM_PARAMETER_IMAGE* GetRomParameter() { return &RomParameter; }
  uint32_t GetEraseRomBlockSize() const;
  void ClearFlag();

  // ---- firmware areas ----
  void CreateSideBridge();
  int CheckFWCRC(_fw_surface surface);
  uint32_t GetFWBridgeSignature();
  uint16_t GetFWVersion();
  uint32_t GetFWCodeSize();
  void GetFWCode(unsigned char* out, uint32_t length);
  int SetFWCode(const unsigned char* file, uint32_t length, bool versionKnown);
  // The newest version among the copies that carry `signature` and whose
  // code CRC holds; 0 when there is none.
  uint16_t GetNewestFWVersion(uint32_t signature);
  // Firmware area 1 or 2 as it stands in the image, for reports.
  struct AreaFacts {
    bool present = false;  // its offset field is not 0
    bool inside = false;   // header and code lie inside the image
    uint32_t offset = 0;
    uint32_t signature = 0;
    uint32_t codeSize = 0;
    uint16_t version = 0;
    bool crcGood = false;
  };
  AreaFacts DescribeArea(int number);
  // The compatibility word the firmware of area 1 requires of the bridge:
  // the last two bytes of its code (0: none, or no area 1). False when that
  // code lies outside the image: such an image is refused rather than
  // written without the check.
  bool RequiredCompatibility(uint16_t* word);
  // True when copies of `length` bytes at o1 (and o2, when not 0) would
  // overlap each other, the header, the parameter area or an encryption
  // record.
  bool PlacementOverlaps(uint32_t o1, uint32_t o2, uint32_t length);

  // ---- authoring and encryption ----
  void GetEncryption(_encryptionlist* list);
  void SetEncryption(const _encryptionlist* list);
  int MakeparamHeader();
  void SetOffset(const _actionparamlist* list);
  void GetFWFileName(char* out, uint32_t capacity);
  void SetFWFileName(const char* name);

  // ---- engine ----
  int OpenFlashROM(IDFilter* filter);
  int CloseFlashROM();
  int CheckDevice(unsigned short compatibility);
  int ReadFlashROM(::ProgressCallback callback);
  int WriteFlashROM(::ProgressCallback callback);
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
  const unsigned char* Image() const { return SROMImage.get(); }
  unsigned char* MutableImage() { return SROMImage.get(); }
  uint32_t ImageSize() const { return SROMImageSize; }
  SROM_BRIDGEIC GetBridgeIC() const { return BridgeIC; }
  void SetBridgeIC(SROM_BRIDGEIC value) { BridgeIC = value; }
  SROM_FWALLOCATE GetFWAllocate() const { return FWAllocate; }
  void SetFWAllocate(SROM_FWALLOCATE value) { FWAllocate = value; }
  const char* GetFlashTypeName() const { return FlashTypeName; }
  // The transfer unit of the transport: bytes per flash read or write command.
  static constexpr unsigned long kTransferUnit = CUSBControl::kRomTransferMax;

 protected:
  std::unique_ptr<unsigned char[]> SROMImage;
  uint32_t SROMImageSize = 0;  // bytes held by SROMImage (0 without an image)
  char FlashTypeName[50] = {};
  uint32_t SROMTypeCheck = 0;
  uint32_t ParameterChange = 0;
  uint16_t FWCodeChange = 0;
  uint32_t EncryptionChange = 0;
  ROM_PARAMETER_IMAGE RomParameter = {};
  SROM_BRIDGEIC BridgeIC = BRIDGEIC_UNKNOWN;
  SROM_FWALLOCATE FWAllocate = FWALLOCATE_NONE;
  ::ProgressCallback ProgressCallback = nullptr;

 private:
  int StartWorker(::ProgressCallback callback, void* (*entry)(void*));
  bool SendRomParameters();
  template <typename Transfer>
  int ChunkedBlock(WorkPhase phase, unsigned long address, unsigned long length,
                   unsigned long* done, unsigned long total, Transfer transfer);
  std::thread worker_;
  WritePlan writePlan_;  // worked out by WriteFlashROM, run by the worker
  // The flash as the last complete read left the image (before any firmware
  // was placed into it); empty when unknown, or once a write has begun.
  std::vector<unsigned char> flashAsRead_;
};

ZF_VARIANT_END
