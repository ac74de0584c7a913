#include "UsbEmulation.h"

#include <errno.h>
#include <linux/usbdevice_fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
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

// Release number of every emulated device.
constexpr unsigned kBcdDevice = 0x0100;

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
  PutLE16(&p[12], kBcdDevice);
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

// ---- the SCSI side ----------------------------------------------------------

// Values of sg_io_hdr's result fields (the kernel's, not in the UAPI headers).
constexpr uint8_t kScsiCheckCondition = 0x02;
constexpr uint16_t kHostNoConnect = 0x01;  // DID_NO_CONNECT: the device has gone
constexpr uint16_t kHostError = 0x07;      // DID_ERROR
constexpr uint16_t kDriverSense = 0x08;    // DRIVER_SENSE: sense data are valid

// Fixed-format sense data: ILLEGAL REQUEST, INVALID FIELD IN CDB.
constexpr uint8_t kIllegalRequestSense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0,
                                              0,    0, 0,    0x24, 0, 0, 0, 0, 0};

// The kernel's disk names: sda ... sdz, sdaa, ...
std::string DiskName(size_t number) {
  std::string letters;
  for (size_t n = number + 1; n > 0; n /= 26) {
    --n;
    letters.insert(letters.begin(), static_cast<char>('a' + n % 26));
  }
  return "sd" + letters;
}

// The SCSI host number of device `index`; its SCSI generic node and disk
// carry the same number (host 1, /dev/sg1, /dev/sdb for the first device).
size_t ScsiHost(size_t index) { return index + 1; }

// The umockdev records of the SCSI side under the USB device at `usbPath`
// ("/devices/usb1/1-N"), parents first, and the sysfs paths they create.
std::vector<std::string> ScsiRecords(size_t index, const std::string& usbPath,
                                     bool genericNode, std::vector<std::string>* paths) {
  const size_t host = ScsiHost(index);
  const std::string h = std::to_string(host);
  const std::string disk = DiskName(host);
  const std::string interfacePath = usbPath + "/" + usbPath.substr(usbPath.rfind('/') + 1) + ":1.0";
  const std::string hostPath = interfacePath + "/host" + h;
  const std::string targetPath = hostPath + "/target" + h + ":0:0";
  const std::string unitPath = targetPath + "/" + h + ":0:0:0";
  std::vector<std::string> records = {
      "P: " + interfacePath +
          "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usb-storage\n"
          "A: bInterfaceNumber=00\nA: bInterfaceClass=08\nA: bInterfaceSubClass=06\n"
          "A: bInterfaceProtocol=50\n",
      "P: " + hostPath + "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_host\n",
      "P: " + hostPath + "/scsi_host/host" + h + "\nE: SUBSYSTEM=scsi_host\n",
      "P: " + targetPath + "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_target\n",
      "P: " + unitPath +
          "\nE: SUBSYSTEM=scsi\nE: DEVTYPE=scsi_device\nE: DRIVER=sd\n"
          "A: vendor=ZEDRIK  \nA: model=Virtual Bridge  \nA: rev=0100\nA: type=0\n",
      // A node without contents would be made a terminal.
      "P: " + unitPath + "/block/" + disk + "\n" + (genericNode ? "" : "N: " + disk + "=00\n") +
          "E: SUBSYSTEM=block\nE: DEVTYPE=disk\nE: DEVNAME=/dev/" + disk + "\nA: dev=8:" +
          std::to_string((host * 16) % 256) + "\n",
  };
  if (genericNode) {
    records.push_back("P: " + unitPath + "/scsi_generic/sg" + h + "\nN: sg" + h +
                      "=00\nE: SUBSYSTEM=scsi_generic\nE: DEVNAME=/dev/sg" + h + "\nA: dev=21:" +
                      h + "\n");
  }
  for (const std::string& record : records) {
    paths->push_back("/sys" + record.substr(3, record.find('\n') - 3));
  }
  return records;
}

}  // namespace

std::string UsbEmulation::GenericNode(size_t index) {
  return "/dev/sg" + std::to_string(ScsiHost(index));
}

