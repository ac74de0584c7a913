// virtual-devices.ini: the description of the virtual devices, one section
// per USB device in bus order (section names are free), one Key=value line
// per setting. The keys, what their values may be, their defaults and their
// comments in a new file are the rows of DeviceKeys() below; a key left out
// keeps its default. Numbers are decimal or hexadecimal with "0x"; relative
// file names are relative to the folder of the ini file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VirtualBridge.h"

namespace vbridge {

// How the value of a key is read.
enum class KeyKind {
  Number,    // decimal, or hexadecimal with "0x", from `low` to `high`
  Text,      // at most `high` characters; surrounding double quotes are removed
  PartName,  // a part name of the flash-part table
  File,      // a file name, resolved against the ini file's folder; empty: none
};

// One key of a device section.
struct DeviceKey {
  const char* name;          // as written in the file; matched in any case
  KeyKind kind;
  int64_t low;               // Number: smallest value
  int64_t high;              // Number: largest value; Text: most characters
  const char* defaultValue;  // the value of a key left out, as a new file has it
  const char* comment;       // the comment above the key in a new file
  // Puts a checked value into the device: the number for KeyKind::Number,
  // the text (unquoted, a file name resolved) for the others.
  void (*store)(DeviceConfig* device, int64_t number, const std::string& text);
};

// The keys of a device section, in the order of a new file.
const std::vector<DeviceKey>& DeviceKeys();

// Checks `value` for `key` and stores it into `device`. False with the fault
// in *error ("\"12x\" is not a number", "... is out of range (0 to 1)", ...)
// when the value does not suit the key; the device is then unchanged.
bool ApplyDeviceKey(const DeviceKey& key, const std::string& value, const std::string& iniPath,
                    DeviceConfig* device, std::string* error);

class VirtualDevices {
 public:
  // Reads and checks the file. On any fault (file not readable, bad syntax,
  // key outside a section, unknown or repeated key, a value that does not
  // suit its key) returns false and sets *error to one message naming the
  // file, the line and the key.
  bool Load(const std::string& iniPath, std::string* error);

  const std::string& Path() const { return path_; }
  const std::vector<DeviceConfig>& Devices() const { return devices_; }

 private:
  std::string path_;
  std::vector<DeviceConfig> devices_;
};

// The device of a new virtual-devices.ini: every key at its default (one
// QK9318A bridge with a 1 MiB Winbond W25Q80BL), its contents in
// "bridge.bin".
DeviceConfig DefaultDeviceConfig();
constexpr const char kDefaultFlashImageName[] = "bridge.bin";

// Writes a virtual-devices.ini with the default device (overwrites): every
// key of DeviceKeys() with its comment.
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
