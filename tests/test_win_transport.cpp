// The Windows transport's platform-free parts, compiled natively: the
// hardware-id parse, the name transformation and match, the device walk over
// a fake system, and the pass-through buffer with a fake DeviceIoControl.
// The pass-through records below have the SDK's field names and its i686 and
// x86_64 layouts.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../windows/DeviceAccess.h"
#include "CommandSet.h"

namespace {

using zfwin::PassThroughBuffer;

// SCSI_PASS_THROUGH; DataBufferOffset is a ULONG_PTR, 32 bits wide on i686
// and 64 bits on x86_64, which moves every field after it.
template <typename BufferOffset>
struct PassThroughRecord {
  uint16_t Length;
  uint8_t ScsiStatus;
  uint8_t PathId;
  uint8_t TargetId;
  uint8_t Lun;
  uint8_t CdbLength;
  uint8_t SenseInfoLength;
  uint8_t DataIn;
  uint32_t DataTransferLength;
  uint32_t TimeOutValue;
  BufferOffset DataBufferOffset;
  uint32_t SenseInfoOffset;
  uint8_t Cdb[16];
};
using Record32 = PassThroughRecord<uint32_t>;  // i686, 44 bytes
using Record64 = PassThroughRecord<uint64_t>;  // x86_64, 56 bytes

using Bytes = std::vector<uint8_t>;

// ---- hardware id -------------------------------------------------------------------

TEST(WinHardwareId, ReadsVendorAndProductInAnyCaseAndSeparator) {
  uint32_t vid = 0, pid = 0;
  ASSERT_TRUE(zfwin::ParseHardwareId("USB\\VID_3F1C&PID_0001&REV_0100", &vid, &pid));
  EXPECT_EQ(vid, 0x3F1Cu);
  EXPECT_EQ(pid, 0x0001u);
  // Letters are taken in upper case and '#' as '\'.
  ASSERT_TRUE(zfwin::ParseHardwareId("usb#vid_abcd&pid_12ef&rev_0001", &vid, &pid));
  EXPECT_EQ(vid, 0xABCDu);
  EXPECT_EQ(pid, 0x12EFu);
  // The revision part is not needed; "%x" also takes a 0x prefix.
  ASSERT_TRUE(zfwin::ParseHardwareId("USB\\VID_0x0BDA&PID_9", &vid, &pid));
  EXPECT_EQ(vid, 0x0BDAu);
  EXPECT_EQ(pid, 0x9u);
}

TEST(WinHardwareId, RefusesIdsWithoutBothNumbers) {
  uint32_t vid = 7, pid = 7;
  EXPECT_FALSE(zfwin::ParseHardwareId("USB\\VID_3F1C", &vid, &pid));
  EXPECT_FALSE(zfwin::ParseHardwareId("USB\\VID_3F1C&PID_", &vid, &pid));
  EXPECT_FALSE(zfwin::ParseHardwareId("USB\\VID_&PID_0001", &vid, &pid));
  EXPECT_FALSE(zfwin::ParseHardwareId("HID\\VID_3F1C&PID_0001", &vid, &pid));
  EXPECT_FALSE(zfwin::ParseHardwareId("USB\\ROOT_HUB30", &vid, &pid));
  EXPECT_FALSE(zfwin::ParseHardwareId("", &vid, &pid));
  EXPECT_FALSE(zfwin::ParseHardwareId(nullptr, &vid, &pid));
  EXPECT_EQ(vid, 7u);  // nothing written on failure
  EXPECT_EQ(pid, 7u);
}

TEST(WinHardwareId, OverlongNumbersSaturate) {
  uint32_t vid = 0, pid = 0;
  ASSERT_TRUE(zfwin::ParseHardwareId("USB\\VID_123456789ABCDEF&PID_1", &vid, &pid));
  EXPECT_EQ(vid, 0xFFFFFFFFu);
  EXPECT_EQ(pid, 1u);
}

// ---- names -------------------------------------------------------------------------

const char kDiskName[] =
    "USBSTOR#Disk&Ven_ZEDRIK&Prod_Bridge&Rev_0100#0123456789&0#{53f56307-b6bf-11d0-94f2-"
    "00a0c91efb8b}";
const char kDiskInstance[] = "USBSTOR\\DISK&VEN_ZEDRIK&PROD_BRIDGE&REV_0100\\0123456789&0";

TEST(WinNames, TransformationAndMatch) {
  EXPECT_EQ(zfwin::NormalizeDeviceName("usbstor#disk&ven_a"), "USBSTOR\\DISK&VEN_A");
  EXPECT_EQ(zfwin::NormalizeInstanceId("USBSTOR/DISK/1"), "USBSTOR\\DISK\\1");
  EXPECT_TRUE(zfwin::NameMatchesInstance(kDiskName, kDiskInstance));
  // The instance id may use '/' for '\'.
  EXPECT_TRUE(zfwin::NameMatchesInstance(kDiskName,
                                         "USBSTOR/DISK&VEN_ZEDRIK&PROD_BRIDGE&REV_0100/0123456789&0"));
  // Another serial number, another device.
  EXPECT_FALSE(zfwin::NameMatchesInstance(kDiskName,
                                          "USBSTOR\\DISK&VEN_ZEDRIK&PROD_BRIDGE&REV_0100\\999&0"));
  EXPECT_FALSE(zfwin::NameMatchesInstance("PhysicalDrive0", kDiskInstance));
  EXPECT_FALSE(zfwin::NameMatchesInstance(kDiskName, ""));
  EXPECT_EQ(zfwin::DevicePath("PhysicalDrive1"), "\\\\.\\PhysicalDrive1");
}

// ---- device walk -------------------------------------------------------------------

struct FakeUsbDevice {
  std::string hardwareId;  // empty: the property cannot be read
  std::string childId;     // empty: no child
};

struct FakeSystem {
  std::vector<FakeUsbDevice> devices;
  bool setAvailable = true;
  // Access modes that succeed for a path (all when empty).
  std::vector<int> allowedModes{0, 1, 2};
  int setsOpened = 0;
  int setsClosed = 0;
  int childQueries = 0;
  std::vector<std::pair<std::string, int>> opens;  // path, mode of every attempt
  std::string openedPath;
  int openedMode = -1;
  uint32_t admittedVendor = 0;  // 0: every device
  bool admitsOpened = true;     // the choice's answer once a disk is open
  int closedAfterOpening = 0;

