// Whole-file reader: the system information file and the firmware file are
// read once into a zero-terminated buffer owned by the reader. A file is
// looked at before it is read: only a regular file within the reader's size
// limit is taken, so that a huge file, a folder or a FIFO given by mistake
// gets a refusal at once rather than a long read or a wait for a writer.
#include "FilRead.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cstdint>
#include <new>
#include <string>

#include "SystemPath.h"

char* strAppDir = nullptr;

namespace {

#ifdef _WIN32
using FileStatus = struct _stat64;
bool StatusOfOpenFile(std::FILE* file, FileStatus* st) {
  return _fstat64(_fileno(file), st) == 0;
}
bool IsRegular(const FileStatus& st) { return (st.st_mode & _S_IFMT) == _S_IFREG; }
const char* KindOf(const FileStatus& st) {
  return (st.st_mode & _S_IFMT) == _S_IFDIR ? "a folder" : "a device";
}
#else
using FileStatus = struct stat;
bool IsRegular(const FileStatus& st) { return S_ISREG(st.st_mode); }
const char* KindOf(const FileStatus& st) {
  if (S_ISDIR(st.st_mode)) return "a folder";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISCHR(st.st_mode)) return "a character device";
  if (S_ISBLK(st.st_mode)) return "a block device";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  return "not a regular file";
}
#endif

}  // namespace

CFileRead::~CFileRead() { ReleaseAll(); }

bool CFileRead::Open(const char* name) {
  if (name == nullptr) {
    ReleaseAll();
    return false;
  }
  std::string path = (strAppDir != nullptr) ? strAppDir : "";
  path += name;
  std::printf("%s\n", path.c_str());
  std::fflush(stdout);
  return OpenPath(path.c_str());
}

bool CFileRead::Refuse(FileOpenError error, int number) {
  ReleaseAll();
  error_ = error;
  errno_ = number;
  return false;
}

bool CFileRead::OpenPath(const char* path) {
  // A reader holds one file at a time; whatever it held before is dropped.
  ReleaseAll();
  error_ = FileOpenError::kNone;
  errno_ = 0;
  kind_ = "";
  foundSize_ = 0;
  if (path == nullptr) return Refuse(FileOpenError::kSystem, ENOENT);
  FileStatus st;
#ifdef _WIN32
  file_ = OpenPathFile(path, "rb");
  if (file_ == nullptr) return Refuse(FileOpenError::kSystem, errno);
  if (!StatusOfOpenFile(file_, &st)) return Refuse(FileOpenError::kSystem, errno);
#else
  // Without O_NONBLOCK the open of a FIFO waits for a writer; the file is
  // judged by what the open descriptor is, so nothing can swap it between
  // the look and the read. Binary mode: the firmware file goes through the
  // same reader, and the text lookup treats CR and LF alike.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Refuse(FileOpenError::kSystem, errno);
  if (fstat(fd, &st) != 0) {
    const int number = errno;
    close(fd);
    return Refuse(FileOpenError::kSystem, number);
  }
  file_ = IsRegular(st) ? fdopen(fd, "rb") : nullptr;
  if (file_ == nullptr) {
    const int number = errno;
    close(fd);
    if (IsRegular(st)) return Refuse(FileOpenError::kSystem, number);
  }
#endif
  if (!IsRegular(st)) {
    kind_ = KindOf(st);
    return Refuse(FileOpenError::kNotRegular, 0);
  }
  foundSize_ = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
  if (foundSize_ > limit_) return Refuse(FileOpenError::kTooLarge, 0);
  return true;
}

std::string CFileRead::OpenProblem() const {
  switch (error_) {
    case FileOpenError::kNone:
      return "";
    case FileOpenError::kSystem:
      return std::strerror(errno_);
    case FileOpenError::kNotRegular:
      return std::string("it is ") + kind_ + ", not a regular file";
    case FileOpenError::kTooLarge:
      return "it holds " + std::to_string(foundSize_) + " bytes, more than " +
             std::to_string(limit_);
  }
  return "";
}

bool CFileRead::SetContent(const void* data, uint32_t size) {
  ReleaseAll();
  if (data == nullptr || size == 0 || size == UINT32_MAX) return false;
  content_ = std::make_unique<unsigned char[]>(static_cast<size_t>(size) + 1);  // zero-filled
  std::memcpy(content_.get(), data, size);
  contentSize_ = size;
  return true;
}

uint32_t CFileRead::GetFileSize() {
  if (file_ == nullptr) return content_ ? contentSize_ : 0;
  const long previous = std::ftell(file_);
  if (previous < 0) return 0;
  uint32_t size = 0;
  if (std::fseek(file_, 0, SEEK_END) == 0) {
    const long end = std::ftell(file_);
    if (end > 0) {
      // Sizes that do not fit the 32-bit result read as the largest value,
      // which ReadTextFile refuses.
      size =
          (static_cast<unsigned long>(end) >= UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(end);
    }
  }
  std::fseek(file_, previous, SEEK_SET);
  return size;
}

unsigned char* CFileRead::ReadTextFile() {
  if (content_) return content_.get();
  if (file_ == nullptr) return nullptr;
  const uint32_t size = GetFileSize();
  // Room for the terminating zero must exist within 32 bits; a file that
  // grew past the limit since it was opened is not read either.
  if (size == 0 || size == UINT32_MAX || size > limit_) return nullptr;
  std::unique_ptr<unsigned char[]> buffer;
  try {
    buffer = std::make_unique<unsigned char[]>(static_cast<size_t>(size) + 1);  // zero-filled
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (std::fseek(file_, 0, SEEK_SET) != 0) return nullptr;
  // A short read (the file shrank meanwhile) leaves the rest zero.
  const size_t got = std::fread(buffer.get(), 1, size, file_);
  (void)got;
  content_ = std::move(buffer);
  return content_.get();
}

void CFileRead::Close() {
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

void CFileRead::ReleaseAll() {
  Close();
  content_.reset();
  contentSize_ = 0;
}
