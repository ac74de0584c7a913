// The transport primitives of the sim builds over the active virtual bus.
// CUSBControl of sim/usb and sim/scsi derives from this class and picks the
// wire encoding; the record is encoded with the shared encoders of
// CommandSet.h and the virtual bridge decodes the bytes itself.
#pragma once

#include <cstddef>

#include "CommandSet.h"
#include "Transport.h"
#include "DeviceChoice.h"
#include "DeviceLock.h"
#include "VirtualBus.h"

class IDFilter;

class CVirtualTransport : public CDeviceSelection {
 public:
  explicit CVirtualTransport(vbridge::Encoding encoding) : encoding_(encoding) {}
  ~CVirtualTransport() = default;
  CVirtualTransport(const CVirtualTransport&) = delete;
  CVirtualTransport& operator=(const CVirtualTransport&) = delete;

  // The list token (the active bus), or null when there is no active bus.
  void* GetDeviceList();
  // USB encoding: kSelectOpened, kSelectAlreadyOpen or kSelectNoneLeft.
  // SCSI encoding: kSelectOpened, kSelectHandleOpen, kSelectAtEnd (the cursor
  // stands at the end of the list) or kSelectNoneLeft (none of the remaining
  // devices could be opened). Devices that are busy or unplugged are passed
  // over, and so are devices whose flash image file another run holds (the
  // image file is locked while a device is open, DeviceLock.h): when the
  // enumeration ends after one of those, the answer is kSelectAlreadyOpen
  // (the device is in use). A device whose image file this run locks has
  // its flash read back from the file first.
  int OpenNextDevice(void* list, void** cursor);
  // The filter's answer for the open device's vendor and product id.
  int IDCheck(IDFilter* filter);
  int CloseDevice();
  // Bus position and ids of the open device; false when none is open. The
  // virtual bus is bus 1, its devices at addresses 2, 3, ... in bus order
  // (as vbridge-usb presents them).
  bool GetOpenedDeviceInfo(UsbDeviceInfo* info);
  static constexpr int kVirtualBusNumber = 1;
  static constexpr int kFirstVirtualAddress = 2;
  // One exchange with the open device; 1 on success.
  int USBCom_Send(_tag_UsbCommand* cmd);

  // The open device, or null (also when the active bus changed since).
  vbridge::VirtualBridge* OpenedDevice() const;

 private:
  // Locks the device's image file (nothing to lock without one): false when
  // another run holds it.
  bool LockDevice(vbridge::VirtualBridge* device);
  static UsbDeviceInfo Position(size_t index, const vbridge::VirtualBridge& device);
  int SendUsb(vbridge::VirtualBridge* device, const _tag_UsbCommand& cmd);
  int SendScsi(vbridge::VirtualBridge* device, const _tag_UsbCommand& cmd);

  vbridge::Encoding encoding_;
  vbridge::VirtualBus* bus_ = nullptr;  // bus the open device belongs to
  size_t openIndex_ = 0;
  bool open_ = false;
  size_t next_ = 0;  // enumeration state: index of the next device to try
  bool sawInUse_ = false;  // this enumeration passed over a device in use
  CDeviceLock lock_;       // held while a device is open
};
