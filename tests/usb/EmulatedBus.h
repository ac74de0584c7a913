// What the transport tests over emulated devices share: virtual bridges on
// a bus that umockdev presents as USB devices (and their SCSI disks), and
// the whole update flow run on the scripted dialog layer over them. The
// tests run with umockdev's preload library in LD_PRELOAD
// (scripts/test-posix-usb.sh).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MainDialog.h"
#include "ScriptedDialog.h"
#include "TestSupport.h"
#include "USBCommand.h"
#include "UsbEmulation.h"
#include "VirtualBus.h"
#include "common.h"

namespace emulated {

constexpr char kSmallPart[] = "Macronix MX25V512C";  // 64 KiB: a quick full read

inline vbridge::DeviceConfig Bridge(uint16_t productId, const char* chipId = "318a") {
  vbridge::DeviceConfig config;
  config.name = "device" + std::to_string(productId);
  config.productId = productId;
  config.chipId = chipId;
  config.flashPart = kSmallPart;
  return config;
}

inline std::vector<uint8_t> Request(const vbridge::ReceivedCommand& received) {
  return std::vector<uint8_t>(received.request, received.request + received.requestLength);
}

// Closes the transport's device: a closed device gets nothing.
template <typename Command>
void ExpectNothingReachesTheDeviceOnceClosed(Command* command, const vbridge::VirtualBridge& device) {
  command->Close();
  const uint32_t closed = device.CommandCount();
  unsigned char version[kVersionBlockSize] = {};
  EXPECT_EQ(command->USBCom_GetVersion(version, sizeof version), 0);
  EXPECT_EQ(command->USBCom_EnableVender(), 0);
  EXPECT_EQ(device.CommandCount(), closed);
}

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(vbridge::UsbEmulation::InMockEnvironment())
        << "run with LD_PRELOAD=" << vbridge::UsbEmulation::kPreloadLibrary;
  }
  vbridge::VirtualBridge* Add(const vbridge::DeviceConfig& config,
                              const std::vector<uint8_t>& content = {}) {
    std::string error;
    vbridge::VirtualBridge* device = bus_.AddDevice(config, content, &error);
    EXPECT_NE(device, nullptr) << error;
    return device;
  }
  void Start() {
    std::string error;
    ASSERT_TRUE(emulation_.Start(&bus_, &error)) << error;
  }
  // Three bridges (products 1 to 3) that the system reports last to first;
  // the emulation started.
  void StartThreeReportedInReverse() {
    for (uint16_t product = 1; product <= 3; ++product) Add(Bridge(product));
    emulation_.SetAddInReverse(true);
    Start();
  }
  // Walks the device list twice from its start, opening and closing each
  // device: identify(list, &cursor, first) names the open device, `first`
  // on the first of a pass. Each pass names `expected` and ends at `atEnd`.
  template <typename Name, typename Identify>
  static void ExpectTwoWalks(CUSBCommand* command, Identify identify,
                             const std::vector<Name>& expected, int atEnd) {
    void* list = command->GetDeviceList();
    ASSERT_NE(list, nullptr);
    for (int pass = 0; pass < 2; ++pass) {
      void* cursor = list;  // (re)start
      std::vector<Name> order;
      while (command->OpenNextDevice(list, &cursor) == kSelectOpened) {
        EXPECT_NE(cursor, list);
        order.push_back(identify(list, &cursor, order.empty()));
        command->CloseDevice();
      }
      EXPECT_EQ(order, expected) << "pass " << pass;
      EXPECT_EQ(command->OpenNextDevice(list, &cursor), atEnd);  // stays at the end
    }
  }
  // A bridge pulled out at its fourth command, in *unplugged, and `second`
  // after it; the emulation started.
  void StartUnpluggingBridgeAnd(const vbridge::DeviceConfig& second,
                                vbridge::VirtualBridge** unplugged) {
    vbridge::DeviceConfig config = Bridge(1);
    config.unplugAtCommand = 4;
    *unplugged = Add(config);
    Add(second);
    Start();
  }
  // Version requests to that bridge once opened (the open's request was
  // its first command): two answered, the third meets the unplug, and the
  // gone device answers nothing more.
  static void ExpectPulledOutAtTheThirdVersionRequest(CUSBCommand* command,
                                                      const vbridge::VirtualBridge& device) {
    unsigned char version[kVersionBlockSize] = {};
    EXPECT_EQ(command->USBCom_GetVersion(version, sizeof version), 1);
    EXPECT_EQ(command->USBCom_GetVersion(version, sizeof version), 1);
    EXPECT_EQ(command->USBCom_GetVersion(version, sizeof version), 0);  // pulled out here
    EXPECT_EQ(command->USBCom_GetVersion(version, sizeof version), 0);
    EXPECT_FALSE(device.Present());
  }
  // Devices an open passes over: one that is not a bridge (product 1) and a
  // busy bridge (product 2). ExpectPassedOver: the first was asked for its
  // version once and closed, the second got nothing.
  struct PassedOver {
    vbridge::VirtualBridge* other;
    vbridge::VirtualBridge* busy;
  };
  PassedOver AddNonBridgeAndBusy() {
    vbridge::VirtualBridge* other = Add(Bridge(1, "xyzw"));
    vbridge::DeviceConfig busyConfig = Bridge(2);
    busyConfig.busy = true;
    return {other, Add(busyConfig)};
  }
  static void ExpectPassedOver(const PassedOver& devices) {
    ASSERT_NE(devices.other, nullptr);
    ASSERT_NE(devices.busy, nullptr);
    EXPECT_EQ(devices.other->CommandCount(), 1u);
    EXPECT_EQ(devices.busy->CommandCount(), 0u);
  }
  // One bridge with the version block word 0x0163 whose flash begins with
  // content_ (0x2000 bytes of a pattern), in *device; the emulation started
  // and `command` opened on the bridge with its version block in version_.
  void OpenPatternedBridge(CUSBCommand* command, vbridge::VirtualBridge** device) {
    content_.resize(0x2000);
    for (size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<uint8_t>(i * 7 + 3);
    vbridge::DeviceConfig config = Bridge(1);
    config.compat = 0x0163;
    *device = Add(config, content_);
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_EQ(command->Open(nullptr), kSelectOpened);
    ASSERT_EQ(command->USBCom_GetVersion(version_, sizeof version_), 1);
    EXPECT_EQ(GetLE16(&version_[8]), 0x0163);
  }

  vbridge::VirtualBus bus_;
  vbridge::UsbEmulation emulation_;  // after the bus: it goes first
  std::vector<uint8_t> content_;
  unsigned char version_[kVersionBlockSize] = {};
};

// The update flow in a release folder with ZEDRIKFU.ini and `firmware` as
// MainFW.kqfw; Run answers the question and returns the exit status.
class FlowTest : public BusTest {
 protected:
  void WriteRelease(const std::vector<unsigned char>& firmware) {
    ASSERT_TRUE(testsupport::WriteText(dir_.File("ZEDRIKFU.ini"),
                                       testsupport::DefaultSystemInformation()));
    ASSERT_TRUE(testsupport::WriteFile(dir_.File("MainFW.kqfw"), firmware));
  }
  int Run(bool answer) {
    layer_.answers.push_back(answer);
    return RunMainWindow(&layer_);
  }

  testsupport::ScratchDir dir_;
  testsupport::ScopedAppDir appDir_{dir_.Path() + "/"};
  ScriptedDialogLayer layer_;
};

}  // namespace emulated
