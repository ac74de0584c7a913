// A file descriptor owned by its holder, and the write of a whole buffer to
// one: what the POSIX saving of images, the update history and the
// console's question share.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

// A file descriptor closed when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { Close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // close()'s result; 0 when none was open.
  int Close() {
    const int result = fd_ >= 0 ? close(fd_) : 0;
    fd_ = -1;
    return result;
  }
  // Gives the descriptor up to the caller, who closes it.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Writes all `size` bytes, going on after a partial write or a signal.
// False when a write fails (errno EIO when one wrote nothing).
inline bool WriteAll(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}
