// The libusb transport against virtual bridges presented as emulated USB
// devices (umockdev): enumeration order and restart, skipping, the wire form
// of the commands, failing and vanishing devices, and the whole update flow
// over it. Runs with umockdev's preload library in LD_PRELOAD
// (scripts/test-posix-usb.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "CommandSet.h"
#include "FilRead.h"
#include "IDFilter.h"
#include "ImageAuthoring.h"
#include "MainDialog.h"
#include "EmulatedBus.h"
#include "TestSupport.h"
#include "USBCommand.h"
#include "UsbEmulation.h"
#include "VirtualBus.h"
#include "common.h"

namespace {

using vbridge::UsbEmulation;

using emulated::Bridge;
using emulated::kSmallPart;
using emulated::Request;

class UsbTest : public emulated::BusTest {
 protected:
  // Index of the only device whose command count changed since `before`,
  // -1 when none or several did.
  int Answered(const std::vector<uint32_t>& before) const {
    int which = -1;
    for (size_t i = 0; i < bus_.Count(); ++i) {
      if (bus_.Device(i)->CommandCount() == before[i]) continue;
      if (which >= 0) return -1;
      which = static_cast<int>(i);
    }
    return which;
  }
  std::vector<uint32_t> Counts() const {
    std::vector<uint32_t> counts;
    for (size_t i = 0; i < bus_.Count(); ++i) counts.push_back(bus_.Device(i)->CommandCount());
    return counts;
  }
  // The device that the open transport talks to, found by asking it.
  int OpenDevice(CUSBCommand* command) {
    std::vector<uint32_t> before = Counts();
    unsigned char version[kVersionBlockSize] = {};
    if (!command->USBCom_GetVersion(version, sizeof version)) return -1;
    return Answered(before);
  }
};

TEST_F(UsbTest, TakesDevicesInAddressOrderAndARestartGivesTheSameOrder) {
  // The transport puts them in address order.
  ASSERT_NO_FATAL_FAILURE(StartThreeReportedInReverse());
  CUSBCommand command;
  ExpectTwoWalks(&command, [&](void*, void**, bool) { return OpenDevice(&command); },
                 std::vector<int>{0, 1, 2}, kSelectNoneLeft);
}

TEST_F(UsbTest, OpenNextDeviceWhileADeviceIsOpenChangesNothing) {
  Add(Bridge(1));
  Add(Bridge(2));
  Start();
  CUSBCommand command;
  void* list = command.GetDeviceList();
  void* cursor = list;
  ASSERT_EQ(command.OpenNextDevice(list, &cursor), kSelectOpened);
  void* kept = cursor;
  EXPECT_EQ(command.OpenNextDevice(list, &cursor), kSelectAlreadyOpen);
  EXPECT_EQ(cursor, kept);
  EXPECT_EQ(OpenDevice(&command), 0);
  command.CloseDevice();
  ASSERT_EQ(command.OpenNextDevice(list, &cursor), kSelectOpened);
  EXPECT_EQ(OpenDevice(&command), 1);  // the enumeration went on after device 0
}

TEST_F(UsbTest, OpenSkipsANonBridgeAndABusyDeviceWithoutCountingTheBusyOne) {
  const PassedOver passedOver = AddNonBridgeAndBusy();
  Add(Bridge(3));
  Add(Bridge(4));  // a second suitable bridge is passed over
  Start();

  CUSBCommand command;
  ASSERT_EQ(command.Open(nullptr), kSelectOpened);
  // Had the busy device been counted, the second pass would open device 3.
  EXPECT_EQ(OpenDevice(&command), 2);
  ExpectPassedOver(passedOver);
  EXPECT_EQ(command.Open(nullptr), kSelectAlreadyOpen);  // already holds a device
  command.Close();

  // The filter sees the ids of the device descriptor.
  IDFilter onlyFour;
  onlyFour.SetID(0x3F1C, 4);
  ASSERT_EQ(command.Open(&onlyFour), kSelectOpened);
  EXPECT_EQ(OpenDevice(&command), 3);
  command.Close();
  IDFilter nobody;
  nobody.SetID(0x3F1C, 0x7777);
  EXPECT_EQ(command.Open(&nobody), kSelectNoneLeft);
}

TEST_F(UsbTest, WithoutABridgeOpenFindsNothing) {
  Add(Bridge(1, "abcd"));
  Start();
  CUSBCommand command;
  EXPECT_EQ(command.Open(nullptr), kSelectNoneLeft);
  unsigned char version[kVersionBlockSize] = {};
  EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 0);
}

