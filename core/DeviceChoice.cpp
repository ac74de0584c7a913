#include "DeviceChoice.h"

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
