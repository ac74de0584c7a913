// ZEDRIKFU.exe and its console companion ZEDRIKFU.com: the updater on the
// Windows transport (SCSI pass-through). Without options the dialogs;
// with options the command line (CommandLineMain.h).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdlib>

#include "AppMain.h"
#include "CommandLineMain.h"

namespace {

const char kTransport[] = "SCSI pass-through";

}  // namespace

#ifdef ZEDRIKFU_CONSOLE_PROGRAM
int main(int argc, char** /*argv*/) {
  if (!HasCommandLineOptions(argc)) return RunWindowsUpdater(GetModuleHandleA(nullptr));
  return RunWindowsCommandLine(GetModuleHandleA(nullptr), true, kTransport);
}
#else
int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  if (!HasCommandLineOptions(__argc)) return RunWindowsUpdater(instance);
  return RunWindowsCommandLine(instance, false, kTransport);
}
#endif
