// The Win32 front-end of the dialog classes: dialogs from the resource
// templates (102 main, 136 progress), run modally by a message loop of their
// own, timers through SetTimer, the progress bar common control, message
// boxes with texts from the string table and the caption from the settings.
//
// No <windows.h> here: its macros would rename CreateWindow and MessageBox.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <vector>

#include "DialogControl.h"

class CWinWriteGuard;

class CWin32DialogLayer : public CDialogLayer {
 public:
  // `instance`: the module whose resources hold the templates, the string
  // table and the icon.
  explicit CWin32DialogLayer(void* instance);
  ~CWin32DialogLayer() override;

  bool CreateWindow(CDialogControl* dialog, const char* windowName) override;
  void ShowWindow(CDialogControl* dialog) override;
  void RunModal(CDialogControl* dialog) override;
  void EndModal(CDialogControl* dialog) override;
  void DestroyWindow(CDialogControl* dialog) override;
  void MessageBox(CDialogControl* dialog, int id, MESSAGE_TYPE kind) override;
  void SetControlCaption(CDialogControl* dialog, int controlId, const char* text) override;
  void SetWindowTitle(CDialogControl* dialog, const char* title) override;
  void ProgressBound(CProgress* bar) override;
  void ProgressChanged(CProgress* bar) override;
  void TimersChanged(CDialogControl* dialog) override;

  // The window (HWND) of a dialog, or null.
  void* WindowOf(const CDialogControl* dialog) const;
  // The icon of the message box for a kind (MB_ICON... value, 0 for none).
  static unsigned IconStyleOf(int kind);
  // The window's timer went off: runs the dialog's due timers and sets the
  // window's timer for the next one.
  void OnWindowTimer(CDialogControl* dialog);
  // The write guard told of the dialog windows shown and destroyed, and
  // asked whether a session may end now.
  void SetWriteGuard(CWinWriteGuard* guard) { writeGuard_ = guard; }
  bool HoldsSessionEnd() const;

 private:
  struct Window;
  void ArmTimer(CDialogControl* dialog);

  void* instance_;
  CWinWriteGuard* writeGuard_ = nullptr;
  std::map<const CDialogControl*, std::unique_ptr<Window>> windows_;
  std::vector<CDialogControl*> stack_;  // dialogs in creation order; the last one owns the next
  bool quitPending_ = false;
  int quitCode_ = 0;
  // The bar the worker moves, and its window: read on the worker thread.
  std::atomic<CProgress*> boundBar_{nullptr};
  std::atomic<void*> boundBarWindow_{nullptr};
};
