// The vendor command table, both wire encodings, and the USB build's
// CUSBCommand operations as the bridge receives them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "CommandSet.h"
#include "USBCommand.h"
#include "VirtualBus.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes SetupBytes(const _tag_UsbCommand& cmd) {
  UsbSetupPacket p{};
  EXPECT_TRUE(EncodeUsbSetup(cmd, &p));
  return Bytes(p.bytes, p.bytes + 8);
}

Bytes CdbBytes(const _tag_UsbCommand& cmd, ScsiCommandBlock* block) {
  EXPECT_TRUE(EncodeScsiCdb(cmd, block));
  return Bytes(block->cdb, block->cdb + block->cdbLength);
}

Bytes RequestOf(const vbridge::ReceivedCommand& r) {
  return Bytes(r.request, r.request + r.requestLength);
}

// A table row's record with the data length of a signature-form command.
_tag_UsbCommand Signature(UsbCommandNumber number, uint8_t shortLength) {
  _tag_UsbCommand cmd = MakeCommandRecord(number);
  cmd.shortLength = shortLength;
  return cmd;
}

// A table row's record with the address and data length of an
// addressed-form command.
_tag_UsbCommand Addressed(UsbCommandNumber number, uint32_t address, uint16_t length) {
  _tag_UsbCommand cmd = MakeCommandRecord(number);
  cmd.address = address;
  cmd.length = length;
  return cmd;
}

// ---- the table --------------------------------------------------------------

TEST(CommandTable, RowsHoldTheTenCommandsInOrder) {
  struct Expected {
    uint8_t opcode, request, subcode;
    uint32_t direction, form;
  };
  const Expected rows[CMD_COUNT] = {
      {0xFD, 0xE0, 0x00, 0, 1},  // GETROMID
      {0xFD, 0xE5, 0xA4, 1, 1},  // BlockEraseRom
      {0xFD, 0xE6, 0xF1, 1, 1},  // ChipEraseRom
      {0xFD, 0xE7, 0x84, 0, 1},  // ReadRom
      {0xFE, 0xE7, 0x94, 1, 1},  // WriteRom
      {0xFD, 0xE8, 0x08, 0, 1},  // GetRomParameters
      {0xFE, 0xE8, 0x08, 1, 1},  // SetRomParameters
      {0xFF, 0xFF, 0x00, 0, 0},  // GetVersion
      {0xFF, 0xFE, 0x01, 1, 0},  // EnableVender
      {0xFF, 0xFD, 0x02, 1, 0},  // DisableVender
  };
  for (uint32_t i = 0; i < CMD_COUNT; ++i) {
    SCOPED_TRACE(i);
    const UsbCommandRow& row = g_USB_CommandList[i];
    EXPECT_EQ(row.number, i);
    EXPECT_EQ(row.opcode, rows[i].opcode);
    EXPECT_EQ(row.request, rows[i].request);
    EXPECT_EQ(row.subcode, rows[i].subcode);
    EXPECT_EQ(row.reserved, 0);
    EXPECT_EQ(row.direction, rows[i].direction);
    EXPECT_EQ(row.form, rows[i].form);

    const _tag_UsbCommand rec = MakeCommandRecord(static_cast<UsbCommandNumber>(i));
    EXPECT_EQ(rec.opcode, rows[i].opcode);
    EXPECT_EQ(rec.request, rows[i].request);
    EXPECT_EQ(rec.subcode, rows[i].subcode);
    EXPECT_EQ(rec.form, rows[i].form);
    EXPECT_EQ(rec.direction, rows[i].direction);
    EXPECT_EQ(rec.shortLength, 0);
    EXPECT_EQ(rec.address, 0u);
    EXPECT_EQ(rec.length, 0);
    EXPECT_EQ(rec.reserved, 0);
    EXPECT_EQ(rec.data, nullptr);
  }
}

// ---- USB encoding -------------------------------------------------------------

