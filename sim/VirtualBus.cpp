// The virtual bus and the active-bus pointer of the virtual transports.
#include "VirtualBus.h"

#include <atomic>

#include "VirtualDevices.h"

namespace vbridge {

namespace {
std::atomic<VirtualBus*> gActiveBus{nullptr};
}  // namespace

void SetActiveBus(VirtualBus* bus) { gActiveBus.store(bus); }

VirtualBus* ActiveBus() { return gActiveBus.load(); }

VirtualBridge* VirtualBus::AddDevice(const DeviceConfig& config, std::string* error) {
  auto device = std::make_unique<VirtualBridge>(config);
  if (!device->Init(error)) return nullptr;
  devices_.push_back(std::move(device));
  return devices_.back().get();
}

VirtualBridge* VirtualBus::AddDevice(const DeviceConfig& config,
                                     const std::vector<uint8_t>& content, std::string* error) {
  auto device = std::make_unique<VirtualBridge>(config);
  if (!device->Init(error)) return nullptr;
  if (!device->StoreFlash(0, content)) {
    if (error) {
      *error = "initial contents of " + std::to_string(content.size()) +
               " bytes do not fit the flash (or cannot be written to its image file)";
    }
    return nullptr;
  }
  devices_.push_back(std::move(device));
  return devices_.back().get();
}

bool VirtualBus::AddDevices(const VirtualDevices& devices, std::string* error) {
  for (const DeviceConfig& config : devices.Devices()) {
    std::string why;
    if (AddDevice(config, &why) == nullptr) {
      if (error) *error = devices.Path() + ", section [" + config.name + "]: " + why;
      return false;
    }
  }
  return true;
}

bool VirtualBus::LoadFile(const std::string& iniPath, std::string* error) {
  VirtualDevices devices;
  if (!devices.Load(iniPath, error)) return false;
  return AddDevices(devices, error);
}

VirtualBridge* VirtualBus::Device(size_t index) {
  return index < devices_.size() ? devices_[index].get() : nullptr;
}

const VirtualBridge* VirtualBus::Device(size_t index) const {
  return index < devices_.size() ? devices_[index].get() : nullptr;
}

}  // namespace vbridge
