// The virtual USB bus: the virtual bridges in bus (enumeration) order. The
// virtual transports (CVirtualTransport, under CUSBControl of the sim
// builds) enumerate and talk to the devices of the active bus.
//
// How tests use it:
//
//   vbridge::VirtualBus bus;
//   vbridge::DeviceConfig cfg;                 // defaults: a QK9318A bridge,
//   cfg.flashPart = "Winbond W25Q80BL";        // VID 0x3F1C PID 0x0001,
//   vbridge::VirtualBridge* dev = bus.AddDevice(cfg);   // 1 MiB W25Q80BL
//   dev->StoreFlash(0, imageBytes);            // initial contents
//   vbridge::ScopedActiveBus active(&bus);     // SetActiveBus(&bus) ... (nullptr)
//   CUSBCommand cmd;  cmd.Open(nullptr);  ...  // the code under test
//   EXPECT_EQ(dev->FlashBytes()[0x100], 0x5A);
//   EXPECT_EQ(dev->Log().back().command, CMD_WRITEROM);
//
// AddDevice returns null (and sets *error) when the device cannot be set up,
// e.g. an unknown FlashPart. Faults are set in the DeviceConfig or later on
// the device (SetBusy, SetFailAtCommand, SetUnplugAtCommand,
// SetFlipReadBitAt, Unplug). Devices live as long as the bus; the bus must
// outlive its time as the active bus.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "VirtualBridge.h"

namespace vbridge {

class VirtualDevices;

class VirtualBus {
 public:
  VirtualBus() = default;
  VirtualBus(const VirtualBus&) = delete;
  VirtualBus& operator=(const VirtualBus&) = delete;

  // Appends a device at the end of the bus. Null (and a message) when its
  // flash, image file or trace file cannot be set up.
  VirtualBridge* AddDevice(const DeviceConfig& config, std::string* error = nullptr);
  // The same with initial flash contents from address 0 (the rest of the
  // flash stays as it was: 0xFF, or the image file's contents).
  VirtualBridge* AddDevice(const DeviceConfig& config, const std::vector<uint8_t>& content,
                           std::string* error = nullptr);

  // Adds every device of a parsed virtual-devices.ini, in file order. On the
  // first failure returns false with one message naming the file and the
  // section; devices added before stay on the bus.
  bool AddDevices(const VirtualDevices& devices, std::string* error);
  // Parses the file and adds its devices.
  bool LoadFile(const std::string& iniPath, std::string* error);

  size_t Count() const { return devices_.size(); }
  VirtualBridge* Device(size_t index);
  const VirtualBridge* Device(size_t index) const;

 private:
  std::vector<std::unique_ptr<VirtualBridge>> devices_;
};

// The bus that the virtual transports use; null: no bus (no device list).
void SetActiveBus(VirtualBus* bus);
VirtualBus* ActiveBus();

// Makes a bus the active one for the lifetime of this object and restores
// the previous one afterwards.
class ScopedActiveBus {
 public:
  explicit ScopedActiveBus(VirtualBus* bus) : previous_(ActiveBus()) { SetActiveBus(bus); }
  ~ScopedActiveBus() { SetActiveBus(previous_); }
  ScopedActiveBus(const ScopedActiveBus&) = delete;
  ScopedActiveBus& operator=(const ScopedActiveBus&) = delete;

 private:
  VirtualBus* previous_;
};

}  // namespace vbridge
