#include "USBControl.h"

#include <errno.h>
#include <fcntl.h>
#include <scsi/sg_pt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "IDFilter.h"

ZF_VARIANT_BEGIN

namespace {

// Opens a device node for SG_IO: read and write access, which the sg driver
// needs for commands outside its list of harmless ones. A SCSI generic node
// is opened for exclusive use (the sg driver refuses other opens meanwhile,
// and this one with EBUSY while others have it open); a disk's block node is
// not, since that would fail while the disk is mounted. Anything but a
// character or block device is refused. -1 when it cannot be opened, with
// *busy set when it is held.
int OpenNode(const std::string& node, bool* busy) {
  *busy = false;
  struct stat info = {};
  if (stat(node.c_str(), &info) != 0) return -1;
  if (!S_ISCHR(info.st_mode) && !S_ISBLK(info.st_mode)) return -1;
  const int exclusive = S_ISCHR(info.st_mode) ? O_EXCL : 0;
  const int fd = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | exclusive);
  if (fd < 0 && (errno == EBUSY || errno == EACCES)) *busy = true;
  return fd;
}

// The lock key of the USB device: from its sysfs name ("1-2.3"), or from
// its bus number and address when the name is not one of a port path.
std::string LockKey(const zfsg::ScsiUsbDevice& device) {
  const size_t slash = device.sysPath.rfind('/');
  const std::string name =
      slash == std::string::npos ? device.sysPath : device.sysPath.substr(slash + 1);
  const std::string key = UsbDeviceLockKeyFromSysName(name, device.busNumber);
  if (!key.empty()) return key;
  return UsbDeviceLockKey(device.busNumber, nullptr, 0, device.address);
}

}  // namespace

void CUSBControl::Descriptor::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

void CUSBControl::PassThroughDeleter::operator()(sg_pt_base* object) const {
  destruct_scsi_pt_obj(object);
}

CUSBControl::CUSBControl() = default;

CUSBControl::~CUSBControl() { CloseDevice(); }

void* CUSBControl::GetDeviceList() {
  if (!passThrough_) passThrough_.reset(construct_scsi_pt_obj());
  return passThrough_ ? &devices_ : nullptr;
}

int CUSBControl::OpenNextDevice(void* list, void** cursor) {
  if (device_.Get() >= 0) return kSelectAlreadyOpen;
  if (list == nullptr || list != &devices_ || cursor == nullptr) return kSelectNoneLeft;
  if (*cursor == list) {  // a fresh start: a new snapshot of the bus
    devices_ = zfsg::FindScsiUsbDevices();
    next_ = 0;
    sawInUse_ = false;
  }
  *cursor = &next_;

  while (next_ < devices_.size()) {
    const zfsg::ScsiUsbDevice& candidate = devices_[next_++];
    UsbDeviceInfo info;
    info.bus = candidate.busNumber;
    info.address = candidate.address;
    info.vendorId = candidate.vendorId;
    info.productId = candidate.productId;
    if (!DeviceChoiceAdmits(info)) continue;
    const int opened = LockAndOpen(candidate);
    if (opened == kLockedByAnotherRun) sawInUse_ = true;
    if (opened == kNodeHeld) NoteBusyDevice(info);
    if (opened <= 0) continue;
    idsKnown_ = candidate.idsKnown;
    vendorId_ = candidate.vendorId;
    productId_ = candidate.productId;
    opened_ = info;
    return kSelectOpened;
  }
  return sawInUse_ ? kSelectAlreadyOpen : kSelectNoneLeft;
}

int CUSBControl::LockAndOpen(const zfsg::ScsiUsbDevice& candidate) {
  // A device that cannot be locked here (no lock folder) is not held back.
  if (lock_.AcquireDevice(LockKey(candidate)) == CDeviceLock::kLockInUse) {
    return kLockedByAnotherRun;
  }
  bool held = false;
  for (const std::string& node : candidate.nodes) {
    bool busy = false;
    const int fd = OpenNode(node, &busy);
    held = held || busy;
    if (fd < 0) continue;  // held elsewhere, no permission, or gone
    device_.Reset(fd);
    node_ = node;
    return 1;
  }
  lock_.Release();
  return held ? kNodeHeld : 0;
}

bool CUSBControl::GetOpenedDeviceInfo(UsbDeviceInfo* info) {
  if (device_.Get() < 0 || info == nullptr) return false;
  *info = opened_;
  return true;
}

int CUSBControl::IDCheck(IDFilter* filter) {
  if (device_.Get() < 0 || !idsKnown_) return 0;
  // A missing filter admits every pair, as it does for device selection.
  if (filter == nullptr) return 1;
  return filter->CheckID(vendorId_, productId_) ? 1 : 0;
}

int CUSBControl::CloseDevice() {
  device_.Reset();
  lock_.Release();
  node_.clear();
  idsKnown_ = false;
  vendorId_ = 0;
  productId_ = 0;
  return 1;
}

int CUSBControl::USBCom_Send(_tag_UsbCommand* cmd) {
  if (cmd == nullptr || device_.Get() < 0 || !passThrough_) return 0;
  ScsiCommandBlock block;
  if (!EncodeScsiCdb(*cmd, &block)) return 0;
  if (block.dataLength >= kDataLimit) return 0;
  if (block.dataLength != 0 && cmd->data == nullptr) return 0;

  sg_pt_base* command = passThrough_.get();
  clear_scsi_pt_obj(command);
  set_scsi_pt_cdb(command, block.cdb, block.cdbLength);
  unsigned char sense[kSenseSize] = {};
  set_scsi_pt_sense(command, sense, sizeof sense);
  const int length = static_cast<int>(block.dataLength);
  if (length != 0 && block.dataIn) set_scsi_pt_data_in(command, cmd->data, length);
  if (length != 0 && !block.dataIn) set_scsi_pt_data_out(command, cmd->data, length);

  // A negative result is an error of the system call (the device has gone,
  // for one), a positive one a time-out or a refused request.
  if (do_scsi_pt(command, device_.Get(), kCommandTimeoutSeconds, 0) != 0) return 0;
  // GOOD alone: a CHECK CONDITION with sense data, another status or an
  // error of the host adapter or the driver fails the command.
  if (get_scsi_pt_result_category(command) != SCSI_PT_RESULT_GOOD) return 0;
  // Every byte asked for must have moved.
  if (get_scsi_pt_resid(command) != 0) return 0;
  return 1;
}

ZF_VARIANT_END
