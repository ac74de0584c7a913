// ZEDRIKFU-sim.exe: the Windows updater over the virtual bridge, spoken to
// in the SCSI encoding. The virtual devices come from virtual-devices.ini in
// the program's folder, which is created with the default bridge (and its
// flash image) when missing; when that file cannot be read or created, the
// fault is shown in a message box and the program ends with status 1.
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
    // A windowed program has no console to show standard error on: the
    // fault goes into a message box as well.
    std::fprintf(stderr, "ZEDRIKFU-sim: %s\n", error.c_str());
    std::fflush(stderr);
    const std::string text = vbridge::VirtualDevicesFailureText(error);
    MessageBoxA(nullptr, text.c_str(), "ZEDRIKFU-sim", MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    return 1;
  }
  vbridge::ScopedActiveBus active(&bus);
  return RunWindowsUpdater(instance);
}
