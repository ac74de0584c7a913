#include "DeviceChoice.h"

#include <cstdio>

std::string UsbPositionText(const UsbDeviceInfo& usb) {
  if (usb.bus == 0) return usb.address >= 0 ? "disk " + std::to_string(usb.address) : std::string();
  return "bus " + std::to_string(usb.bus) + " address " + std::to_string(usb.address);
}

std::string UsbIdText(const UsbDeviceInfo& usb) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", usb.vendorId, usb.productId);
  return text;
}

bool CDeviceSelection::DeviceChoiceAdmits(const UsbDeviceInfo& device) const {
  if (!choiceSet_) return true;
  if (choice_.byPosition && (device.bus != choice_.bus || device.address != choice_.address)) {
    return false;
  }
  return DeviceChoiceAdmitsIds(device.vendorId, device.productId);
}

bool CDeviceSelection::DeviceChoiceAdmitsIds(uint16_t vendorId, uint16_t productId) const {
  if (!choiceSet_ || !choice_.byIds) return true;
  if (vendorId != choice_.vendorId) return false;
  return choice_.anyProduct || productId == choice_.productId;
}
