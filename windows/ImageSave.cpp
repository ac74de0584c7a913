// The saving of a flash image on Windows (ImageSave.h): a temporary file
// beside the target, written, flushed to the disk and closed, then moved
// over the target (kReplace) or onto a name that must still be free
// (kNewFile: MoveFileEx without MOVEFILE_REPLACE_EXISTING fails when the
// name was taken meanwhile). A name that is a folder, a device or a link
// (a reparse point) is refused: an image goes only to a plain file. The
// paths are UTF-8 and reach the system through the wide calls.
#include "ImageSave.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "SystemError.h"
#include "WideText.h"

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

const char* KindOf(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "a link";
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "a folder";
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return "a device";
  return "a file";
}

// A temporary file beside the target, removed unless it was moved.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& target) {
    for (unsigned attempt = 0; attempt < 100 && handle_ == INVALID_HANDLE_VALUE; ++attempt) {
      char suffix[32];
      std::snprintf(suffix, sizeof suffix, ".%lu-%u.tmp", GetCurrentProcessId(), attempt);
      path_ = target + suffix;
      handle_ = CreateFileW(zfwin::WidePath(path_).c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle_ == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    created_ = handle_ != INVALID_HANDLE_VALUE;
  }
  ~TemporaryFile() {
    Close();
    if (created_ && !moved_) DeleteFileW(zfwin::WidePath(path_).c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE handle() const { return handle_; }
  const std::string& path() const { return path_; }
  bool Close() {
    const bool ok = handle_ == INVALID_HANDLE_VALUE || CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return ok;
  }
  void Moved() { moved_ = true; }

 private:
  std::string path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool created_ = false;  // path_ names a file this object made
  bool moved_ = false;
};

bool WriteAll(HANDLE file, const std::vector<unsigned char>& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - written, 1u << 20));
    DWORD done = 0;
    if (WriteFile(file, bytes.data() + written, chunk, &done, nullptr) == 0 || done == 0) {
      return false;
    }
    written += done;
  }
  return true;
}

}  // namespace

bool CheckSaveTarget(const std::string& path, SaveMode mode, std::string* error) {
  const DWORD attributes = GetFileAttributesW(zfwin::WidePath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;
    *error = SystemCause("cannot look at " + path);
    return false;
  }
  if (mode == SaveMode::kNewFile) {
    *error = std::string("it exists (") + KindOf(attributes) +
             "); a backup never replaces anything: name a new file";
    return false;
  }
  if ((attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY |
                     FILE_ATTRIBUTE_DEVICE)) != 0) {
    *error = std::string("it is ") + KindOf(attributes) +
             ", not a regular file; an image is only saved to a regular file";
    return false;
  }
  return true;
}

bool SaveImageFile(const std::string& path, const std::vector<unsigned char>& bytes,
                   std::string* error, SaveMode mode) {
  if (!CheckSaveTarget(path, mode, error)) return false;
  TemporaryFile file(path);
  if (!file.Open()) {
    const std::string folder = FolderOf(path);
    *error = SystemCause("cannot create a file in " + (folder.empty() ? "." : folder));
    return false;
  }
  if (!WriteAll(file.handle(), bytes)) {
    *error = SystemCause("cannot write");
    return false;
  }
  if (FlushFileBuffers(file.handle()) == 0) {
    *error = SystemCause("cannot flush it to the disk");
    return false;
  }
  if (!file.Close()) {
    *error = SystemCause("cannot close it");
    return false;
  }
  const DWORD flags =
      MOVEFILE_WRITE_THROUGH | (mode == SaveMode::kReplace ? MOVEFILE_REPLACE_EXISTING : 0);
  const std::wstring from = zfwin::WidePath(file.path());
  if (MoveFileExW(from.c_str(), zfwin::WidePath(path).c_str(), flags) == 0) {
    if (mode == SaveMode::kNewFile && GetLastError() == ERROR_ALREADY_EXISTS) {
      *error = "it exists (it appeared while the image was saved); a backup never replaces "
               "anything: name a new file";
    } else {
      *error = SystemCause("cannot give it the name " + path);
    }
    return false;
  }
  file.Moved();
  return true;
}
