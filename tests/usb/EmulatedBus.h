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
#include "UsbEmulation.h"
#include "VirtualBus.h"

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

  vbridge::VirtualBus bus_;
  vbridge::UsbEmulation emulation_;  // after the bus: it goes first
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
    ScopedDialogLayer scoped(&layer_);
    CMainDialog dialog;
    dialog.Create("MainWindow");
    return dialog.ExitStatus();
  }

  testsupport::ScratchDir dir_;
  testsupport::ScopedAppDir appDir_{dir_.Path() + "/"};
  ScriptedDialogLayer layer_;
};

}  // namespace emulated
