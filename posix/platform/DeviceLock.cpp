// Device locks of the POSIX builds: flock on a lock file (DeviceLock.h).
// flock locks belong to the open file description, so the kernel drops them
// when the descriptor is closed, also when the process is killed; two
// descriptors of one file in one process exclude each other as two processes
// do.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "DeviceLock.h"

namespace {

// Opens an existing lock file, or creates it readable by every user (a lock
// needs only read access, and runs of other users lock the same file). No
// links are followed: the lock folders are writable by everyone. -1 when the
// folder is missing or not usable.
int OpenLockFile(const std::string& path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) return fd;
    if (errno != ENOENT) return -1;
    fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      fchmod(fd, 0644);  // whatever the umask left
      return fd;
    }
    if (errno != EEXIST) return -1;  // another run created it meanwhile: open it
  }
  return -1;
}

// Takes the lock on an open descriptor of a regular file. A Result; the
// descriptor is closed unless the lock was taken.
int LockDescriptor(int fd) {
  struct stat info = {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return CDeviceLock::kLockUnavailable;
  }
  int result;
  do {
    result = flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return CDeviceLock::kLockTaken;
  const bool inUse = errno == EWOULDBLOCK;
  close(fd);
  return inUse ? CDeviceLock::kLockInUse : CDeviceLock::kLockUnavailable;
}

}  // namespace

int CDeviceLock::AcquireDevice(const std::string& key) {
  Release();
  const std::string name = SafeLockName(key);
  if (name.empty()) return kLockUnavailable;
  const char* lockDir = std::getenv("ZEDRIKFU_LOCK_DIR");
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  for (int index = 0;; ++index) {
    const std::string folder = LockFolderCandidates(lockDir, runtimeDir, index);
    if (folder.empty()) return kLockUnavailable;
    const std::string path = folder + "/zedrikfu-" + name + ".lock";
    const int fd = OpenLockFile(path);
    if (fd < 0) continue;  // no such folder, or not ours to use: the next one
    const int result = LockDescriptor(fd);
    if (result == kLockUnavailable) continue;
    if (result == kLockTaken) {
      handle_ = fd;
      path_ = path;
    }
    return result;
  }
}

int CDeviceLock::AcquireFile(const std::string& path) {
  Release();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return kLockUnavailable;
  const int result = LockDescriptor(fd);
  if (result == kLockTaken) handle_ = fd;
  return result;
}

void CDeviceLock::Release() {
  if (handle_ != kNone) close(static_cast<int>(handle_));
  handle_ = kNone;
  path_.clear();
}
