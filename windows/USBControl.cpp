// The Windows transport: device selection over the MS-DOS device names and
// the present USB devices, and vendor commands through SCSI pass-through.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// The two headers below need the definitions of <windows.h> first.
#include <cfgmgr32.h>
#include <setupapi.h>
// GUID_DEVINTERFACE_USB_DEVICE is defined (not only declared) in this unit.
#include <initguid.h>
#include <usbiodef.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>
#include <string>
#include <vector>

#include "DeviceAccess.h"
#include "DeviceChoice.h"
#include "IDFilter.h"
#include "USBControl.h"

using zfwin::PassThroughBuffer;

// The pass-through record as the program relies on it. On i686 its layout is
// the one documented for the bridge's driver interface; on x86_64 the data
// buffer offset is pointer-sized and the record grows to 56 bytes, which is
// why every offset is taken from the structure.
static_assert(IOCTL_SCSI_PASS_THROUGH == zfwin::kIoctlScsiPassThrough, "pass-through control code");
static_assert(offsetof(SCSI_PASS_THROUGH, ScsiStatus) == 2, "ScsiStatus");
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == 6, "CdbLength");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == 7, "SenseInfoLength");
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == 8, "DataIn");
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12, "DataTransferLength");
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16, "TimeOutValue");
static_assert(SCSI_IOCTL_DATA_IN == 1 && SCSI_IOCTL_DATA_OUT == 0, "data direction values");
#if defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH) == 56, "x86_64 record size");
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 24, "x86_64 DataBufferOffset");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 32, "x86_64 SenseInfoOffset");
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 36, "x86_64 Cdb");
#else
static_assert(sizeof(SCSI_PASS_THROUGH) == 44, "i686 record size (Length)");
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 20, "i686 DataBufferOffset");
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 24, "i686 SenseInfoOffset");
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 28, "i686 Cdb");
static_assert(zfwin::SenseAreaOffset<SCSI_PASS_THROUGH>() == 48, "i686 sense area");
static_assert(zfwin::DataAreaOffset<SCSI_PASS_THROUGH>() == 80, "i686 data area");
static_assert(sizeof(PassThroughBuffer<SCSI_PASS_THROUGH>) == 16464, "i686 buffer size");
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "i686 SP_DEVINFO_DATA");
#endif
static_assert(sizeof(SCSI_PASS_THROUGH{}.Cdb) == 16, "Cdb holds 16 bytes");

namespace {

// The system calls behind one step of the device walk.
class WindowsDeviceSystem {
 public:
  // `lock` takes the lock of the USB device whose disk is opened;
  // `selection` learns of the devices another program holds.
  WindowsDeviceSystem(CDeviceLock* lock, CDeviceSelection* selection)
      : lock_(lock), selection_(selection) {}
  ~WindowsDeviceSystem() { CloseUsbSet(); }
  WindowsDeviceSystem(const WindowsDeviceSystem&) = delete;
  WindowsDeviceSystem& operator=(const WindowsDeviceSystem&) = delete;

  bool OpenUsbSet() {
    CloseUsbSet();
    set_ = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return set_ != INVALID_HANDLE_VALUE;
  }

  bool UsbDevice(unsigned index) {
    info_ = SP_DEVINFO_DATA{};
    info_.cbSize = sizeof(SP_DEVINFO_DATA);
    return SetupDiEnumDeviceInfo(set_, index, &info_) != FALSE;
  }

  // The first string of the hardware id property: the size first, then the
  // property into a buffer of that size (with room for missing terminators).
  bool HardwareId(unsigned /*index*/, std::string* firstString) {
    DWORD type = 0;
    DWORD size = 0;
    SetupDiGetDeviceRegistryPropertyA(set_, &info_, SPDRP_HARDWAREID, &type, nullptr, 0, &size);
    if (size == 0 || size > 65536) return false;
    std::vector<BYTE> buffer(static_cast<size_t>(size) + 2, 0);
    if (!SetupDiGetDeviceRegistryPropertyA(set_, &info_, SPDRP_HARDWAREID, &type, buffer.data(),
                                           size, nullptr)) {
      return false;
    }
    *firstString = reinterpret_cast<const char*>(buffer.data());
    hardwareId_ = *firstString;
    return true;
  }

