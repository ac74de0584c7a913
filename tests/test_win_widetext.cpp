// The UTF-8 and UTF-16 conversion of the Windows build (windows/platform/
// WideText.h), checked natively on 16-bit units: every path of the Windows
// programs goes through it to the system and back.
#include <gtest/gtest.h>

#include <string>

#include "../windows/platform/WideText.h"

namespace {

struct Pair {
  const char* utf8;
  std::u16string utf16;
};

// Each length of sequence, at both ends of its range.
const Pair kPairs[] = {
    {"", u""},
    {"ZEDRIKFU.ini", u"ZEDRIKFU.ini"},
    {"\x7F", u"\u007F"},
    {"\xC2\x80\xDF\xBF", u"\u0080\u07FF"},              // two bytes
    {"\xE0\xA0\x80\xEF\xBF\xBF", u"\u0800\uFFFF"},      // three bytes
    {"\xF0\x90\x80\x80", u"\U00010000"},                // four bytes: a surrogate pair
    {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    {"C:\\Pr\xC3\xBC""fung-\xE6\x97\xA5\xE6\x9C\xAC\\\xF0\x9F\x98\x80.bin",
     u"C:\\Pr\u00FCfung-\u65E5\u672C\\\U0001F600.bin"},
};

TEST(WinWideText, ConvertsEachSequenceLengthBothWays) {
  for (const Pair& pair : kPairs) {
    std::u16string wide = u"stale";
    EXPECT_TRUE(zfwin::Utf8ToWide(std::string(pair.utf8), &wide)) << pair.utf8;
    EXPECT_EQ(wide, pair.utf16) << pair.utf8;
    std::string utf8 = "stale";
    EXPECT_TRUE(zfwin::WideToUtf8(pair.utf16, &utf8)) << pair.utf8;
    EXPECT_EQ(utf8, pair.utf8);
  }
}

TEST(WinWideText, RefusesTextThatIsNotUtf8) {
  const char* const kInvalid[] = {
      "\x80",              // a continuation byte alone
      "a\xC3",             // cut at the end
      "\xE6\x97" "a",      // cut before the next character
      "\xC0\xAF",          // overlong two bytes
      "\xE0\x80\xAF",      // overlong three bytes
      "\xF0\x80\x80\xAF",  // overlong four bytes
      "\xED\xA0\x80",      // a surrogate
      "\xF4\x90\x80\x80",  // past U+10FFFF
      "\xF8\x88\x80\x80\x80",
  };
  for (const char* text : kInvalid) {
    std::u16string wide = u"stale";
    EXPECT_FALSE(zfwin::Utf8ToWide(std::string(text), &wide)) << text;
    EXPECT_TRUE(wide.empty());
  }
  const std::u16string kHalves[] = {u"\xD800", u"a\xDC00", u"\xD83D" u"a", u"\xDC00\xDC00"};
  for (const std::u16string& text : kHalves) {
    std::string utf8 = "stale";
    EXPECT_FALSE(zfwin::WideToUtf8(text, &utf8));
    EXPECT_TRUE(utf8.empty());
  }
}

}  // namespace