TEST(UsbEncoding, SignatureFormCarries318X) {
  const _tag_UsbCommand v = Signature(CMD_GETVERSION, 14);
  EXPECT_EQ(SetupBytes(v), (Bytes{0xC0, 0xFF, '3', '1', '8', 'X', 0x0E, 0x00}));
  EXPECT_EQ(SetupBytes(MakeCommandRecord(CMD_ENABLEVENDER)),
            (Bytes{0x40, 0xFE, 0x33, 0x31, 0x38, 0x58, 0x00, 0x00}));
  EXPECT_EQ(SetupBytes(MakeCommandRecord(CMD_DISABLEVENDER)),
            (Bytes{0x40, 0xFD, 0x33, 0x31, 0x38, 0x58, 0x00, 0x00}));
  UsbSetupPacket p{};
  ASSERT_TRUE(EncodeUsbSetup(v, &p));
  EXPECT_EQ(p.wValue(), 0x3133);
  EXPECT_EQ(p.wIndex(), 0x5838);
  EXPECT_EQ(p.wLength(), 14);
}

TEST(UsbEncoding, AddressedFormSendsAddressLeastSignificantFirst) {
  EXPECT_EQ(SetupBytes(Addressed(CMD_READROM, 0x00012345, 48)),
            (Bytes{0xC0, 0xE7, 0x45, 0x23, 0x01, 0x00, 0x30, 0x00}));
  EXPECT_EQ(SetupBytes(Addressed(CMD_WRITEROM, 0xA1B2C3D4, 0x0102)),
            (Bytes{0x40, 0xE7, 0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x01}));
  EXPECT_EQ(SetupBytes(Addressed(CMD_BLOCKERASEROM, 0x0000F000, 0)),
            (Bytes{0x40, 0xE5, 0x00, 0xF0, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(SetupBytes(MakeCommandRecord(CMD_CHIPERASEROM)),
            (Bytes{0x40, 0xE6, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(SetupBytes(Addressed(CMD_SETROMPARAMETERS, 0, 19)),
            (Bytes{0x40, 0xE8, 0, 0, 0, 0, 0x13, 0x00}));
  EXPECT_EQ(SetupBytes(Addressed(CMD_GETROMPARAMETERS, 0, 7)),
            (Bytes{0xC0, 0xE8, 0, 0, 0, 0, 0x07, 0x00}));
}

TEST(UsbEncoding, InvalidFormOrMissingOutputIsRefused) {
  _tag_UsbCommand r = MakeCommandRecord(CMD_READROM);
  UsbSetupPacket p{};
  r.form = 2;
  EXPECT_FALSE(EncodeUsbSetup(r, &p));
  r.form = 1;
  EXPECT_FALSE(EncodeUsbSetup(r, nullptr));
}

// ---- SCSI encoding ------------------------------------------------------------

// A command block the SCSI encoding makes of one record: the block's bytes,
// the direction and the length of the data phase.
struct ScsiCase {
  const char* name;
  _tag_UsbCommand record;
  Bytes cdb;
  bool dataIn;
  uint32_t dataLength;
};

void ExpectScsiBlocks(const std::vector<ScsiCase>& cases) {
  for (const ScsiCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScsiCommandBlock b{};
    EXPECT_EQ(CdbBytes(c.record, &b), c.cdb);
    EXPECT_EQ(b.dataIn, c.dataIn);
    EXPECT_EQ(b.dataLength, c.dataLength);
  }
}

TEST(ScsiEncoding, SignatureFormBlocks) {
  ExpectScsiBlocks({
      {"GETVERSION", Signature(CMD_GETVERSION, 14),
       {0xFF, 0x33, 0x31, 0x38, 0x58, 0, 0, 0, 0, 0x00, 0x0E, 0x00}, true, 14},
      {"ENABLEVENDER", MakeCommandRecord(CMD_ENABLEVENDER),
       {0xFF, 0x33, 0x31, 0x38, 0x58, 0, 0, 0, 0, 0x01, 0x00, 0x00}, false, 0},
      {"DISABLEVENDER", MakeCommandRecord(CMD_DISABLEVENDER),
       {0xFF, 0x33, 0x31, 0x38, 0x58, 0, 0, 0, 0, 0x02, 0x00, 0x00}, false, 0},
  });
}

TEST(ScsiEncoding, AddressedFormBlocksAreMostSignificantFirst) {
  _tag_UsbCommand id = Addressed(CMD_GETROMID, 0x9F000000, 3);
  id.subcode = 1;
  id.request = 0xE1;
  ExpectScsiBlocks({
      {"READROM", Addressed(CMD_READROM, 0x00012345, 48),
       {0xFD, 0x84, 0x00, 0x01, 0x23, 0x45, 0x00, 0x00, 0x30, 0x00}, true, 48},
      {"WRITEROM", Addressed(CMD_WRITEROM, 0xA1B2C3D4, 0x0200),
       {0xFE, 0x94, 0xA1, 0xB2, 0xC3, 0xD4, 0x00, 0x02, 0x00, 0x00}, false, 512},
      {"BLOCKERASEROM", Addressed(CMD_BLOCKERASEROM, 0x00010000, 0),
       {0xFD, 0xA4, 0x00, 0x01, 0x00, 0x00, 0, 0, 0, 0}, false, 0},
      {"SETROMPARAMETERS", Addressed(CMD_SETROMPARAMETERS, 0, 19),
       {0xFE, 0x08, 0, 0, 0, 0, 0, 0x00, 0x13, 0x00}, false, 19},
      {"GETROMID", id, {0xFD, 0x01, 0x9F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00}, true, 3},
  });
}

TEST(ScsiEncoding, InvalidFormIsRefused) {
  ScsiCommandBlock b{};
  _tag_UsbCommand r = MakeCommandRecord(CMD_READROM);
  r.form = 7;
  EXPECT_FALSE(EncodeScsiCdb(r, &b));
  EXPECT_FALSE(EncodeScsiCdb(MakeCommandRecord(CMD_READROM), nullptr));
}

// ---- CUSBCommand over the USB-encoded virtual bridge ------------------------------

class UsbCommandSet : public ::testing::Test {
 protected:
  void SetUp() override {
    dev_ = bus_.AddDevice(vbridge::DeviceConfig{});
    ASSERT_NE(dev_, nullptr);
    active_ = std::make_unique<vbridge::ScopedActiveBus>(&bus_);
    ASSERT_EQ(cmd_.Open(nullptr), kSelectOpened);
    dev_->ClearLog();
  }

  // The only request the device received since the last check.
  Bytes OnlyRequest() {
    const std::vector<vbridge::ReceivedCommand> log = dev_->Log();
    dev_->ClearLog();
    EXPECT_EQ(log.size(), 1u);
    return log.empty() ? Bytes() : RequestOf(log.back());
  }
  size_t Received() { return dev_->Log().size(); }

  void EnterVendorModeWithParameters() {
    ASSERT_EQ(cmd_.USBCom_EnableVender(), 1);
    unsigned char params[19] = {0x0B, 0x02, 0x20};
    ASSERT_EQ(cmd_.USBCom_SetRomParameters(params, 19), 1);
    dev_->ClearLog();
  }

  vbridge::VirtualBus bus_;
  vbridge::VirtualBridge* dev_ = nullptr;
  std::unique_ptr<vbridge::ScopedActiveBus> active_;
  CUSBCommand cmd_;
};

TEST_F(UsbCommandSet, GetVersionChecksBufferAndLength) {
  unsigned char buf[20] = {};
  EXPECT_EQ(cmd_.USBCom_GetVersion(buf, 13), 0);
  EXPECT_EQ(cmd_.USBCom_GetVersion(nullptr, 14), 0);
  EXPECT_EQ(Received(), 0u);

  ASSERT_EQ(cmd_.USBCom_GetVersion(buf, 14), 1);
  EXPECT_EQ(OnlyRequest(), (Bytes{0xC0, 0xFF, 0x33, 0x31, 0x38, 0x58, 0x0E, 0x00}));
  EXPECT_EQ(std::memcmp(buf, "318a", 4), 0);
  EXPECT_EQ(buf[8], 0x54);
  EXPECT_EQ(buf[9], 0x01);

  ASSERT_EQ(cmd_.USBCom_GetVersion(buf, 20), 1);
  EXPECT_EQ(OnlyRequest(), (Bytes{0xC0, 0xFF, 0x33, 0x31, 0x38, 0x58, 0x14, 0x00}));
}

TEST_F(UsbCommandSet, VendorModeCommands) {
  EXPECT_EQ(cmd_.USBCom_EnableVender(), 1);
  EXPECT_EQ(OnlyRequest(), (Bytes{0x40, 0xFE, 0x33, 0x31, 0x38, 0x58, 0x00, 0x00}));
  EXPECT_TRUE(dev_->VendorMode());
  EXPECT_EQ(cmd_.USBCom_DisableVender(), 1);
  EXPECT_EQ(OnlyRequest(), (Bytes{0x40, 0xFD, 0x33, 0x31, 0x38, 0x58, 0x00, 0x00}));
  EXPECT_FALSE(dev_->VendorMode());
}

TEST_F(UsbCommandSet, ReadRomLimitsAndBytes) {
  EnterVendorModeWithParameters();
  dev_->StoreFlash(0x12345, Bytes{0x11, 0x22, 0x33});
  unsigned char buf[64] = {};
  EXPECT_EQ(cmd_.USBCom_ReadRom(0x12345, buf, 49), 0);
  EXPECT_EQ(cmd_.USBCom_ReadRom(0x12345, nullptr, 4), 0);
  EXPECT_EQ(Received(), 0u);

  ASSERT_EQ(cmd_.USBCom_ReadRom(0x12345, buf, 48), 1);
  EXPECT_EQ(OnlyRequest(), (Bytes{0xC0, 0xE7, 0x45, 0x23, 0x01, 0x00, 0x30, 0x00}));
  EXPECT_EQ(buf[0], 0x11);
  EXPECT_EQ(buf[2], 0x33);
  EXPECT_EQ(buf[3], 0xFF);

  // No data stage at all for 0 bytes, but the command is sent.
  ASSERT_EQ(cmd_.USBCom_ReadRom(0x100, buf, 0), 1);
  const std::vector<vbridge::ReceivedCommand> log = dev_->Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].phase, vbridge::DataPhase::None);
  EXPECT_EQ(RequestOf(log[0]), (Bytes{0xC0, 0xE7, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(UsbCommandSet, WriteRomProgramsTheBytesAtTheAddress) {
  EnterVendorModeWithParameters();
  unsigned char data[48];
  for (int i = 0; i < 48; ++i) data[i] = static_cast<unsigned char>(0xF0 | (i & 0x0F));
  EXPECT_EQ(cmd_.USBCom_WriteRom(0x2000, data, 49), 0);
  EXPECT_EQ(cmd_.USBCom_WriteRom(0x2000, nullptr, 1), 0);
  EXPECT_EQ(Received(), 0u);

  ASSERT_EQ(cmd_.USBCom_WriteRom(0x000A2000, data, 48), 1);
  EXPECT_EQ(OnlyRequest(), (Bytes{0x40, 0xE7, 0x00, 0x20, 0x0A, 0x00, 0x30, 0x00}));
  const Bytes flash = dev_->FlashBytes();
  EXPECT_EQ(Bytes(flash.begin() + 0xA2000, flash.begin() + 0xA2000 + 48), Bytes(data, data + 48));
  EXPECT_EQ(flash[0xA2000 + 48], 0xFF);
}

TEST_F(UsbCommandSet, EraseCommands) {
  EnterVendorModeWithParameters();
  dev_->StoreFlash(0x3000, Bytes(16, 0x00));
  ASSERT_EQ(cmd_.USBCom_BlockEraseRom(0x3000), 1);
  EXPECT_EQ(OnlyRequest(), (Bytes{0x40, 0xE5, 0x00, 0x30, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(dev_->FlashBytes()[0x3000], 0xFF);

  dev_->StoreFlash(0x80000, Bytes(4, 0x12));
  ASSERT_EQ(cmd_.USBCom_ChipEraseRom(), 1);
  EXPECT_EQ(OnlyRequest(), (Bytes{0x40, 0xE6, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(dev_->FlashBytes()[0x80000], 0xFF);
}

TEST_F(UsbCommandSet, RomParametersTravelBothWays) {
  ASSERT_EQ(cmd_.USBCom_EnableVender(), 1);
  dev_->ClearLog();
  unsigned char params[19];
  for (int i = 0; i < 19; ++i) params[i] = static_cast<unsigned char>(i * 7 + 1);
  EXPECT_EQ(cmd_.USBCom_SetRomParameters(nullptr, 19), 0);
  EXPECT_EQ(cmd_.USBCom_GetRomParameters(nullptr, 19), 0);
  EXPECT_EQ(Received(), 0u);

  ASSERT_EQ(cmd_.USBCom_SetRomParameters(params, 19), 1);
  EXPECT_EQ(OnlyRequest(), (Bytes{0x40, 0xE8, 0, 0, 0, 0, 0x13, 0x00}));
  EXPECT_EQ(dev_->RomParameters(), Bytes(params, params + 19));

  unsigned char back[19] = {};
  ASSERT_EQ(cmd_.USBCom_GetRomParameters(back, 19), 1);
  EXPECT_EQ(OnlyRequest(), (Bytes{0xC0, 0xE8, 0, 0, 0, 0, 0x13, 0x00}));
  EXPECT_EQ(Bytes(back, back + 19), Bytes(params, params + 19));
}

TEST_F(UsbCommandSet, GetRomIdPutsCountIntoTheRequest) {
  ASSERT_EQ(cmd_.USBCom_EnableVender(), 1);
  dev_->ClearLog();
  unsigned char reply[3] = {};
  EXPECT_EQ(cmd_.USBCom_GETROMID(0x9F000000, 1, nullptr, 3), 0);
  EXPECT_EQ(Received(), 0u);

  ASSERT_EQ(cmd_.USBCom_GETROMID(0x9F000000, 1, reply, 3), 1);
  const Bytes req = OnlyRequest();
  EXPECT_EQ(req, (Bytes{0xC0, 0xE1, 0x00, 0x00, 0x00, 0x9F, 0x03, 0x00}));
  EXPECT_EQ(Bytes(reply, reply + 3), (Bytes{0xEF, 0x40, 0x14}));  // W25Q80BL

  ASSERT_EQ(cmd_.USBCom_GETROMID(0xAB000000, 4, reply, 1), 1);
  EXPECT_EQ(OnlyRequest(), (Bytes{0xC0, 0xE4, 0x00, 0x00, 0x00, 0xAB, 0x01, 0x00}));
  EXPECT_EQ(reply[0], 0x13);
}

TEST_F(UsbCommandSet, NothingIsSentWithoutAnOpenDevice) {
  EXPECT_EQ(cmd_.Close(), 0);
  unsigned char buf[14] = {};
  EXPECT_EQ(cmd_.USBCom_GetVersion(buf, 14), 0);
  EXPECT_EQ(cmd_.USBCom_EnableVender(), 0);
  EXPECT_EQ(Received(), 0u);
}

TEST_F(UsbCommandSet, FailedExchangeReturnsZeroAndKeepsTheDeviceOpen) {
  dev_->SetFailAtCommand(dev_->CommandCount() + 1);
  EXPECT_EQ(cmd_.USBCom_EnableVender(), 0);
  EXPECT_FALSE(dev_->VendorMode());
  EXPECT_EQ(cmd_.USBCom_EnableVender(), 1);
  EXPECT_TRUE(dev_->VendorMode());
}

}  // namespace