std::string UsbEmulation::DiskNode(size_t index) { return "/dev/" + DiskName(ScsiHost(index)); }

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
  // The SCSI side: the node that answers SG_IO ("" without a SCSI side), its
  // handler and the sysfs paths of its devices, parents first.
  std::string scsiNode;
  GObjectPtr<UMockdevIoctlBase> scsiHandler;
  std::vector<std::string> scsiPaths;
  std::mutex lock;      // guards the fields below
  Failure failure = Failure::Stall;
  bool removed = false;
  uint32_t hangAt = 0;    // the request that is never answered (0: none)
  uint32_t shortAt = 0;   // the request that moves only shortBytes (0: none)
  uint16_t shortBytes = 0;
  uint32_t requests = 0;  // control requests received
  uint32_t scsiCommands = 0;  // SG_IO calls received
  uint32_t residualAt = 0;    // the SCSI command reported short (0: none)
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
    for (auto path = scsiPaths.rbegin(); path != scsiPaths.rend(); ++path) {
      umockdev_testbed_uevent(testbed->bed.get(), path->c_str(), "remove");
    }
    umockdev_testbed_uevent(testbed->bed.get(), sysPath.c_str(), "remove");
    // Takes the SCSI side, which lies below it, along.
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

  // One SG_IO: the header and the buffers it points to are resolved here
  // (the request encodes no size), the command goes to the bridge in the
  // SCSI encoding, and the result fields are written into the header.
  void ScsiIo(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* rawError = nullptr;
    GObjectPtr<UMockdevIoctlData> header(
        umockdev_ioctl_data_resolve(arg, 0, sizeof(sg_io_hdr_t), &rawError));
    ErrorPtr error(rawError);
    if (!header || header->data_len < static_cast<gint>(sizeof(sg_io_hdr_t))) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    sg_io_hdr_t io;
    std::memcpy(&io, header->data, sizeof io);
    const bool dataIn = io.dxfer_direction == SG_DXFER_FROM_DEV;
    const bool dataOut = io.dxfer_direction == SG_DXFER_TO_DEV;
    if (io.interface_id != 'S') {
      umockdev_ioctl_client_complete(client, -1, ENOSYS);
      return;
    }
    if (io.cmd_len < 6 || io.cmd_len > 16 || io.iovec_count != 0 ||
        (!dataIn && !dataOut && io.dxfer_direction != SG_DXFER_NONE) ||
        io.dxfer_len > kBridgeTransferMax * 32) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return;
    }
    if (Removed()) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return;
    }
    const uint32_t length = dataIn || dataOut ? io.dxfer_len : 0;
    GObjectPtr<UMockdevIoctlData> cdb(umockdev_ioctl_data_resolve(
        header.get(), offsetof(sg_io_hdr_t, cmdp), io.cmd_len, &rawError));
    error.reset(rawError);
    GObjectPtr<UMockdevIoctlData> data;
    if (length != 0) {
      data.reset(umockdev_ioctl_data_resolve(header.get(), offsetof(sg_io_hdr_t, dxferp), length,
                                             &rawError));
      error.reset(rawError);
    }
    GObjectPtr<UMockdevIoctlData> sense;
    if (io.mx_sb_len != 0) {
      sense.reset(umockdev_ioctl_data_resolve(header.get(), offsetof(sg_io_hdr_t, sbp),
                                              io.mx_sb_len, &rawError));
      error.reset(rawError);
    }
    if (!cdb || cdb->data_len < io.cmd_len || (length != 0 && (!data || data->data_len <
                                                               static_cast<gint>(length)))) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }

    bool reportShort = false;
    {
      std::lock_guard<std::mutex> guard(lock);
      reportShort = ++scsiCommands == residualAt;
    }
    if (delayMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    uint32_t transferred = 0;
    const bool ok = bridge->HandleScsi(cdb->data, io.cmd_len, dataIn,
                                       length != 0 ? data->data : nullptr, length, &transferred);
    uint8_t status = 0;
    uint16_t hostStatus = 0;
    uint16_t driverStatus = 0;
    uint8_t senseLength = 0;
    int residual = 0;
    if (ok) {
      residual = dataIn ? static_cast<int>(length - transferred) : 0;
      if (reportShort && length != 0) residual += residual < static_cast<int>(length) ? 1 : 0;
    } else if (!bridge->Present()) {
      hostStatus = kHostNoConnect;
    } else if (Failing() == Failure::Stall) {
      status = kScsiCheckCondition;
      driverStatus = kDriverSense;
      if (sense && sense->data_len > 0) {
        senseLength = static_cast<uint8_t>(
            std::min<size_t>(sizeof kIllegalRequestSense, static_cast<size_t>(sense->data_len)));
        std::memcpy(sense->data, kIllegalRequestSense, senseLength);
      }
    } else {
      hostStatus = kHostError;
    }
    // The result fields, in place in the client's header.
    uint8_t* out = header->data;
    out[offsetof(sg_io_hdr_t, status)] = status;
    out[offsetof(sg_io_hdr_t, masked_status)] = static_cast<uint8_t>(status >> 1);
    out[offsetof(sg_io_hdr_t, msg_status)] = 0;
    out[offsetof(sg_io_hdr_t, sb_len_wr)] = senseLength;
    std::memcpy(out + offsetof(sg_io_hdr_t, host_status), &hostStatus, sizeof hostStatus);
    std::memcpy(out + offsetof(sg_io_hdr_t, driver_status), &driverStatus, sizeof driverStatus);
    std::memcpy(out + offsetof(sg_io_hdr_t, resid), &residual, sizeof residual);
    const unsigned int none = 0;
    std::memcpy(out + offsetof(sg_io_hdr_t, duration), &none, sizeof none);
    std::memcpy(out + offsetof(sg_io_hdr_t, info), &none, sizeof none);
    umockdev_ioctl_client_complete(client, 0, 0);
    if (!ok && !bridge->Present()) Remove();
  }

  Failure Failing() {
    std::lock_guard<std::mutex> guard(lock);
    return failure;
  }

  static gboolean OnScsiIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                              gpointer data) {
    Device* self = static_cast<Device*>(data);
    if (umockdev_ioctl_client_get_request(client) == SG_IO) {
      self->ScsiIo(client);
    } else {
      ++*self->unexpected;
      umockdev_ioctl_client_complete(client, -1, self->Removed() ? ENODEV : ENOTTY);
    }
    return TRUE;
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
      if (!device) continue;
      GError* rawError = nullptr;
      if (device->handler) {
        umockdev_testbed_detach_ioctl(testbed_->bed.get(), device->devNode.c_str(), &rawError);
        ErrorPtr error(rawError);
      }
      rawError = nullptr;
      if (device->scsiHandler) {
        umockdev_testbed_detach_ioctl(testbed_->bed.get(), device->scsiNode.c_str(), &rawError);
        ErrorPtr error(rawError);
      }
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
  // The updater's device locks (DeviceLock.h) of emulated devices live with
  // the test bed: runs under another emulation, whose devices merely have the
  // same bus positions, do not hold them, and nothing is left in /run/lock.
  const std::string locks = RootDir() + "/locks";
  if (g_mkdir_with_parents(locks.c_str(), 0755) != 0) {
    if (error != nullptr) *error = "cannot create " + locks;
    return false;
  }
  setenv("ZEDRIKFU_LOCK_DIR", locks.c_str(), 1);
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
                "A: idVendor=%04x\n"
                "A: idProduct=%04x\n"
                "A: bcdDevice=%04x\n"
                "H: descriptors=%s\n",
                i + 1, openable ? ("N: " + device->devNode.substr(5) + "\n").c_str() : "",
                address, address, address, address - 1, static_cast<unsigned>(bridge->VendorId()),
                static_cast<unsigned>(bridge->ProductId()), kBcdDevice,
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
  return bridge->Config().scsi ? AddScsiSide(i, openable, error) : true;
}

