// The Win32 dialog layer.
#include "Win32Dialog.h"

#include <chrono>
#include <cstring>
#include <string>

#include "Messages.h"
#include "Progress.h"
#include "Settings.h"
#include "WideText.h"
#include "WinWriteGuard.h"
#include "WorkProgress.h"
#include "resource.h"

#include "WindowsApi.h"

namespace {

// The one Win32 timer of a dialog window; it is set for the dialog's next
// due timer whenever its timers change or one of them has run.
constexpr UINT_PTR kWindowTimer = 0;

CWin32DialogLayer* gLayer = nullptr;
HICON gLargeIcon = nullptr;
HICON gSmallIcon = nullptr;

int TemplateOf(const char* windowName) {
  if (std::strcmp(windowName, "MainWindow") == 0) return IDD_MAIN;
  if (std::strcmp(windowName, "ProgressDialog") == 0) return IDD_PROGRESS;
  return 0;
}

HWND AsWindow(void* window) { return static_cast<HWND>(window); }

// The bar's text: what the run is doing (WorkText), drawn over the bar each
// time the control has painted itself. The control keeps its own window
// procedure, kept in a window property and run first.
constexpr char kBarProcProperty[] = "ZedrikfuBarProc";
constexpr char kBarStartProperty[] = "ZedrikfuBarStart";
constexpr char kBarWorkProperty[] = "ZedrikfuBarWork";

void DrawBarText(HWND bar) {
  const CWorkReport* work = static_cast<const CWorkReport*>(GetPropA(bar, kBarWorkProperty));
  if (work == nullptr) return;
  const DWORD start = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(GetPropA(bar, kBarStartProperty)));
  const std::string text = WorkText(work->Current(), (GetTickCount() - start) / 1000.0);
  if (text.empty()) return;
  HDC dc = GetDC(bar);
  if (dc == nullptr) return;
  RECT area;
  GetClientRect(bar, &area);
  HFONT font = reinterpret_cast<HFONT>(SendMessageA(GetParent(bar), WM_GETFONT, 0, 0));
  HGDIOBJ previous = font != nullptr ? SelectObject(dc, font) : nullptr;
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  DrawTextA(dc, text.c_str(), -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
  if (previous != nullptr) SelectObject(dc, previous);
  ReleaseDC(bar, dc);
}

LRESULT CALLBACK BarWithText(HWND bar, UINT message, WPARAM wParam, LPARAM lParam) {
  const WNDPROC own = reinterpret_cast<WNDPROC>(GetPropA(bar, kBarProcProperty));
  if (own == nullptr) return DefWindowProcA(bar, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(own));
    RemovePropA(bar, kBarProcProperty);
    RemovePropA(bar, kBarStartProperty);
    RemovePropA(bar, kBarWorkProperty);
    return CallWindowProcA(own, bar, message, wParam, lParam);
  }
  const LRESULT result = CallWindowProcA(own, bar, message, wParam, lParam);
  if (message == WM_PAINT) DrawBarText(bar);
  return result;
}

// Gives the bar the text of `work`, timed from now (the run's start).
void ShowTextOnBar(HWND bar, const CWorkReport* work) {
  SetPropA(bar, kBarStartProperty, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetTickCount())));
  // The property holds a pointer to a report the bar only reads.
  SetPropA(bar, kBarWorkProperty, const_cast<CWorkReport*>(work));
  if (GetPropA(bar, kBarProcProperty) != nullptr) return;
  const LONG_PTR own = GetWindowLongPtrA(bar, GWLP_WNDPROC);
  if (own == 0) return;
  SetPropA(bar, kBarProcProperty, reinterpret_cast<HANDLE>(own));
  SetWindowLongPtrA(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&BarWithText));
}

CDialogControl* DialogOf(HWND hwnd) {
  return reinterpret_cast<CDialogControl*>(GetWindowLongPtrA(hwnd, DWLP_USER));
}