TEST_F(UsbTest, CommandsTravelAsVendorControlRequestsToTheDevice) {
  CUSBCommand command;
  vbridge::VirtualBridge* device = nullptr;
  ASSERT_NO_FATAL_FAILURE(OpenPatternedBridge(&command, &device));
  const std::vector<uint8_t>& content = content_;
  EXPECT_EQ(std::string(reinterpret_cast<char*>(version_), 4), "318a");
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0xC0, 0xFF, 0x33, 0x31, 0x38, 0x58, 0x0E, 0x00}));

  // Flash commands need vendor mode.
  ASSERT_EQ(command.USBCom_EnableVender(), 1);
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0x40, 0xFE, 0x33, 0x31, 0x38, 0x58, 0x00, 0x00}));
  unsigned char buffer[48] = {};
  ASSERT_EQ(command.USBCom_ReadRom(0x1234, buffer, 48), 1);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 48),
            std::vector<uint8_t>(content.begin() + 0x1234, content.begin() + 0x1234 + 48));
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0xC0, 0xE7, 0x34, 0x12, 0x00, 0x00, 0x30, 0x00}));

  unsigned char id[3] = {};
  ASSERT_EQ(command.USBCom_GETROMID(0x9F000000, 1, id, 3), 1);
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0xC0, 0xE1, 0x00, 0x00, 0x00, 0x9F, 0x03, 0x00}));

  // Data going out reaches the flash unchanged.
  unsigned char parameters[kRomParameterSize] = {};
  ASSERT_EQ(command.USBCom_SetRomParameters(parameters, kRomParameterSize), 1);
  ASSERT_EQ(command.USBCom_BlockEraseRom(0x1000), 1);
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0x40, 0xE5, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00}));
  unsigned char data[48];
  for (unsigned i = 0; i < sizeof data; ++i) data[i] = static_cast<unsigned char>(0xA0 + i);
  ASSERT_EQ(command.USBCom_WriteRom(0x1000, data, 48), 1);
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0x40, 0xE7, 0x00, 0x10, 0x00, 0x00, 0x30, 0x00}));
  std::vector<uint8_t> flash = device->FlashBytes();
  EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x1000, flash.begin() + 0x1030),
            std::vector<uint8_t>(data, data + 48));
  EXPECT_EQ(flash[0x1030], 0xFF);  // the rest of the erased block
  EXPECT_EQ(flash[0x0FFF], content[0x0FFF]);

  // Only control requests on the default pipe: nothing claimed or detached.
  EXPECT_EQ(emulation_.UnexpectedRequests(), 0);

  emulated::ExpectNothingReachesTheDeviceOnceClosed(&command, *device);
}

TEST_F(UsbTest, AStallOrAnIoErrorFailsThatCommandAloneWithoutRetry) {
  for (UsbEmulation::Failure failure : {UsbEmulation::Failure::Stall,
                                        UsbEmulation::Failure::IoError}) {
    SCOPED_TRACE(failure == UsbEmulation::Failure::Stall ? "stall" : "I/O error");
    vbridge::VirtualBus bus;
    vbridge::DeviceConfig config = Bridge(1);
    config.failAtCommand = 3;  // Open's version request is the first
    std::string error;
    vbridge::VirtualBridge* device = bus.AddDevice(config, &error);
    ASSERT_NE(device, nullptr) << error;
    UsbEmulation emulation;
    emulation.SetFailure(0, failure);  // before Start: no device yet, ignored
    ASSERT_TRUE(emulation.Start(&bus, &error)) << error;
    emulation.SetFailure(0, failure);

    CUSBCommand command;
    ASSERT_EQ(command.Open(nullptr), kSelectOpened);
    unsigned char version[kVersionBlockSize] = {};
    EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 1);  // 2nd
    EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 0);  // 3rd fails
    EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 1);  // still open
    ASSERT_EQ(device->CommandCount(), 4u);                // no retry
    EXPECT_FALSE(device->Log()[2].ok);
  }
}

