// One run per bridge: the lock a transport takes on a device before it sends
// the device anything, and holds until the device is closed. Two runs of the
// updater (two processes; on POSIX also two engines in one process) never
// write one bridge at once: the run that comes second finds the device in
// use and ends with message 206.
//
// The lock is held by the operating system for the process: it goes when it
// is released, when the object is destroyed, and when the process ends in any
// way (killed outright included), so nothing is left behind that would need
// clearing by hand.
//
// POSIX (posix/platform/DeviceLock.cpp): AcquireDevice takes an advisory lock
// (flock) on the file "zedrikfu-<key>.lock" in the lock folder: the folder in
// ZEDRIKFU_LOCK_DIR when that is set, otherwise the first usable of /run/lock,
// $XDG_RUNTIME_DIR and /tmp. The file stays when the lock goes; it holds
// nothing, and the next run locks the same file again. AcquireFile locks the
// named file itself.
// Windows (windows/platform/DeviceLock.cpp): a named mutex per key
// ("Global\ZEDRIKFU-<hash>", "Local\..." where the global namespace is
// closed), and per file (a hash of its full path).
//
// The key of a USB device is built from its bus number and port path, so
// that the SCSI generic and the USB control request transports of one program
// agree on it.
#pragma once

#include <cstdint>
#include <string>

class CDeviceLock {
 public:
  enum Result {
    kLockTaken = 0,     // this object holds the lock now
    kLockInUse = 1,     // another run holds it; nothing done
    kLockUnavailable = 2,  // no lock can be had here (no usable lock folder, no such file)
  };

  CDeviceLock() = default;
  ~CDeviceLock() { Release(); }
  CDeviceLock(const CDeviceLock&) = delete;
  CDeviceLock& operator=(const CDeviceLock&) = delete;

  // Locks the device named `key` (see DeviceLockKey); a held lock is released
  // first. A Result.
  int AcquireDevice(const std::string& key);
  // Locks the file at `path` itself (the image file of a virtual bridge).
  int AcquireFile(const std::string& path);
  void Release();
  bool Held() const { return handle_ != kNone; }

  // POSIX: the file that AcquireDevice locked; empty when none is held or
  // the lock is not a file.
  const std::string& Path() const { return path_; }

 private:
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;  // a file descriptor (POSIX) or a HANDLE (Windows)
  std::string path_;
};

// The key of a USB device for AcquireDevice: "usb-<bus>-<ports>" with the
// port numbers from the root hub down joined by '.' ("usb-1-2.3"), as the
// kernel names the device in sysfs; "usb-<bus>-a<address>" when the port path
// is not known (no ports, or more than 7). Empty when the bus is unknown.
std::string UsbDeviceLockKey(int bus, const uint8_t* ports, int portCount, int address);

// The same key from the sysfs name of a USB device ("1-2.3"): empty unless
// the name is "<bus>-<port>[.<port>...]" with this bus number.
std::string UsbDeviceLockKeyFromSysName(const std::string& sysName, int bus);

// A key made safe for a file or object name: characters other than letters,
// digits, '-' and '.' become '_'; at most 100 characters. "" for "", "." or "..".
std::string SafeLockName(const std::string& key);

// The lock folders tried in turn on POSIX: ZEDRIKFU_LOCK_DIR alone when it is
// set and not empty, otherwise /run/lock, $XDG_RUNTIME_DIR (when set), /tmp.
std::string LockFolderCandidates(const char* lockDir, const char* runtimeDir, int index);
