// Reading the settings of the Windows build.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>

#include "Settings.h"

namespace zfwin {

std::string ProgramModulePath() {
  char path[kSettingBufferSize] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  path[sizeof path - 1] = '\0';
  return path;
}

int ReadSetting(const char* key, const char* fallback, char* buf, int size) {
  if (buf == nullptr || size <= 0) return 0;
  std::memset(buf, 0, static_cast<size_t>(size));
  const std::string settingsPath = SettingsPathFromModulePath(ProgramModulePath().c_str());
  const DWORD got = GetPrivateProfileStringA(kSettingsSection, key, fallback, buf,
                                             static_cast<DWORD>(size), settingsPath.c_str());
  return static_cast<int>(got);
}

}  // namespace zfwin
