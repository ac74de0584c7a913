// zedrikfu-sim: the updater over the virtual bridge, spoken to in the USB
// encoding. The virtual devices come from virtual-devices.ini in the
// program's folder, which is created with the default bridge when missing.
#include <cstdio>
#include <string>

#include "AppMain.h"
#include "DefaultDevices.h"
#include "VirtualBus.h"

int main(int argc, char** argv) {
  const std::string iniPath =
      ProgramFolder(argc > 0 ? argv[0] : nullptr) + "virtual-devices.ini";
  std::string error;
  vbridge::VirtualBus bus;
  if (!vbridge::LoadOrCreateVirtualDevices(iniPath, &bus, &error)) {
    std::fprintf(stderr, "zedrikfu-sim: %s\n", error.c_str());
    return 1;
  }
  vbridge::ScopedActiveBus active(&bus);
  return RunUpdater(argc, argv);
}