  bool ChildInstanceId(unsigned /*index*/, std::string* id) {
    // The USB device's own instance id names its lock.
    char own[zfwin::kInstanceIdSize] = {};
    usbInstance_.clear();
    if (CM_Get_Device_IDA(info_.DevInst, own, sizeof own - 1, 0) == CR_SUCCESS) usbInstance_ = own;
    DEVINST child = 0;
    if (CM_Get_Child(&child, info_.DevInst, 0) != CR_SUCCESS) return false;
    char buffer[zfwin::kInstanceIdSize] = {};
    if (CM_Get_Device_IDA(child, buffer, sizeof buffer - 1, 0) != CR_SUCCESS) return false;
    *id = buffer;
    return true;
  }

  // Access and sharing in the order tried: read and write, read, write.
  bool OpenPath(const std::string& path, int mode) {
    static const DWORD kAccess[3] = {GENERIC_READ | GENERIC_WRITE, GENERIC_READ, GENERIC_WRITE};
    static const DWORD kShare[3] = {FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_SHARE_READ,
                                    FILE_SHARE_WRITE};
    if (mode < 0 || mode > 2) return false;
    // Another run's device is neither opened nor sent anything. A device
    // that cannot be locked here is not held back.
    const std::string key = "usb:" + zfwin::NormalizeInstanceId(usbInstance_);
    if (!usbInstance_.empty() && lock_->AcquireDevice(key) == CDeviceLock::kLockInUse) {
      inUse_ = true;
      return false;
    }
    HANDLE handle = CreateFileA(path.c_str(), kAccess[mode], kShare[mode], nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      // Another program holds the disk: noted once for the device, so that
      // the selection tells it from no device.
      const DWORD error = GetLastError();
      if ((error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) && mode == 2) {
        NoteHeld();
      }
      lock_->Release();
      return false;
    }
    opened_ = handle;
    return true;
  }

  // The ids of the engine's choice, before anything is opened.
  bool Admits(uint32_t vid, uint32_t pid) {
    if (vid > 0xFFFF || pid > 0xFFFF) return false;
    opening_ = UsbDeviceInfo{};
    opening_.vendorId = static_cast<uint16_t>(vid);
    opening_.productId = static_cast<uint16_t>(pid);
    return selection_->DeviceChoiceAdmitsIds(opening_.vendorId, opening_.productId);
  }

  // The whole choice once the disk is open: its position on Windows is the
  // disk number (bus 0), as Disk Management shows it; -1 when the disk does
  // not tell it.
  bool AdmitsOpened() {
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    disk_ = DeviceIoControl(opened_, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                            sizeof number, &returned, nullptr) != FALSE &&
                    returned >= sizeof number && number.DeviceNumber < 100000
                ? static_cast<int>(number.DeviceNumber)
                : -1;
    opening_.address = disk_;
    return selection_->DeviceChoiceAdmits(opening_);
  }

  void CloseOpened() {
    if (opened_ != INVALID_HANDLE_VALUE) CloseHandle(opened_);
    opened_ = INVALID_HANDLE_VALUE;
    lock_->Release();
  }

  int DiskNumber() const { return disk_; }

  // A device passed over in this step was held by another run.
  bool InUse() const { return inUse_; }

  void CloseUsbSet() {
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
    set_ = INVALID_HANDLE_VALUE;
  }

  HANDLE Opened() const { return opened_; }

 private:
  void NoteHeld() const {
    uint32_t vid = 0;
    uint32_t pid = 0;
    if (!zfwin::ParseHardwareId(hardwareId_.c_str(), &vid, &pid) || vid > 0xFFFF || pid > 0xFFFF) {
      return;
    }
    UsbDeviceInfo device;
    device.vendorId = static_cast<uint16_t>(vid);
    device.productId = static_cast<uint16_t>(pid);
    selection_->NoteBusyDevice(device);
  }

