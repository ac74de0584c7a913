// The command table of the bridge's ten vendor commands and the two wire
// encodings of a command record. Every transport, real or virtual, encodes
// through EncodeUsbSetup / EncodeScsiCdb so that each encoding is defined in
// exactly one place.
#include "CommandSet.h"

#include <cstring>

#include "common.h"

// number, opcode, request, subcode, reserved, direction, form
const UsbCommandRow g_USB_CommandList[CMD_COUNT] = {
    {CMD_GETROMID, 0xFD, 0xE0, 0x00, 0, kDirectionIn, kFormAddressed},
    {CMD_BLOCKERASEROM, 0xFD, 0xE5, 0xA4, 0, kDirectionOut, kFormAddressed},
    {CMD_CHIPERASEROM, 0xFD, 0xE6, 0xF1, 0, kDirectionOut, kFormAddressed},
    {CMD_READROM, 0xFD, 0xE7, 0x84, 0, kDirectionIn, kFormAddressed},
    {CMD_WRITEROM, 0xFE, 0xE7, 0x94, 0, kDirectionOut, kFormAddressed},
    {CMD_GETROMPARAMETERS, 0xFD, 0xE8, 0x08, 0, kDirectionIn, kFormAddressed},
    {CMD_SETROMPARAMETERS, 0xFE, 0xE8, 0x08, 0, kDirectionOut, kFormAddressed},
    {CMD_GETVERSION, 0xFF, 0xFF, 0x00, 0, kDirectionIn, kFormSignature},
    {CMD_ENABLEVENDER, 0xFF, 0xFE, 0x01, 0, kDirectionOut, kFormSignature},
    {CMD_DISABLEVENDER, 0xFF, 0xFD, 0x02, 0, kDirectionOut, kFormSignature},
};

_tag_UsbCommand MakeCommandRecord(UsbCommandNumber number) {
  _tag_UsbCommand cmd{};
  if (number >= CMD_COUNT) {
    // Not a command: a record that every transport refuses.
    cmd.form = 0xFFFFFFFFu;
    return cmd;
  }
  const UsbCommandRow& row = g_USB_CommandList[number];
  cmd.opcode = row.opcode;
  cmd.request = row.request;
  cmd.subcode = row.subcode;
  cmd.form = row.form;
  cmd.direction = row.direction;
  return cmd;
}

namespace {

// The signature that fills wValue/wIndex of a signature-form request; on
// the wire it reads "318X".
constexpr uint16_t kSignatureValue = 0x3133;
constexpr uint16_t kSignatureIndex = 0x5838;

constexpr uint8_t kRequestTypeOut = 0x40;  // vendor, device, host to device
constexpr uint8_t kRequestTypeIn = 0xC0;   // vendor, device, device to host

}  // namespace

bool EncodeUsbSetup(const _tag_UsbCommand& cmd, UsbSetupPacket* out) {
  if (out == nullptr) return false;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
  if (cmd.form == kFormSignature) {
    value = kSignatureValue;
    index = kSignatureIndex;
    length = cmd.shortLength;
  } else if (cmd.form == kFormAddressed) {
    value = static_cast<uint16_t>(cmd.address & 0xFFFFu);
    index = static_cast<uint16_t>(cmd.address >> 16);
    length = cmd.length;
  } else {
    return false;
  }
  out->bytes[0] = cmd.direction == kDirectionOut ? kRequestTypeOut : kRequestTypeIn;
  out->bytes[1] = cmd.request;
  PutLE16(&out->bytes[2], value);
  PutLE16(&out->bytes[4], index);
  PutLE16(&out->bytes[6], length);
  return true;
}

bool EncodeScsiCdb(const _tag_UsbCommand& cmd, ScsiCommandBlock* out) {
  if (out == nullptr) return false;
  ScsiCommandBlock block{};
  if (cmd.form == kFormAddressed) {
    block.cdbLength = 10;
    block.cdb[0] = cmd.opcode;
    block.cdb[1] = cmd.subcode;
    PutBE32(&block.cdb[2], cmd.address);
    block.cdb[6] = 0;
    PutBE16(&block.cdb[7], cmd.length);
    block.cdb[9] = 0;
    block.dataLength = cmd.length;
  } else if (cmd.form == kFormSignature) {
    block.cdbLength = 12;
    block.cdb[0] = cmd.opcode;
    block.cdb[1] = '3';
    block.cdb[2] = '1';
    block.cdb[3] = '8';
    block.cdb[4] = 'X';
    // bytes 5-8 stay 0
    block.cdb[9] = cmd.subcode;
    block.cdb[10] = cmd.shortLength;
    block.cdb[11] = 0;
    block.dataLength = cmd.shortLength;
  } else {
    return false;
  }
  block.dataIn = cmd.direction == kDirectionIn;
  *out = block;
  return true;
}

bool IsBridgeChipId(const unsigned char* versionBlock) {
  return std::memcmp(versionBlock, "318a", 4) == 0 || std::memcmp(versionBlock, "318e", 4) == 0;
}

const char* VariantOfChipId(const unsigned char* versionBlock) {
  if (!IsBridgeChipId(versionBlock)) return nullptr;
  return versionBlock[3] == 'a' ? "QK9318A" : "QK9318E";
}

std::string ChipIdText(const unsigned char* versionBlock) {
  std::string id;
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = versionBlock[i];
    id += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return id;
}

uint16_t CompatibilityWordOf(const unsigned char* versionBlock) {
  return static_cast<uint16_t>(versionBlock[8] | (versionBlock[9] << 8));
}

bool CompatibilityAccepts(uint16_t deviceWord, uint16_t required) {
  return required == 0 || (deviceWord & 0xFFF0u) == (required & 0xFFF0u);
}
