#include "WinWriteGuard.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstdio>

namespace {

// Set while the handler is installed: the write is under way.
std::atomic<bool> gWriting{false};
std::atomic<bool> gNoticeShown{false};

// Ctrl+C and Ctrl+Break are taken (the run goes on to its end, with one
// notice); closing the console, logging off or shutting down waits here
// while the write goes on, as long as the system lets it, then ends the
// program as it would have.
BOOL WINAPI ConsoleBreakDuringWrite(DWORD event) {
  if (!gNoticeShown.exchange(true)) {
    std::fputs("\nZEDRIKFU: the firmware is being written; the program ends once the write is "
               "complete\n",
               stderr);
    std::fflush(stderr);
  }
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  while (gWriting.load()) Sleep(50);
  return FALSE;
}

}  // namespace

uint32_t CWinWriteGuard::System::SetExecutionState(uint32_t flags) {
  return static_cast<uint32_t>(SetThreadExecutionState(static_cast<EXECUTION_STATE>(flags)));
}

bool CWinWriteGuard::System::CreateBlockReason(void* window, const wchar_t* reason) {
  return ShutdownBlockReasonCreate(static_cast<HWND>(window), reason) != FALSE;
}

bool CWinWriteGuard::System::DestroyBlockReason(void* window) {
  return ShutdownBlockReasonDestroy(static_cast<HWND>(window)) != FALSE;
}

bool CWinWriteGuard::System::HoldConsoleBreaks(bool hold) {
  gWriting.store(hold);
  if (hold) gNoticeShown.store(false);
  return SetConsoleCtrlHandler(ConsoleBreakDuringWrite, hold ? TRUE : FALSE) != FALSE;
}

static_assert(zfwin::kEsContinuous == ES_CONTINUOUS, "ES_CONTINUOUS");
static_assert(zfwin::kEsSystemRequired == ES_SYSTEM_REQUIRED, "ES_SYSTEM_REQUIRED");