  bool OpenUsbSet() {
    if (!setAvailable) return false;
    ++setsOpened;
    return true;
  }
  bool UsbDevice(unsigned index) { return index < devices.size(); }
  bool HardwareId(unsigned index, std::string* id) {
    if (devices[index].hardwareId.empty()) return false;
    *id = devices[index].hardwareId;
    return true;
  }
  bool Admits(uint32_t vid, uint32_t /*pid*/) const {
    return admittedVendor == 0 || vid == admittedVendor;
  }
  bool AdmitsOpened() const { return admitsOpened; }
  void CloseOpened() { ++closedAfterOpening; }
  bool ChildInstanceId(unsigned index, std::string* id) {
    ++childQueries;
    if (devices[index].childId.empty()) return false;
    *id = devices[index].childId;
    return true;
  }
  bool OpenPath(const std::string& path, int mode) {
    opens.emplace_back(path, mode);
    for (int allowed : allowedModes) {
      if (allowed == mode) {
        openedPath = path;
        openedMode = mode;
        return true;
      }
    }
    return false;
  }
  void CloseUsbSet() { ++setsClosed; }
};

// A device name list: names separated by a zero byte, ended by an empty name.
std::vector<char> NameList(const std::vector<std::string>& names) {
  std::vector<char> list;
  for (const std::string& name : names) {
    list.insert(list.end(), name.begin(), name.end());
    list.push_back('\0');
  }
  list.push_back('\0');
  return list;
}

class WinDeviceWalk : public ::testing::Test {
 protected:
  int Next() {
    return zfwin::OpenNextDeviceName(system_, list_.data(), list_.size(), &cursor_, &vid_, &pid_);
  }
  void SetNames(const std::vector<std::string>& names) {
    list_ = NameList(names);
    cursor_ = list_.data();
  }
  FakeSystem system_;
  std::vector<char> list_;
  const char* cursor_ = nullptr;
  uint32_t vid_ = 0;
  uint32_t pid_ = 0;
};

TEST_F(WinDeviceWalk, OpensTheNameOfTheStorageDeviceUnderAUsbDevice) {
  system_.devices = {{"USB\\VID_046D&PID_C52B&REV_1201", "HID\\VID_046D&PID_C52B\\7&1"},
                     {"USB\\VID_3F1C&PID_0001&REV_0100\0USB\\VID_3F1C&PID_0001", kDiskInstance}};
  SetNames({"C:", "PhysicalDrive0", kDiskName, "COM1"});
  ASSERT_EQ(Next(), kSelectOpened);
  EXPECT_EQ(system_.openedPath, std::string("\\\\.\\") + kDiskName);
  EXPECT_EQ(system_.openedMode, 0);  // read and write first
  EXPECT_EQ(vid_, 0x3F1Cu);
  EXPECT_EQ(pid_, 0x0001u);
  // The cursor stands behind the opened name; the set was destroyed after
  // every walk (one per name tried).
  EXPECT_STREQ(cursor_, "COM1");
  EXPECT_EQ(system_.setsOpened, 3);
  EXPECT_EQ(system_.setsClosed, 3);
  // The rest of the list holds no device: 5 at its end, then 1.
  EXPECT_EQ(Next(), kSelectNoneLeft);
  EXPECT_EQ(Next(), kSelectAtEnd);
}

TEST_F(WinDeviceWalk, FallsBackToReadOnlyThenWriteOnlyAccess) {
  system_.devices = {{"USB\\VID_3F1C&PID_0001", kDiskInstance}};
  SetNames({kDiskName});
  system_.allowedModes = {1};
  ASSERT_EQ(Next(), kSelectOpened);
  EXPECT_EQ(system_.openedMode, 1);
  ASSERT_EQ(system_.opens.size(), 2u);

  system_ = FakeSystem{};
  system_.devices = {{"USB\\VID_3F1C&PID_0001", kDiskInstance}};
  system_.allowedModes = {2};
  SetNames({kDiskName});
  ASSERT_EQ(Next(), kSelectOpened);
  EXPECT_EQ(system_.openedMode, 2);
  EXPECT_EQ(system_.opens.size(), 3u);
}

TEST_F(WinDeviceWalk, ANameThatCannotBeOpenedCountsAsNotMatching) {
  system_.devices = {{"USB\\VID_3F1C&PID_0001", kDiskInstance}};
  system_.allowedModes = {};
  SetNames({kDiskName});
  EXPECT_EQ(Next(), kSelectNoneLeft);
  EXPECT_EQ(system_.opens.size(), 3u);  // all three modes tried
  EXPECT_EQ(Next(), kSelectAtEnd);
}

TEST_F(WinDeviceWalk, AChildWhoseIdIsInNoNameIsNeverOpened) {
  system_.devices = {{"USB\\VID_3F1C&PID_0001", "USBSTOR\\DISK&VEN_OTHER\\5&0"}};
  SetNames({"C:", kDiskName, "PhysicalDrive0"});
  EXPECT_EQ(Next(), kSelectNoneLeft);
  EXPECT_TRUE(system_.opens.empty());
  EXPECT_EQ(system_.setsOpened, 3);  // every name tried against every device
}

TEST_F(WinDeviceWalk, ADeviceTheChoiceLeavesOutIsNeitherAskedForAChildNorOpened) {
  system_.devices = {{"USB\\VID_1111&PID_0001", kDiskInstance},
                     {"USB\\VID_3F1C&PID_0001", kDiskInstance}};
  system_.admittedVendor = 0x3F1C;
  SetNames({kDiskName});
  ASSERT_EQ(Next(), kSelectOpened);
  EXPECT_EQ(vid_, 0x3F1Cu);
  EXPECT_EQ(system_.childQueries, 1);
  system_ = FakeSystem{};
  system_.devices = {{"USB\\VID_1111&PID_0001", kDiskInstance}};
  system_.admittedVendor = 0x3F1C;
  SetNames({kDiskName});
  EXPECT_EQ(Next(), kSelectNoneLeft);
  EXPECT_TRUE(system_.opens.empty());
  // A disk whose number the choice leaves out is closed again at once.
  system_ = FakeSystem{};
  system_.devices = {{"USB\\VID_3F1C&PID_0001", kDiskInstance}};
  system_.admitsOpened = false;
  SetNames({kDiskName});
  EXPECT_EQ(Next(), kSelectNoneLeft);
  EXPECT_EQ(system_.opens.size(), 1u);
  EXPECT_EQ(system_.closedAfterOpening, 1);
}

TEST_F(WinDeviceWalk, DevicesWithoutIdsOrChildrenArePassedOver) {
  system_.devices = {{"", kDiskInstance},                      // no hardware id
                     {"USB\\ROOT_HUB30\\4&1", kDiskInstance},  // not a VID/PID id
                     {"USB\\VID_1111&PID_2222", ""},           // no child
                     {"USB\\VID_3F1C&PID_0001", kDiskInstance}};
  SetNames({kDiskName});
  ASSERT_EQ(Next(), kSelectOpened);
  EXPECT_EQ(vid_, 0x3F1Cu);
  // Only the devices whose id was read were asked for a child.
  EXPECT_EQ(system_.childQueries, 2);
}

TEST_F(WinDeviceWalk, SeveralNamesOfOneChildOpenInTurn) {
  system_.devices = {{"USB\\VID_3F1C&PID_0001", kDiskInstance}};
  const std::string second = std::string(kDiskName) + "#partition1";
  SetNames({kDiskName, second});
  ASSERT_EQ(Next(), kSelectOpened);
  ASSERT_EQ(Next(), kSelectOpened);
  EXPECT_EQ(system_.openedPath, "\\\\.\\" + second);
  EXPECT_EQ(Next(), kSelectAtEnd);
}

TEST_F(WinDeviceWalk, NoUsbDeviceSetGivesFiveAndKeepsTheCursor) {
  system_.setAvailable = false;
  SetNames({kDiskName});
  EXPECT_EQ(Next(), kSelectNoneLeft);
  EXPECT_EQ(cursor_, list_.data());
}

TEST_F(WinDeviceWalk, EmptyAndUnterminatedListsEndTheWalk) {
  SetNames({});
  EXPECT_EQ(Next(), kSelectAtEnd);
  // A name running to the end of the buffer without its zero byte is not
  // read past the buffer.
  std::vector<char> unterminated = {'A', 'B', 'C'};
  const char* cursor = unterminated.data();
  EXPECT_EQ(zfwin::OpenNextDeviceName(system_, unterminated.data(), unterminated.size(), &cursor,
                                      &vid_, &pid_),
            kSelectAtEnd);
  EXPECT_EQ(system_.setsOpened, 0);
}

// ---- pass-through buffer -----------------------------------------------------------

// The size and field offsets of a pass-through record, and where the sense
// and data areas of a buffer around it start.
template <typename Record>
void ExpectRecordLayout(const char* abi, size_t size, size_t dataBufferOffset,
                        size_t senseInfoOffset, size_t cdb, size_t senseArea, size_t dataArea) {
  SCOPED_TRACE(abi);
  EXPECT_EQ(sizeof(Record), size);
  EXPECT_EQ(offsetof(Record, DataBufferOffset), dataBufferOffset);
  EXPECT_EQ(offsetof(Record, SenseInfoOffset), senseInfoOffset);
  EXPECT_EQ(offsetof(Record, Cdb), cdb);
  EXPECT_EQ(zfwin::SenseAreaOffset<Record>(), senseArea);
  EXPECT_EQ(zfwin::DataAreaOffset<Record>(), dataArea);
}

TEST(WinPassThroughLayout, I686AndX8664Layouts) {
  ExpectRecordLayout<Record32>("i686", 44, 20, 24, 28, 48, 80);
  EXPECT_EQ(sizeof(PassThroughBuffer<Record32>), 16464u);
  // Offsets follow the record: the sense area behind record and filler.
  ExpectRecordLayout<Record64>("x86_64", 56, 24, 32, 36, 60, 92);
}

_tag_UsbCommand Command(UsbCommandNumber number, uint32_t address, uint16_t length,
                        unsigned char* data) {
  _tag_UsbCommand cmd = MakeCommandRecord(number);
  cmd.address = address;
  cmd.length = length;
  cmd.data = data;
  return cmd;
}

Bytes CdbOf(const Record32& spt) { return Bytes(spt.Cdb, spt.Cdb + spt.CdbLength); }

TEST(WinPassThroughFill, SignatureFormVersionRequest) {
  unsigned char reply[14] = {};
  _tag_UsbCommand cmd = MakeCommandRecord(CMD_GETVERSION);
  cmd.shortLength = 14;
  cmd.data = reply;
  auto buffer = std::make_unique<PassThroughBuffer<Record32>>();
  std::memset(buffer.get(), 0xCC, sizeof(*buffer));  // proves the fill zeroes
  uint32_t size = 0;
  ASSERT_TRUE(zfwin::FillPassThrough(cmd, buffer.get(), &size));
  const Record32& spt = buffer->spt;
  EXPECT_EQ(spt.Length, 44);
  EXPECT_EQ(spt.ScsiStatus, 0);
  EXPECT_EQ(spt.PathId + spt.TargetId + spt.Lun, 0);
  EXPECT_EQ(spt.CdbLength, 12);
  EXPECT_EQ(spt.SenseInfoLength, 32);
  EXPECT_EQ(spt.DataIn, 1);
  EXPECT_EQ(spt.DataTransferLength, 14u);
  EXPECT_EQ(spt.TimeOutValue, 50u);
  EXPECT_EQ(spt.DataBufferOffset, 80u);
  EXPECT_EQ(spt.SenseInfoOffset, 48u);
  EXPECT_EQ(CdbOf(spt), (Bytes{0xFF, 0x33, 0x31, 0x38, 0x58, 0, 0, 0, 0, 0x00, 0x0E, 0x00}));
  for (size_t i = 12; i < 16; ++i) EXPECT_EQ(spt.Cdb[i], 0) << i;
  EXPECT_EQ(buffer->filler, 0u);
  for (uint8_t b : buffer->sense) EXPECT_EQ(b, 0);
  EXPECT_EQ(buffer->data[0], 0);
  EXPECT_EQ(size, 80u + 14u);
}

TEST(WinPassThroughFill, AddressedFormsOfTheCommandTable) {
  struct Case {
    UsbCommandNumber number;
    uint32_t address;
    uint16_t length;
    Bytes cdb;
    uint8_t dataIn;
  };
  const Case cases[] = {
      {CMD_READROM, 0x00012345, 512, {0xFD, 0x84, 0x00, 0x01, 0x23, 0x45, 0x00, 0x02, 0x00, 0x00}, 1},
      {CMD_WRITEROM, 0x000FFE00, 512, {0xFE, 0x94, 0x00, 0x0F, 0xFE, 0x00, 0x00, 0x02, 0x00, 0x00}, 0},
      {CMD_BLOCKERASEROM, 0x00010000, 0, {0xFD, 0xA4, 0x00, 0x01, 0x00, 0x00, 0, 0, 0, 0}, 0},
      {CMD_SETROMPARAMETERS, 0, 19, {0xFE, 0x08, 0, 0, 0, 0, 0, 0x00, 0x13, 0}, 0},
  };
  static unsigned char data[512];
  for (const Case& c : cases) {
    _tag_UsbCommand cmd = Command(c.number, c.address, c.length, data);
    auto buffer = std::make_unique<PassThroughBuffer<Record32>>();
    uint32_t size = 0;
    ASSERT_TRUE(zfwin::FillPassThrough(cmd, buffer.get(), &size)) << c.number;
    EXPECT_EQ(buffer->spt.CdbLength, 10) << c.number;
    EXPECT_EQ(CdbOf(buffer->spt), c.cdb) << c.number;
    EXPECT_EQ(buffer->spt.DataIn, c.dataIn) << c.number;
    EXPECT_EQ(buffer->spt.DataTransferLength, c.length) << c.number;
    EXPECT_EQ(size, 80u + c.length) << c.number;
  }
  // The flash identification pass-through: count in byte 1, the command
  // value in bytes 2-5.
  unsigned char id[3];
  _tag_UsbCommand cmd = Command(CMD_GETROMID, 0x9F000000, 3, id);
  cmd.subcode = 1;
  auto buffer = std::make_unique<PassThroughBuffer<Record32>>();
  uint32_t size = 0;
  ASSERT_TRUE(zfwin::FillPassThrough(cmd, buffer.get(), &size));
  EXPECT_EQ(CdbOf(buffer->spt), (Bytes{0xFD, 0x01, 0x9F, 0, 0, 0, 0, 0x00, 0x03, 0x00}));
}

TEST(WinPassThroughFill, OutgoingDataIsCopiedToTheDataArea) {
  Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  _tag_UsbCommand cmd = Command(CMD_WRITEROM, 0x2000, 300, data.data());
  auto buffer = std::make_unique<PassThroughBuffer<Record64>>();
  uint32_t size = 0;
  ASSERT_TRUE(zfwin::FillPassThrough(cmd, buffer.get(), &size));
  EXPECT_EQ(Bytes(buffer->data, buffer->data + 300), data);
  EXPECT_EQ(buffer->data[300], 0);
  // On x86_64 the offsets come from the larger record.
  EXPECT_EQ(buffer->spt.Length, 56);
  EXPECT_EQ(buffer->spt.DataBufferOffset, 92u);
  EXPECT_EQ(buffer->spt.SenseInfoOffset, 60u);
  EXPECT_EQ(size, 92u + 300u);
}

TEST(WinPassThroughFill, Refusals) {
  static unsigned char data[16384];
  auto buffer = std::make_unique<PassThroughBuffer<Record32>>();
  uint32_t size = 0;
  _tag_UsbCommand cmd = Command(CMD_READROM, 0, 16383, data);
  EXPECT_TRUE(zfwin::FillPassThrough(cmd, buffer.get(), &size));
  cmd.length = 16384;  // the data area holds at most 16383 bytes
  EXPECT_FALSE(zfwin::FillPassThrough(cmd, buffer.get(), &size));
  cmd = Command(CMD_READROM, 0, 16, nullptr);  // data in without a buffer
  EXPECT_FALSE(zfwin::FillPassThrough(cmd, buffer.get(), &size));
  cmd = Command(CMD_WRITEROM, 0, 16, nullptr);  // data out without a buffer
  EXPECT_FALSE(zfwin::FillPassThrough(cmd, buffer.get(), &size));
  cmd = Command(CMD_READROM, 0, 16, data);
  cmd.form = 2;
  EXPECT_FALSE(zfwin::FillPassThrough(cmd, buffer.get(), &size));
  // Without data the buffer may be missing.
  cmd = Command(CMD_BLOCKERASEROM, 0x1000, 0, nullptr);
  EXPECT_TRUE(zfwin::FillPassThrough(cmd, buffer.get(), &size));
}

// ---- sending -----------------------------------------------------------------------

// A DeviceIoControl stand-in: fails the first `failures` calls, then lets
// `device` answer on the buffer.
struct FakeIo {
  int failures = 0;
  int calls = 0;
  std::vector<uint32_t> sizes;
  std::function<void(PassThroughBuffer<Record32>*)> device;

