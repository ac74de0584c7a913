// Whole-file reader for the system information file and the firmware file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// The application directory (the program's folder with its trailing
// separator, or empty); every CFileRead::Open puts it in front of the name.
extern char* strAppDir;

// The largest file a reader takes unless told otherwise (ZEDRIKFU.ini and
// any other text file): 1 MiB.
constexpr uint64_t kDefaultFileSizeLimit = uint64_t{1} << 20;
// The largest firmware file worth reading: a 64 KiB code area and its
// 16-byte header.
constexpr uint64_t kFirmwareFileSizeLimit = (uint64_t{1} << 16) + 16;

// Why the last Open or OpenPath failed.
enum class FileOpenError {
  kNone,
  kSystem,      // the system refused to open it (OpenErrno)
  kNotRegular,  // a folder, FIFO, device node or socket
  kTooLarge,    // more bytes than the reader's limit (FoundSize)
};

class CFileRead {
 public:
  CFileRead() = default;
  ~CFileRead();
  CFileRead(const CFileRead&) = delete;
  CFileRead& operator=(const CFileRead&) = delete;

  // Opens strAppDir + name, printing the path as one line on standard output.
  bool Open(const char* name);
  // Opens a path as given (no application directory, no console line). Only
  // a regular file of at most SizeLimit() bytes opens; nothing blocks (a
  // FIFO is looked at without waiting for a writer) and nothing is read yet.
  bool OpenPath(const char* path);
  // The largest file the next Open or OpenPath accepts.
  void SetSizeLimit(uint64_t bytes) { limit_ = bytes; }
  uint64_t SizeLimit() const { return limit_; }
  // Takes `size` bytes as the content of an opened file (a file already held
  // in memory); false for no bytes.
  bool SetContent(const void* data, uint32_t size);
  uint32_t GetFileSize();
  // The whole file followed by a zero byte; null for an empty or unopened file.
  unsigned char* ReadTextFile();
  void Close();
  void ReleaseAll();

  // The cause of the last failed open, and what was found there: the errno
  // of the system's refusal, the kind of a file that is not a regular one
  // ("a folder", "a FIFO", ...) and the size of the file in bytes.
  FileOpenError OpenError() const { return error_; }
  int OpenErrno() const { return errno_; }
  const char* FoundKind() const { return kind_; }
  uint64_t FoundSize() const { return foundSize_; }
  // One phrase for the last failed open ("No such file or directory", "it
  // is a FIFO, not a regular file", "it holds 70000 bytes, more than 65552").
  std::string OpenProblem() const;

 private:
  bool Refuse(FileOpenError error, int number);

  std::FILE* file_ = nullptr;
  std::unique_ptr<unsigned char[]> content_;
  uint32_t contentSize_ = 0;  // bytes taken by SetContent
  uint64_t limit_ = kDefaultFileSizeLimit;
  FileOpenError error_ = FileOpenError::kNone;
  int errno_ = 0;
  const char* kind_ = "";
  uint64_t foundSize_ = 0;
};
