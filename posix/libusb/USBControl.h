// Transport of the POSIX build: the bridge as a USB device reached through
// libusb-1.0. Every command is one vendor control request on the default
// control pipe, addressed to the device as a whole: no interface is claimed
// and no kernel driver is detached, so the disk that the bridge presents
// stays mounted while the updater talks to it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CommandSet.h"
#include "DeviceChoice.h"
#include "DeviceLock.h"
#include "Variant.h"
#include "Transport.h"

class IDFilter;
struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

ZF_VARIANT_BEGIN

class CUSBControl : public CDeviceSelection {
 public:
  static constexpr unsigned short kRomTransferMax = 48;
  static constexpr bool kScsiCommandSet = false;
  // Time-out of one control request. A bridge answers a block erase only when
  // the flash part has finished it (up to about 2 s for a 64 KiB block on the
  // supported parts); 10 s leaves room for slow parts and busy hubs while a
  // bridge that stopped answering still ends the run.
  static constexpr unsigned kControlTimeoutMs = 10000;

  CUSBControl();
  ~CUSBControl();
  CUSBControl(const CUSBControl&) = delete;
  CUSBControl& operator=(const CUSBControl&) = delete;

  // The list token (the library context), or null when libusb cannot be set
  // up (no USB access layer on this machine).
  void* GetDeviceList();
  // kSelectOpened, kSelectAlreadyOpen or kSelectNoneLeft. Devices are taken in
  // the order of their bus number and then their address on the bus; devices
  // that cannot be opened are passed over, and so are devices that another
  // run holds (DeviceLock.h): when the enumeration ends after one of those,
  // the answer is kSelectAlreadyOpen (the device is in use) instead of
  // kSelectNoneLeft.
  int OpenNextDevice(void* list, void** cursor);
  // The filter's answer for the open device's vendor and product id.
  int IDCheck(IDFilter* filter);
  int CloseDevice();
  // Bus position and ids of the open device; false when none is open.
  bool GetOpenedDeviceInfo(UsbDeviceInfo* info);
  // One exchange with the open device; 1 on success.
  int USBCom_Send(_tag_UsbCommand* cmd);

  // The open device as "bus:address" ("001:005"); empty when none is open.
  std::string DeviceName() const;

 private:
  struct ContextDeleter {
    void operator()(libusb_context* context) const;
  };
  struct DeviceListDeleter {
    void operator()(libusb_device** list) const;
  };
  struct HandleDeleter {
    void operator()(libusb_device_handle* handle) const;
  };

  // Takes a fresh snapshot of the bus in enumeration order.
  void Enumerate();
  static bool Describe(libusb_device* device, UsbDeviceInfo* info);
  // Locks the device for this run; false when another run holds it. A
  // device that cannot be locked here (no lock folder) is not held back.
  bool LockDevice(libusb_device* device);

  std::unique_ptr<libusb_context, ContextDeleter> context_;
  std::unique_ptr<libusb_device*, DeviceListDeleter> deviceList_;
  std::vector<libusb_device*> order_;  // devices of deviceList_ in enumeration order
  size_t next_ = 0;                    // enumeration state: next index of order_ to try
  bool sawInUse_ = false;  // this enumeration passed over a device in use
  // Declared before the device: the lock goes after the device is closed.
  CDeviceLock lock_;
  std::unique_ptr<libusb_device_handle, HandleDeleter> device_;  // the open device
};

ZF_VARIANT_END
