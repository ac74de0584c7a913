// The Windows side of the update history (History.h): its place under
// %LOCALAPPDATA%, the folders, the append at the end of the file in one
// write followed by FlushFileBuffers, and SHA-256 through the system's
// BCrypt (bcrypt.dll).
#include "History.h"
#include "SystemError.h"
#include "WideText.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <bcrypt.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {


// A file handle closed when it goes.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  HANDLE handle_;
};

// The BCrypt objects of one hash, released when it goes.
class Sha256 {
 public:
  Sha256() {
    if (BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
      algorithm_ = nullptr;
      return;
    }
    if (BCryptCreateHash(algorithm_, &hash_, nullptr, 0, nullptr, 0, 0) != 0) hash_ = nullptr;
  }
  ~Sha256() {
    if (hash_ != nullptr) BCryptDestroyHash(hash_);
    if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(algorithm_, 0);
  }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  bool Ready() const { return hash_ != nullptr; }
  bool Add(const unsigned char* data, ULONG size) {
    return BCryptHashData(hash_, const_cast<PUCHAR>(data), size, 0) == 0;
  }
  bool Finish(unsigned char (&digest)[32]) {
    return BCryptFinishHash(hash_, digest, sizeof digest, 0) == 0;
  }

 private:
  BCRYPT_ALG_HANDLE algorithm_ = nullptr;
  BCRYPT_HASH_HANDLE hash_ = nullptr;
};

}  // namespace

std::string HistoryFilePath() {
  // The wide environment: a profile folder outside the ANSI code page too.
  const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
  if (local == nullptr || local[0] == L'\0') return std::string();
  std::string folder = zfwin::Utf8Of(local);
  if (folder.empty()) return std::string();
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  return folder + "ZEDRIKFU\\history.jsonl";
}

bool UtcCalendarTime(std::time_t when, std::tm* out) { return gmtime_s(out, &when) == 0; }

std::string Sha256Hex(const unsigned char* data, size_t size) {
  Sha256 hash;
  if (!hash.Ready()) return std::string();
  constexpr size_t kPiece = size_t{1} << 30;  // BCryptHashData takes a ULONG
  for (size_t done = 0; done < size; done += kPiece) {
    const size_t piece = size - done < kPiece ? size - done : kPiece;
    if (!hash.Add(data + done, static_cast<ULONG>(piece))) return std::string();
  }
  unsigned char digest[32] = {};
  if (!hash.Finish(digest)) return std::string();
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : digest) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  return hex;
}

bool MakeFolder(const std::string& folder, std::string* cause) {
  // "C:" and the "\\server\share" of a network path exist or do not, and
  // are never made.
  if (folder.back() == ':' || folder.find_first_not_of("\\/") == std::string::npos) return true;
  if (CreateDirectoryW(zfwin::WidePath(folder).c_str(), nullptr) != 0 ||
      GetLastError() == ERROR_ALREADY_EXISTS || GetLastError() == ERROR_ACCESS_DENIED) {
    return true;
  }
  *cause = SystemCause("cannot make the folder " + folder);
  return false;
}

bool AppendToFileDurably(const std::string& path, const std::string& bytes, std::string* cause) {
  const Handle file(CreateFileW(zfwin::WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    *cause = SystemCause("cannot open " + path);
    return false;
  }
  // A last line without its line break (an append cut short) is ended
  // first, in the same write, so that the new record stands on its own line.
  std::string data = bytes;
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.get(), &size) != 0 && size.QuadPart > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(size.QuadPart - 1);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    char last = '\n';
    DWORD read = 0;
    if (ReadFile(file.get(), &last, 1, &read, &at) != 0 && read == 1 && last != '\n') {
      data.insert(data.begin(), '\n');
    }
  }
  // Offset and OffsetHigh both 0xFFFFFFFF: the write goes to the end of the
  // file as it is then, as with FILE_APPEND_DATA alone.
  OVERLAPPED end{};
  end.Offset = 0xFFFFFFFF;
  end.OffsetHigh = 0xFFFFFFFF;
  DWORD written = 0;
  if (WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, &end) == 0 ||
      written != data.size()) {
    *cause = SystemCause("cannot write to " + path);
    return false;
  }
  if (FlushFileBuffers(file.get()) == 0) {
    *cause = SystemCause("cannot flush " + path + " to the disk");
    return false;
  }
  return true;
}

FileHandle OpenRegularFile(const std::string& path, bool* missing, std::string* cause) {
  *missing = false;
  Handle file(CreateFileW(zfwin::WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
    *cause = SystemReason();
    return FileHandle();
  }
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    *cause = "it is not a regular file";
    return FileHandle();
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    *cause = std::strerror(errno);
    return FileHandle();
  }
  file.release();
  FileHandle stream(_fdopen(fd, "rb"));
  if (!stream) {
    *cause = std::strerror(errno);
    _close(fd);
  }
  return stream;
}
