#include "DeviceChoice.h"

bool CDeviceSelection::DeviceChoiceAdmits(const UsbDeviceInfo& device) const {
  if (!choiceSet_) return true;
  if (choice_.byPosition && (device.bus != choice_.bus || device.address != choice_.address)) {
    return false;
  }
  if (choice_.byIds) {
    if (device.vendorId != choice_.vendorId) return false;
    if (!choice_.anyProduct && device.productId != choice_.productId) return false;
  }
  return true;
}