TEST_F(UsbTest, ATransferThatMovesFewerBytesThanAskedFailsInEitherDirection) {
  std::vector<uint8_t> content(0x2000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 5 + 1);
  vbridge::VirtualBridge* device = Add(Bridge(1), content);
  Start();
  CUSBCommand command;
  ASSERT_EQ(command.Open(nullptr), 0);
  ASSERT_EQ(command.USBCom_EnableVender(), 1);
  unsigned char parameters[kRomParameterSize] = {};
  ASSERT_EQ(command.USBCom_SetRomParameters(parameters, kRomParameterSize), 1);

  struct Case {
    const char* what;
    uint16_t moved;  // bytes the device moves of the data phase
  };
  for (const Case& c : {Case{"none of 48", 0}, Case{"40 of 48", 40}, Case{"47 of 48", 47}}) {
    SCOPED_TRACE(c.what);
    // Data coming in: the buffer would keep stale bytes behind the short answer.
    unsigned char buffer[48];
    std::memset(buffer, 0xEE, sizeof buffer);
    emulation_.SetShortTransfer(0, 1, c.moved);
    EXPECT_EQ(command.USBCom_ReadRom(0x1000, buffer, 48), 0);
    // Data going out: the device took only part of it.
    unsigned char data[48];
    std::memset(data, 0x5A, sizeof data);
    emulation_.SetShortTransfer(0, 1, c.moved);
    EXPECT_EQ(command.USBCom_WriteRom(0x1800, data, 48), 0);
    // The version block and the flash identification likewise.
    unsigned char version[kVersionBlockSize] = {};
    emulation_.SetShortTransfer(0, 1, c.moved < kVersionBlockSize ? c.moved : 10);
    EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 0);
    unsigned char id[3] = {};
    emulation_.SetShortTransfer(0, 1, 2);
    EXPECT_EQ(command.USBCom_GETROMID(0x9F000000, 1, id, 3), 0);
  }
  // Whole transfers go on succeeding, with the whole data.
  unsigned char buffer[48] = {};
  ASSERT_EQ(command.USBCom_ReadRom(0x1000, buffer, 48), 1);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 48),
            std::vector<uint8_t>(content.begin() + 0x1000, content.begin() + 0x1030));
  unsigned char version[kVersionBlockSize] = {};
  EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 1);
  // Each short transfer was one request, not retried.
  EXPECT_EQ(device->CommandCount(), 3u + 3u * 4u + 2u);
  EXPECT_EQ(emulation_.UnexpectedRequests(), 0);
}

TEST_F(UsbTest, AnUnpluggedDeviceFailsEveryCommandAndIsNotFoundAgain) {
  vbridge::VirtualBridge* device = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartUnpluggingBridgeAnd(Bridge(2, "none"), &device));
  CUSBCommand command;
  ASSERT_EQ(command.Open(nullptr), kSelectOpened);
  ExpectPulledOutAtTheThirdVersionRequest(&command, *device);
  command.Close();
  EXPECT_EQ(command.Open(nullptr), kSelectNoneLeft);  // only the non-bridge is left
}

TEST_F(UsbTest, AnUnplugWhileOpenEndsTheExchanges) {
  Add(Bridge(1));
  Start();
  CUSBCommand command;
  ASSERT_EQ(command.Open(nullptr), kSelectOpened);
  unsigned char version[kVersionBlockSize] = {};
  ASSERT_EQ(command.USBCom_GetVersion(version, sizeof version), 1);
  emulation_.Unplug(0);
  EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 0);
  EXPECT_EQ(command.USBCom_EnableVender(), 0);
  command.Close();
  EXPECT_EQ(command.Open(nullptr), kSelectNoneLeft);
}

TEST_F(UsbTest, ARequestWithoutAnAnswerFailsAtTheTimeOutAndTheDeviceGoesOn) {
  vbridge::VirtualBridge* device = Add(Bridge(1));
  Start();
  CUSBCommand command;
  ASSERT_EQ(command.Open(nullptr), kSelectOpened);
  emulation_.SetUnansweredRequest(0, 1);
  unsigned char version[kVersionBlockSize] = {};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 0);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  EXPECT_GE(waited.count(), CUSBControl::kControlTimeoutMs - 100);
  EXPECT_LT(waited.count(), CUSBControl::kControlTimeoutMs + 5000);
  // The abandoned request never reached the bridge; the next one does.
  const uint32_t count = device->CommandCount();
  EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 1);
  EXPECT_EQ(device->CommandCount(), count + 1);
}

// ---- the update flow over the libusb transport -------------------------------

class UsbFlowTest : public emulated::FlowTest {
 protected:
  void SetUp() override {
    emulated::FlowTest::SetUp();
    firmware_ = Firmware(0x0120, 11);
    WriteRelease(firmware_);
    zfimage::FlashImageSpec layout;
    layout.partName = kSmallPart;
    layout.firmware1 = Firmware(0x0110, 10);
    std::string error;
    ASSERT_TRUE(zfimage::BuildFlashImage(layout, &image_, &error)) << error;
  }

