// The SROM image apart from the device: the in-memory copy of the whole
// flash with its decoded programming parameters, its layout and firmware
// areas, and the operations that author a new image. CFlashROM holds one
// and forwards its image operations to it; the tools, the fuzzers and the
// image authoring use it alone. It is compiled once, without a transport.
#pragma once

#include <cstdint>
#include <memory>

#include "ImageLayout.h"
#include "Types.h"

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

class CSROMImage {
 public:
  CSROMImage();
  ~CSROMImage() = default;
  CSROMImage(const CSROMImage&) = delete;
  CSROMImage& operator=(const CSROMImage&) = delete;

  // ---- image (layout, header, accessors) ----
  // A new image of 2^RomSizeLog2 bytes for RomParameter as it stands: erased
  // flash, its first bytes zero for the header and parameter area. 0 when
  // the size is refused or the memory cannot be had (no image then).
  int CreateSROMImage();
  // Takes the 48-byte header as read from a device: RomParameter from it when
  // its CRC holds (true), nothing taken otherwise (false). Leaves no image.
  bool TakeDeviceHeader(const unsigned char* header, uint32_t size);
  // Drops the image (no image afterwards).
  void Release();
  void MakeSROMParamFromImage();
  void MakeImageFromSROMParam();
  uint32_t GetParamSize();
  void GetActionParameter(_actionparamlist* list);
  // Takes `size` bytes as the image, as a read of the flash would leave it:
  // RomParameter from the header when its CRC holds, the operation state
  // cleared, BridgeIC and FWAllocate derived. False when the header CRC does
  // not hold (the bytes are still taken) or no image could be made.
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
  void SetParameterChange(uint32_t value) { ParameterChange = value; }
  uint16_t GetFWCodeChange() const { return FWCodeChange; }
  uint32_t GetEncryptionChange() const { return EncryptionChange; }
  uint32_t GetSROMTypeCheck() const { return SROMTypeCheck; }
  void SetSROMTypeCheck(uint32_t value) { SROMTypeCheck = value; }
  ROM_PARAMETER_IMAGE* GetRomParameter() { return &RomParameter; }
  uint32_t GetEraseRomBlockSize() const;
  // Clears the operation state: the part check and the three change flags.
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

  // ---- state ----
  const unsigned char* Image() const { return SROMImage.get(); }
  unsigned char* MutableImage() { return SROMImage.get(); }
  uint32_t ImageSize() const { return SROMImageSize; }
  SROM_BRIDGEIC GetBridgeIC() const { return BridgeIC; }
  void SetBridgeIC(SROM_BRIDGEIC value) { BridgeIC = value; }
  SROM_FWALLOCATE GetFWAllocate() const { return FWAllocate; }
  void SetFWAllocate(SROM_FWALLOCATE value) { FWAllocate = value; }
  const char* GetFlashTypeName() const { return FlashTypeName; }

 private:
  // RomParameter and FlashTypeName from a header whose CRC holds.
  void TakeHeaderParameters(const unsigned char* header);
  // SetFWCode's checks: the file's signature against the image's bridge and
  // the space area 1 has (false: refused); then the file's length, sizes and
  // CRC, and its copies inside the image and clear of what they must leave.
  bool PlacementSpace(uint32_t signature, uint32_t o1, uint32_t o2, uint32_t* space);
  bool FileFitsPlacement(const unsigned char* file, uint32_t length, uint32_t space, uint32_t o1,
                         uint32_t o2);

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
};
