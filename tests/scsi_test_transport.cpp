// The command set over the SCSI-encoded virtual bridge: selection statuses,
// the command blocks the bridge receives, the SCSI command differences and
// the transfer limits.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "BusFixture.h"
#include "IDFilter.h"
#include "TestSupport.h"
#include "USBCommand.h"
#include "VirtualBus.h"

namespace {

using Bytes = std::vector<uint8_t>;
using vbridge::DeviceConfig;
using vbridge::VirtualBridge;
using vbridge::VirtualBus;
using testsupport::Device;

TEST(ScsiBuild, UsesTheScsiCommandSet) {
  EXPECT_TRUE(CUSBControl::kScsiCommandSet);
  EXPECT_EQ(CUSBControl::kRomTransferMax, 512);
}

// ---- selection -------------------------------------------------------------------

class ScsiSelection : public testsupport::BusFixture {};

TEST_F(ScsiSelection, OpenNextDeviceStatuses) {
  VirtualBridge* a = Add(Device(1));
  VirtualBridge* b = Add(Device(2));
  void* list = cmd_.GetDeviceList();
  ASSERT_NE(list, nullptr);
  void* cursor = list;
  ASSERT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), a);
  void* const kept = cursor;
  EXPECT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectHandleOpen);  // already open
  EXPECT_EQ(cursor, kept);
  EXPECT_EQ(cmd_.OpenedDevice(), a);
  cmd_.CloseDevice();
  ASSERT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), b);
  cmd_.CloseDevice();
  EXPECT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectAtEnd);  // cursor at the end

  // Restart: the same order again.
  cursor = list;
  ASSERT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), a);
}

TEST_F(ScsiSelection, WalkPastDevicesThatCannotBeOpenedGivesFive) {
  Add(Device(1));
  Add(Device(2, "318a", true));
  Add(Device(3, "318a", true));
  void* list = cmd_.GetDeviceList();
  void* cursor = list;
  ASSERT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectOpened);
  cmd_.CloseDevice();
  EXPECT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectNoneLeft);
  EXPECT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectAtEnd);
}

TEST_F(ScsiSelection, EmptyBusStandsAtTheEnd) {
  void* list = cmd_.GetDeviceList();
  void* cursor = list;
  EXPECT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectAtEnd);
  EXPECT_EQ(cmd_.Open(nullptr), kSelectAtEnd);
}

// A bridge held by another program is told from no bridge at all, as over
// the USB encoding: the selection answers as for a device in use.
TEST_F(ScsiSelection, OnlyHeldBridgesAnswerAlreadyOpen) {
  Add(Device(0x3F1C, "318a", true));
  EXPECT_EQ(cmd_.Open(nullptr), kSelectAlreadyOpen);
}

TEST_F(ScsiSelection, SameSelectionAsTheUsbBuild) {
  Add(Device(0x3F1C, "XXXX"));
  VirtualBridge* busy = Add(Device(0x3F1C, "318a", true));
  VirtualBridge* foreign = Add(Device(0x2222));
  VirtualBridge* bridge = Add(Device(0x3F1C, "318e"));
  Add(Device(0x3F1C));
  IDFilter filter;
  filter.SetID(0x3F1C, 0x0001);
  ASSERT_EQ(cmd_.Open(&filter), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), bridge);
  EXPECT_EQ(busy->CommandCount(), 0u);
  EXPECT_EQ(foreign->CommandCount(), 0u);
  // The version request of the first pass is the 12-byte signature block.
  const std::vector<vbridge::ReceivedCommand> log = bridge->Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(vbridge::TraceLine(log[0]), "SCSI FF 33 31 38 58 00 00 00 00 00 0E 00 in 14 ok");
  EXPECT_EQ(cmd_.Open(&filter), kSelectHandleOpen);
}

TEST(ScsiSelectionWithoutBus, NoActiveBusGivesFour) {
  vbridge::ScopedActiveBus none(nullptr);
  CUSBCommand cmd;
  EXPECT_EQ(cmd.Open(nullptr), kSelectNoDeviceList);
}

