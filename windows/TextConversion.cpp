// UTF-16LE to the thread's code page.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdio>
#include <vector>

#include "TextConversion.h"
#include "common.h"

namespace zfwin {

namespace {

bool Refuse(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
  return false;
}

}  // namespace

bool UTF16ToThreadCodePage(const unsigned char* in, uint16_t inBytes, char* out,
                           uint16_t capacity) {
  if (out == nullptr || capacity == 0) return Refuse("output buffer is small");
  if (inBytes == 0) {
    out[0] = '\0';
    return true;
  }
  if (in == nullptr) return false;
  if (inBytes % 2 != 0) return Refuse("input multibyte invalid");
  // The units are composed from the little-endian bytes.
  std::vector<wchar_t> units(inBytes / 2);
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<wchar_t>(GetLE16(in + 2 * i));
  const wchar_t last = units.back();
  if (last >= 0xD800 && last <= 0xDBFF) return Refuse("input multibyte invalid");  // pair cut off

  const int count = static_cast<int>(units.size());
  const int needed =
      WideCharToMultiByte(CP_THREAD_ACP, 0, units.data(), count, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return Refuse("invlaid multibyte string");
  if (needed > static_cast<int>(capacity) - 1) return Refuse("output buffer is small");
  if (WideCharToMultiByte(CP_THREAD_ACP, 0, units.data(), count, out, needed, nullptr, nullptr) !=
      needed) {
    return Refuse("invlaid multibyte string");
  }
  out[needed] = '\0';
  return true;
}

}  // namespace zfwin
