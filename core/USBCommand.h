// The vendor command set on top of the platform transport. The transport
// (CUSBControl) is chosen at link time: every build variant provides its own
// "USBControl.h" on the include path, with what Transport.h lists.
#pragma once

#include "CommandSet.h"
#include "Transport.h"
#include "USBControl.h"
#include "Variant.h"

static_assert(transport_contract::Holds<CUSBControl>(), "the transport keeps the contract");

class IDFilter;

ZF_VARIANT_BEGIN

class CUSBCommand : public CUSBControl {
 public:
  CUSBCommand() = default;
  ~CUSBCommand() = default;
  CUSBCommand(const CUSBCommand&) = delete;
  CUSBCommand& operator=(const CUSBCommand&) = delete;

  // Device selection: a SelectStatus, kSelectOpened when a device is open;
  // kSelectNoDeviceList, or the transport's status when no device is left.
  int Open(IDFilter* filter);
  int Close();

  // Commands: 1 when the exchange succeeded, 0 when it failed or was refused.
  int USBCom_DisableVender();
  int USBCom_EnableVender();
  int USBCom_GetVersion(unsigned char* buf, unsigned char len);
  int USBCom_SetRomParameters(unsigned char* buf, unsigned short len);
  int USBCom_GetRomParameters(unsigned char* buf, unsigned short len);
  int USBCom_WriteRom(unsigned long address, unsigned char* buf, unsigned short len);
  int USBCom_ReadRom(unsigned long address, unsigned char* buf, unsigned short len);
  int USBCom_ChipEraseRom();
  int USBCom_BlockEraseRom(unsigned long address);
  int USBCom_GETROMID(unsigned long command, unsigned char count, unsigned char* buf,
                      unsigned char len);

 private:
  // One flash transfer (read or write) of `len` bytes at `address`.
  int RomTransfer(UsbCommandNumber number, unsigned long address, unsigned char* buf,
                  unsigned short len);
};

ZF_VARIANT_END
