// Reading the settings of the Windows build.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <vector>

#include "Settings.h"
#include "WideText.h"

namespace zfwin {

std::string ProgramModulePath() {
  // The buffer grows until the path fits: a path may be longer than MAX_PATH.
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), size);
    if (length == 0) return std::string();
    if (length < size) return Utf8Of(path.data());
    if (path.size() >= 32768) return std::string();
    path.resize(path.size() * 2);
  }
}

std::string ReadSetting(const char* key, const char* fallback) {
  std::wstring wideKey;
  std::wstring wideFallback;
  Utf8ToWide(std::string(key != nullptr ? key : ""), &wideKey);
  Utf8ToWide(std::string(fallback != nullptr ? fallback : ""), &wideFallback);
  std::wstring section;
  Utf8ToWide(std::string(kSettingsSection), &section);
  const std::wstring settingsPath =
      WidePath(SettingsPathFromModulePath(ProgramModulePath().c_str()));
  wchar_t value[kSettingBufferSize] = {};
  GetPrivateProfileStringW(section.c_str(), wideKey.c_str(), wideFallback.c_str(), value,
                           static_cast<DWORD>(kSettingBufferSize), settingsPath.c_str());
  value[kSettingBufferSize - 1] = L'\0';
  return Utf8Of(value);
}

}  // namespace zfwin
