// The SCSI generic transport against virtual bridges presented as the SCSI
// disks of emulated USB storage bridges (umockdev): discovery through
// libudev in bus order, skipping, the command blocks on the wire, every way a
// command can fail, unplugging, and the whole update flow with its 512-byte
// transfers. Runs with umockdev's preload library in LD_PRELOAD
// (scripts/test-posix-usb.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <string>
#include <vector>

#include "CommandSet.h"
#include "IDFilter.h"
#include "ImageAuthoring.h"
#include "MainDialog.h"
#include "ScriptedDialog.h"
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

class ScsiTest : public emulated::BusTest {
 protected:
  // The bus index of the open device, from its node.
  int OpenIndex(const CUSBCommand& command) const {
    for (size_t i = 0; i < bus_.Count(); ++i) {
      if (command.DeviceName() == UsbEmulation::GenericNode(i) ||
          command.DeviceName() == UsbEmulation::DiskNode(i)) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }
};

TEST_F(ScsiTest, TakesDevicesInBusOrderAndARestartGivesTheSameOrder) {
  ASSERT_NO_FATAL_FAILURE(StartThreeReportedInReverse());
  CUSBCommand command;
  const auto nameAndRetry = [&](void* list, void** cursor, bool first) {
    const std::string name = command.DeviceName();
    if (first) {
      void* kept = *cursor;
      EXPECT_EQ(command.OpenNextDevice(list, cursor), 2);  // already open: nothing done
      EXPECT_EQ(*cursor, kept);
      EXPECT_EQ(command.DeviceName(), "/dev/sg1");
    }
    return name;
  };
  const std::vector<std::string> nodes = {UsbEmulation::GenericNode(0),
                                          UsbEmulation::GenericNode(1),
                                          UsbEmulation::GenericNode(2)};
  ExpectTwoWalks(&command, nameAndRetry, nodes, 5);
}

TEST_F(ScsiTest, OpenSkipsANonBridgeABusyNodeAndADeviceWithoutSCSISide) {
  const PassedOver passedOver = AddNonBridgeAndBusy();
  vbridge::DeviceConfig usbOnlyConfig = Bridge(3);
  usbOnlyConfig.scsi = false;
  vbridge::VirtualBridge* usbOnly = Add(usbOnlyConfig);
  Add(Bridge(4));
  Add(Bridge(5));  // a second suitable bridge is passed over
  Start();

  CUSBCommand command;
  ASSERT_EQ(command.Open(nullptr), 0);
  // Had the busy device been counted, the second pass would open device 4.
  EXPECT_EQ(OpenIndex(command), 3);
  ExpectPassedOver(passedOver);
  EXPECT_EQ(usbOnly->CommandCount(), 0u);
  EXPECT_EQ(command.Open(nullptr), 2);  // already holds a device
  command.Close();
  EXPECT_EQ(command.DeviceName(), "");

  // The filter sees the ids of the USB device above the SCSI device.
  // (The emulation ends a closed node's client on its own thread; a node
  // opened again at once can reach it before that and find no answer. A
  // pause lets it finish, but on a loaded machine one pause is not always
  // enough: the open is tried again, ten times at the most, after a pause
  // each. A device that never opens still fails here.)
  IDFilter onlyFive;
  onlyFive.SetID(0x3F1C, 5);
  int opened = -1;
  for (int attempt = 0; attempt < 10 && opened != 0; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    opened = command.Open(&onlyFive);
  }
  ASSERT_EQ(opened, 0);
  EXPECT_EQ(OpenIndex(command), 4);
  command.Close();
  IDFilter onlyUsb;
  onlyUsb.SetID(0x3F1C, 3);
  EXPECT_EQ(command.Open(&onlyUsb), 5);
  EXPECT_EQ(emulation_.UnexpectedRequests(), 0);
}

TEST_F(ScsiTest, WithoutSCSIGenericNodesTheDiskNodeCarriesTheCommands) {
  vbridge::VirtualBridge* device = Add(Bridge(1));
  emulation_.SetGenericNodes(false);
  Start();
  CUSBCommand command;
  ASSERT_EQ(command.Open(nullptr), 0);
  EXPECT_EQ(command.DeviceName(), UsbEmulation::DiskNode(0));
  EXPECT_EQ(command.DeviceName(), "/dev/sdb");
  unsigned char version[kVersionBlockSize] = {};
  EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(version), 4), "318a");
  EXPECT_EQ(device->Log().back().encoding, vbridge::Encoding::Scsi);
}

