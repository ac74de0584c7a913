#include "UsbEmulation.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "common.h"

namespace vbridge {

namespace {

struct GObjectUnref {
  void operator()(gpointer object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
  void operator()(GError* error) const {
    if (error != nullptr) g_error_free(error);
  }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

std::string Message(const GError* error) {
  return error != nullptr && error->message != nullptr ? error->message : "unknown error";
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

// Device and configuration descriptor of a USB 2.0 storage bridge: one
// configuration, one mass-storage interface (SCSI, bulk-only) with a bulk
// endpoint in each direction.
std::vector<uint8_t> Descriptors(uint16_t vendorId, uint16_t productId) {
  std::vector<uint8_t> d(18 + 9 + 9 + 7 + 7, 0);
  uint8_t* p = d.data();
  p[0] = 18;                // bLength
  p[1] = 0x01;              // DEVICE
  PutLE16(&p[2], 0x0200);   // bcdUSB
  p[7] = 64;                // bMaxPacketSize0
  PutLE16(&p[8], vendorId);
  PutLE16(&p[10], productId);
  PutLE16(&p[12], 0x0100);  // bcdDevice
  p[17] = 1;                // bNumConfigurations
  p += 18;
  p[0] = 9;
  p[1] = 0x02;              // CONFIGURATION
  PutLE16(&p[2], 9 + 9 + 7 + 7);
  p[4] = 1;                 // bNumInterfaces
  p[5] = 1;                 // bConfigurationValue
  p[7] = 0x80;              // bus powered
  p[8] = 250;               // 500 mA
  p += 9;
  p[0] = 9;
  p[1] = 0x04;              // INTERFACE
  p[4] = 2;                 // bNumEndpoints
  p[5] = 0x08;              // mass storage
  p[6] = 0x06;              // SCSI transparent command set
  p[7] = 0x50;              // bulk-only transport
  p += 9;
  const uint8_t endpoints[2] = {0x81, 0x02};
  for (uint8_t address : endpoints) {
    p[0] = 7;
    p[1] = 0x05;            // ENDPOINT
    p[2] = address;
    p[3] = 0x02;            // bulk
    PutLE16(&p[4], 512);
    p += 7;
  }
  return d;
}

}  // namespace

struct UsbEmulation::Testbed {
  GObjectPtr<UMockdevTestbed> bed;
  std::mutex lock;  // test-bed changes come from the request thread too
};

struct UsbEmulation::Device {
  Testbed* testbed = nullptr;
  std::atomic<int>* unexpected = nullptr;
  unsigned delayMs = 0;
  VirtualBridge* bridge = nullptr;
  std::string sysPath;  // "/sys/devices/usb1/1-N"
  std::string devNode;  // "/dev/bus/usb/001/AAA"
  GObjectPtr<UMockdevIoctlBase> handler;
  std::mutex lock;      // guards the fields below
  Failure failure = Failure::Stall;
  bool removed = false;
  uint32_t hangAt = 0;    // the request that is never answered (0: none)
  uint32_t shortAt = 0;   // the request that moves only shortBytes (0: none)
  uint16_t shortBytes = 0;
  uint32_t requests = 0;  // control requests received
  // URBs that have completed and wait to be reaped, and URBs that are never
  // answered (until discarded), per open file.
  std::map<UMockdevIoctlClient*, std::deque<UMockdevIoctlData*>> completed;
  std::map<UMockdevIoctlClient*, std::deque<UMockdevIoctlData*>> unanswered;

  ~Device() {
    for (auto* queues : {&completed, &unanswered}) {
      for (auto& entry : *queues) {
        for (UMockdevIoctlData* urb : entry.second) g_object_unref(urb);
      }
    }
  }

  static void SetUrbResult(UMockdevIoctlData* urb, int status, int actual) {
    std::memcpy(urb->data + offsetof(usbdevfs_urb, status), &status, sizeof status);
    std::memcpy(urb->data + offsetof(usbdevfs_urb, actual_length), &actual, sizeof actual);
  }

  // Announces the device as removed and takes it off the test bed (once).
  void Remove() {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (removed) return;
      removed = true;
    }
    std::lock_guard<std::mutex> guard(testbed->lock);
    umockdev_testbed_uevent(testbed->bed.get(), sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed->bed.get(), sysPath.c_str());
  }

  bool Removed() {
    std::lock_guard<std::mutex> guard(lock);
    return removed;
  }

  void Submit(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* rawError = nullptr;
    GObjectPtr<UMockdevIoctlData> urbData(
        umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &rawError));
    ErrorPtr error(rawError);
    if (!urbData || urbData->data_len < static_cast<gint>(sizeof(usbdevfs_urb))) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    if (Removed()) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return;
    }
    // The URB is the kernel's structure in the client's memory, in host byte
    // order: its fields are read and written in place at their offsets.
    const uint8_t* raw = urbData->data;
    const uint8_t type = raw[offsetof(usbdevfs_urb, type)];
    const uint8_t endpoint = raw[offsetof(usbdevfs_urb, endpoint)];
    int bufferLength = 0;
    std::memcpy(&bufferLength, raw + offsetof(usbdevfs_urb, buffer_length), sizeof bufferLength);
    // Only control requests on the default pipe reach a bridge that nobody
    // claimed an interface of.
    if (type != USBDEVFS_URB_TYPE_CONTROL || endpoint != 0 || bufferLength < 8) {
      ++*unexpected;
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return;
    }
    GObjectPtr<UMockdevIoctlData> buffer(umockdev_ioctl_data_resolve(
        urbData.get(), offsetof(usbdevfs_urb, buffer), static_cast<gsize>(bufferLength),
        &rawError));
    error.reset(rawError);
    if (!buffer || buffer->data_len < bufferLength) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    uint8_t* setup = buffer->data;
    const uint16_t wLength = GetLE16(&setup[6]);
    if (wLength > bufferLength - 8) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return;
    }

