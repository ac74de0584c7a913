// Whole-file reader: the system information file and the firmware file are
// read once into a zero-terminated buffer owned by the reader.
#include "FilRead.h"

#include <cstring>

#include <sys/stat.h>

#include <cstdint>
#include <new>
#include <string>

char* strAppDir = nullptr;

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

bool CFileRead::OpenPath(const char* path) {
  // A reader holds one file at a time; whatever it held before is dropped.
  ReleaseAll();
  if (path == nullptr) return false;
  // Binary mode: the firmware file goes through the same reader, and the
  // text lookup treats CR and LF alike, so no translation is wanted.
  file_ = std::fopen(path, "rb");
  // A folder of that name opens on some systems but holds no file to read:
  // it counts as a file that cannot be opened.
  struct stat st;
  if (file_ == nullptr || (stat(path, &st) == 0 && S_ISDIR(st.st_mode))) {
    ReleaseAll();
    return false;
  }
  return true;
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
  // Room for the terminating zero must exist within 32 bits.
  if (size == 0 || size == UINT32_MAX) return nullptr;
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
