// The bridge's vendor commands and the choice of the device to work with.
// Each command fills one record from its row of g_USB_CommandList and hands
// it to the transport base in one exchange; nothing is retried here.
#include "USBCommand.h"

#include <cstring>

#include "DeviceChoice.h"
#include "IDFilter.h"

ZF_VARIANT_BEGIN

namespace {

// A device that passes the filter was passed over because another program
// holds it: the selection ends as for a device another run holds.
bool HeldElsewhere(const CDeviceSelection& selection, IDFilter* filter) {
  for (const UsbDeviceInfo& device : selection.BusyDevices()) {
    if (filter == nullptr || filter->CheckID(device.vendorId, device.productId)) return true;
  }
  return false;
}

}  // namespace

int CUSBCommand::Open(IDFilter* filter) {
  void* list = GetDeviceList();
  if (list == nullptr) return kSelectNoDeviceList;

  // First pass: find the position of the first device that passes the
  // filter and answers as a bridge. Every device opened is closed again.
  void* cursor = list;
  int position = 0;
  bool found = false;
  ClearBusyDevices();
  for (;;) {
    if (!found) ++position;
    const int r = OpenNextDevice(list, &cursor);
    if (r != kSelectOpened) {
      if (found) break;
      const bool ended = r == kSelectNoneLeft || r == kSelectAtEnd;
      return ended && HeldElsewhere(*this, filter) ? kSelectAlreadyOpen : r;
    }
    if (filter != nullptr && !IDCheck(filter)) {
      CloseDevice();
      continue;
    }
    unsigned char version[kVersionBlockSize] = {};
    const int ok = USBCom_GetVersion(version, kVersionBlockSize);
    CloseDevice();
    if (ok && IsBridgeChipId(version) && !found) found = true;
  }

  // Second pass: restart the enumeration and open the device at that
  // position again. Nothing is checked here; the caller checks the opened
  // device through its version block.
  cursor = list;
  for (int i = 1; i < position; ++i) {
    if (OpenNextDevice(list, &cursor) != kSelectOpened) break;
    CloseDevice();
  }
  return OpenNextDevice(list, &cursor);
}

int CUSBCommand::Close() {
  CloseDevice();
  return 0;
}

int CUSBCommand::USBCom_DisableVender() {
  _tag_UsbCommand cmd = MakeCommandRecord(CMD_DISABLEVENDER);
  return USBCom_Send(&cmd) ? 1 : 0;
}

int CUSBCommand::USBCom_EnableVender() {
  _tag_UsbCommand cmd = MakeCommandRecord(CMD_ENABLEVENDER);
  return USBCom_Send(&cmd) ? 1 : 0;
}

int CUSBCommand::USBCom_GetVersion(unsigned char* buf, unsigned char len) {
  if (buf == nullptr) return 0;
  // The SCSI command set always asks for the 14-byte block; the USB one
  // asks for the caller's length. Either way the buffer must hold the
  // whole block.
  if (len < kVersionBlockSize) return 0;
  _tag_UsbCommand cmd = MakeCommandRecord(CMD_GETVERSION);
  cmd.shortLength = kScsiCommandSet ? static_cast<uint8_t>(kVersionBlockSize) : len;
  cmd.data = buf;
  return USBCom_Send(&cmd) ? 1 : 0;
}

int CUSBCommand::USBCom_SetRomParameters(unsigned char* buf, unsigned short len) {
  if (buf == nullptr) return 0;
  // The SCSI command set always sends the 19-byte block: a shorter buffer
  // would be read past its end.
  if (kScsiCommandSet && len < kRomParameterSize) return 0;
  _tag_UsbCommand cmd = MakeCommandRecord(CMD_SETROMPARAMETERS);
  cmd.length = kScsiCommandSet ? static_cast<uint16_t>(kRomParameterSize) : len;
  cmd.data = buf;
  return USBCom_Send(&cmd) ? 1 : 0;
}

int CUSBCommand::USBCom_GetRomParameters(unsigned char* buf, unsigned short len) {
  // Not part of the SCSI command set.
  if (kScsiCommandSet) return 0;
  if (buf == nullptr) return 0;
  _tag_UsbCommand cmd = MakeCommandRecord(CMD_GETROMPARAMETERS);
  cmd.length = len;
  cmd.data = buf;
  return USBCom_Send(&cmd) ? 1 : 0;
}

int CUSBCommand::RomTransfer(UsbCommandNumber number, unsigned long address, unsigned char* buf,
                             unsigned short len) {
  if (buf == nullptr || len > kRomTransferMax) return 0;
  _tag_UsbCommand cmd = MakeCommandRecord(number);
  cmd.address = static_cast<uint32_t>(address);
  cmd.length = len;
  cmd.data = buf;
  return USBCom_Send(&cmd) ? 1 : 0;
}

int CUSBCommand::USBCom_WriteRom(unsigned long address, unsigned char* buf, unsigned short len) {
  return RomTransfer(CMD_WRITEROM, address, buf, len);
}

int CUSBCommand::USBCom_ReadRom(unsigned long address, unsigned char* buf, unsigned short len) {
  return RomTransfer(CMD_READROM, address, buf, len);
}

int CUSBCommand::USBCom_ChipEraseRom() {
  // Not part of the SCSI command set.
  if (kScsiCommandSet) return 0;
  _tag_UsbCommand cmd = MakeCommandRecord(CMD_CHIPERASEROM);
  return USBCom_Send(&cmd) ? 1 : 0;
}

int CUSBCommand::USBCom_BlockEraseRom(unsigned long address) {
  _tag_UsbCommand cmd = MakeCommandRecord(CMD_BLOCKERASEROM);
  cmd.address = static_cast<uint32_t>(address);
  return USBCom_Send(&cmd) ? 1 : 0;
}

int CUSBCommand::USBCom_GETROMID(unsigned long command, unsigned char count, unsigned char* buf,
                                 unsigned char len) {
  if (buf == nullptr) return 0;
  _tag_UsbCommand cmd = MakeCommandRecord(CMD_GETROMID);
  cmd.address = static_cast<uint32_t>(command);
  cmd.request = static_cast<uint8_t>(cmd.request | count);
  cmd.subcode = count;
  cmd.length = len;
  cmd.data = buf;
  return USBCom_Send(&cmd) ? 1 : 0;
}

ZF_VARIANT_END
