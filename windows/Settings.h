// The two settings of the Windows build, read from the section "Setting" of
// ZEDRIKFU.ini in the program's own folder, and the texts the file chooser
// is built from. The path and text helpers are plain functions (tested
// natively); ReadSetting and ProgramModulePath need Windows.
#pragma once

#include <cstddef>
#include <string>

namespace zfwin {

constexpr char kSettingsFileName[] = "ZEDRIKFU.ini";
constexpr char kSettingsSection[] = "Setting";
constexpr char kCaptionKey[] = "Caption";
constexpr char kCaptionDefault[] = "ZEDRIK";
constexpr char kFirmwareKey[] = "Firmware";
constexpr char kFirmwareDefault[] = "MainFW.kqfw";
// Every value is read into a zeroed buffer of this many characters (at most
// 255 of them).
constexpr size_t kSettingBufferSize = 256;

// The firmware file chooser.
constexpr char kFirmwareFilter[] = "Firmware (*.kqfw)|*.kqfw|All Files (*.*)|*.*||";
constexpr char kFirmwareDefaultExtension[] = ".kqfw";

// The program's name in the texts: its file name without ".exe" or ".com".
inline std::string ProgramNameOf(const std::string& modulePath) {
  const size_t slash = modulePath.find_last_of("\\/");
  std::string name = slash == std::string::npos ? modulePath : modulePath.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

// The folder of a program path with its trailing '\' (empty without one).
inline std::string FolderOfModulePath(const char* modulePath) {
  const std::string path = modulePath != nullptr ? modulePath : "";
  const size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The settings file beside the program: the program's folder, then
// "ZEDRIKFU.ini".
inline std::string SettingsPathFromModulePath(const char* modulePath) {
  return FolderOfModulePath(modulePath) + kSettingsFileName;
}

// A filter in the "name|pattern|name|pattern||" form turned into the form of
// the open-file dialog: each '|' becomes a zero byte, so the text ends with
// two zero bytes.
inline std::string OpenFileFilter(const char* barFilter) {
  std::string out = barFilter != nullptr ? barFilter : "";
  for (char& c : out) {
    if (c == '|') c = '\0';
  }
  out.push_back('\0');
  out.push_back('\0');
  return out;
}

// The extension as the open-file dialog takes it: without the dot.
inline const char* DialogDefaultExtension(const char* extension) {
  return (extension != nullptr && extension[0] == '.') ? extension + 1 : extension;
}

// ---- Windows only ----

// The program's full path in UTF-8 (GetModuleFileNameW, however long).
std::string ProgramModulePath();
// `key` of the section "Setting" of the settings file beside the program, in
// UTF-8, with `fallback` when the file or the key is missing. The file is read
// by GetPrivateProfileStringW: a value means the characters it meant to the
// ANSI calls (a file in the ANSI code page) or, in a file saved as UTF-16
// with its byte order mark, the characters written there.
std::string ReadSetting(const char* key, const char* fallback);

}  // namespace zfwin
