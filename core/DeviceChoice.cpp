#include "DeviceChoice.h"

namespace {
DeviceChoice gChoice;
bool gChoiceSet = false;
}  // namespace

void SetDeviceChoice(const DeviceChoice* choice) {
  gChoiceSet = choice != nullptr;
  gChoice = choice != nullptr ? *choice : DeviceChoice{};
}

bool DeviceChoiceAdmits(const UsbDeviceInfo& device) {
  if (!gChoiceSet) return true;
  if (gChoice.byPosition && (device.bus != gChoice.bus || device.address != gChoice.address)) {
    return false;
  }
  if (gChoice.byIds) {
    if (device.vendorId != gChoice.vendorId) return false;
    if (!gChoice.anyProduct && device.productId != gChoice.productId) return false;
  }
  return true;
}
