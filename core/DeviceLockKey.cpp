// The names that device locks are taken under (DeviceLock.h): the same on
// every platform, so that they can be checked without a device.
#include <cctype>
#include <string>

#include "DeviceLock.h"

namespace {

constexpr int kMaxUsbPorts = 7;  // USB allows at most 7 tiers below the root hub
constexpr size_t kMaxLockName = 100;

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

std::string UsbDeviceLockKey(int bus, const uint8_t* ports, int portCount, int address) {
  if (bus < 0) return "";
  std::string key = "usb-" + std::to_string(bus) + "-";
  if (ports == nullptr || portCount <= 0 || portCount > kMaxUsbPorts) {
    if (address < 0) return "";
    return key + "a" + std::to_string(address);
  }
  for (int i = 0; i < portCount; ++i) {
    if (i > 0) key += '.';
    key += std::to_string(static_cast<unsigned>(ports[i]));
  }
  return key;
}

std::string UsbDeviceLockKeyFromSysName(const std::string& sysName, int bus) {
  if (bus < 0) return "";
  const size_t dash = sysName.find('-');
  if (dash == std::string::npos || sysName.substr(0, dash) != std::to_string(bus)) return "";
  // The ports: numbers of at most three digits, joined by '.'.
  const std::string ports = sysName.substr(dash + 1);
  int count = 0;
  size_t start = 0;
  while (start <= ports.size()) {
    size_t end = ports.find('.', start);
    if (end == std::string::npos) end = ports.size();
    const std::string port = ports.substr(start, end - start);
    if (!AllDigits(port) || port.size() > 3 || ++count > kMaxUsbPorts) return "";
    start = end + 1;
  }
  return "usb-" + sysName;
}

std::string SafeLockName(const std::string& key) {
  if (key.empty() || key == "." || key == "..") return "";
  std::string name = key.substr(0, kMaxLockName);
  for (char& c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (!std::isalnum(u) || u >= 0x80) {
      if (c != '-' && c != '.') c = '_';
    }
  }
  return name;
}

std::string LockFolderCandidates(const char* lockDir, const char* runtimeDir, int index) {
  if (lockDir != nullptr && *lockDir != '\0') return index == 0 ? lockDir : "";
  const bool runtime = runtimeDir != nullptr && *runtimeDir != '\0';
  switch (index) {
    case 0:
      return "/run/lock";
    case 1:
      return runtime ? runtimeDir : "/tmp";
    case 2:
      return runtime ? "/tmp" : "";
    default:
      return "";
  }
}