// Places a dialog in the middle of its owner, or of the screen's work area.
void CenterWindow(HWND hwnd) {
  RECT self;
  if (!GetWindowRect(hwnd, &self)) return;
  RECT area;
  HWND owner = GetWindow(hwnd, GW_OWNER);
  if (owner == nullptr || !IsWindowVisible(owner) || !GetWindowRect(owner, &area)) {
    if (!SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0)) return;
  }
  const int width = self.right - self.left;
  const int height = self.bottom - self.top;
  int x = area.left + ((area.right - area.left) - width) / 2;
  int y = area.top + ((area.bottom - area.top) - height) / 2;
  if (x < 0) x = 0;
  if (y < 0) y = 0;
  SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK DialogProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
      // The application icon as the window's large and small icon.
      if (gLargeIcon != nullptr) SendMessageA(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(gLargeIcon));
      if (gSmallIcon != nullptr) SendMessageA(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(gSmallIcon));
      CenterWindow(hwnd);
      return TRUE;  // the initial focus is left to the dialog manager
    }
    case WM_COMMAND: {
      CDialogControl* dialog = DialogOf(hwnd);
      const int id = LOWORD(wParam);
      if (dialog == nullptr || (id != IDOK && id != IDCANCEL)) return FALSE;
      // Enter and the OK button give IDOK; Escape, the close box and the
      // Cancel button give IDCANCEL. The dialog decides what they do.
      dialog->OnCommand(id == IDOK ? COMMAND_OK : COMMAND_CANCEL);
      return TRUE;
    }
    case WM_QUERYENDSESSION:
      // While the flash is written, shutdown and logout wait (the write's
      // progress dialog shows why).
      if (gLayer == nullptr || !gLayer->HoldsSessionEnd()) return FALSE;
      SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, FALSE);
      return TRUE;
    case WM_TIMER: {
      CDialogControl* dialog = DialogOf(hwnd);
      if (dialog == nullptr || wParam != kWindowTimer || gLayer == nullptr) return FALSE;
      gLayer->OnWindowTimer(dialog);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

struct CWin32DialogLayer::Window {
  HWND hwnd = nullptr;
  HWND owner = nullptr;
  bool ownerDisabled = false;  // this dialog disabled its owner while it runs
};

CWin32DialogLayer::CWin32DialogLayer(void* instance) : instance_(instance) {
  gLayer = this;
  HINSTANCE module = static_cast<HINSTANCE>(instance_);
  gLargeIcon = static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(IDI_ZEDRIKFU), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON),
                                             GetSystemMetrics(SM_CYICON), LR_SHARED));
  gSmallIcon = static_cast<HICON>(LoadImageA(module, MAKEINTRESOURCEA(IDI_ZEDRIKFU), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), LR_SHARED));
}

CWin32DialogLayer::~CWin32DialogLayer() {
  for (auto& entry : windows_) {
    if (entry.second->hwnd != nullptr) ::DestroyWindow(entry.second->hwnd);
  }
  windows_.clear();
  if (gLayer == this) gLayer = nullptr;
  if (quitPending_) PostQuitMessage(quitCode_);
}

void* CWin32DialogLayer::WindowOf(const CDialogControl* dialog) const {
  auto it = windows_.find(dialog);
  return it == windows_.end() ? nullptr : it->second->hwnd;
}

unsigned CWin32DialogLayer::IconStyleOf(int kind) {
  switch (kind) {
    case MESSAGE_ERROR:
      return MB_ICONERROR;
    case MESSAGE_WARNING:
      return MB_ICONWARNING;
    case MESSAGE_INFORMATION:
      return MB_ICONINFORMATION;
    case MESSAGE_QUESTION:
      return MB_ICONQUESTION;
    default:
      return 0;
  }
}

