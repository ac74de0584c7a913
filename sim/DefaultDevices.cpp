#include "DefaultDevices.h"

#include <vector>

#include "ImageAuthoring.h"
#include "SystemPath.h"
#include "VirtualBus.h"
#include "VirtualDevices.h"

namespace vbridge {

namespace {

bool CreateDefaultDevices(const std::string& iniPath, std::string* error) {
  if (!WriteDefaultVirtualDevices(iniPath, error)) return false;
  const std::string imagePath = ResolveRelativeTo(iniPath, kDefaultFlashImageName);
  if (PathExists(imagePath)) return true;
  std::vector<unsigned char> image;
  if (!zfimage::BuildDefaultFlashImage(&image, error)) return false;
  return WriteFlashImageFile(imagePath, DefaultDeviceConfig().flashPart, image, error);
}

}  // namespace

bool LoadOrCreateVirtualDevices(const std::string& iniPath, VirtualBus* bus, std::string* error) {
  if (!PathExists(iniPath) && !CreateDefaultDevices(iniPath, error)) {
    if (error != nullptr) *error = "cannot create " + iniPath + ": " + *error;
    return false;
  }
  return bus->LoadFile(iniPath, error);
}

std::string VirtualDevicesFailureText(const std::string& error) {
  return "The virtual devices cannot be set up:\n" +
         (error.empty() ? std::string("virtual-devices.ini cannot be read") : error) +
         "\n\nCorrect or remove virtual-devices.ini beside the program, or start the program "
         "from a folder where it may write.";
}

}  // namespace vbridge
