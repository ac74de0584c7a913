#include "DefaultDevices.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "ImageAuthoring.h"
#include "VirtualBus.h"
#include "VirtualDevices.h"

namespace zfimage {

namespace {

bool Exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

bool CreateDefaultDevices(const std::string& iniPath, std::string* error) {
  if (!vbridge::WriteDefaultVirtualDevices(iniPath, error)) return false;
  const std::string imagePath =
      vbridge::ResolveRelativeTo(iniPath, vbridge::kDefaultFlashImageName);
  if (Exists(imagePath)) return true;
  std::vector<unsigned char> image;
  if (!BuildDefaultFlashImage(&image, error)) return false;
  return vbridge::WriteFlashImageFile(imagePath, vbridge::DefaultDeviceConfig().flashPart, image,
                                      error);
}

}  // namespace

bool LoadOrCreateVirtualDevices(const std::string& iniPath, vbridge::VirtualBus* bus,
                                std::string* error) {
  if (!Exists(iniPath) && !CreateDefaultDevices(iniPath, error)) {
    if (error != nullptr) *error = "cannot create " + iniPath + ": " + *error;
    return false;
  }
  return bus->LoadFile(iniPath, error);
}

}  // namespace zfimage
