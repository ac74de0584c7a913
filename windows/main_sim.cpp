// ZEDRIKFU-sim.exe and its console companion ZEDRIKFU-sim.com: the Windows
// updater over the virtual bridge, spoken to in the SCSI encoding; with
// options the command line (CommandLineMain.h). The virtual devices come from virtual-devices.ini in
// the program's folder, which is created with the default bridge (and its
// flash image) when missing; when that file cannot be read or created, the
// fault is shown in a message box and the program ends with status 1.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "AppMain.h"
#include "CommandLineMain.h"
#include "DefaultDevices.h"
#include "Settings.h"
#include "VirtualBus.h"
#include "WideText.h"

namespace {

std::string VirtualDevicesPath() {
  return zfwin::FolderOfModulePath(zfwin::ProgramModulePath().c_str()) + "virtual-devices.ini";
}

// The dialogs, as without a command line.
int RunDialogs(HINSTANCE instance) {
  std::string error;
  vbridge::VirtualBus bus;
  if (!vbridge::LoadOrCreateVirtualDevices(VirtualDevicesPath(), &bus, &error)) {
    // A windowed program has no console to show standard error on: the
    // fault goes into a message box as well.
    std::fprintf(stderr, "ZEDRIKFU-sim: %s\n", error.c_str());
    std::fflush(stderr);
    // The text names the file: a path in UTF-8.
    const std::wstring text = zfwin::ShownText(vbridge::VirtualDevicesFailureText(error));
    MessageBoxW(nullptr, text.c_str(), L"ZEDRIKFU-sim", MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
    return 1;
  }
  vbridge::ScopedActiveBus active(&bus);
  return RunWindowsUpdater(instance);
}

// The command line: the virtual devices are set up once the options were
// accepted, and a fault in them is a cause line.
int RunOptions(HINSTANCE instance, bool console) {
  vbridge::VirtualBus bus;
  std::unique_ptr<vbridge::ScopedActiveBus> active;
  return RunWindowsCommandLine(instance, console, "virtual bridge", [&]() {
    std::string error;
    if (!vbridge::LoadOrCreateVirtualDevices(VirtualDevicesPath(), &bus, &error)) {
      std::fprintf(stderr, "ZEDRIKFU-sim: %s\n", error.c_str());
      return false;
    }
    active = std::make_unique<vbridge::ScopedActiveBus>(&bus);
    return true;
  });
}

}  // namespace

#ifdef ZEDRIKFU_CONSOLE_PROGRAM
int main(int argc, char** /*argv*/) {
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  if (!HasCommandLineOptions(argc)) return RunDialogs(instance);
  return RunOptions(instance, true);
}
#else
int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  if (!HasCommandLineOptions(__argc)) return RunDialogs(instance);
  return RunOptions(instance, false);
}
#endif