// ---- commands ----------------------------------------------------------------------

class ScsiCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = bus_.AddDevice(DeviceConfig{});
    ASSERT_NE(dev_, nullptr);
    active_ = std::make_unique<vbridge::ScopedActiveBus>(&bus_);
    ASSERT_EQ(cmd_.Open(nullptr), kSelectOpened);
    ASSERT_EQ(cmd_.USBCom_EnableVender(), 1);
    unsigned char params[19] = {};
    ASSERT_EQ(cmd_.USBCom_SetRomParameters(params, 19), 1);
    dev_->ClearLog();
  }
  std::string OnlyTrace() {
    const std::vector<vbridge::ReceivedCommand> log = dev_->Log();
    dev_->ClearLog();
    EXPECT_EQ(log.size(), 1u);
    return log.empty() ? std::string() : vbridge::TraceLine(log.back());
  }
  size_t Received() { return dev_->Log().size(); }

  VirtualBus bus_;
  VirtualBridge* dev_ = nullptr;
  std::unique_ptr<vbridge::ScopedActiveBus> active_;
  CUSBCommand cmd_;
};

TEST_F(ScsiCommands, CommandBlocksAsTheBridgeReceivesThem) {
  unsigned char buf[512] = {};
  ASSERT_EQ(cmd_.USBCom_ReadRom(0x00012345, buf, 48), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FD 84 00 01 23 45 00 00 30 00 in 48 ok");
  ASSERT_EQ(cmd_.USBCom_WriteRom(0x00012345, buf, 3), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FE 94 00 01 23 45 00 00 03 00 out 3 ok");
  ASSERT_EQ(cmd_.USBCom_BlockEraseRom(0x00012000), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FD A4 00 01 20 00 00 00 00 00 none ok");
  ASSERT_EQ(cmd_.USBCom_GETROMID(0x9F000000, 1, buf, 3), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FD 01 9F 00 00 00 00 00 03 00 in 3 ok");
  EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0xEF, 0x40, 0x14}));
  ASSERT_EQ(cmd_.USBCom_DisableVender(), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FF 33 31 38 58 00 00 00 00 02 00 00 none ok");
  ASSERT_EQ(cmd_.USBCom_EnableVender(), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FF 33 31 38 58 00 00 00 00 01 00 00 none ok");
}

TEST_F(ScsiCommands, TransferUnitIs512Bytes) {
  std::vector<unsigned char> data(513);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 13);
  EXPECT_EQ(cmd_.USBCom_ReadRom(0, data.data(), 513), 0);
  EXPECT_EQ(cmd_.USBCom_WriteRom(0, data.data(), 513), 0);
  EXPECT_EQ(Received(), 0u);

  ASSERT_EQ(cmd_.USBCom_WriteRom(0x400, data.data(), 512), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FE 94 00 00 04 00 00 02 00 00 out 512 ok");
  std::vector<unsigned char> back(512);
  ASSERT_EQ(cmd_.USBCom_ReadRom(0x400, back.data(), 512), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FD 84 00 00 04 00 00 02 00 00 in 512 ok");
  EXPECT_EQ(back, std::vector<unsigned char>(data.begin(), data.begin() + 512));
}

TEST_F(ScsiCommands, GetVersionAlwaysAsksForFourteenBytes) {
  unsigned char buf[20] = {};
  EXPECT_EQ(cmd_.USBCom_GetVersion(nullptr, 14), 0);
  // A buffer shorter than the block it receives is refused, not overrun.
  for (int size : {0, 13}) EXPECT_EQ(cmd_.USBCom_GetVersion(buf, size), 0) << size;
  EXPECT_EQ(Received(), 0u);
  ASSERT_EQ(cmd_.USBCom_GetVersion(buf, 20), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FF 33 31 38 58 00 00 00 00 00 0E 00 in 14 ok");
  EXPECT_EQ(buf[14], 0);  // nothing beyond the block
  ASSERT_EQ(cmd_.USBCom_GetVersion(buf, 14), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FF 33 31 38 58 00 00 00 00 00 0E 00 in 14 ok");
  EXPECT_EQ(std::memcmp(buf, "318a", 4), 0);
  EXPECT_EQ(buf[8], 0x54);
  EXPECT_EQ(buf[9], 0x01);
}

TEST_F(ScsiCommands, SetRomParametersAlwaysSendsNineteen) {
  unsigned char params[19];
  for (int i = 0; i < 19; ++i) params[i] = static_cast<unsigned char>(100 + i);
  EXPECT_EQ(cmd_.USBCom_SetRomParameters(nullptr, 19), 0);
  // A buffer shorter than the block it sends is refused, not read past.
  for (int size : {4, 18}) EXPECT_EQ(cmd_.USBCom_SetRomParameters(params, size), 0) << size;
  EXPECT_EQ(Received(), 0u);
  ASSERT_EQ(cmd_.USBCom_SetRomParameters(params, 19), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FE 08 00 00 00 00 00 00 13 00 out 19 ok");
  EXPECT_EQ(dev_->RomParameters(), Bytes(params, params + 19));
}

TEST_F(ScsiCommands, ChipEraseAndGetRomParametersAreNotPresent) {
  unsigned char buf[19] = {};
  EXPECT_EQ(cmd_.USBCom_ChipEraseRom(), 0);
  EXPECT_EQ(cmd_.USBCom_GetRomParameters(buf, 19), 0);
  EXPECT_EQ(Received(), 0u);
}

TEST_F(ScsiCommands, DataInIsZeroFilledToTheRequestedLength) {
  unsigned char params[19];
  for (int i = 0; i < 19; ++i) params[i] = static_cast<unsigned char>(0x30 + i);
  ASSERT_EQ(cmd_.USBCom_SetRomParameters(params, 19), 1);
  dev_->ClearLog();
  // The bridge answers 19 parameter bytes to a 20-byte data phase.
  unsigned char buf[20];
  std::memset(buf, 0xAA, sizeof(buf));
  _tag_UsbCommand rec = MakeCommandRecord(CMD_GETROMPARAMETERS);
  rec.length = 20;
  rec.data = buf;
  ASSERT_EQ(cmd_.USBCom_Send(&rec), 1);
  EXPECT_EQ(OnlyTrace(), "SCSI FD 08 00 00 00 00 00 00 14 00 in 20 ok");
  EXPECT_EQ(Bytes(buf, buf + 19), Bytes(params, params + 19));
  EXPECT_EQ(buf[19], 0);
}

TEST_F(ScsiCommands, PassThroughLimitAndNullBuffers) {
  std::vector<unsigned char> big(16384);
  _tag_UsbCommand rec = MakeCommandRecord(CMD_READROM);
  rec.data = big.data();
  rec.length = 16384;
  EXPECT_EQ(cmd_.USBCom_Send(&rec), 0);  // refused before the exchange
  EXPECT_EQ(Received(), 0u);
  rec.length = 16383;
  EXPECT_EQ(cmd_.USBCom_Send(&rec), 0);  // exchanged; the bridge moves at most 512
  EXPECT_EQ(OnlyTrace(), "SCSI FD 84 00 00 00 00 00 3F FF 00 in 16383 fail");

  rec.length = 0;
  rec.data = nullptr;
  EXPECT_EQ(cmd_.USBCom_Send(&rec), 0);  // data in to a null buffer
  rec = MakeCommandRecord(CMD_WRITEROM);
  rec.length = 4;
  EXPECT_EQ(cmd_.USBCom_Send(&rec), 0);  // data out from a null buffer
  rec.form = 3;
  rec.data = big.data();
  EXPECT_EQ(cmd_.USBCom_Send(&rec), 0);  // neither form
  EXPECT_EQ(Received(), 0u);
}

}  // namespace
