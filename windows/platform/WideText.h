// UTF-8 and UTF-16, the two encodings of text in the Windows builds: the
// program keeps paths and texts in UTF-8 (as on Linux) and converts them to
// UTF-16 only where they reach a wide ("W") system call, and back where the
// system hands one out. The conversion itself is plain code over 16-bit
// units (wchar_t on Windows, char16_t in the native unit tests); the helpers
// below it need Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zfwin {

// The length of the UTF-8 sequence a byte starts: 0 for a byte that starts
// none (a continuation byte, the lead of an overlong two-byte form, a lead
// past U+10FFFF).
inline size_t Utf8SequenceLength(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return lead < 0xF5 ? 4 : 0;
}

// UTF-8 to UTF-16. False, with `*out` cleared, for text that is not UTF-8:
// a stray continuation byte, a cut sequence, an overlong form, a surrogate
// (U+D800..U+DFFF) or a value past U+10FFFF.
template <class Unit>
bool Utf8ToWide(const std::string& in, std::basic_string<Unit>* out) {
  static_assert(sizeof(Unit) == 2, "UTF-16 takes 16-bit units");
  out->clear();
  size_t i = 0;
  while (i < in.size()) {
    const uint8_t lead = static_cast<uint8_t>(in[i]);
    const size_t length = Utf8SequenceLength(lead);
    if (length == 0 || in.size() - i < length) break;
    uint32_t value = length == 1 ? lead : lead & (0x7F >> length);
    size_t k = 1;
    for (; k < length; ++k) {
      const uint8_t next = static_cast<uint8_t>(in[i + k]);
      if ((next & 0xC0) != 0x80) break;
      value = (value << 6) | (next & 0x3F);
    }
    // The least value of a three- and a four-byte form: below it, an overlong one.
    const uint32_t least = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
    if (k < length || value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      break;
    }
    if (value >= 0x10000) {
      out->push_back(static_cast<Unit>(0xD800 + ((value - 0x10000) >> 10)));
      out->push_back(static_cast<Unit>(0xDC00 + ((value - 0x10000) & 0x3FF)));
    } else {
      out->push_back(static_cast<Unit>(value));
    }
    i += length;
  }
  if (i == in.size()) return true;
  out->clear();
  return false;
}

// UTF-16 to UTF-8. False, with `*out` cleared, for a surrogate without its
// other half.
template <class Unit>
bool WideToUtf8(const std::basic_string<Unit>& in, std::string* out) {
  static_assert(sizeof(Unit) == 2, "UTF-16 takes 16-bit units");
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t value = static_cast<uint16_t>(in[i]);
    if (value >= 0xD800 && value <= 0xDFFF) {
      const uint32_t low = i + 1 < in.size() ? static_cast<uint16_t>(in[i + 1]) : 0;
      if (value > 0xDBFF || low < 0xDC00 || low > 0xDFFF) {
        out->clear();
        return false;
      }
      value = 0x10000 + ((value - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    if (value < 0x80) {
      out->push_back(static_cast<char>(value));
    } else if (value < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (value >> 6)));
      out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else if (value < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (value >> 12)));
      out->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (value >> 18)));
      out->push_back(static_cast<char>(0x80 | ((value >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((value >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (value & 0x3F)));
    }
  }
  return true;
}

#ifdef _WIN32
// A UTF-8 path for a wide system call. A path that is not UTF-8 becomes the
// empty name, which every call refuses (no such file): it never stands for
// another file.
std::wstring WidePath(const std::string& path);

// A text for a window, a message box or a dialog: UTF-8, or else (the
// flash's strings, converted to the thread's code page for the system
// information comparison) taken in that code page.
std::wstring ShownText(const std::string& text);

// A text the system hands out (a path, a setting) in UTF-8; empty when it
// holds a surrogate without its other half.
std::string Utf8Of(const wchar_t* text);
#endif

}  // namespace zfwin
