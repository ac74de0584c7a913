// The write guard of the Windows programs: SetThreadExecutionState keeps
// the system awake from the start of the write until it has ended, and
// ShutdownBlockReasonCreate on the write's progress dialog, with the dialogs
// answering WM_QUERYENDSESSION with "no", holds off shutdown and logout; a
// console control handler keeps Ctrl+C, Ctrl+Break and the closing of the
// console from ending the program in the middle of the write.
//
// No <windows.h> here (see Win32Dialog.h): windows are plain pointers.
#pragma once

#include <cstdint>

#include "WriteGuard.h"
#include "WriteHold.h"

class CWinWriteGuard : public CWriteGuard {
 public:
  CWinWriteGuard() = default;
  ~CWinWriteGuard() override { hold_.End(); }

  void WriteStarts() override { hold_.Start(); }
  void WriteEnded() override { hold_.End(); }
  void ReportShown() override {}

  // Called by the dialog layer for its dialog windows.
  void WindowShown(void* window) { hold_.WindowShown(window); }
  void WindowClosing(void* window) { hold_.WindowClosing(window); }
  bool HoldsSessionEnd() const { return hold_.HoldsSessionEnd(); }

  // The system calls.
  struct System {
    uint32_t SetExecutionState(uint32_t flags);
    bool CreateBlockReason(void* window, const wchar_t* reason);
    bool DestroyBlockReason(void* window);
    bool HoldConsoleBreaks(bool hold);
  };

 private:
  System system_;
  zfwin::WriteHold<System> hold_{&system_};
};
