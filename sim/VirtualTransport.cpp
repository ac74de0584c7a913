// Transport primitives over the virtual bus, in the USB or SCSI encoding.
#include "VirtualTransport.h"

#include <array>
#include <cstring>

#include "DeviceChoice.h"
#include "IDFilter.h"

namespace {

// The pass-through data area holds at most 16383 bytes.
constexpr uint32_t kScsiDataLimit = 16384;

}  // namespace

void* CVirtualTransport::GetDeviceList() { return vbridge::ActiveBus(); }

vbridge::VirtualBridge* CVirtualTransport::OpenedDevice() const {
  if (!open_ || bus_ == nullptr || bus_ != vbridge::ActiveBus()) return nullptr;
  return bus_->Device(openIndex_);
}

int CVirtualTransport::OpenNextDevice(void* list, void** cursor) {
  if (open_) return encoding_ == vbridge::Encoding::Scsi ? kSelectHandleOpen : kSelectAlreadyOpen;
  vbridge::VirtualBus* bus = vbridge::ActiveBus();
  if (cursor == nullptr || list == nullptr || list != bus) return kSelectNoneLeft;

  if (*cursor == list) {  // a fresh start
    next_ = 0;
    sawInUse_ = false;
  }
  *cursor = &next_;

  if (encoding_ == vbridge::Encoding::Scsi && next_ >= bus->Count()) return kSelectAtEnd;
  while (next_ < bus->Count()) {
    const size_t index = next_++;
    vbridge::VirtualBridge* device = bus->Device(index);
    if (device == nullptr || !DeviceChoiceAdmits(Position(index, *device))) continue;
    // Busy=1: held by another program.
    if (device->Present() && !device->CanOpen()) NoteBusyDevice(Position(index, *device));
    if (device->CanOpen() && LockDevice(device)) {
      bus_ = bus;
      openIndex_ = index;
      open_ = true;
      return kSelectOpened;
    }
  }
  return sawInUse_ ? kSelectAlreadyOpen : kSelectNoneLeft;
}

bool CVirtualTransport::LockDevice(vbridge::VirtualBridge* device) {
  const std::string& image = device->Config().flashImage;
  if (image.empty()) return true;
  const int result = lock_.AcquireFile(image);
  if (result == CDeviceLock::kLockInUse) {
    sawInUse_ = true;
    return false;
  }
  // The run before this one may have changed the flash since this process
  // read the file.
  if (result == CDeviceLock::kLockTaken) device->ReloadFlash();
  return true;
}

int CVirtualTransport::IDCheck(IDFilter* filter) {
  vbridge::VirtualBridge* device = OpenedDevice();
  if (device == nullptr || !device->Present()) return 0;
  // A missing filter admits every pair, as it does for device selection.
  if (filter == nullptr) return 1;
  return filter->CheckID(device->VendorId(), device->ProductId()) ? 1 : 0;
}

UsbDeviceInfo CVirtualTransport::Position(size_t index, const vbridge::VirtualBridge& device) {
  UsbDeviceInfo info;
  info.bus = kVirtualBusNumber;
  info.address = static_cast<int>(index) + kFirstVirtualAddress;
  info.vendorId = device.VendorId();
  info.productId = device.ProductId();
  return info;
}

bool CVirtualTransport::GetOpenedDeviceInfo(UsbDeviceInfo* info) {
  vbridge::VirtualBridge* device = OpenedDevice();
  if (device == nullptr || info == nullptr) return false;
  *info = Position(openIndex_, *device);
  return true;
}

int CVirtualTransport::CloseDevice() {
  lock_.Release();
  open_ = false;
  bus_ = nullptr;
  openIndex_ = 0;
  return 1;
}

int CVirtualTransport::USBCom_Send(_tag_UsbCommand* cmd) {
  if (cmd == nullptr) return 0;
  vbridge::VirtualBridge* device = OpenedDevice();
  if (device == nullptr) return 0;
  return encoding_ == vbridge::Encoding::Scsi ? SendScsi(device, *cmd) : SendUsb(device, *cmd);
}

int CVirtualTransport::SendUsb(vbridge::VirtualBridge* device, const _tag_UsbCommand& cmd) {
  UsbSetupPacket setup;
  if (!EncodeUsbSetup(cmd, &setup)) return 0;
  const uint16_t length = setup.wLength();
  if (length != 0 && cmd.data == nullptr) return 0;
  return device->HandleUsb(setup.bytes, cmd.data, length, nullptr) ? 1 : 0;
}

int CVirtualTransport::SendScsi(vbridge::VirtualBridge* device, const _tag_UsbCommand& cmd) {
  ScsiCommandBlock block;
  if (!EncodeScsiCdb(cmd, &block)) return 0;
  if (block.dataLength >= kScsiDataLimit) return 0;
  if (block.dataIn && cmd.data == nullptr) return 0;
  if (!block.dataIn && block.dataLength != 0 && cmd.data == nullptr) return 0;

  // The data area of the pass-through buffer: zeroed, filled with the data
  // going out, and for data coming in copied back in full (bytes the device
  // did not send stay zero).
  std::array<uint8_t, kScsiDataLimit> area{};
  if (!block.dataIn && block.dataLength != 0) std::memcpy(area.data(), cmd.data, block.dataLength);
  uint32_t transferred = 0;
  if (!device->HandleScsi(block.cdb, block.cdbLength, block.dataIn, area.data(),
                          block.dataLength, &transferred)) {
    return 0;
  }
  if (block.dataIn && block.dataLength != 0) std::memcpy(cmd.data, area.data(), block.dataLength);
  return 1;
}
