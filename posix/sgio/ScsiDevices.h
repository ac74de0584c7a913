// Discovery of the SCSI devices that USB storage bridges present, through
// libudev: every SCSI generic node (or, where the sg driver is not loaded,
// the disk's block node) together with the USB device it belongs to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zfsg {

// One USB device that presents one or more SCSI devices (logical units).
struct ScsiUsbDevice {
  std::string sysPath;      // the usb_device in sysfs
  int busNumber = -1;       // busnum and devnum attributes; -1 when unreadable
  int address = -1;
  bool idsKnown = false;    // idVendor and idProduct were read
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t bcdDevice = 0;
  // One node per logical unit in H:C:T:L order: its SCSI generic node, or
  // its disk's block node when it has no SCSI generic node.
  std::vector<std::string> nodes;
};

// The USB devices with SCSI nodes in bus number and address order (devices
// whose numbers cannot be read come last, in sysfs path order). Empty when
// udev cannot be used.
std::vector<ScsiUsbDevice> FindScsiUsbDevices();

// A sysfs attribute in hexadecimal ("3f1c") as a 16-bit value.
bool ParseHexAttribute(const char* text, uint16_t* value);
// A sysfs attribute in decimal ("5") as a non-negative int; -1 otherwise.
int ParseDecimalAttribute(const char* text);
// The four numbers of a SCSI device name "H:C:T:L"; false when it is not one.
bool ParseScsiAddress(const char* name, uint64_t out[4]);

}  // namespace zfsg
