// Device selection (CUSBCommand::Open) and the transport primitives of the
// USB-encoded virtual bridge.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BusFixture.h"
#include "IDFilter.h"
#include "TestSupport.h"
#include "USBCommand.h"
#include "VirtualBus.h"

namespace {

using vbridge::VirtualBridge;
using testsupport::Device;

class Selection : public testsupport::BusFixture {
 protected:
  size_t VersionRequests(VirtualBridge* d) {
    size_t n = 0;
    for (const vbridge::ReceivedCommand& r : d->Log()) n += r.command == CMD_GETVERSION;
    return n;
  }
};

TEST_F(Selection, TwoBridgesOpensTheFirst) {
  VirtualBridge* first = Add(Device(0x3F1C));
  VirtualBridge* second = Add(Device(0x3F1C, "318e"));
  EXPECT_EQ(cmd_.Open(nullptr), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), first);
  // The second one was asked for its version in the first pass, then
  // skipped silently.
  EXPECT_EQ(VersionRequests(second), 1u);
  EXPECT_EQ(VersionRequests(first), 1u);
}

TEST_F(Selection, DeviceThatIsNotABridgeIsSkipped) {
  VirtualBridge* other = Add(Device(0x3F1C, "318b"));
  VirtualBridge* bridge = Add(Device(0x3F1C, "318e"));
  EXPECT_EQ(cmd_.Open(nullptr), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), bridge);
  EXPECT_EQ(VersionRequests(other), 1u);
}

TEST_F(Selection, OnlyANonBridgeGivesNoDevice) {
  Add(Device(0x3F1C, "ABCD"));
  EXPECT_EQ(cmd_.Open(nullptr), kSelectNoneLeft);
  EXPECT_EQ(cmd_.OpenedDevice(), nullptr);
}

TEST_F(Selection, BusyDeviceIsSkippedAndNotCounted) {
  // Position counting: were the busy device counted, the second pass would
  // open the device after the bridge.
  Add(Device(0x3F1C, "XXXX"));
  VirtualBridge* busy = Add(Device(0x3F1C, "318a", true));
  VirtualBridge* bridge = Add(Device(0x3F1C));
  VirtualBridge* after = Add(Device(0x3F1C, "XXXX"));
  EXPECT_EQ(cmd_.Open(nullptr), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), bridge);
  EXPECT_EQ(busy->CommandCount(), 0u);
  EXPECT_EQ(VersionRequests(after), 1u);
}

// A bridge that passes the filter but is held by another program (Busy=1)
// is told from no bridge at all: the selection answers as for a device in
// use (message 206). A held device the filter does not admit, or the last
// selection's, changes nothing.
TEST_F(Selection, HeldBridgeThatPassesTheFilterAnswersAlreadyOpen) {
  VirtualBridge* held = Add(Device(0x3F1C, "318a", true));
  IDFilter admitting;
  admitting.SetID(0x3F1C, 0x0001);
  EXPECT_EQ(cmd_.Open(&admitting), kSelectAlreadyOpen);
  EXPECT_EQ(cmd_.OpenedDevice(), nullptr);
  EXPECT_EQ(held->CommandCount(), 0u);
  IDFilter other;
  other.SetID(0x3F1C, 0x0002);
  EXPECT_EQ(cmd_.Open(&other), kSelectNoneLeft);
  held->SetBusy(false);
  EXPECT_EQ(cmd_.Open(&admitting), kSelectOpened);
}

TEST_F(Selection, HeldBridgeNextToAFreeOneIsPassedOver) {
  Add(Device(0x3F1C, "318a", true));
  VirtualBridge* available = Add(Device(0x3F1C));
  EXPECT_EQ(cmd_.Open(nullptr), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), available);
}

TEST_F(Selection, UnpluggedDeviceIsSkipped) {
  VirtualBridge* gone = Add(Device(0x3F1C));
  VirtualBridge* bridge = Add(Device(0x3F1C));
  gone->Unplug();
  EXPECT_EQ(cmd_.Open(nullptr), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), bridge);
}

TEST_F(Selection, FilterDecidesBeforeTheVersionRequest) {
  VirtualBridge* foreign = Add(Device(0x1111));
  VirtualBridge* admitted = Add(Device(0x3F1C));
  IDFilter filter;
  filter.SetID(0x3F1C, 0x0001);
  EXPECT_EQ(cmd_.Open(&filter), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), admitted);
  EXPECT_EQ(foreign->CommandCount(), 0u);
}

TEST_F(Selection, NullFilterAdmitsEveryBridge) {
  VirtualBridge* odd = Add(Device(0x1111));
  Add(Device(0x3F1C));
  EXPECT_EQ(cmd_.Open(nullptr), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), odd);
}

TEST_F(Selection, FilterAdmittingNothingGivesNoDevice) {
  Add(Device(0x3F1C));
  IDFilter filter;
  filter.SetID(0x3F1C, 0x0002);
  EXPECT_EQ(cmd_.Open(&filter), kSelectNoneLeft);
}

