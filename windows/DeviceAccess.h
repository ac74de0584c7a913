// The platform-free parts of the Windows transport: reading a USB hardware
// id, matching an MS-DOS device name against the instance id of the storage
// device under a USB device, walking the name list, and filling and sending
// the SCSI pass-through buffer.
//
// Everything here is header-only and free of Windows headers so that the
// same code is compiled into the Windows transport (windows/USBControl.cpp,
// with the SDK's SCSI_PASS_THROUGH and the real system calls) and into the
// native unit tests (with a record of the same field names and fakes of the
// system calls).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "CommandSet.h"
#include "Transport.h"

namespace zfwin {

// Size of the MS-DOS device name list (names separated by a zero byte,
// ended by an empty name).
constexpr size_t kDeviceNameListSize = 0xFC00;
// Size of the buffer for a device instance id.
constexpr size_t kInstanceIdSize = 260;

// Pass-through parameters.
constexpr uint32_t kDataAreaSize = 16384;  // a command moves fewer bytes than this
constexpr uint8_t kSenseAreaSize = 32;
constexpr uint32_t kTimeOutSeconds = 50;
constexpr int kMaxPassThroughCalls = 10;
constexpr uint32_t kIoctlScsiPassThrough = 0x4D004;

// ---------------------------------------------------------------------------
// Hardware id and names

inline char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Reads one number the way "%x" of scanf does: leading white space, an
// optional sign, an optional "0X" prefix, then at least one hexadecimal
// digit. The text is upper case here. Values beyond 32 bits saturate.
inline bool ScanHexField(const char** text, uint32_t* value) {
  const char* p = *text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (p[0] == '0' && p[1] == 'X' && digit(p[2]) >= 0) p += 2;
  if (digit(*p) < 0) return false;
  uint64_t v = 0;
  for (; digit(*p) >= 0; ++p) {
    v = v * 16 + static_cast<uint64_t>(digit(*p));
    if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull + 1;  // keeps saturating without overflow
  }
  uint32_t result = v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
  if (negative) result = static_cast<uint32_t>(0u - result);
  *value = result;
  *text = p;
  return true;
}

// The hardware id as it is compared: every letter in upper case, every '#'
// turned into '\'.
inline std::string NormalizeHardwareId(const char* hardwareId) {
  std::string out = hardwareId != nullptr ? hardwareId : "";
  for (char& c : out) c = c == '#' ? '\\' : UpperAscii(c);
  return out;
}

// Parses the first string of a USB device's hardware id in the form
// "USB\VID_%x&PID_%x&REV_". True when both numbers were read.
inline bool ParseHardwareId(const char* hardwareId, uint32_t* vendorId, uint32_t* productId) {
  if (hardwareId == nullptr || vendorId == nullptr || productId == nullptr) return false;
  const std::string id = NormalizeHardwareId(hardwareId);
  const char* p = id.c_str();
  static const char kVid[] = "USB\\VID_";
  static const char kPid[] = "&PID_";
  if (std::strncmp(p, kVid, sizeof kVid - 1) != 0) return false;
  p += sizeof kVid - 1;
  uint32_t vid = 0;
  if (!ScanHexField(&p, &vid)) return false;
  if (std::strncmp(p, kPid, sizeof kPid - 1) != 0) return false;
  p += sizeof kPid - 1;
  uint32_t pid = 0;
  if (!ScanHexField(&p, &pid)) return false;
  *vendorId = vid;
  *productId = pid;
  return true;
}

// An MS-DOS device name as it is compared: upper case, '#' turned into '\'.
inline std::string NormalizeDeviceName(const std::string& name) {
  std::string out = name;
  for (char& c : out) c = c == '#' ? '\\' : UpperAscii(c);
  return out;
}

// A device instance id as it is compared: '/' turned into '\'.
inline std::string NormalizeInstanceId(const std::string& instanceId) {
  std::string out = instanceId;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

// A name belongs to the storage device when its transformed form contains
// the device's instance id: an interface name is the instance id with '#'
// for '\' and an interface class appended. An empty id matches nothing.
inline bool NameMatchesInstance(const std::string& dosName, const std::string& instanceId) {
  const std::string id = NormalizeInstanceId(instanceId);
  if (id.empty()) return false;
  return NormalizeDeviceName(dosName).find(id) != std::string::npos;
}

// The path CreateFileA opens for a device name: "\\.\" and the name.
inline std::string DevicePath(const std::string& dosName) { return "\\\\.\\" + dosName; }

// ---------------------------------------------------------------------------
// The device walk

// One step of device selection over the device name list [list, list+size):
// tries the name at *cursor (and the names after it while none opens)
// against every present USB device. `System` provides:
//   bool OpenUsbSet();                   the set of present USB devices
//   bool UsbDevice(unsigned index);      false ends the walk over the set
//   bool HardwareId(unsigned index, std::string* firstString);
//   bool Admits(uint32_t vendorId, uint32_t productId);  the ids of the run's choice
//   bool AdmitsOpened();  the whole choice, once the device is open (its disk number)
//   void CloseOpened();   the device just opened, when the choice leaves it out
//   bool ChildInstanceId(unsigned index, std::string* id);
//   bool OpenPath(const std::string& path, int accessMode);  0, 1, 2 in turn
//   void CloseUsbSet();
// *vendorId / *productId receive the ids of the USB device examined last.
// Returns kSelectOpened, kSelectAtEnd (the cursor stands at the end of the
// name list) or kSelectNoneLeft (no further name matched, or no set of USB
// devices); the cursor moves behind every name that was tried.
template <class System>
int OpenNextDeviceName(System& system, const char* list, size_t listSize, const char** cursor,
                       uint32_t* vendorId, uint32_t* productId) {
  if (list == nullptr || cursor == nullptr || *cursor == nullptr) return kSelectNoneLeft;
  const char* const end = list + listSize;
  auto atEnd = [&](const char* at) {
    if (at < list || at >= end || *at == '\0') return true;
    // A name that runs to the end of the buffer without its zero byte is
    // not a name.
    return std::memchr(at, '\0', static_cast<size_t>(end - at)) == nullptr;
  };
  if (atEnd(*cursor)) return kSelectAtEnd;

  for (;;) {
    const char* name = *cursor;
    const std::string dosName(name);
    if (!system.OpenUsbSet()) return kSelectNoneLeft;
    bool opened = false;
    for (unsigned index = 0; !opened && system.UsbDevice(index); ++index) {
      std::string hardwareId;
      if (!system.HardwareId(index, &hardwareId)) continue;
      uint32_t vid = 0;
      uint32_t pid = 0;
      if (!ParseHardwareId(hardwareId.c_str(), &vid, &pid)) continue;
      // A device the run's choice (--usb-id) leaves out is never opened.
      if (!system.Admits(vid, pid)) continue;
      *vendorId = vid;
      *productId = pid;
      std::string childId;
      if (!system.ChildInstanceId(index, &childId)) continue;
      if (!NameMatchesInstance(dosName, childId)) continue;
      const std::string path = DevicePath(dosName);
      for (int mode = 0; mode < 3 && !opened; ++mode) opened = system.OpenPath(path, mode);
      // A choice by disk number is known to hold only once the disk is open;
      // nothing has been sent to it.
      if (opened && !system.AdmitsOpened()) {
        system.CloseOpened();
        opened = false;
      }
    }
    system.CloseUsbSet();
    *cursor = name + dosName.size() + 1;
    if (opened) return kSelectOpened;
    if (atEnd(*cursor)) return kSelectNoneLeft;
  }
}

// ---------------------------------------------------------------------------
// The pass-through buffer

// The pass-through record (the SDK's SCSI_PASS_THROUGH on Windows) followed
// by a filler, the sense area and the data area. On i686 the record is 44
// bytes: sense at 48, data at 80, 16464 bytes in all. The offsets are always
// taken from this structure, never fixed, since the record is larger on
// x86_64.
template <class Record>
struct PassThroughBuffer {
  Record spt;
  uint32_t filler;
  uint8_t sense[kSenseAreaSize];
  uint8_t data[kDataAreaSize];
};

template <class Record>
constexpr uint32_t DataAreaOffset() {
  return static_cast<uint32_t>(offsetof(PassThroughBuffer<Record>, data));
}
template <class Record>
constexpr uint32_t SenseAreaOffset() {
  return static_cast<uint32_t>(offsetof(PassThroughBuffer<Record>, sense));
}

// Fills a zeroed buffer for one command. False (nothing to send) for an
// unknown form, a data length of 16384 or more, or a missing data buffer.
// *ioSize receives the size handed to the pass-through call: the data area
// offset plus the data length.
template <class Record>
bool FillPassThrough(const _tag_UsbCommand& cmd, PassThroughBuffer<Record>* buffer,
                     uint32_t* ioSize) {
  ScsiCommandBlock block;
  if (!EncodeScsiCdb(cmd, &block)) return false;
  if (block.dataLength >= kDataAreaSize) return false;
  // Data coming in needs a buffer; so does data going out.
  if (block.dataLength != 0 && cmd.data == nullptr) return false;
  if (block.dataIn && cmd.data == nullptr) return false;

  std::memset(buffer, 0, sizeof(*buffer));
  Record& spt = buffer->spt;
  spt.Length = static_cast<decltype(spt.Length)>(sizeof(Record));
  spt.PathId = 0;
  spt.TargetId = 0;
  spt.Lun = 0;
  spt.CdbLength = block.cdbLength;
  spt.SenseInfoLength = kSenseAreaSize;
  spt.DataIn = block.dataIn ? 1 : 0;
  spt.DataTransferLength = block.dataLength;
  spt.TimeOutValue = kTimeOutSeconds;
  spt.DataBufferOffset = DataAreaOffset<Record>();
  spt.SenseInfoOffset = SenseAreaOffset<Record>();
  for (size_t i = 0; i < sizeof block.cdb && i < sizeof spt.Cdb; ++i) spt.Cdb[i] = block.cdb[i];
  if (!block.dataIn && block.dataLength != 0) {
    std::memcpy(buffer->data, cmd.data, block.dataLength);
  }
  *ioSize = DataAreaOffset<Record>() + block.dataLength;
  return true;
}

// Sends one command through `call(buffer, size)` (DeviceIoControl with the
// buffer as input and output): up to ten calls while the call fails, no
// retry once the device has answered. A non-zero SCSI status fails the
// command, and so does a data phase that moved fewer bytes than asked (the
// driver gives the bytes moved back in DataTransferLength): the caller's
// buffer would hold stale bytes, or the device would have taken part of
// the data. For data coming in, the caller's buffer receives the whole
// requested length. The buffer is filled afresh before every call, so that
// a failed call cannot leave changed fields or data behind for the next one.
template <class Record, class Call>
bool SendPassThrough(_tag_UsbCommand* cmd, PassThroughBuffer<Record>* buffer, Call&& call) {
  if (cmd == nullptr || buffer == nullptr) return false;
  uint32_t size = 0;
  bool answered = false;
  for (int calls = 0; calls < kMaxPassThroughCalls && !answered; ++calls) {
    if (!FillPassThrough(*cmd, buffer, &size)) return false;
    answered = call(static_cast<void*>(buffer), size);
  }
  if (!answered) return false;
  if (buffer->spt.ScsiStatus != 0) return false;
  ScsiCommandBlock block;
  if (!EncodeScsiCdb(*cmd, &block)) return false;
  if (buffer->spt.DataTransferLength < block.dataLength) return false;
  if (block.dataIn && block.dataLength != 0) {
    std::memcpy(cmd->data, buffer->data, block.dataLength);
  }
  return true;
}

}  // namespace zfwin
