// Helpers shared by the tests: scratch folders, files, flash images and the
// virtual bridge's command log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VirtualBridge.h"

namespace testsupport {

// A fresh folder under the system's temporary directory, removed with its
// contents when the object goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// Makes `folder` (with its trailing '/') the application directory that
// Sets (or, with a null value, unsets) an environment variable while it
// lives, and puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

// CFileRead puts in front of every name, for the lifetime of the object.
class ScopedAppDir {
 public:
  explicit ScopedAppDir(const std::string& folder);
  ~ScopedAppDir();
  ScopedAppDir(const ScopedAppDir&) = delete;
  ScopedAppDir& operator=(const ScopedAppDir&) = delete;

 private:
  std::vector<char> text_;
  char* previous_;
};

bool WriteFile(const std::string& path, const std::vector<unsigned char>& bytes);
bool WriteText(const std::string& path, const std::string& text);
std::vector<unsigned char> ReadFile(const std::string& path);

// A virtual device with the vendor id, the chip id of its version block and
// whether another program holds it; the rest as the default bridge.
vbridge::DeviceConfig Device(uint16_t vendorId, const std::string& chipId = "318a",
                             bool busy = false);

// Commands of one kind in a device's log.
std::vector<vbridge::ReceivedCommand> CommandsOf(const vbridge::VirtualBridge& device,
                                                 int command);
// True when the log holds an erase, a program or a chip erase.
bool HasFlashChangingCommand(const vbridge::VirtualBridge& device);

// Offsets of the two firmware areas of a flash image (0 when absent).
uint32_t Area1Offset(const std::vector<unsigned char>& image);
uint32_t Area2Offset(const std::vector<unsigned char>& image);

// Moves the firmware area whose offset field is `field` (36 or 40) to `to`,
// leaving 0xFF where it was, and seals the header CRC again.
void MoveArea(std::vector<unsigned char>* image, uint32_t field, uint32_t to);

// True when `image` holds `file` byte for byte at `offset`.
bool HoldsAt(const std::vector<unsigned char>& image, uint32_t offset,
             const std::vector<unsigned char>& file);

// The system information file of the default virtual bridge (QK9318A,
// 0x3F1C:0x0001).
std::string DefaultSystemInformation(const char* target = "QK9318A");

}  // namespace testsupport
