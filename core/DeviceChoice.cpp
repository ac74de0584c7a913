#include "DeviceChoice.h"

namespace {
DeviceChoice gChoice;
bool gChoiceSet = false;
std::vector<UsbDeviceInfo> gBusy;
}  // namespace

void ClearBusyDevices() { gBusy.clear(); }

void NoteBusyDevice(const UsbDeviceInfo& device) { gBusy.push_back(device); }

const std::vector<UsbDeviceInfo>& BusyDevices() { return gBusy; }

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
