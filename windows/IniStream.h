// A line-oriented reader of INI text with the interface and the rules of
// the inih library's ini_parse_stream (version 55 with its default settings):
//   - a line is read through the caller's reader function, at most 199
//     characters at a time; a UTF-8 byte order mark is skipped on line 1;
//   - leading and trailing white space is dropped;
//   - lines starting with ';' or '#' are comments, and ';' after white space
//     starts a comment on a section or key line;
//   - "[section]" starts a section (at most 49 characters are kept);
//   - "name=value" or "name:value" calls the handler; an indented line after
//     one continues that name's value with another handler call;
//   - any other line is a syntax error.
// The result is 0, or the number of the first line with an error (a handler
// returning 0 counts as one); parsing goes on after an error.
//
// The Windows build has no inih library: sim/VirtualDevices.cpp is compiled
// there against windows/ini/ini.h, which maps ini_parse_stream onto this
// reader. The native tests run both on the same texts.
#pragma once

#include <cctype>
#include <cstring>

namespace zfwin {

using IniReader = char* (*)(char* str, int num, void* stream);
using IniHandler = int (*)(void* user, const char* section, const char* name, const char* value);

namespace ini_detail {

constexpr int kMaxLine = 200;
constexpr size_t kMaxSection = 50;
constexpr size_t kMaxName = 50;

inline bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

inline char* StripRight(char* s) {
  char* p = s + std::strlen(s);
  while (p > s && IsSpace(p[-1])) *--p = '\0';
  return s;
}

inline char* SkipLeft(char* s) {
  while (*s != '\0' && IsSpace(*s)) ++s;
  return s;
}

// The first of `chars` (any of them; null: none) or of an inline comment
// (';' after white space), or the end of the text.
inline char* FindCharsOrComment(char* s, const char* chars) {
  bool wasSpace = false;
  while (*s != '\0' && (chars == nullptr || std::strchr(chars, *s) == nullptr) &&
         !(wasSpace && *s == ';')) {
    wasSpace = IsSpace(*s);
    ++s;
  }
  return s;
}

// Copies at most size-1 characters and always terminates.
inline void CopyBounded(char* dest, const char* src, size_t size) {
  size_t i = 0;
  for (; i + 1 < size && src[i] != '\0'; ++i) dest[i] = src[i];
  dest[i] = '\0';
}

}  // namespace ini_detail

inline int ParseIniStream(IniReader reader, void* stream, IniHandler handler, void* user) {
  using namespace ini_detail;
  char line[kMaxLine];
  char section[kMaxSection] = "";
  char previousName[kMaxName] = "";
  int lineNumber = 0;
  int error = 0;

  while (reader(line, kMaxLine, stream) != nullptr) {
    ++lineNumber;
    line[kMaxLine - 1] = '\0';  // whatever the reader did
    char* start = line;
    if (lineNumber == 1 && static_cast<unsigned char>(start[0]) == 0xEF &&
        static_cast<unsigned char>(start[1]) == 0xBB &&
        static_cast<unsigned char>(start[2]) == 0xBF) {
      start += 3;
    }
    start = SkipLeft(StripRight(start));

    if (*start == ';' || *start == '#' || *start == '\0') {
      // A comment or an empty line.
    } else if (previousName[0] != '\0' && start > line) {
      // An indented line after a name continues that name's value (taken
      // whole: a ';' there does not start a comment).
      if (!handler(user, section, previousName, start) && error == 0) error = lineNumber;
    } else if (*start == '[') {
      char* end = FindCharsOrComment(start + 1, "]");
      if (*end == ']') {
        *end = '\0';
        CopyBounded(section, start + 1, sizeof section);
        previousName[0] = '\0';
      } else if (error == 0) {
        error = lineNumber;  // no ']' on a section line
      }
    } else {
      char* end = FindCharsOrComment(start, "=:");
      if (*end == '=' || *end == ':') {
        *end = '\0';
        char* name = StripRight(start);
        char* value = end + 1;
        end = FindCharsOrComment(value, nullptr);
        if (*end != '\0') *end = '\0';
        value = SkipLeft(value);
        StripRight(value);
        CopyBounded(previousName, name, sizeof previousName);
        if (!handler(user, section, name, value) && error == 0) error = lineNumber;
      } else if (error == 0) {
        error = lineNumber;  // neither '=' nor ':' on a name line
      }
    }
  }
  return error;
}

}  // namespace zfwin