TEST_F(ScsiTest, CommandsTravelAsScsiCommandBlocksWith512ByteTransfers) {
  CUSBCommand command;
  vbridge::VirtualBridge* device = nullptr;
  ASSERT_NO_FATAL_FAILURE(OpenPatternedBridge(&command, &device));
  const std::vector<uint8_t>& content = content_;
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0xFF, '3', '1', '8', 'X', 0, 0, 0, 0, 0x00, 0x0E, 0}));
  ASSERT_EQ(command.USBCom_EnableVender(), 1);
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0xFF, '3', '1', '8', 'X', 0, 0, 0, 0, 0x01, 0x00, 0}));

  std::vector<unsigned char> buffer(513);
  ASSERT_EQ(command.USBCom_ReadRom(0x1234, buffer.data(), 512), 1);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 512),
            std::vector<uint8_t>(content.begin() + 0x1234, content.begin() + 0x1234 + 512));
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0xFD, 0x84, 0x00, 0x00, 0x12, 0x34, 0x00, 0x02, 0x00, 0x00}));
  const uint32_t count = device->CommandCount();
  EXPECT_EQ(command.USBCom_ReadRom(0, buffer.data(), 513), 0);  // refused unsent
  EXPECT_EQ(device->CommandCount(), count);

  unsigned char id[3] = {};
  ASSERT_EQ(command.USBCom_GETROMID(0x9F000000, 1, id, 3), 1);
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0xFD, 0x01, 0x9F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00}));

  // Data going out reaches the flash unchanged.
  unsigned char parameters[kRomParameterSize] = {};
  ASSERT_EQ(command.USBCom_SetRomParameters(parameters, kRomParameterSize), 1);
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0xFE, 0x08, 0, 0, 0, 0, 0, 0x00, 0x13, 0}));
  ASSERT_EQ(command.USBCom_BlockEraseRom(0x1000), 1);
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0xFD, 0xA4, 0x00, 0x00, 0x10, 0x00, 0, 0, 0, 0}));
  std::vector<unsigned char> data(512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(0xA0 ^ i);
  ASSERT_EQ(command.USBCom_WriteRom(0x1000, data.data(), 512), 1);
  EXPECT_EQ(Request(device->Log().back()),
            (std::vector<uint8_t>{0xFE, 0x94, 0x00, 0x00, 0x10, 0x00, 0x00, 0x02, 0x00, 0x00}));
  const std::vector<uint8_t> flash = device->FlashBytes();
  EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x1000, flash.begin() + 0x1200), data);
  EXPECT_EQ(flash[0x1200], 0xFF);  // the rest of the erased block
  EXPECT_EQ(flash[0x0FFF], content[0x0FFF]);
  EXPECT_EQ(emulation_.UnexpectedRequests(), 0);  // SG_IO only

  emulated::ExpectNothingReachesTheDeviceOnceClosed(&command, *device);
}

// Only GOOD with every byte moved counts: CHECK CONDITION with sense data, an
// error of the host adapter and a residual count each fail that command
// alone; nothing is retried and the device stays open.
TEST_F(ScsiTest, ASenseReplyATransportErrorOrAShortTransferFailsThatCommandAlone) {
  enum class Fault { Sense, HostError, Short };
  for (Fault fault : {Fault::Sense, Fault::HostError, Fault::Short}) {
    SCOPED_TRACE(fault == Fault::Sense ? "sense" : fault == Fault::Short ? "short" : "host");
    vbridge::VirtualBus bus;
    vbridge::DeviceConfig config = Bridge(1);
    if (fault != Fault::Short) config.failAtCommand = 3;  // Open's version request is the first
    std::string error;
    vbridge::VirtualBridge* device = bus.AddDevice(config, &error);
    ASSERT_NE(device, nullptr) << error;
    UsbEmulation emulation;
    ASSERT_TRUE(emulation.Start(&bus, &error)) << error;
    if (fault == Fault::HostError) emulation.SetFailure(0, UsbEmulation::Failure::IoError);

    CUSBCommand command;
    ASSERT_EQ(command.Open(nullptr), 0);
    if (fault == Fault::Short) emulation.SetScsiResidual(0, 2);
    unsigned char version[kVersionBlockSize] = {};
    EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 1);  // 2nd
    EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 0);  // 3rd fails
    EXPECT_EQ(command.USBCom_GetVersion(version, sizeof version), 1);  // still open
    ASSERT_EQ(device->CommandCount(), 4u);                             // no retry
    // A short transfer is the transport's verdict: the bridge carried it out.
    EXPECT_EQ(device->Log()[2].ok, fault == Fault::Short);
  }
}

