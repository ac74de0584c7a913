// ZEDRIKFU.exe: the updater on the Windows transport (SCSI pass-through).
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "AppMain.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  return RunWindowsUpdater(instance);
}
