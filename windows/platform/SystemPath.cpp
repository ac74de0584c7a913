// Paths of the Windows builds (SystemPath.h) and the UTF-16 side of the
// program's UTF-8 texts (WideText.h): every path reaches the system through
// a wide call.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cerrno>

#include "SystemPath.h"
#include "WideText.h"

namespace zfwin {

std::wstring WidePath(const std::string& path) {
  std::wstring wide;
  Utf8ToWide(path, &wide);
  return wide;
}

std::wstring ShownText(const std::string& text) {
  std::wstring wide;
  if (Utf8ToWide(text, &wide) || text.empty()) return wide;
  const int length = static_cast<int>(text.size());
  const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), length, nullptr, 0);
  if (units <= 0) return wide;
  wide.resize(static_cast<size_t>(units));
  MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), length, &wide[0], units);
  return wide;
}

std::string Utf8Of(const wchar_t* text) {
  std::string utf8;
  if (text != nullptr) WideToUtf8(std::wstring(text), &utf8);
  return utf8;
}

}  // namespace zfwin

std::FILE* OpenPathFile(const std::string& path, const char* mode) {
  std::wstring wideMode;
  if (mode == nullptr || !zfwin::Utf8ToWide(std::string(mode), &wideMode)) {
    errno = EINVAL;
    return nullptr;
  }
  const std::wstring wide = zfwin::WidePath(path);
  if (wide.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  return _wfopen(wide.c_str(), wideMode.c_str());
}

PathKind KindOfPath(const std::string& path) {
  const std::wstring wide = zfwin::WidePath(path);
  if (wide.empty()) return PathKind::kNone;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::kNone;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kFolder : PathKind::kOther;
}
