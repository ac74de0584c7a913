#include "WinWriteGuard.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

uint32_t CWinWriteGuard::System::SetExecutionState(uint32_t flags) {
  return static_cast<uint32_t>(SetThreadExecutionState(static_cast<EXECUTION_STATE>(flags)));
}

bool CWinWriteGuard::System::CreateBlockReason(void* window, const wchar_t* reason) {
  return ShutdownBlockReasonCreate(static_cast<HWND>(window), reason) != FALSE;
}

bool CWinWriteGuard::System::DestroyBlockReason(void* window) {
  return ShutdownBlockReasonDestroy(static_cast<HWND>(window)) != FALSE;
}

static_assert(zfwin::kEsContinuous == ES_CONTINUOUS, "ES_CONTINUOUS");
static_assert(zfwin::kEsSystemRequired == ES_SYSTEM_REQUIRED, "ES_SYSTEM_REQUIRED");