  std::string hardwareId_;  // of the USB device examined last
  CDeviceLock* lock_;
  CDeviceSelection* selection_;
  std::string usbInstance_;  // instance id of the USB device examined last
  bool inUse_ = false;
  UsbDeviceInfo opening_;  // the device being opened: its ids, then its disk number
  int disk_ = -1;
  HDEVINFO set_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA info_{};
  HANDLE opened_ = INVALID_HANDLE_VALUE;
};

}  // namespace

CUSBControl::CUSBControl() : device_(INVALID_HANDLE_VALUE), nameList_{} {}

CUSBControl::~CUSBControl() { CloseDevice(); }

void* CUSBControl::GetDeviceList() {
  // The result does not matter: an empty or unchanged list yields no device.
  QueryDosDeviceA(nullptr, nameList_, sizeof nameList_);
  // The list always ends inside the buffer, whatever the call left there.
  nameList_[sizeof nameList_ - 2] = '\0';
  nameList_[sizeof nameList_ - 1] = '\0';
  return nameList_;
}

int CUSBControl::OpenNextDevice(void* list, void** cursor) {
  if (device_ != INVALID_HANDLE_VALUE) return kSelectHandleOpen;
  if (list != nameList_ || cursor == nullptr || *cursor == nullptr) return kSelectNoneLeft;
  const char* at = static_cast<const char*>(*cursor);
  if (at == nameList_) sawInUse_ = false;  // a fresh start
  WindowsDeviceSystem system(&lock_, this);
  const int result = zfwin::OpenNextDeviceName(system, nameList_, sizeof nameList_, &at,
                                               &vendorId_, &productId_);
  *cursor = const_cast<char*>(at);
  sawInUse_ = sawInUse_ || system.InUse();
  if (result == kSelectOpened) {
    device_ = system.Opened();
    diskNumber_ = system.DiskNumber();
    return result;
  }
  // No device open: no lock held. The walk ended after a device in use.
  lock_.Release();
  return sawInUse_ && result == kSelectNoneLeft ? kSelectAlreadyOpen : result;
}

int CUSBControl::IDCheck(IDFilter* filter) {
  // Ids that do not fit 16 bits belong to no USB device.
  if (vendorId_ > 0xFFFF || productId_ > 0xFFFF) return 0;
  if (filter == nullptr) return 1;
  return filter->CheckID(static_cast<uint16_t>(vendorId_), static_cast<uint16_t>(productId_)) ? 1
                                                                                              : 0;
}

bool CUSBControl::GetOpenedDeviceInfo(UsbDeviceInfo* info) {
  if (device_ == INVALID_HANDLE_VALUE || info == nullptr) return false;
  if (vendorId_ > 0xFFFF || productId_ > 0xFFFF) return false;
  *info = UsbDeviceInfo{};
  info->vendorId = static_cast<uint16_t>(vendorId_);
  info->productId = static_cast<uint16_t>(productId_);
  info->address = diskNumber_;  // bus 0: the disk number stands for the position
  return true;
}

int CUSBControl::CloseDevice() {
  if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
  device_ = INVALID_HANDLE_VALUE;
  lock_.Release();
  return 1;
}

int CUSBControl::USBCom_Send(_tag_UsbCommand* cmd) {
  if (cmd == nullptr || device_ == INVALID_HANDLE_VALUE) return 0;
  HANDLE device = device_;
  PassThroughBuffer<SCSI_PASS_THROUGH> buffer;
  const bool ok = zfwin::SendPassThrough(cmd, &buffer, [device](void* io, uint32_t size) {
    DWORD returned = 0;
    return DeviceIoControl(device, IOCTL_SCSI_PASS_THROUGH, io, size, io, size, &returned,
                           nullptr) != FALSE;
  });
  return ok ? 1 : 0;
}
