// UTF-16LE to the thread's code page, the slot text conversion of the
// Windows builds.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <vector>

#include "SlotText.h"
#include "TextConversion.h"
#include "common.h"

namespace zfwin {

bool UTF16ToThreadCodePage(const unsigned char* in, uint16_t inBytes, char* out,
                           uint16_t capacity) {
  if (out == nullptr || capacity == 0) return ReportSlotTextFailure(kSlotTextTooLong);
  if (inBytes == 0) {
    out[0] = '\0';
    return true;
  }
  if (in == nullptr) return false;
  if (inBytes % 2 != 0) return ReportSlotTextFailure(kSlotTextIncomplete);
  // The units are composed from the little-endian bytes.
  std::vector<wchar_t> units(inBytes / 2);
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<wchar_t>(GetLE16(in + 2 * i));
  const wchar_t last = units.back();
  if (last >= 0xD800 && last <= 0xDBFF) {  // a pair cut off
    return ReportSlotTextFailure(kSlotTextIncomplete);
  }

  const int count = static_cast<int>(units.size());
  const int needed =
      WideCharToMultiByte(CP_THREAD_ACP, 0, units.data(), count, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return ReportSlotTextFailure(kSlotTextInvalid);
  if (needed > static_cast<int>(capacity) - 1) return ReportSlotTextFailure(kSlotTextTooLong);
  if (WideCharToMultiByte(CP_THREAD_ACP, 0, units.data(), count, out, needed, nullptr, nullptr) !=
      needed) {
    return ReportSlotTextFailure(kSlotTextInvalid);
  }
  out[needed] = '\0';
  return true;
}

}  // namespace zfwin

bool ConvertSlotText(const unsigned char* in, uint16_t inBytes, char* out, uint16_t capacity) {
  return zfwin::UTF16ToThreadCodePage(in, inBytes, out, capacity);
}