bool CWin32DialogLayer::CreateWindow(CDialogControl* dialog, const char* windowName) {
  if (dialog == nullptr || windowName == nullptr || windows_.count(dialog) != 0) return false;
  const int templateId = TemplateOf(windowName);
  if (templateId == 0) return false;
  auto window = std::make_unique<Window>();
  window->owner = stack_.empty() ? nullptr : AsWindow(WindowOf(stack_.back()));
  // Unicode dialogs: a caption keeps every character of the settings.
  window->hwnd = CreateDialogParamW(static_cast<HINSTANCE>(instance_), MAKEINTRESOURCEW(templateId),
                                    window->owner, DialogProcedure,
                                    reinterpret_cast<LPARAM>(dialog));
  if (window->hwnd == nullptr) return false;
  windows_[dialog] = std::move(window);
  stack_.push_back(dialog);
  return true;
}

void CWin32DialogLayer::ShowWindow(CDialogControl* dialog) {
  auto it = windows_.find(dialog);
  if (it == windows_.end()) return;
  Window& window = *it->second;
  // Modal: the owner takes no input while this dialog runs.
  if (window.owner != nullptr && IsWindowEnabled(window.owner)) {
    EnableWindow(window.owner, FALSE);
    window.ownerDisabled = true;
  }
  ::ShowWindow(window.hwnd, SW_SHOW);
  UpdateWindow(window.hwnd);
  SetForegroundWindow(window.hwnd);
  if (writeGuard_ != nullptr) writeGuard_->WindowShown(window.hwnd);
}

bool CWin32DialogLayer::HoldsSessionEnd() const {
  return writeGuard_ != nullptr && writeGuard_->HoldsSessionEnd();
}