  static std::vector<unsigned char> Firmware(uint16_t version, uint32_t seed) {
    return zfimage::BuildFirmwareFile(BRIDGEIC_QK9318A, version, 0x0154,
                                      zfimage::PseudoRandomCode(4000, seed));
  }
  // How many commands a run takes up to the question, on an identical twin
  // answered with Cancel; the read is all but a few of them.
  uint32_t CommandsUpToTheQuestion() {
    vbridge::VirtualBus twinBus;
    std::string error;
    vbridge::VirtualBridge* twin = twinBus.AddDevice(Bridge(1), image_, &error);
    UsbEmulation twinEmulation;
    if (twin == nullptr || !twinEmulation.Start(&twinBus, &error)) {
      ADD_FAILURE() << error;
      return 0;
    }
    EXPECT_EQ(Run(false), 2);
    const uint32_t commands = twin->CommandCount();
    layer_.messages.clear();
    layer_.created.clear();
    return commands;
  }

  std::vector<unsigned char> firmware_;
  std::vector<unsigned char> image_;
};

TEST_F(UsbFlowTest, UpdatesTheBridgeBehindANonBridge) {
  vbridge::VirtualBridge* other = Add(Bridge(1, "dsk0"));
  vbridge::VirtualBridge* bridge = Add(Bridge(1), image_);
  Start();

  EXPECT_EQ(Run(true), 0);
  EXPECT_EQ(layer_.MessageIds(), (std::vector<int>{201}));
  EXPECT_EQ(layer_.captions[kCaptionFromControl], "from version 01.10");
  EXPECT_EQ(layer_.captions[kCaptionToControl], "to     version 01.20");
  const std::vector<uint8_t> after = bridge->FlashBytes();
  EXPECT_TRUE(testsupport::HoldsAt(after, testsupport::Area1Offset(image_), firmware_));
  EXPECT_TRUE(testsupport::HoldsAt(after, testsupport::Area2Offset(image_), firmware_));
  EXPECT_EQ(other->CommandCount(), 1u);
  EXPECT_FALSE(bridge->VendorMode());  // left vendor mode at the end
  EXPECT_EQ(emulation_.UnexpectedRequests(), 0);
}

TEST_F(UsbFlowTest, AnUnplugDuringTheReadShowsReadAbortedAndWritesNothing) {
  const uint32_t beforeWrite = CommandsUpToTheQuestion();
  ASSERT_GT(beforeWrite, 40u);
  vbridge::DeviceConfig config = Bridge(1);
  config.unplugAtCommand = beforeWrite / 2;  // about halfway through the read
  vbridge::VirtualBridge* bridge = Add(config, image_);
  Start();

  EXPECT_EQ(Run(true), 1);
  EXPECT_EQ(layer_.MessageIds(), (std::vector<int>{107}));
  EXPECT_EQ(layer_.created, (std::vector<std::string>{"MainWindow", "ProgressDialog"}));
  EXPECT_FALSE(bridge->Present());
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*bridge));
  EXPECT_EQ(bridge->FlashBytes(), image_);
}

TEST_F(UsbFlowTest, AShortAnswerDuringTheReadShowsReadAbortedAndWritesNothing) {
  vbridge::VirtualBridge* bridge = Add(Bridge(1), image_);
  Start();
  // A read command in the middle of the first firmware copy answers 40 of
  // its 48 bytes: the image would hold 8 stale bytes.
  emulation_.SetShortTransfer(0, 120, 40);
  EXPECT_EQ(Run(true), 1);
  EXPECT_EQ(layer_.MessageIds(), (std::vector<int>{107}));
  EXPECT_FALSE(testsupport::HasFlashChangingCommand(*bridge));
  EXPECT_EQ(bridge->FlashBytes(), image_);
}

TEST_F(UsbFlowTest, AStallDuringTheWriteShowsUpdateFailed) {
  const uint32_t beforeWrite = CommandsUpToTheQuestion();
  ASSERT_GT(beforeWrite, 40u);
  vbridge::DeviceConfig config = Bridge(1);
  config.failAtCommand = beforeWrite + 30;
  vbridge::VirtualBridge* bridge = Add(config, image_);
  Start();
  EXPECT_EQ(Run(true), 1);
  EXPECT_EQ(layer_.MessageIds(), (std::vector<int>{202}));
  EXPECT_TRUE(testsupport::HasFlashChangingCommand(*bridge));
  EXPECT_FALSE(bridge->Log()[beforeWrite + 29].ok);
}

}  // namespace
