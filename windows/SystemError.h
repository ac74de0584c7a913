// The system's words for the last error of a Win32 call, for the cause
// lines: "cannot open X: Access is denied".
#pragma once

#include <string>

#include <windows.h>

// The reason as FormatMessage gives it for GetLastError() (without its
// closing period and line break), or "error N".
inline std::string SystemReason() {
  const DWORD code = GetLastError();
  char text[256] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                     text, sizeof text - 1, nullptr);
  std::string reason(text, length);
  while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n' || reason.back() == '.')) {
    reason.pop_back();
  }
  if (reason.empty()) reason = "error " + std::to_string(code);
  return reason;
}

// "WHAT: REASON".
inline std::string SystemCause(const std::string& what) { return what + ": " + SystemReason(); }
