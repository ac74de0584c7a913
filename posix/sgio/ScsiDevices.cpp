#include "ScsiDevices.h"

#include <libudev.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>

namespace zfsg {

namespace {

struct UdevUnref {
  void operator()(udev* context) const { udev_unref(context); }
};
struct EnumerateUnref {
  void operator()(udev_enumerate* enumerate) const { udev_enumerate_unref(enumerate); }
};
struct DeviceUnref {
  void operator()(udev_device* device) const { udev_device_unref(device); }
};

// One logical unit: its address and its nodes.
struct LogicalUnit {
  std::array<uint64_t, 4> address{};
  std::string genericNode;
  std::string diskNode;
  std::string usbPath;
};

std::string Text(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

bool ParseHexAttribute(const char* text, uint16_t* value) {
  if (text == nullptr || value == nullptr) return false;
  uint32_t v = 0;
  size_t digits = 0;
  for (const char* p = text; *p != '\0' && *p != '\n'; ++p, ++digits) {
    const char c = *p;
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    if (digits >= 4) return false;
    v = v * 16 + d;
  }
  if (digits == 0) return false;
  *value = static_cast<uint16_t>(v);
  return true;
}

int ParseDecimalAttribute(const char* text) {
  if (text == nullptr) return -1;
  long v = 0;
  size_t digits = 0;
  for (const char* p = text; *p != '\0' && *p != '\n'; ++p, ++digits) {
    if (*p < '0' || *p > '9' || digits >= 9) return -1;
    v = v * 10 + (*p - '0');
  }
  return digits == 0 ? -1 : static_cast<int>(v);
}

bool ParseScsiAddress(const char* name, uint64_t out[4]) {
  if (name == nullptr) return false;
  const char* p = name;
  for (int i = 0; i < 4; ++i) {
    if (*p < '0' || *p > '9') return false;
    uint64_t v = 0;
    size_t digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
      if (++digits > 18) return false;
      v = v * 10 + static_cast<uint64_t>(*p - '0');
    }
    out[i] = v;
    if (i < 3 && *p++ != ':') return false;
  }
  return *p == '\0';
}

std::vector<ScsiUsbDevice> FindScsiUsbDevices() {
  std::vector<ScsiUsbDevice> found;
  std::unique_ptr<udev, UdevUnref> context(udev_new());
  if (!context) return found;
  std::unique_ptr<udev_enumerate, EnumerateUnref> enumerate(udev_enumerate_new(context.get()));
  if (!enumerate) return found;
  udev_enumerate_add_match_subsystem(enumerate.get(), "scsi_generic");
  udev_enumerate_add_match_subsystem(enumerate.get(), "block");
  if (udev_enumerate_scan_devices(enumerate.get()) < 0) return found;

  std::map<std::string, LogicalUnit> units;  // by the scsi_device's sysfs path
  std::map<std::string, ScsiUsbDevice> usbDevices;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    std::unique_ptr<udev_device, DeviceUnref> device(
        udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (!device) continue;
    const std::string subsystem = Text(udev_device_get_subsystem(device.get()));
    const bool generic = subsystem == "scsi_generic";
    // Of the block devices only whole disks: partitions take no commands.
    if (!generic && Text(udev_device_get_devtype(device.get())) != "disk") continue;
    const std::string node = Text(udev_device_get_devnode(device.get()));
    if (node.empty()) continue;
    // Parents belong to the device and are not released separately.
    udev_device* unit =
        udev_device_get_parent_with_subsystem_devtype(device.get(), "scsi", "scsi_device");
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(device.get(), "usb",
                                                                     "usb_device");
    if (unit == nullptr || usb == nullptr) continue;
    uint64_t address[4];
    if (!ParseScsiAddress(udev_device_get_sysname(unit), address)) continue;

    LogicalUnit& lun = units[Text(udev_device_get_syspath(unit))];
    std::copy(address, address + 4, lun.address.begin());
    lun.usbPath = Text(udev_device_get_syspath(usb));
    (generic ? lun.genericNode : lun.diskNode) = node;

    ScsiUsbDevice& owner = usbDevices[lun.usbPath];
    if (owner.sysPath.empty()) {
      owner.sysPath = lun.usbPath;
      owner.busNumber = ParseDecimalAttribute(udev_device_get_sysattr_value(usb, "busnum"));
      owner.address = ParseDecimalAttribute(udev_device_get_sysattr_value(usb, "devnum"));
      owner.idsKnown =
          ParseHexAttribute(udev_device_get_sysattr_value(usb, "idVendor"), &owner.vendorId) &&
          ParseHexAttribute(udev_device_get_sysattr_value(usb, "idProduct"), &owner.productId);
      if (!ParseHexAttribute(udev_device_get_sysattr_value(usb, "bcdDevice"), &owner.bcdDevice)) {
        owner.bcdDevice = 0;
      }
    }
  }

  std::vector<const LogicalUnit*> ordered;
  for (const auto& unit : units) ordered.push_back(&unit.second);
  std::sort(ordered.begin(), ordered.end(),
            [](const LogicalUnit* a, const LogicalUnit* b) { return a->address < b->address; });
  for (const LogicalUnit* unit : ordered) {
    usbDevices[unit->usbPath].nodes.push_back(unit->genericNode.empty() ? unit->diskNode
                                                                        : unit->genericNode);
  }
  for (auto& device : usbDevices) found.push_back(std::move(device.second));
  // The order of the bus, as the libusb transport takes it; the map already
  // put the devices in sysfs path order, which breaks ties.
  std::stable_sort(found.begin(), found.end(), [](const ScsiUsbDevice& a, const ScsiUsbDevice& b) {
    const bool aKnown = a.busNumber >= 0 && a.address >= 0;
    const bool bKnown = b.busNumber >= 0 && b.address >= 0;
    if (aKnown != bKnown) return aKnown;
    if (a.busNumber != b.busNumber) return a.busNumber < b.busNumber;
    return a.address < b.address;
  });
  return found;
}

}  // namespace zfsg