    bool cut = false;
    uint16_t cutTo = 0;
    {
      std::lock_guard<std::mutex> guard(lock);
      ++requests;
      if (requests == shortAt && shortBytes < wLength) {
        cut = true;
        cutTo = shortBytes;
      }
      if (requests == hangAt) {
        // Accepted, and then nothing: the request stays pending until the
        // program gives up on it and discards it.
        unanswered[client].push_back(static_cast<UMockdevIoctlData*>(g_object_ref(urbData.get())));
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
      }
    }
    if (delayMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    uint32_t transferred = 0;
    const bool in = (setup[0] & 0x80) != 0;
    bool ok;
    if (cut && in) {
      // Only the first bytes of the answer reach the program's buffer; the
      // rest of it keeps what it held.
      std::vector<uint8_t> answer(wLength);
      ok = bridge->HandleUsb(setup, answer.data(), wLength, &transferred);
      if (transferred > cutTo) transferred = cutTo;
      if (ok && transferred != 0) std::memcpy(setup + 8, answer.data(), transferred);
    } else {
      ok = bridge->HandleUsb(setup, setup + 8, wLength, &transferred);
    }
    int status = 0;
    int actual = 0;
    if (ok) {
      actual = in ? static_cast<int>(transferred) : wLength;
      if (cut && actual > cutTo) actual = cutTo;
    } else if (!bridge->Present()) {
      status = -ESHUTDOWN;  // the device went away during the request
    } else {
      std::lock_guard<std::mutex> guard(lock);
      status = failure == Failure::Stall ? -EPIPE : -EPROTO;
    }
    SetUrbResult(urbData.get(), status, actual);
    {
      std::lock_guard<std::mutex> guard(lock);
      completed[client].push_back(static_cast<UMockdevIoctlData*>(g_object_ref(urbData.get())));
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    if (!ok && !bridge->Present()) Remove();
  }

  void Reap(UMockdevIoctlClient* client) {
    UMockdevIoctlData* urb = nullptr;
    bool gone = false;
    {
      std::lock_guard<std::mutex> guard(lock);
      auto it = completed.find(client);
      if (it != completed.end() && !it->second.empty()) {
        urb = it->second.front();
        it->second.pop_front();
      }
      gone = removed;
    }
    if (urb == nullptr) {
      umockdev_ioctl_client_complete(client, -1, gone ? ENODEV : EAGAIN);
      return;
    }
    GObjectPtr<UMockdevIoctlData> urbData(urb);
    GError* rawError = nullptr;
    GObjectPtr<UMockdevIoctlData> slot(umockdev_ioctl_data_resolve(
        umockdev_ioctl_client_get_arg(client), 0, sizeof(void*), &rawError));
    ErrorPtr error(rawError);
    if (!slot || !umockdev_ioctl_data_set_ptr(slot.get(), 0, urbData.get())) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  // Cancels an unanswered URB, which is then reaped with -ENOENT; a URB that
  // has already completed cannot be discarded (EINVAL), as on a real device.
  void Discard(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (arg == nullptr || arg->data_len < static_cast<gint>(sizeof(void*))) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    // The argument is the URB's address in the client, in host order.
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    std::lock_guard<std::mutex> guard(lock);
    auto it = unanswered.find(client);
    if (it != unanswered.end()) {
      for (auto urb = it->second.begin(); urb != it->second.end(); ++urb) {
        if ((*urb)->client_addr != address) continue;
        SetUrbResult(*urb, -ENOENT, 0);
        completed[client].push_back(*urb);
        it->second.erase(urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
      }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
  }

  void Capabilities(UMockdevIoctlClient* client) {
    GError* rawError = nullptr;
    GObjectPtr<UMockdevIoctlData> caps(umockdev_ioctl_data_resolve(
        umockdev_ioctl_client_get_arg(client), 0, sizeof(uint32_t), &rawError));
    ErrorPtr error(rawError);
    if (!caps || caps->data_len < 4) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    PutLE32(caps->data, 0);  // no optional usbfs features
    umockdev_ioctl_client_complete(client, 0, 0);
  }

  static gboolean OnIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                          gpointer data) {
    Device* self = static_cast<Device*>(data);
    const gulong request = umockdev_ioctl_client_get_request(client);
    if (request == USBDEVFS_SUBMITURB) {
      self->Submit(client);
    } else if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) {
      self->Reap(client);
    } else if (request == USBDEVFS_GET_CAPABILITIES) {
      self->Capabilities(client);
    } else if (request == USBDEVFS_DISCARDURB) {
      self->Discard(client);
    } else {
      ++*self->unexpected;
      umockdev_ioctl_client_complete(client, -1, self->Removed() ? ENODEV : ENOTTY);
    }
    return TRUE;
  }

  static void OnClientVanished(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                               gpointer data) {
    Device* self = static_cast<Device*>(data);
    std::lock_guard<std::mutex> guard(self->lock);
    for (auto* queues : {&self->completed, &self->unanswered}) {
      auto it = queues->find(client);
      if (it == queues->end()) continue;
      for (UMockdevIoctlData* urb : it->second) g_object_unref(urb);
      queues->erase(it);
    }
  }
};

UsbEmulation::UsbEmulation() = default;

UsbEmulation::~UsbEmulation() {
  if (testbed_) {
    // Stop serving the device nodes before the devices go.
    for (auto& device : devices_) {
      if (!device || !device->handler) continue;
      GError* rawError = nullptr;
      umockdev_testbed_detach_ioctl(testbed_->bed.get(), device->devNode.c_str(), &rawError);
      ErrorPtr error(rawError);
    }
  }
  devices_.clear();
  testbed_.reset();
}

bool UsbEmulation::InMockEnvironment() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

std::string UsbEmulation::RootDir() const {
  if (!testbed_) return std::string();
  gchar* root = umockdev_testbed_get_root_dir(testbed_->bed.get());
  std::string path = root != nullptr ? root : "";
  g_free(root);
  return path;
}

bool UsbEmulation::Start(VirtualBus* bus, std::string* error) {
  if (testbed_ || bus == nullptr) {
    if (error != nullptr) *error = "the emulation is already running or has no bus";
    return false;
  }
  if (bus->Count() > 120) {
    if (error != nullptr) *error = "too many devices for one USB bus";
    return false;
  }
  testbed_ = std::make_unique<Testbed>();
  testbed_->bed.reset(umockdev_testbed_new());
  if (!testbed_->bed) {
    if (error != nullptr) *error = "cannot create the umockdev test bed";
    return false;
  }
  devices_.resize(bus->Count());
  for (size_t n = 0; n < bus->Count(); ++n) {
    const size_t i = addInReverse_ ? bus->Count() - 1 - n : n;
    if (!AddDevice(bus, i, error)) return false;
  }
  return true;
}

bool UsbEmulation::AddDevice(VirtualBus* bus, size_t i, std::string* error) {
  const std::string root = RootDir();
  VirtualBridge* bridge = bus->Device(i);
  // Kept at once, so that a handler attached below is detached on every path.
  devices_[i] = std::make_unique<Device>();
  Device* device = devices_[i].get();
  device->testbed = testbed_.get();
  device->unexpected = &unexpected_;
  device->delayMs = delayMs_;
  device->bridge = bridge;
  const int address = Address(i);
  char text[64];
  std::snprintf(text, sizeof text, "/sys/devices/usb1/1-%zu", i + 1);
  device->sysPath = text;
  std::snprintf(text, sizeof text, "/dev/bus/usb/001/%03d", address);
  device->devNode = text;
  const bool openable = bridge->CanOpen();

  if (openable) {
    // The handler has to be in place before the node appears.
    device->handler.reset(umockdev_ioctl_base_new());
    g_signal_connect(device->handler.get(), "handle-ioctl", G_CALLBACK(Device::OnIoctl),
                     device);
    g_signal_connect(device->handler.get(), "client-vanished",
                     G_CALLBACK(Device::OnClientVanished), device);
    GError* rawError = nullptr;
    const gboolean attached = umockdev_testbed_attach_ioctl(
        testbed_->bed.get(), device->devNode.c_str(), device->handler.get(), &rawError);
    ErrorPtr attachError(rawError);
    if (!attached) {
      if (error != nullptr) {
        *error = "cannot serve " + device->devNode + ": " + Message(attachError.get());
      }
      return false;
    }
  }

  char record[1024];
  std::snprintf(record, sizeof record,
                "P: /devices/usb1/1-%zu\n"
                "%s"
                "E: SUBSYSTEM=usb\n"
                "E: DEVTYPE=usb_device\n"
                "E: DEVNAME=/dev/bus/usb/001/%03d\n"
                "E: BUSNUM=001\n"
                "E: DEVNUM=%03d\n"
                "A: busnum=1\n"
                "A: devnum=%d\n"
                "A: speed=480\n"
                "A: dev=189:%d\n"
                "H: descriptors=%s\n",
                i + 1, openable ? ("N: " + device->devNode.substr(5) + "\n").c_str() : "",
                address, address, address, address - 1,
                Hex(Descriptors(bridge->VendorId(), bridge->ProductId())).c_str());
  GError* rawError = nullptr;
  const gboolean added = umockdev_testbed_add_from_string(testbed_->bed.get(), record, &rawError);
  ErrorPtr addError(rawError);
  if (!added) {
    if (error != nullptr) *error = "cannot add " + device->sysPath + ": " + Message(addError.get());
    return false;
  }
  if (!openable) {
    // A device held elsewhere: its node exists but cannot be opened (a
    // folder in its place makes open() fail).
    const std::string node = root + device->devNode;
    if (g_mkdir_with_parents(node.c_str(), 0755) != 0) {
      if (error != nullptr) *error = "cannot create " + node;
      return false;
    }
  }
  return true;
}

void UsbEmulation::SetFailure(size_t index, Failure failure) {
  if (index >= devices_.size() || !devices_[index]) return;
  std::lock_guard<std::mutex> guard(devices_[index]->lock);
  devices_[index]->failure = failure;
}

void UsbEmulation::SetUnansweredRequest(size_t index, uint32_t n) {
  if (index >= devices_.size() || !devices_[index]) return;
  std::lock_guard<std::mutex> guard(devices_[index]->lock);
  devices_[index]->hangAt = devices_[index]->requests + n;
}

void UsbEmulation::SetShortTransfer(size_t index, uint32_t n, uint16_t bytes) {
  if (index >= devices_.size() || !devices_[index]) return;
  std::lock_guard<std::mutex> guard(devices_[index]->lock);
  devices_[index]->shortAt = devices_[index]->requests + n;
  devices_[index]->shortBytes = bytes;
}

void UsbEmulation::Unplug(size_t index) {
  if (index >= devices_.size()) return;
  if (!devices_[index]) return;
  devices_[index]->bridge->Unplug();
  devices_[index]->Remove();
}

}  // namespace vbridge
