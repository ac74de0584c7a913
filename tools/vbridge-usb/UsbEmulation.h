// The devices of a virtual bus presented as emulated USB devices through
// umockdev, so that the real libusb code of the updater enumerates, opens and
// talks to them as it would to plugged-in bridges.
//
// Every device of the bus becomes one USB device on bus 1, at address 2, 3,
// ... in bus order, with a device and configuration descriptor of a USB
// storage bridge (the bus's vendor and product id). Its device node is served
// by an ioctl handler that answers the usbdevfs requests libusb issues:
// control URBs go to the virtual bridge in the USB encoding
// (VirtualBridge::HandleUsb), which also keeps the trace and applies the
// faults of the device's description:
// - Busy: the device node cannot be opened (libusb reports an I/O error).
// - FailAtCommand: the failing command ends with a stall (or, when chosen for
//   the device, with an I/O error).
// - UnplugAtCommand: the command ends as a request to a device that has gone,
//   the device is announced as removed and leaves the bus; later requests
//   fail as they do on an unplugged device.
//
//
// A device whose description has Scsi=1 (the default) is also presented as
// the SCSI disk that usb-storage makes of a bridge: under its USB device the
// sysfs chain usb_interface (mass storage, SCSI, bulk-only) -> scsi_host ->
// scsi_target -> scsi_device with a scsi_generic node /dev/sgN and a block
// disk /dev/sdX. Its SCSI generic node (or, without SCSI generic nodes, the
// disk node) answers SG_IO: the command block goes to the virtual bridge in
// the SCSI encoding (VirtualBridge::HandleScsi), with the same faults:
// - Busy: the node cannot be opened.
// - FailAtCommand: CHECK CONDITION with sense data ILLEGAL REQUEST (or, when
//   chosen for the device, an error of the host adapter).
// - UnplugAtCommand: the command ends with the device gone (DID_NO_CONNECT),
//   the device leaves the bus, and later SG_IO calls fail with ENODEV.
// One bridge model serves both sides, so its trace shows either encoding.
//
// The process that uses the devices must run with umockdev's preload library
// (kPreloadLibrary) in LD_PRELOAD from its start. The emulation must be
// started before that process (or, in the same process, before libusb is
// initialised): it creates the test bed and sets UMOCKDEV_DIR. Requests are
// served on umockdev's own thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "VirtualBus.h"

namespace vbridge {

class UsbEmulation {
 public:
  // How a command that the virtual bridge fails ends on the wire: a stall or
  // CHECK CONDITION with sense data, or an I/O error of the USB transfer or
  // the SCSI host adapter.
  enum class Failure { Stall, IoError };

  static constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";

  UsbEmulation();
  ~UsbEmulation();
  UsbEmulation(const UsbEmulation&) = delete;
  UsbEmulation& operator=(const UsbEmulation&) = delete;

  // Creates the test bed and one emulated device per device of `bus`, which
  // must outlive the emulation. False (and a message) on failure. Points
  // ZEDRIKFU_LOCK_DIR of this process (and so of the programs it starts) at
  // a folder of the test bed.
  bool Start(VirtualBus* bus, std::string* error);

  // The USB address of device `index` of the bus (bus number 1).
  static int Address(size_t index) { return static_cast<int>(index) + 2; }
  // The SCSI generic node and the disk node of device `index`: /dev/sg1 and
  // /dev/sdb for the first (as on a machine whose system disk is sda).
  static std::string GenericNode(size_t index);
  static std::string DiskNode(size_t index);

  // Before Start: each request is answered after `ms` milliseconds (a slow
  // bridge), and the devices are added to the test bed last to first (the
  // system may report devices in any order; addresses stay in bus order).
  void SetCommandDelay(unsigned ms) { delayMs_ = ms; }
  void SetAddInReverse(bool reverse) { addInReverse_ = reverse; }
  // Before Start: false presents the SCSI devices without SCSI generic nodes
  // (as without the sg driver); their disk nodes answer SG_IO instead.
  void SetGenericNodes(bool present) { genericNodes_ = present; }

  void SetFailure(size_t index, Failure failure);
  // The `n`th control request to device `index` from now on is accepted and
  // never answered (a bridge that stopped responding).
  void SetUnansweredRequest(size_t index, uint32_t n);
  // The `n`th control request to device `index` from now on moves only
  // `bytes` bytes of its data phase (fewer than asked): the bridge handles
  // the whole request, but only that many bytes come back or count as sent.
  void SetShortTransfer(size_t index, uint32_t n, uint16_t bytes);
  // The `n`th SCSI command to device `index` from now on is carried out but
  // reports one byte of its data phase as not moved (a residual count).
  void SetScsiResidual(size_t index, uint32_t n);
  // Unplugs device `index` now.
  void Unplug(size_t index);

  // Requests that a program which only sends control requests or SG_IO to
  // the device never makes: other ioctls (claiming an interface, detaching a
  // kernel driver, ...) and URBs other than control requests on the default
  // pipe.
  int UnexpectedRequests() const { return unexpected_.load(); }

  // The test bed's root folder (empty before Start).
  std::string RootDir() const;

  // True when this process runs with the preload library.
  static bool InMockEnvironment();

  struct Device;
  struct Testbed;

 private:
  bool AddDevice(VirtualBus* bus, size_t index, std::string* error);
  bool AddScsiSide(size_t index, bool openable, std::string* error);

  std::unique_ptr<Testbed> testbed_;
  unsigned delayMs_ = 0;
  bool addInReverse_ = false;
  bool genericNodes_ = true;
  std::atomic<int> unexpected_{0};
  std::vector<std::unique_ptr<Device>> devices_;
};

}  // namespace vbridge
