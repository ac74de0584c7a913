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

#include "AppMain.h"
#include "DefaultDevices.h"
#include "Settings.h"
#include "VirtualBus.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  const std::string iniPath =
      zfwin::FolderOfModulePath(zfwin::ProgramModulePath().c_str()) + "virtual-devices.ini";
  std::string error;
  vbridge::VirtualBus bus;
  if (!vbridge::LoadOrCreateVirtualDevices(iniPath, &bus, &error)) {
    std::fprintf(stderr, "ZEDRIKFU-sim: %s\n", error.c_str());
    return 1;
  }
  vbridge::ScopedActiveBus active(&bus);
  return RunWindowsUpdater(instance);
}
