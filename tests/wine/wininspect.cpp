// zf-wininspect: prints the visible dialog windows of the desktop with their
// title, style and controls (id, class, text, and a progress bar's
// position), one item per line, so that the Wine tests can check what the
// updater shows. Texts are printed with line breaks as "\n".
//
//   window title="ZEDRIK" style=0x94C800C4 sysmenu=1
//     control id=1001 class=Static text="from version 01.10"
//     control id=1044 class=msctls_progress32 pos=62
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <string>

namespace {

std::string Escaped(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == '\n') {
      out += "\\n";
    } else if (*p != '\r') {
      out += *p;
    }
  }
  return out;
}

std::string TextOf(HWND hwnd) {
  char text[2048] = {};
  GetWindowTextA(hwnd, text, sizeof text);
  return Escaped(text);
}

BOOL CALLBACK PrintControl(HWND control, LPARAM /*unused*/) {
  char className[128] = {};
  GetClassNameA(control, className, sizeof className);
  const int id = GetDlgCtrlID(control);
  std::printf("  control id=%d class=%s", id, className);
  if (lstrcmpiA(className, PROGRESS_CLASSA) == 0) {
    std::printf(" pos=%d", static_cast<int>(SendMessageA(control, PBM_GETPOS, 0, 0)));
  } else {
    std::printf(" text=\"%s\"", TextOf(control).c_str());
  }
  std::printf(" visible=%d\n", IsWindowVisible(control) ? 1 : 0);
  return TRUE;
}

BOOL CALLBACK PrintWindow(HWND hwnd, LPARAM /*unused*/) {
  if (!IsWindowVisible(hwnd)) return TRUE;
  char className[128] = {};
  GetClassNameA(hwnd, className, sizeof className);
  if (std::string(className) != "#32770") return TRUE;  // dialogs and message boxes only
  const LONG style = GetWindowLongA(hwnd, GWL_STYLE);
  std::printf("window title=\"%s\" style=0x%08lX sysmenu=%d enabled=%d\n", TextOf(hwnd).c_str(),
              static_cast<unsigned long>(style), (style & WS_SYSMENU) != 0 ? 1 : 0,
              IsWindowEnabled(hwnd) ? 1 : 0);
  EnumChildWindows(hwnd, PrintControl, 0);
  return TRUE;
}

}  // namespace

int main() {
  EnumWindows(PrintWindow, 0);
  std::fflush(stdout);
  return 0;
}
