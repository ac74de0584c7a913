// Which connected device the run may take, beyond the ids of the system
// information file: one bus position, or one pair of USB ids (a bridge being
// recovered may carry other ids than the file expects). The transports ask
// DeviceChoiceAdmits for every device they enumerate, before opening it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DeviceChoice {
  bool byPosition = false;  // bus number and device address
  int bus = 0;
  int address = 0;
  bool byIds = false;       // vendor id, and product id unless anyProduct
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  bool anyProduct = false;
};

// Where a device sits and what it calls itself.
struct UsbDeviceInfo {
  int bus = 0;
  int address = 0;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
};

// "3f1c:0001"
std::string UsbIdText(const UsbDeviceInfo& usb);
// "bus 1 address 2"; on Windows, whose transport tells the disk number
// instead (bus 0), "disk 2"; empty when it tells neither.
std::string UsbPositionText(const UsbDeviceInfo& usb);

// The device selection of one engine: the choice its enumeration applies,
// and the devices it found held by another program. Every transport's
// CUSBControl is one, so an engine's choice reaches only its own
// enumeration.
class CDeviceSelection {
 public:
  // Before a device is opened; null: every device.
  void SetDeviceChoice(const DeviceChoice* choice) {
    choiceSet_ = choice != nullptr;
    choice_ = choice != nullptr ? *choice : DeviceChoice{};
  }
  bool DeviceChoiceAdmits(const UsbDeviceInfo& device) const;
  // The ids part alone: for a walk that learns a device's position only
  // once it has opened it (the disk number on Windows).
  bool DeviceChoiceAdmitsIds(uint16_t vendorId, uint16_t productId) const;

  // Devices the choice admits that could not be opened because another
  // program holds them (busy, or access refused while it is held). The
  // transports note them while enumerating; the device selection clears
  // the list when it starts and, when no device opened, tells "held
  // elsewhere" (message 206) from "none found" (203) by it.
  void ClearBusyDevices() { busy_.clear(); }
  void NoteBusyDevice(const UsbDeviceInfo& device) { busy_.push_back(device); }
  const std::vector<UsbDeviceInfo>& BusyDevices() const { return busy_; }

 private:
  DeviceChoice choice_;
  bool choiceSet_ = false;
  std::vector<UsbDeviceInfo> busy_;
};