TEST_F(Selection, OpenTwiceReturnsTwoAndKeepsTheDevice) {
  VirtualBridge* first = Add(Device(0x3F1C));
  Add(Device(0x3F1C));
  ASSERT_EQ(cmd_.Open(nullptr), kSelectOpened);
  const uint32_t before = first->CommandCount();
  EXPECT_EQ(cmd_.Open(nullptr), kSelectAlreadyOpen);
  EXPECT_EQ(cmd_.OpenedDevice(), first);
  EXPECT_EQ(first->CommandCount(), before);
}

// The numbers behind the names, as transports and callers outside this
// program know them (message 206 of the flow is tied to 2).
TEST(SelectStatus, NumbersOfTheContract) {
  EXPECT_EQ(kSelectOpened, 0);
  EXPECT_EQ(kSelectAtEnd, 1);
  EXPECT_EQ(kSelectAlreadyOpen, 2);
  EXPECT_EQ(kSelectNoDeviceList, 4);
  EXPECT_EQ(kSelectNoneLeft, 5);
  EXPECT_EQ(kSelectHandleOpen, 6);
}

TEST_F(Selection, NoDeviceGivesFive) { EXPECT_EQ(cmd_.Open(nullptr), kSelectNoneLeft); }

TEST_F(Selection, VersionRequestFailureDisqualifies) {
  VirtualBridge* failing = Add(Device(0x3F1C));
  failing->SetFailAtCommand(1);
  VirtualBridge* bridge = Add(Device(0x3F1C));
  EXPECT_EQ(cmd_.Open(nullptr), kSelectOpened);
  EXPECT_EQ(cmd_.OpenedDevice(), bridge);
}

TEST(SelectionWithoutBus, NoActiveBusGivesFour) {
  vbridge::ScopedActiveBus none(nullptr);
  CUSBCommand cmd;
  EXPECT_EQ(cmd.GetDeviceList(), nullptr);
  EXPECT_EQ(cmd.Open(nullptr), kSelectNoDeviceList);
}

// ---- the primitives ---------------------------------------------------------------

TEST_F(Selection, EnumerationRestartYieldsTheSameOrder) {
  VirtualBridge* a = Add(Device(1));
  Add(Device(2, "318a", true));
  VirtualBridge* c = Add(Device(3));
  void* list = cmd_.GetDeviceList();
  ASSERT_NE(list, nullptr);
  for (int pass = 0; pass < 2; ++pass) {
    void* cursor = list;
    ASSERT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectOpened);
    EXPECT_NE(cursor, list);
    EXPECT_EQ(cmd_.OpenedDevice(), a);
    EXPECT_EQ(cmd_.CloseDevice(), 1);
    ASSERT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectOpened);
    EXPECT_EQ(cmd_.OpenedDevice(), c);
    EXPECT_EQ(cmd_.CloseDevice(), 1);
    EXPECT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectNoneLeft);
    EXPECT_EQ(cmd_.OpenedDevice(), nullptr);
  }
}

TEST_F(Selection, OpenNextWhileOpenReturnsTwoAndChangesNothing) {
  VirtualBridge* a = Add(Device(1));
  Add(Device(2));
  void* list = cmd_.GetDeviceList();
  void* cursor = list;
  ASSERT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectOpened);
  void* const kept = cursor;
  EXPECT_EQ(cmd_.OpenNextDevice(list, &cursor), kSelectAlreadyOpen);
  EXPECT_EQ(cursor, kept);
  EXPECT_EQ(cmd_.OpenedDevice(), a);
}

TEST_F(Selection, IdCheckAndSendNeedAnOpenDevice) {
  Add(Device(0x3F1C));
  IDFilter filter;
  filter.SetID(0x3F1C, 0x0001);
  EXPECT_EQ(cmd_.IDCheck(&filter), 0);
  _tag_UsbCommand rec = MakeCommandRecord(CMD_ENABLEVENDER);
  EXPECT_EQ(cmd_.USBCom_Send(&rec), 0);

  ASSERT_EQ(cmd_.Open(&filter), kSelectOpened);
  EXPECT_EQ(cmd_.IDCheck(&filter), 1);
  IDFilter other;
  other.SetID(0x3F1C, 0x0002);
  EXPECT_EQ(cmd_.IDCheck(&other), 0);
  EXPECT_EQ(cmd_.USBCom_Send(&rec), 1);
  EXPECT_EQ(cmd_.USBCom_Send(nullptr), 0);
  rec.form = 2;
  EXPECT_EQ(cmd_.USBCom_Send(&rec), 0);

  EXPECT_EQ(cmd_.CloseDevice(), 1);
  EXPECT_EQ(cmd_.CloseDevice(), 1);
  rec.form = 0;
  EXPECT_EQ(cmd_.USBCom_Send(&rec), 0);
}

TEST_F(Selection, DeviceUnpluggedWhileOpenFailsItsCommands) {
  VirtualBridge* d = Add(Device(0x3F1C));
  ASSERT_EQ(cmd_.Open(nullptr), kSelectOpened);
  EXPECT_EQ(cmd_.USBCom_EnableVender(), 1);
  d->Unplug();
  EXPECT_EQ(cmd_.USBCom_EnableVender(), 0);
  IDFilter filter;
  EXPECT_EQ(cmd_.IDCheck(&filter), 0);
}

}  // namespace
