// zedrikfu-sim: the updater over the virtual bridge, spoken to in the USB
// encoding. The virtual devices come from virtual-devices.ini in the
// program's folder, which is created with the default bridge when missing.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "AppMain.h"
#include "ImageAuthoring.h"
#include "VirtualBus.h"
#include "VirtualDevices.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// The default virtual-devices.ini and, unless one is already there, the
// default bridge's flash: a valid header and two copies of firmware 01.10.
bool CreateDefaultDevices(const std::string& iniPath, std::string* error) {
  if (!vbridge::WriteDefaultVirtualDevices(iniPath, error)) return false;
  std::string imagePath = vbridge::ResolveRelativeTo(iniPath, vbridge::kDefaultFlashImageName);
  if (Exists(imagePath)) return true;
  std::vector<unsigned char> image;
  if (!zfimage::BuildDefaultFlashImage(&image, error)) return false;
  return vbridge::WriteFlashImageFile(imagePath, vbridge::DefaultDeviceConfig().flashPart, image,
                                      error);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string iniPath =
      ProgramFolder(argc > 0 ? argv[0] : nullptr) + "virtual-devices.ini";
  std::string error;
  if (!Exists(iniPath) && !CreateDefaultDevices(iniPath, &error)) {
    std::fprintf(stderr, "zedrikfu-sim: cannot create %s: %s\n", iniPath.c_str(), error.c_str());
    return 1;
  }
  vbridge::VirtualBus bus;
  if (!bus.LoadFile(iniPath, &error)) {
    std::fprintf(stderr, "zedrikfu-sim: %s\n", error.c_str());
    return 1;
  }
  vbridge::ScopedActiveBus active(&bus);
  return RunUpdater(argc, argv);
}