void CWin32DialogLayer::RunModal(CDialogControl* dialog) {
  HWND hwnd = AsWindow(WindowOf(dialog));
  if (hwnd == nullptr) return;
  // The loop keeps pumping until the dialog has ended: the worker thread's
  // synchronous progress messages are carried out here, so the dialog never
  // waits for the worker without serving them.
  while (!dialog->Ended()) {
    MSG msg;
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == -1) continue;
    if (got == 0) {
      // A quit request is kept for after the dialogs: ending here would
      // leave a running worker without its dialog.
      quitPending_ = true;
      quitCode_ = static_cast<int>(msg.wParam);
      continue;
    }
    if (!IsDialogMessageW(hwnd, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

void CWin32DialogLayer::EndModal(CDialogControl* dialog) {
  // Wakes the loop, which then sees that the dialog has ended.
  HWND hwnd = AsWindow(WindowOf(dialog));
  if (hwnd != nullptr) PostMessageA(hwnd, WM_NULL, 0, 0);
}

void CWin32DialogLayer::DestroyWindow(CDialogControl* dialog) {
  auto it = windows_.find(dialog);
  if (it == windows_.end()) return;
  Window& window = *it->second;
  CProgress* bar = boundBar_.load();
  if (bar != nullptr && bar->Dialog() == dialog) {
    boundBarWindow_.store(nullptr);
    boundBar_.store(nullptr);
  }
  KillTimer(window.hwnd, kWindowTimer);
  // The owner takes input again before this window goes, so that it becomes
  // the active window.
  if (window.ownerDisabled) EnableWindow(window.owner, TRUE);
  if (writeGuard_ != nullptr) writeGuard_->WindowClosing(window.hwnd);
  ::DestroyWindow(window.hwnd);
  windows_.erase(it);
  for (auto s = stack_.begin(); s != stack_.end(); ++s) {
    if (*s == dialog) {
      stack_.erase(s);
      break;
    }
  }
}

void CWin32DialogLayer::MessageBox(CDialogControl* /*dialog*/, int id, MESSAGE_TYPE kind) {
  char text[1024] = {};
  if (LoadStringA(static_cast<HINSTANCE>(instance_), static_cast<UINT>(id), text, sizeof text) <= 0) {
    const char* fallback = MessageText(id);
    if (fallback != nullptr) std::strncpy(text, fallback, sizeof text - 1);
  }
  // The caption is read afresh for every message box.
  const std::wstring caption =
      zfwin::ShownText(zfwin::ReadSetting(zfwin::kCaptionKey, zfwin::kCaptionDefault));

  // The box has no owner window; the dialogs take no input meanwhile, so
  // that no command of theirs runs while the box is up.
  std::vector<HWND> disabled;
  for (auto& entry : windows_) {
    HWND hwnd = entry.second->hwnd;
    if (hwnd != nullptr && IsWindowEnabled(hwnd)) {
      EnableWindow(hwnd, FALSE);
      disabled.push_back(hwnd);
    }
  }
  MessageBoxW(nullptr, zfwin::ShownText(text).c_str(), caption.c_str(), MB_OK | IconStyleOf(kind));
  for (HWND hwnd : disabled) EnableWindow(hwnd, TRUE);
}

void CWin32DialogLayer::SetControlCaption(CDialogControl* dialog, int controlId, const char* text) {
  HWND hwnd = AsWindow(WindowOf(dialog));
  if (hwnd != nullptr && text != nullptr) {
    SetDlgItemTextW(hwnd, controlId, zfwin::ShownText(text).c_str());
  }
}

void CWin32DialogLayer::SetWindowTitle(CDialogControl* dialog, const char* title) {
  HWND hwnd = AsWindow(WindowOf(dialog));
  if (hwnd != nullptr && title != nullptr) SetWindowTextW(hwnd, zfwin::ShownText(title).c_str());
}

void CWin32DialogLayer::ProgressBound(CProgress* bar) {
  if (bar == nullptr) return;
  HWND dialogWindow = AsWindow(WindowOf(bar->Dialog()));
  HWND barWindow = dialogWindow != nullptr ? GetDlgItem(dialogWindow, bar->ControlId()) : nullptr;
  if (barWindow != nullptr) {
    SendMessageA(barWindow, PBM_SETRANGE32, 0, 100);
    SendMessageA(barWindow, PBM_SETPOS, 0, 0);
    ShowTextOnBar(barWindow, bar->Work());
  }
  boundBarWindow_.store(barWindow);
  boundBar_.store(bar);
}

void CWin32DialogLayer::ProgressChanged(CProgress* bar) {
  // Runs on the worker thread: the message is sent, and the worker waits
  // until the user-interface thread has moved the bar.
  if (bar == nullptr || bar != boundBar_.load()) return;
  HWND barWindow = AsWindow(boundBarWindow_.load());
  if (barWindow == nullptr) return;
  SendMessageA(barWindow, PBM_SETPOS, bar->GetPos(), 0);
  // The whole bar is painted again, so that the text (phase, bytes, time
  // left) is drawn afresh even where the position has not moved.
  InvalidateRect(barWindow, nullptr, TRUE);
}

void CWin32DialogLayer::TimersChanged(CDialogControl* dialog) { ArmTimer(dialog); }

void CWin32DialogLayer::ArmTimer(CDialogControl* dialog) {
  HWND hwnd = AsWindow(WindowOf(dialog));
  if (hwnd == nullptr) return;
  if (dialog->Ended() || dialog->TimerCount() == 0) {
    KillTimer(hwnd, kWindowTimer);
    return;
  }
  const auto now = CDialogControl::Clock::now();
  const auto due = dialog->NextTimerDue();
  long long delay = 0;
  if (due > now) {
    delay = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1;
  }
  if (delay < USER_TIMER_MINIMUM) delay = USER_TIMER_MINIMUM;
  if (delay > 0x7FFFFFFF) delay = 0x7FFFFFFF;
  SetTimer(hwnd, kWindowTimer, static_cast<UINT>(delay), nullptr);
}

void CWin32DialogLayer::OnWindowTimer(CDialogControl* dialog) {
  dialog->RunDueTimers(CDialogControl::Clock::now());
  ArmTimer(dialog);
}
