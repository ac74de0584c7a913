// zedrikfu-sim: the updater over the virtual bridge, spoken to in the USB
// encoding. The virtual devices come from virtual-devices.ini in the
// program's folder, which is created with the default bridge when missing
// (once the command line has been accepted).
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "UpdaterRun.h"
#include "CliModes.h"
#include "DialogStart.h"
#include "DefaultDevices.h"
#include "VirtualBus.h"

int main(int argc, char** argv) {
  // A reader that goes away early (`zedrikfu-sim -y | head -1`) must not
  // end the run in the middle of a write: output to it fails and is let go.
  std::signal(SIGPIPE, SIG_IGN);
  vbridge::VirtualBus bus;
  std::unique_ptr<vbridge::ScopedActiveBus> active;
  const std::string iniPath =
      ProgramFolder(argc > 0 ? argv[0] : nullptr) + "virtual-devices.ini";
  return RunCommandLine(argc, argv, [&]() {
    std::string error;
    if (!vbridge::LoadOrCreateVirtualDevices(iniPath, &bus, &error)) {
      std::fprintf(stderr, "zedrikfu-sim: %s\n", error.c_str());
      return false;
    }
    active = std::make_unique<vbridge::ScopedActiveBus>(&bus);
    return true;
  });
}
