// ZEDRIKFU-sim.exe: the Windows updater over the virtual bridge, spoken to
// in the SCSI encoding. The virtual devices come from virtual-devices.ini in
// the program's folder, which is created with the default bridge (and its
// flash image) when missing.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "AppMain.h"
#include "ImageAuthoring.h"
#include "Settings.h"
#include "VirtualBus.h"
#include "VirtualDevices.h"

namespace {

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CreateDefaultDevices(const std::string& iniPath, std::string* error) {
  if (!vbridge::WriteDefaultVirtualDevices(iniPath, error)) return false;
  const std::string imagePath =
      vbridge::ResolveRelativeTo(iniPath, vbridge::kDefaultFlashImageName);
  if (Exists(imagePath)) return true;
  std::vector<unsigned char> image;
  if (!zfimage::BuildDefaultFlashImage(&image, error)) return false;
  return vbridge::WriteFlashImageFile(imagePath, vbridge::DefaultDeviceConfig().flashPart, image,
                                      error);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  const std::string iniPath =
      zfwin::FolderOfModulePath(zfwin::ProgramModulePath().c_str()) + "virtual-devices.ini";
  std::string error;
  if (!Exists(iniPath) && !CreateDefaultDevices(iniPath, &error)) {
    std::fprintf(stderr, "ZEDRIKFU-sim: cannot create %s: %s\n", iniPath.c_str(), error.c_str());
    return 1;
  }
  vbridge::VirtualBus bus;
  if (!bus.LoadFile(iniPath, &error)) {
    std::fprintf(stderr, "ZEDRIKFU-sim: %s\n", error.c_str());
    return 1;
  }
  vbridge::ScopedActiveBus active(&bus);
  return RunWindowsUpdater(instance);
}
