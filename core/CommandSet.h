// The bridge's ten vendor commands: the command record, the command table
// and the two wire encodings (USB setup packet, SCSI command block). Real
// and virtual transports all encode through these functions.
#pragma once

#include <cstdint>
#include <string>

// One command, built on the stack for a single exchange.
struct _tag_UsbCommand {
  uint8_t opcode;       // SCSI vendor operation code
  uint8_t request;      // USB bRequest
  uint8_t subcode;      // SCSI sub-command
  uint8_t shortLength;  // data length of a signature-form command
  uint32_t address;     // flash address or command argument (addressed form)
  uint16_t length;      // data length of an addressed-form command
  uint16_t reserved;    // always 0
  uint32_t form;        // 0 signature form, 1 addressed form
  uint32_t direction;   // 1 host to device (also without data), 0 device to host
  unsigned char* data;  // caller's buffer, not owned
};

enum : uint32_t { kFormSignature = 0, kFormAddressed = 1 };
enum : uint32_t { kDirectionIn = 0, kDirectionOut = 1 };

// Row numbers of g_USB_CommandList.
enum UsbCommandNumber : uint32_t {
  CMD_GETROMID = 0,
  CMD_BLOCKERASEROM = 1,
  CMD_CHIPERASEROM = 2,
  CMD_READROM = 3,
  CMD_WRITEROM = 4,
  CMD_GETROMPARAMETERS = 5,
  CMD_SETROMPARAMETERS = 6,
  CMD_GETVERSION = 7,
  CMD_ENABLEVENDER = 8,
  CMD_DISABLEVENDER = 9,
  CMD_COUNT = 10,
};

// A row of the command table. Note that direction precedes form here.
struct UsbCommandRow {
  uint32_t number;
  uint8_t opcode;
  uint8_t request;
  uint8_t subcode;
  uint8_t reserved;
  uint32_t direction;
  uint32_t form;
};

extern const UsbCommandRow g_USB_CommandList[CMD_COUNT];

// Length of the version block returned by USBCom_GetVersion.
constexpr unsigned kVersionBlockSize = 14;
// True when a version block's chip id (bytes 0-3) names a bridge: "318a"
// (QK9318A) or "318e" (QK9318E).
bool IsBridgeChipId(const unsigned char* versionBlock);
// The bridge variant of a version block, "QK9318A" or "QK9318E"; null when
// it is no bridge's.
const char* VariantOfChipId(const unsigned char* versionBlock);
// The chip id of a version block as text, "318a"; a byte that is no
// printable ASCII shows as '?'.
std::string ChipIdText(const unsigned char* versionBlock);
// The compatibility word of a version block (bytes 8-9, little-endian).
uint16_t CompatibilityWordOf(const unsigned char* versionBlock);
// True when a bridge reporting `deviceWord` runs firmware that requires
// `required`: the words agree but for their low four bits. 0 requires nothing.
bool CompatibilityAccepts(uint16_t deviceWord, uint16_t required);

// Length of the ROM parameter block sent by USBCom_SetRomParameters.
constexpr unsigned kRomParameterSize = 19;

// A record filled from the table row `number`; every other field is zero.
_tag_UsbCommand MakeCommandRecord(UsbCommandNumber number);

// USB vendor control request: the 8 setup bytes in wire order.
struct UsbSetupPacket {
  uint8_t bytes[8];
  uint8_t bmRequestType() const { return bytes[0]; }
  uint8_t bRequest() const { return bytes[1]; }
  uint16_t wValue() const { return static_cast<uint16_t>(bytes[2] | (bytes[3] << 8)); }
  uint16_t wIndex() const { return static_cast<uint16_t>(bytes[4] | (bytes[5] << 8)); }
  uint16_t wLength() const { return static_cast<uint16_t>(bytes[6] | (bytes[7] << 8)); }
};

// Encodes a record as a USB setup packet. False when `form` is neither 0 nor 1.
bool EncodeUsbSetup(const _tag_UsbCommand& cmd, UsbSetupPacket* out);

// SCSI pass-through form of a command: the command block, its length, the
// data length and the data direction.
struct ScsiCommandBlock {
  uint8_t cdb[16];
  uint8_t cdbLength;        // 10 (addressed form) or 12 (signature form)
  uint32_t dataLength;      // bytes of the data phase
  bool dataIn;              // data comes from the device
};

// Encodes a record as a SCSI command block. False when `form` is neither 0 nor 1.
bool EncodeScsiCdb(const _tag_UsbCommand& cmd, ScsiCommandBlock* out);
