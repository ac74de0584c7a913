// The transport of the Windows build: the bridge is reached through the
// disk it presents. Device selection walks the MS-DOS device names and the
// present USB devices; every vendor command goes out as a SCSI command
// through the storage stack's pass-through control code.
//
// This header is included by the core and must stay free of <windows.h>
// (its macros would rename members of the dialog classes): the device
// handle is kept as the plain pointer that a HANDLE is.
#pragma once

#include <cstdint>

#include "CommandSet.h"
#include "DeviceChoice.h"
#include "DeviceLock.h"
#include "Transport.h"

class IDFilter;

class CUSBControl : public CDeviceSelection {
 public:
  // Bytes per flash read or write command, and the SCSI command set's
  // differences (fixed version and parameter lengths, no chip erase and no
  // parameter read).
  static constexpr unsigned short kRomTransferMax = 512;
  static constexpr bool kScsiCommandSet = true;

  CUSBControl();
  ~CUSBControl();
  CUSBControl(const CUSBControl&) = delete;
  CUSBControl& operator=(const CUSBControl&) = delete;

  // Fills the device name list with all MS-DOS device names; the list start
  // is the token that restarts the enumeration.
  void* GetDeviceList();
  // kSelectOpened; kSelectHandleOpen when a handle is already open;
  // kSelectAtEnd when the cursor stands at the end of the name list;
  // kSelectNoneLeft when no further name matched, or the set of USB devices
  // was not available; kSelectAlreadyOpen instead of kSelectNoneLeft when a
  // device passed over was held by another run (DeviceLock.h: the lock of the
  // USB device is taken before its disk is opened, and held while it is
  // open).
  int OpenNextDevice(void* list, void** cursor);
  // The ID filter's answer for the USB device opened last.
  int IDCheck(IDFilter* filter);
  // The USB ids of the open device; its bus and address are not known
  // through the storage stack and stay 0. False when none is open.
  bool GetOpenedDeviceInfo(UsbDeviceInfo* info);
  int CloseDevice();
  // One command through SCSI pass-through; 1 when the device accepted it.
  int USBCom_Send(_tag_UsbCommand* cmd);

 private:
  void* device_;  // HANDLE; INVALID_HANDLE_VALUE when no device is open
  char nameList_[0xFC00];
  uint32_t vendorId_ = 0;   // ids of the USB device examined last
  uint32_t productId_ = 0;
  int diskNumber_ = -1;     // of the disk opened (its position on Windows), -1 unknown
  bool sawInUse_ = false;  // this enumeration passed over a device in use
  CDeviceLock lock_;
};
