// What the Windows programs hold while the flash is written, kept free of
// Windows headers so that the native unit tests run it against a fake
// system: the system stays awake (the execution state), shutdown and logout
// wait, with a reason shown on the write's progress dialog, and on a
// console Ctrl+C, Ctrl+Break and closing the console wait for the write's
// end.
#pragma once

#include <cstdint>

namespace zfwin {

// SetThreadExecutionState flags.
constexpr uint32_t kEsSystemRequired = 0x00000001u;
constexpr uint32_t kEsContinuous = 0x80000000u;

// Shown by Windows next to the program when a shutdown or logout waits.
constexpr wchar_t kShutdownBlockReason[] =
    L"The firmware of a USB storage bridge is being written. Do not turn off the computer "
    L"until the update has completed.";

// `System` provides:
//   uint32_t SetExecutionState(uint32_t flags);  // the previous state, 0 on failure
//   bool CreateBlockReason(void* window, const wchar_t* reason);
//   bool DestroyBlockReason(void* window);
//   bool HoldConsoleBreaks(bool hold);  // true: installed (false) or removed
template <class System>
class WriteHold {
 public:
  explicit WriteHold(System* system) : system_(system) {}
  WriteHold(const WriteHold&) = delete;
  WriteHold& operator=(const WriteHold&) = delete;

  // The write starts: the system must not sleep until it ends (the display
  // may still turn off).
  void Start() {
    if (writing_) return;
    writing_ = true;
    stateSet_ = system_->SetExecutionState(kEsContinuous | kEsSystemRequired) != 0;
    breaksHeld_ = system_->HoldConsoleBreaks(true);
  }

  // A dialog window was shown. The first one shown during the write is its
  // progress dialog: it carries the reason while it is on the screen.
  void WindowShown(void* window) {
    if (!writing_ || reasonWindow_ != nullptr || window == nullptr) return;
    if (system_->CreateBlockReason(window, kShutdownBlockReason)) reasonWindow_ = window;
  }

  // A dialog window is about to be destroyed.
  void WindowClosing(void* window) {
    if (window == nullptr || window != reasonWindow_) return;
    system_->DestroyBlockReason(window);
    reasonWindow_ = nullptr;
  }

  // While true, the windows answer a query to end the session with "no".
  bool HoldsSessionEnd() const { return writing_; }

  // The write has ended: everything goes back.
  void End() {
    if (!writing_) return;
    if (reasonWindow_ != nullptr) {
      system_->DestroyBlockReason(reasonWindow_);
      reasonWindow_ = nullptr;
    }
    if (stateSet_) system_->SetExecutionState(kEsContinuous);
    stateSet_ = false;
    if (breaksHeld_) system_->HoldConsoleBreaks(false);
    breaksHeld_ = false;
    writing_ = false;
  }

 private:
  System* system_;
  bool writing_ = false;
  bool stateSet_ = false;
  bool breaksHeld_ = false;
  void* reasonWindow_ = nullptr;
};

}  // namespace zfwin
