// Whole-file reader for the system information file and the firmware file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

// The application directory (the program's folder with its trailing
// separator, or empty); every CFileRead::Open puts it in front of the name.
extern char* strAppDir;

class CFileRead {
 public:
  CFileRead() = default;
  ~CFileRead();
  CFileRead(const CFileRead&) = delete;
  CFileRead& operator=(const CFileRead&) = delete;

  // Opens strAppDir + name, printing the path as one line on standard output.
  bool Open(const char* name);
  // Opens a path as given (no application directory, no console line).
  bool OpenPath(const char* path);
  // Takes `size` bytes as the content of an opened file (a file already held
  // in memory); false for no bytes.
  bool SetContent(const void* data, uint32_t size);
  uint32_t GetFileSize();
  // The whole file followed by a zero byte; null for an empty or unopened file.
  unsigned char* ReadTextFile();
  void Close();
  void ReleaseAll();

 private:
  std::FILE* file_ = nullptr;
  std::unique_ptr<unsigned char[]> content_;
  uint32_t contentSize_ = 0;  // bytes taken by SetContent
};
