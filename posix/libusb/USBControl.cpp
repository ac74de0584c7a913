#include "USBControl.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>

#include "DeviceChoice.h"
#include "IDFilter.h"

ZF_VARIANT_BEGIN

void CUSBControl::ContextDeleter::operator()(libusb_context* context) const {
  libusb_exit(context);
}

void CUSBControl::DeviceListDeleter::operator()(libusb_device** list) const {
  libusb_free_device_list(list, 1);
}

void CUSBControl::HandleDeleter::operator()(libusb_device_handle* handle) const {
  libusb_close(handle);
}

CUSBControl::CUSBControl() = default;

CUSBControl::~CUSBControl() {
  // The device first, then the snapshot of the bus, then the context.
  device_.reset();
  lock_.Release();
  order_.clear();
  deviceList_.reset();
  context_.reset();
}

void* CUSBControl::GetDeviceList() {
  if (!context_) {
    libusb_context* context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS || context == nullptr) return nullptr;
    context_.reset(context);
  }
  return context_.get();
}

void CUSBControl::Enumerate() {
  order_.clear();
  deviceList_.reset();
  next_ = 0;
  sawInUse_ = false;
  libusb_device** list = nullptr;
  const ssize_t count = libusb_get_device_list(context_.get(), &list);
  if (list == nullptr) return;
  deviceList_.reset(list);
  if (count <= 0) return;
  order_.assign(list, list + count);
  // libusb lists devices in the order the system reports them, which need not
  // be the same from one listing to the next: sort them, so that a restart
  // meets the devices in the same order as the pass before it.
  std::sort(order_.begin(), order_.end(), [](libusb_device* a, libusb_device* b) {
    const int busA = libusb_get_bus_number(a);
    const int busB = libusb_get_bus_number(b);
    if (busA != busB) return busA < busB;
    return libusb_get_device_address(a) < libusb_get_device_address(b);
  });
}

int CUSBControl::OpenNextDevice(void* list, void** cursor) {
  if (device_) return kSelectAlreadyOpen;
  if (list == nullptr || list != context_.get() || cursor == nullptr) return kSelectNoneLeft;
  if (*cursor == list) Enumerate();  // a fresh start
  *cursor = &next_;

  while (next_ < order_.size()) {
    libusb_device* candidate = order_[next_++];
    // A device the command line did not choose is not opened at all.
    UsbDeviceInfo info;
    if (!Describe(candidate, &info) || !DeviceChoiceAdmits(info)) continue;
    // Another run's device is neither opened nor sent anything.
    if (!LockDevice(candidate)) continue;
    libusb_device_handle* handle = nullptr;
    const int opened = libusb_open(candidate, &handle);
    if (opened == LIBUSB_SUCCESS && handle != nullptr) {
      device_.reset(handle);
      return kSelectOpened;
    }
    // Held by another program (busy, or access refused): noted, so that the
    // selection can tell it from no device; gone: not counted.
    if (opened == LIBUSB_ERROR_BUSY || opened == LIBUSB_ERROR_ACCESS) NoteBusyDevice(info);
    lock_.Release();
  }
  return sawInUse_ ? kSelectAlreadyOpen : kSelectNoneLeft;
}

bool CUSBControl::LockDevice(libusb_device* device) {
  // The key from the port path, as the SCSI generic transport builds it from
  // the device's sysfs name: both paths to one bridge take one lock.
  uint8_t ports[8] = {};
  const int count = libusb_get_port_numbers(device, ports, static_cast<int>(sizeof ports));
  const std::string key = UsbDeviceLockKey(libusb_get_bus_number(device), ports, count,
                                           libusb_get_device_address(device));
  if (lock_.AcquireDevice(key) != CDeviceLock::kLockInUse) return true;
  sawInUse_ = true;
  return false;
}

int CUSBControl::IDCheck(IDFilter* filter) {
  if (!device_) return 0;
  libusb_device_descriptor descriptor = {};
  if (libusb_get_device_descriptor(libusb_get_device(device_.get()), &descriptor) !=
      LIBUSB_SUCCESS) {
    return 0;
  }
  // A missing filter admits every pair, as it does for device selection.
  if (filter == nullptr) return 1;
  return filter->CheckID(descriptor.idVendor, descriptor.idProduct) ? 1 : 0;
}

bool CUSBControl::Describe(libusb_device* device, UsbDeviceInfo* info) {
  libusb_device_descriptor descriptor = {};
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
  info->bus = libusb_get_bus_number(device);
  info->address = libusb_get_device_address(device);
  info->vendorId = descriptor.idVendor;
  info->productId = descriptor.idProduct;
  return true;
}

bool CUSBControl::GetOpenedDeviceInfo(UsbDeviceInfo* info) {
  if (!device_ || info == nullptr) return false;
  return Describe(libusb_get_device(device_.get()), info);
}

int CUSBControl::CloseDevice() {
  device_.reset();
  lock_.Release();
  return 1;
}

int CUSBControl::USBCom_Send(_tag_UsbCommand* cmd) {
  if (cmd == nullptr || !device_) return 0;
  UsbSetupPacket setup;
  if (!EncodeUsbSetup(*cmd, &setup)) return 0;
  const uint16_t length = setup.wLength();
  if (length != 0 && cmd->data == nullptr) return 0;
  // libusb takes the 16-bit fields in host order and sends them
  // little-endian, as the setup packet holds them.
  const int result = libusb_control_transfer(device_.get(), setup.bmRequestType(),
                                             setup.bRequest(), setup.wValue(), setup.wIndex(),
                                             cmd->data, length, kControlTimeoutMs);
  // A transfer that moved fewer bytes than asked fails: data coming in would
  // leave stale bytes in the buffer, data going out would be cut short.
  return result >= 0 && result == static_cast<int>(length) ? 1 : 0;
}

std::string CUSBControl::DeviceName() const {
  if (!device_) return std::string();
  libusb_device* device = libusb_get_device(device_.get());
  char name[16];
  std::snprintf(name, sizeof name, "%03u:%03u", libusb_get_bus_number(device),
                libusb_get_device_address(device));
  return name;
}

ZF_VARIANT_END