TEST_F(ScsiTest, AnUnpluggedDeviceFailsEveryCommandAndIsNotFoundAgain) {
  vbridge::VirtualBridge* device = nullptr;
  ASSERT_NO_FATAL_FAILURE(StartUnpluggingBridgeAnd(Bridge(2), &device));
  CUSBCommand command;
  ASSERT_EQ(command.Open(nullptr), 0);
  ASSERT_EQ(OpenIndex(command), 0);
  ExpectPulledOutAtTheThirdVersionRequest(&command, *device);
  EXPECT_EQ(device->CommandCount(), 4u);
  command.Close();
  ASSERT_EQ(command.Open(nullptr), 0);
  EXPECT_EQ(OpenIndex(command), 1);  // only the second bridge is left
  emulation_.Unplug(1);               // and pulled out while open
  EXPECT_EQ(command.USBCom_EnableVender(), 0);
  command.Close();
  EXPECT_EQ(command.Open(nullptr), 5);
}

// ---- the update flow over the SCSI generic transport -------------------------
// (the scenarios of a whole update, an unplug and a failed command run end to
// end over this path in tests/usb/e2e_usb_update.sh)

class ScsiFlowTest : public emulated::FlowTest {
 protected:
  void SetUp() override {
    emulated::FlowTest::SetUp();
    WriteRelease(zfimage::BuildFirmwareFile(BRIDGEIC_QK9318A, 0x0120, 0x0154,
                                            zfimage::PseudoRandomCode(4000, 11)));
  }
};

TEST_F(ScsiFlowTest, ReadsTheHeaderAndBothInstalledCopiesOfThe1MiBFlashAndNothingElse) {
  std::vector<unsigned char> flash;
  std::string error;
  ASSERT_TRUE(zfimage::BuildDefaultFlashImage(&flash, &error)) << error;
  ASSERT_EQ(flash.size(), 1u << 20);
  vbridge::DeviceConfig config = Bridge(1);
  config.flashPart = "Winbond W25Q80BL";
  vbridge::VirtualBridge* bridge = Add(config, flash);
  Start();

  EXPECT_EQ(Run(false), 2);  // read, then Cancel
  // The default image holds two copies of 16 + 16384 bytes at 0x1000 and
  // 0x11000; the 4016-byte file fits in each copy's first erase block, which
  // the installed copy covers already. So the read covers the first block
  // (header, parameter area) and the two installed copies, in ascending
  // order, each byte once.
  const uint32_t copyBytes = 16 + 16384;
  std::vector<int> counts(CMD_COUNT, 0);
  std::vector<int> timesRead(flash.size(), 0);
  uint32_t fullReads = 0;
  uint32_t lastAddress = 0;
  bool first = true;
  for (const vbridge::ReceivedCommand& c : bridge->Log()) {
    ASSERT_GE(c.command, 0);
    ++counts[static_cast<size_t>(c.command)];
    if (c.command != CMD_READROM) continue;
    if (first) {  // the header's 48 bytes, for the selection
      first = false;
      continue;
    }
    ASSERT_LE(c.address + c.dataLength, flash.size());
    EXPECT_GE(c.address, lastAddress);
    lastAddress = c.address + c.dataLength;
    if (c.dataLength == 512) ++fullReads;
    for (uint32_t i = 0; i < c.dataLength; ++i) ++timesRead[c.address + i];
  }
  for (uint32_t copy : {0x1000u, 0x11000u}) {
    for (uint32_t i = 0; i < copyBytes; ++i) ASSERT_EQ(timesRead[copy + i], 1) << copy + i;
  }
  for (uint32_t a = 0x1000; a < flash.size(); ++a) {
    const bool inCopy = (a >= 0x1000 && a < 0x1000 + copyBytes) ||
                        (a >= 0x11000 && a < 0x11000 + copyBytes);
    if (!inCopy) {
      ASSERT_EQ(timesRead[a], 0) << a;
    }
  }
  EXPECT_EQ(fullReads, 2 * (copyBytes / 512));
  // The fixed ones: the version block for the selection, the device check,
  // the flow's variant check and the read's start; vendor mode at the open
  // and at the read's start; the parameters.
  EXPECT_EQ(counts[CMD_GETVERSION], 4);
  EXPECT_EQ(counts[CMD_ENABLEVENDER], 2);
  EXPECT_EQ(counts[CMD_SETROMPARAMETERS], 1);
  EXPECT_EQ(bridge->Log().size(), counts[CMD_READROM] + 7u);
}

}  // namespace