  bool operator()(void* io, uint32_t size) {
    ++calls;
    sizes.push_back(size);
    auto* buffer = static_cast<PassThroughBuffer<Record32>*>(io);
    if (calls <= failures) {
      // A failed call may leave anything behind in the buffer.
      buffer->spt.DataTransferLength = 1;
      buffer->spt.ScsiStatus = 2;
      std::memset(buffer->data, 0xEE, 200);
      return false;
    }
    if (device) device(buffer);
    return true;
  }
};

TEST(WinPassThroughSend, RetriesUpToTenCallsThenGivesUp) {
  unsigned char reply[14];
  _tag_UsbCommand cmd = MakeCommandRecord(CMD_GETVERSION);
  cmd.shortLength = 14;
  cmd.data = reply;
  auto buffer = std::make_unique<PassThroughBuffer<Record32>>();

  FakeIo io;
  io.failures = 9;
  uint32_t seenLength = 0;
  io.device = [&](PassThroughBuffer<Record32>* b) {
    seenLength = b->spt.DataTransferLength;
    std::memcpy(b->data, "318a", 4);
  };
  EXPECT_TRUE(zfwin::SendPassThrough(&cmd, buffer.get(), std::ref(io)));
  EXPECT_EQ(io.calls, 10);
  // The tenth call got a freshly filled buffer, not the failed call's leftovers.
  EXPECT_EQ(seenLength, 14u);
  EXPECT_EQ(std::memcmp(reply, "318a", 4), 0);
  EXPECT_EQ(reply[4], 0);
  for (uint32_t size : io.sizes) EXPECT_EQ(size, 94u);

  FakeIo failing;
  failing.failures = 1000;
  EXPECT_FALSE(zfwin::SendPassThrough(&cmd, buffer.get(), std::ref(failing)));
  EXPECT_EQ(failing.calls, 10);  // no eleventh call
}

TEST(WinPassThroughSend, ANonZeroScsiStatusFailsWithoutRetry) {
  unsigned char data[64] = {};
  _tag_UsbCommand cmd = Command(CMD_WRITEROM, 0, 64, data);
  auto buffer = std::make_unique<PassThroughBuffer<Record32>>();
  FakeIo io;
  io.device = [](PassThroughBuffer<Record32>* b) { b->spt.ScsiStatus = 2; };  // check condition
  EXPECT_FALSE(zfwin::SendPassThrough(&cmd, buffer.get(), std::ref(io)));
  EXPECT_EQ(io.calls, 1);
}

TEST(WinPassThroughSend, ADataPhaseShorterThanAskedFailsInEitherDirection) {
  struct Case {
    UsbCommandNumber number;
    uint16_t length;
    uint32_t moved;  // DataTransferLength as the driver gives it back
    bool ok;
  };
  const Case cases[] = {
      {CMD_READROM, 512, 100, false},  // the device sent 100 of 512 bytes
      {CMD_READROM, 512, 511, false},
      {CMD_READROM, 512, 0, false},
      {CMD_READROM, 512, 512, true},
      {CMD_WRITEROM, 512, 256, false},  // the device took half of the data
      {CMD_WRITEROM, 512, 512, true},
      {CMD_SETROMPARAMETERS, 19, 18, false},
      {CMD_GETVERSION, 14, 13, false},
      {CMD_BLOCKERASEROM, 0, 0, true},  // no data phase
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "command " << c.number << ", " << c.moved << " of "
                                    << c.length);
    Bytes data(512, 0xAA);
    _tag_UsbCommand cmd = Command(c.number, 0x400, c.length, data.data());
    if (c.number == CMD_GETVERSION) cmd.shortLength = static_cast<uint8_t>(c.length);
    auto buffer = std::make_unique<PassThroughBuffer<Record32>>();
    FakeIo io;
    io.failures = 2;  // leftovers of failed calls must not count either
    io.device = [&c](PassThroughBuffer<Record32>* b) {
      for (uint32_t i = 0; i < c.moved; ++i) b->data[i] = static_cast<uint8_t>(i + 1);
      b->spt.DataTransferLength = c.moved;
    };
    EXPECT_EQ(zfwin::SendPassThrough(&cmd, buffer.get(), std::ref(io)), c.ok);
    EXPECT_EQ(io.calls, 3);  // the device answered: no retry either way
    if (c.ok && c.number == CMD_READROM) {
      for (int i = 0; i < 512; ++i) ASSERT_EQ(data[i], static_cast<uint8_t>(i + 1)) << i;
    }
  }
}

TEST(WinPassThroughSend, RefusedCommandsMakeNoCall) {
  static unsigned char data[16384];
  _tag_UsbCommand cmd = Command(CMD_READROM, 0, 16384, data);
  auto buffer = std::make_unique<PassThroughBuffer<Record32>>();
  FakeIo io;
  EXPECT_FALSE(zfwin::SendPassThrough(&cmd, buffer.get(), std::ref(io)));
  EXPECT_FALSE(zfwin::SendPassThrough(nullptr, buffer.get(), std::ref(io)));
  EXPECT_EQ(io.calls, 0);
}

}  // namespace
