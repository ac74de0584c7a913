// A test fixture with a virtual bus made the active one for its lifetime and
// the command set that selects and opens the bus's devices.
#pragma once

#include <gtest/gtest.h>

#include "USBCommand.h"
#include "VirtualBus.h"

namespace testsupport {

class BusFixture : public ::testing::Test {
 protected:
  // Adds a device to the bus; a failure when the bus refuses it.
  vbridge::VirtualBridge* Add(const vbridge::DeviceConfig& cfg) {
    vbridge::VirtualBridge* d = bus_.AddDevice(cfg);
    EXPECT_NE(d, nullptr);
    return d;
  }

  vbridge::VirtualBus bus_;
  vbridge::ScopedActiveBus active_{&bus_};
  CUSBCommand cmd_;
};

}  // namespace testsupport
