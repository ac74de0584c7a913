// Transport of the POSIX build over the kernel's SCSI generic interface: the
// bridge as the SCSI disk that usb-storage or uas presents, found with
// libudev, and every vendor command sent in the SCSI encoding as one SG_IO
// through libsgutils2's pass-through API, with 512-byte flash transfers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CommandSet.h"
#include "DeviceChoice.h"
#include "DeviceLock.h"
#include "ScsiDevices.h"
#include "Transport.h"
#include "Variant.h"

class IDFilter;
struct sg_pt_base;

ZF_VARIANT_BEGIN

class CUSBControl : public CDeviceSelection {
 public:
  static constexpr unsigned short kRomTransferMax = 512;
  static constexpr bool kScsiCommandSet = true;
  // Time-out of one command. A bridge completes a block erase only when the
  // flash part has finished it (up to about 2 s for a 64 KiB block on the
  // supported parts); as over USB control requests, 10 s leaves room for
  // slow parts while a bridge that stopped answering still ends the run.
  static constexpr int kCommandTimeoutSeconds = 10;
  // A command moves fewer data bytes than this.
  static constexpr unsigned kDataLimit = 16384;
  static constexpr unsigned kSenseSize = 32;

  CUSBControl();
  ~CUSBControl();
  CUSBControl(const CUSBControl&) = delete;
  CUSBControl& operator=(const CUSBControl&) = delete;

  // The list token, or null when no pass-through object can be made.
  void* GetDeviceList();
  // 0 opened, 2 a device is already open, 5 none left. USB devices are taken
  // in the order of their bus number and address; of each, the first of its
  // nodes that opens. Devices none of whose nodes opens are passed over, and
  // so are devices that another run holds: the lock of the USB device
  // (DeviceLock.h) is taken first, and a SCSI generic node is opened for
  // exclusive use. When the enumeration ends after such a device, the answer
  // is 2 (the device is in use) instead of 5.
  int OpenNextDevice(void* list, void** cursor);
  // Bus position and ids of the open device; false when none is open.
  bool GetOpenedDeviceInfo(UsbDeviceInfo* info);
  // The filter's answer for the open device's USB vendor and product id.
  int IDCheck(IDFilter* filter);
  int CloseDevice();
  // One command; 1 only when the device answered GOOD and moved every byte.
  int USBCom_Send(_tag_UsbCommand* cmd);

  // The node of the open device ("/dev/sg1"); empty when none is open.
  const std::string& DeviceName() const { return node_; }

 private:
  class Descriptor {
   public:
    Descriptor() = default;
    ~Descriptor() { Reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void Reset(int fd = -1);
    int Get() const { return fd_; }

   private:
    int fd_ = -1;
  };
  // Locks the USB device for this run and opens one of its nodes: 1 opened,
  // 0 none of its nodes opens, kLockedByAnotherRun another run holds the
  // device, kNodeHeld another program holds its node (EBUSY, EACCES).
  enum : int { kLockedByAnotherRun = -1, kNodeHeld = -2 };
  int LockAndOpen(const zfsg::ScsiUsbDevice& candidate);

  struct PassThroughDeleter {
    void operator()(sg_pt_base* object) const;
  };

  std::unique_ptr<sg_pt_base, PassThroughDeleter> passThrough_;
  std::vector<zfsg::ScsiUsbDevice> devices_;  // snapshot of the bus in enumeration order
  size_t next_ = 0;                           // enumeration state: next index of devices_
  bool sawInUse_ = false;                      // this enumeration passed over a device in use
  CDeviceLock lock_;                           // held while device_ is open
  Descriptor device_;                          // the open node
  std::string node_;
  bool idsKnown_ = false;
  uint16_t vendorId_ = 0;
  uint16_t productId_ = 0;
  UsbDeviceInfo opened_;  // bus position and ids of the open device
};

ZF_VARIANT_END