bool UsbEmulation::AddScsiSide(size_t i, bool openable, std::string* error) {
  Device* device = devices_[i].get();
  device->scsiNode = genericNodes_ ? GenericNode(i) : DiskNode(i);
  if (openable) {
    // Attached before the node appears, like the USB side.
    device->scsiHandler.reset(umockdev_ioctl_base_new());
    g_signal_connect(device->scsiHandler.get(), "handle-ioctl", G_CALLBACK(Device::OnScsiIoctl),
                     device);
    GError* rawError = nullptr;
    const gboolean attached = umockdev_testbed_attach_ioctl(
        testbed_->bed.get(), device->scsiNode.c_str(), device->scsiHandler.get(), &rawError);
    ErrorPtr attachError(rawError);
    if (!attached) {
      if (error != nullptr) {
        *error = "cannot serve " + device->scsiNode + ": " + Message(attachError.get());
      }
      return false;
    }
  }
  const std::vector<std::string> records =
      ScsiRecords(i, device->sysPath.substr(4), genericNodes_, &device->scsiPaths);
  for (const std::string& record : records) {
    GError* rawError = nullptr;
    const gboolean added =
        umockdev_testbed_add_from_string(testbed_->bed.get(), record.c_str(), &rawError);
    ErrorPtr addError(rawError);
    if (!added) {
      if (error != nullptr) *error = "cannot add the SCSI side: " + Message(addError.get());
      return false;
    }
  }
  if (!openable) {
    const std::string node = RootDir() + device->scsiNode;
    if (std::remove(node.c_str()) != 0 || g_mkdir_with_parents(node.c_str(), 0755) != 0) {
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

void UsbEmulation::SetScsiResidual(size_t index, uint32_t n) {
  if (index >= devices_.size() || !devices_[index]) return;
  std::lock_guard<std::mutex> guard(devices_[index]->lock);
  devices_[index]->residualAt = devices_[index]->scsiCommands + n;
}

void UsbEmulation::Unplug(size_t index) {
  if (index >= devices_.size()) return;
  if (!devices_[index]) return;
  devices_[index]->bridge->Unplug();
  devices_[index]->Remove();
}

}  // namespace vbridge
