// Device locks: their names, the lock folders, taking and giving them back,
// and device selection over virtual bridges whose image file another run
// holds. (A holder killed outright: tests/e2e/sim_terminal.sh and
// tests/usb/e2e_usb_update.sh.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "DeviceLock.h"
#include "TestSupport.h"
#include "USBCommand.h"
#include "VirtualBus.h"
#include "VirtualDevices.h"

namespace {

using testsupport::ScratchDir;

// Points ZEDRIKFU_LOCK_DIR at a folder for the lifetime of the object.
class ScopedLockDir {
 public:
  explicit ScopedLockDir(const std::string& folder) {
    const char* old = std::getenv("ZEDRIKFU_LOCK_DIR");
    had_ = old != nullptr;
    if (had_) previous_ = old;
    setenv("ZEDRIKFU_LOCK_DIR", folder.c_str(), 1);
  }
  ~ScopedLockDir() {
    if (had_) {
      setenv("ZEDRIKFU_LOCK_DIR", previous_.c_str(), 1);
    } else {
      unsetenv("ZEDRIKFU_LOCK_DIR");
    }
  }
  ScopedLockDir(const ScopedLockDir&) = delete;
  ScopedLockDir& operator=(const ScopedLockDir&) = delete;

 private:
  bool had_ = false;
  std::string previous_;
};

TEST(DeviceLockKey, UsbPortPathAsTheKernelNamesIt) {
  const uint8_t ports[] = {2, 3};
  EXPECT_EQ(UsbDeviceLockKey(1, ports, 2, 7), "usb-1-2.3");
  EXPECT_EQ(UsbDeviceLockKey(3, ports, 1, 7), "usb-3-2");
  // No port path (a root hub, an error of the library): the address.
  EXPECT_EQ(UsbDeviceLockKey(1, ports, 0, 7), "usb-1-a7");
  EXPECT_EQ(UsbDeviceLockKey(1, nullptr, 2, 9), "usb-1-a9");
  EXPECT_EQ(UsbDeviceLockKey(1, ports, -5, 9), "usb-1-a9");
  const uint8_t deep[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(UsbDeviceLockKey(1, deep, 8, 4), "usb-1-a4");
  EXPECT_EQ(UsbDeviceLockKey(-1, ports, 2, 4), "");
  EXPECT_EQ(UsbDeviceLockKey(1, nullptr, 0, -1), "");
}

TEST(DeviceLockKey, SysfsNameGivesTheSameKey) {
  const uint8_t ports[] = {2, 3};
  EXPECT_EQ(UsbDeviceLockKeyFromSysName("1-2.3", 1), UsbDeviceLockKey(1, ports, 2, 7));
  EXPECT_EQ(UsbDeviceLockKeyFromSysName("1-1", 1), "usb-1-1");
  for (const char* bad : {"1-", "1-2.", "1-.2", "2-2.3", "1-2.3:1.0", "usb1", "1-2x", "12-3",
                          "1-1.1.1.1.1.1.1.1", "1-1234", ""}) {
    EXPECT_EQ(UsbDeviceLockKeyFromSysName(bad, 1), "") << bad;
  }
  EXPECT_EQ(UsbDeviceLockKeyFromSysName("1-2", -1), "");
}

TEST(DeviceLockKey, SafeNamesAndLockFolders) {
  EXPECT_EQ(SafeLockName("usb-1-2.3"), "usb-1-2.3");
  EXPECT_EQ(SafeLockName("../etc/x y"), ".._etc_x_y");
  EXPECT_EQ(SafeLockName(".."), "");
  EXPECT_EQ(SafeLockName(""), "");
  EXPECT_EQ(SafeLockName(std::string(300, 'a')).size(), 100u);

  EXPECT_EQ(LockFolderCandidates("/x", "/run/user/1", 0), "/x");
  EXPECT_EQ(LockFolderCandidates("/x", "/run/user/1", 1), "");
  EXPECT_EQ(LockFolderCandidates("", "/run/user/1", 0), "/run/lock");
  EXPECT_EQ(LockFolderCandidates("", "/run/user/1", 1), "/run/user/1");
  EXPECT_EQ(LockFolderCandidates(nullptr, "/run/user/1", 2), "/tmp");
  EXPECT_EQ(LockFolderCandidates(nullptr, nullptr, 1), "/tmp");
  EXPECT_EQ(LockFolderCandidates(nullptr, "", 2), "");
}

TEST(DeviceLock, SecondHolderFindsTheDeviceInUse) {
  ScratchDir dir;
  ScopedLockDir folder(dir.Path());
  CDeviceLock first;
  CDeviceLock second;
  ASSERT_EQ(first.AcquireDevice("usb-1-2.3"), CDeviceLock::kLockTaken);
  EXPECT_EQ(first.Path(), dir.File("zedrikfu-usb-1-2.3.lock"));
  EXPECT_EQ(second.AcquireDevice("usb-1-2.3"), CDeviceLock::kLockInUse);
  EXPECT_FALSE(second.Held());
  // Another device is free.
  EXPECT_EQ(second.AcquireDevice("usb-1-4"), CDeviceLock::kLockTaken);
  second.Release();
  first.Release();
  EXPECT_FALSE(first.Held());
  // The file stays and holds nothing: the next run takes the lock at once.
  struct stat info;
  EXPECT_EQ(stat(dir.File("zedrikfu-usb-1-2.3.lock").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(second.AcquireDevice("usb-1-2.3"), CDeviceLock::kLockTaken);
}

TEST(DeviceLock, UnusableFolderOrFileGivesNoLock) {
  ScratchDir dir;
  ScopedLockDir folder(dir.File("missing"));
  CDeviceLock lock;
  EXPECT_EQ(lock.AcquireDevice("usb-1-2"), CDeviceLock::kLockUnavailable);
  EXPECT_EQ(lock.AcquireDevice(""), CDeviceLock::kLockUnavailable);
  EXPECT_EQ(lock.AcquireFile(dir.File("no-such.bin")), CDeviceLock::kLockUnavailable);
  EXPECT_EQ(lock.AcquireFile(dir.Path()), CDeviceLock::kLockUnavailable);  // a folder
  EXPECT_FALSE(lock.Held());
}

// Two engines on one virtual bridge backed by an image file: the second
// finds it in use, sends it nothing, and gets it once the first closed it.
class LockedSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    vbridge::DeviceConfig cfg;
    cfg.flashImage = dir_.File("bridge.bin");
    std::string error;
    bridge_ = bus_.AddDevice(cfg, &error);
    ASSERT_NE(bridge_, nullptr) << error;
  }

  ScratchDir dir_;
  vbridge::VirtualBus bus_;
  vbridge::ScopedActiveBus active_{&bus_};
  vbridge::VirtualBridge* bridge_ = nullptr;
};

TEST_F(LockedSelection, SecondEngineFindsTheBridgeInUse) {
  CUSBCommand first;
  CUSBCommand second;
  ASSERT_EQ(first.Open(nullptr), kSelectOpened);
  const uint32_t commands = bridge_->CommandCount();
  EXPECT_EQ(second.Open(nullptr), kSelectAlreadyOpen);
  EXPECT_EQ(bridge_->CommandCount(), commands);  // nothing sent by the second
  EXPECT_EQ(second.USBCom_EnableVender(), 0);
  first.Close();
  EXPECT_EQ(second.Open(nullptr), kSelectOpened);
}

TEST_F(LockedSelection, InUseDeviceIsPassedOverForAFreeOne) {
  vbridge::DeviceConfig cfg;
  cfg.vendorId = 0x3F1D;
  std::string error;
  vbridge::VirtualBridge* other = bus_.AddDevice(cfg, &error);
  ASSERT_NE(other, nullptr) << error;
  CUSBCommand first;
  CUSBCommand second;
  ASSERT_EQ(first.Open(nullptr), kSelectOpened);
  ASSERT_EQ(second.Open(nullptr), kSelectOpened);  // the bridge without an image file
  UsbDeviceInfo info;
  ASSERT_TRUE(second.GetOpenedDeviceInfo(&info));
  EXPECT_EQ(info.vendorId, 0x3F1D);
}

TEST_F(LockedSelection, FlashIsReadBackFromTheImageWhenLocked) {
  // Another process changed the image file since this one read it.
  {
    vbridge::VirtualBus elsewhere;
    vbridge::DeviceConfig cfg;
    cfg.flashImage = dir_.File("bridge.bin");
    vbridge::VirtualBridge* copy = elsewhere.AddDevice(cfg);
    ASSERT_NE(copy, nullptr);
    ASSERT_TRUE(copy->StoreFlash(0x100, {0x5A, 0xA5}));
  }
  EXPECT_EQ(bridge_->FlashBytes()[0x100], 0xFF);
  CUSBCommand command;
  ASSERT_EQ(command.Open(nullptr), kSelectOpened);
  EXPECT_EQ(bridge_->FlashBytes()[0x100], 0x5A);
  EXPECT_EQ(bridge_->FlashBytes()[0x101], 0xA5);
}

}  // namespace
