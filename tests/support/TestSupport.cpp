#include "TestSupport.h"

#include <algorithm>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "CommandSet.h"
#include "FilRead.h"
#include "ImageLayout.h"
#include "common.h"

namespace testsupport {

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_) {
    setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zftest-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::File(const std::string& name) const { return path_ + "/" + name; }

ScopedAppDir::ScopedAppDir(const std::string& folder)
    : text_(folder.begin(), folder.end()), previous_(strAppDir) {
  text_.push_back('\0');
  strAppDir = text_.data();
}

ScopedAppDir::~ScopedAppDir() { strAppDir = previous_; }

bool WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool WriteText(const std::string& path, const std::string& text) {
  return WriteFile(path, std::vector<unsigned char>(text.begin(), text.end()));
}

std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

std::vector<vbridge::ReceivedCommand> CommandsOf(const vbridge::VirtualBridge& device,
                                                 int command) {
  std::vector<vbridge::ReceivedCommand> out;
  for (const vbridge::ReceivedCommand& c : device.Log()) {
    if (c.command == command) out.push_back(c);
  }
  return out;
}

vbridge::DeviceConfig Device(uint16_t vendorId, const std::string& chipId, bool busy) {
  vbridge::DeviceConfig cfg;
  cfg.vendorId = vendorId;
  cfg.chipId = chipId;
  cfg.busy = busy;
  return cfg;
}

bool HasFlashChangingCommand(const vbridge::VirtualBridge& device) {
  for (const vbridge::ReceivedCommand& c : device.Log()) {
    if (c.command == CMD_BLOCKERASEROM || c.command == CMD_WRITEROM ||
        c.command == CMD_CHIPERASEROM) {
      return true;
    }
  }
  return false;
}

uint32_t Area1Offset(const std::vector<unsigned char>& image) {
  return image.size() >= kImageHeaderSize ? GetLE32(image.data() + kArea1OffsetField) : 0;
}
uint32_t Area2Offset(const std::vector<unsigned char>& image) {
  return image.size() >= kImageHeaderSize ? GetLE32(image.data() + kArea2OffsetField) : 0;
}

void MoveArea(std::vector<unsigned char>* image, uint32_t field, uint32_t to) {
  unsigned char* bytes = image->data();
  const uint32_t from = GetLE32(bytes + field);
  const uint32_t size = GetLE32(bytes + from + kAreaCodeSize) + kFirmwareAreaHeaderSize;
  const std::vector<unsigned char> area(bytes + from, bytes + from + size);
  std::fill(bytes + from, bytes + from + size, 0xFF);
  std::copy(area.begin(), area.end(), bytes + to);
  PutLE32(bytes + field, to);
  SealHeaderCrc(bytes);
}

bool HoldsAt(const std::vector<unsigned char>& image, uint32_t offset,
             const std::vector<unsigned char>& file) {
  if (!RangeInside(offset, file.size(), image.size())) return false;
  return std::equal(file.begin(), file.end(), image.begin() + offset);
}

std::string DefaultSystemInformation(const char* target) {
  return std::string("[TargetInfo]\r\nTargetBridgeIC=") + target +
         "\r\n[SysInfo]\r\nSysInfoNum=1\r\nVenderID0=0x3F1C\r\nProductID0=0x0001\r\n";
}

}  // namespace testsupport
