// Shared records and enumerations of the updater core.
#pragma once

#include <cstdint>

// Bridge IC variant the firmware in the flash is built for.
enum SROM_BRIDGEIC : uint32_t {
  BRIDGEIC_QK9318E = 0,
  BRIDGEIC_QK9318A = 1,
  BRIDGEIC_UNKNOWN = 2,
};

// Number of firmware copies held by the flash image. 0 is accepted only by
// GetParamList (srom:: and CSROMData), where it switches the fitting test off.
enum SROM_FWALLOCATE : uint32_t {
  FWALLOCATE_ANY = 0,
  FWALLOCATE_SINGLE = 1,
  FWALLOCATE_DUAL = 2,
  FWALLOCATE_NONE = 3,
};

// Selector handed to CFlashROM::CheckFWCRC: 2 chooses between two copies,
// anything else checks the single copy.
typedef uint32_t _fw_surface;

// Bridge signatures of the firmware area header (high half: variant,
// low half: the chip maker's USB vendor id).
constexpr uint32_t kChipVendorId = 0x3F1C;
constexpr uint32_t kSignatureQK9318E = (0x0203u << 16) | kChipVendorId;
constexpr uint32_t kSignatureQK9318A = (0x0204u << 16) | kChipVendorId;

// Flash programming parameters as the engine keeps them (host order).
struct ROM_PARAMETER_IMAGE {
  uint8_t ReadCommand;
  uint8_t ProgramCommand;
  uint8_t EraseCommand;
  uint8_t EWSRCommand;
  uint8_t WriteEnableCommand;
  uint8_t WriteDisableCommand;
  uint8_t ReadStatusCommand;
  uint8_t WriteStatusCommand;
  uint8_t ChipEraseCommand;
  uint8_t ControlFlags;
  uint8_t FrequencyCode;
  uint16_t PageProgramUnitSize;
  uint8_t AAIProgramUnitSize;
  uint8_t EraseSizeLog2;
  uint8_t RomSizeLog2;
  uint8_t Reserved;
  uint8_t ModeCode;
};

// Flash programming parameters in list form: a part name and ten codes.
struct _serialflash_romparamlist {
  char Name[50];
  uint8_t ReadCommand;
  uint8_t ProgramCommand;
  uint8_t PageProgramUnitCode;
  uint8_t EraseCommand;
  uint8_t ChipEraseCommand;
  uint8_t AAIProgramUnitCode;
  uint8_t EraseSizeCode;
  uint8_t RomSizeCode;
  uint8_t ModeCode;
  uint8_t FrequencyCode;
};

// The device identity as configured in the flash's parameter area.
struct _actionparamlist {
  uint8_t OptionFlags[9];  // filled by the Windows build only
  uint16_t VendorID;
  uint16_t ProductID;
  uint16_t BcdDevice;
  uint8_t Option38;  // Windows build only
  uint8_t Option39;  // Windows build only
  char ManufacturerString[32];
  char ProductString[32];
  char ThirdString[32];
  char IdentVendor[9];     // Windows build only
  char IdentProduct[17];   // Windows build only
  char IdentRevision[5];   // Windows build only
  _serialflash_romparamlist FlashParamList;
  uint32_t FWAllocate;
  uint32_t BridgeIC;
  uint32_t FWCodeSize;
  // Windows build only: the values beside the flash type name slot.
  uint16_t NameSlotWord;         // P+1072, read when a flash type name is present
  uint8_t OptionalValuePresent;  // P+1074 == 1
  uint32_t OptionalValue;        // P+1075
  uint8_t OptionalValueFlag;     // P+1079
};

// Encryption settings carried by the two encryption records.
struct _encryptionlist {
  uint32_t Setting0;
  uint32_t Setting1;
  uint32_t Setting2;
};

// Progress report of the engine's workers: percentage and "still going well".
typedef void (*ProgressCallback)(unsigned short percent, bool ok);

// Kinds of message boxes.
enum MESSAGE_TYPE : int {
  MESSAGE_ERROR = 0,
  MESSAGE_WARNING = 1,
  MESSAGE_INFORMATION = 2,
  MESSAGE_QUESTION = 3,
};
