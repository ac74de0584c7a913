// virtual-devices.ini: the description of the virtual devices, one section
// per USB device in bus order (section names are free):
//
//   [bridge]
//   VendorID=0x3F1C          USB ids of the device
//   ProductID=0x0001
//   ChipID=318a              version block bytes 0-3 (at most 4 characters)
//   Compat=0x0154            compatibility word, version block bytes 8-9
//   FlashPart=Winbond W25Q80BL   a part name of the flash-part table
//   FlashImage=bridge.bin    flash contents (created 0xFF-filled if missing)
//   Busy=0                   1: the device cannot be opened
//   FailAtCommand=0          N > 0: the Nth command received fails
//   UnplugAtCommand=0        N > 0: from the Nth command on, the device is gone
//   FlipReadBitAt=-1         A >= 0: reads return bit 0 of byte A inverted
//   Trace=                   file that gets one line per command received
//   Latency=0                microseconds each command takes (0 to 1000000),
//                            to watch a run at the pace of real hardware
//   Scsi=1                   1: vbridge-usb also presents the device as the SCSI
//                            disk of a USB storage bridge (/dev/sgN, /dev/sdX);
//                            0: as a USB device only
//
// Numbers are decimal or hexadecimal with "0x". Relative file names are
// relative to the folder of the ini file. A key left out keeps the default of
// DeviceConfig; without FlashImage the flash lives in memory only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VirtualBridge.h"

namespace vbridge {

class VirtualDevices {
 public:
  // Reads and checks the file. On any fault (file not readable, bad syntax,
  // key outside a section, unknown or repeated key, bad number, ChipID longer
  // than 4 characters, unknown FlashPart) returns false and sets *error to
  // one message naming the file, the line and the key.
  bool Load(const std::string& iniPath, std::string* error);

  const std::string& Path() const { return path_; }
  const std::vector<DeviceConfig>& Devices() const { return devices_; }

 private:
  std::string path_;
  std::vector<DeviceConfig> devices_;
};

// The device of a new virtual-devices.ini: one QK9318A bridge with a 1 MiB
// Winbond W25Q80BL whose contents are in "bridge.bin".
DeviceConfig DefaultDeviceConfig();
constexpr const char kDefaultFlashImageName[] = "bridge.bin";

// Writes a virtual-devices.ini with the default device (overwrites).
bool WriteDefaultVirtualDevices(const std::string& iniPath, std::string* error);

// Writes a flash image file for the named part: `content` from address 0,
// the rest of the part's size 0xFF. Fails when the part is unknown or the
// content is larger than the part.
bool WriteFlashImageFile(const std::string& imagePath, const std::string& partName,
                         const std::vector<uint8_t>& content, std::string* error);

// A file name from the ini resolved against the ini's folder (absolute
// names are kept).
std::string ResolveRelativeTo(const std::string& iniPath, const std::string& name);

}  // namespace vbridge
