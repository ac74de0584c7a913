// Device locks of the Windows builds: a named mutex per device or file
// (DeviceLock.h). Windows gives up a mutex whose owner ends, however it
// ends; the next run then takes it over (WAIT_ABANDONED).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

#include "DeviceLock.h"
#include "WideText.h"

namespace {

// 64-bit FNV-1a of a text, as 16 hexadecimal digits: a name of fixed length
// for keys and paths that hold characters a mutex name may not.
std::string HashName(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
  return digits;
}

// Opens or creates the mutex in the global namespace, where runs in every
// session meet, or in the session's own when the global one is closed to
// this program.
HANDLE OpenNamedMutex(const std::string& name) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, ("Global\\ZEDRIKFU-" + name).c_str());
  if (mutex == nullptr) mutex = CreateMutexA(nullptr, FALSE, ("Local\\ZEDRIKFU-" + name).c_str());
  return mutex;
}

}  // namespace

int CDeviceLock::AcquireDevice(const std::string& key) {
  Release();
  if (key.empty()) return kLockUnavailable;
  HANDLE mutex = OpenNamedMutex(HashName(key));
  if (mutex == nullptr) return kLockUnavailable;
  const DWORD waited = WaitForSingleObject(mutex, 0);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    handle_ = reinterpret_cast<intptr_t>(mutex);
    return kLockTaken;
  }
  CloseHandle(mutex);
  return waited == WAIT_TIMEOUT ? kLockInUse : kLockUnavailable;
}

int CDeviceLock::AcquireFile(const std::string& path) {
  // One name per file, whichever way the path is written; the full path is
  // hashed as UTF-8.
  wchar_t full[MAX_PATH * 2];
  const DWORD length =
      GetFullPathNameW(zfwin::WidePath(path).c_str(), MAX_PATH * 2, full, nullptr);
  if (length == 0 || length >= MAX_PATH * 2) return kLockUnavailable;
  if (GetFileAttributesW(full) == INVALID_FILE_ATTRIBUTES) return kLockUnavailable;
  std::string name = zfwin::Utf8Of(full);
  if (name.empty()) return kLockUnavailable;
  for (char& c : name) {
    c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return AcquireDevice("file:" + name);
}

void CDeviceLock::Release() {
  if (handle_ != kNone) {
    HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
  handle_ = kNone;
  path_.clear();
}
