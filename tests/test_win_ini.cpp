// The INI reader of the Windows build (windows/IniStream.h), which stands in
// for the inih library there, run side by side with the real inih on the
// same texts: every handler call and the returned line number must agree.
// virtual-devices.ini is read through it on Windows, with the same messages.
#include <gtest/gtest.h>
#include <ini.h>

#include <string>
#include <vector>

#include "../windows/IniStream.h"

namespace {

// A line reader in the manner of fgets over a text: at most num-1
// characters per call, the line end kept.
struct TextStream {
  std::string text;
  size_t pos = 0;
};

char* ReadChunk(char* str, int num, void* stream) {
  auto* s = static_cast<TextStream*>(stream);
  if (s->pos >= s->text.size() || num <= 1) return nullptr;
  size_t n = 0;
  while (s->pos < s->text.size() && n < static_cast<size_t>(num - 1)) {
    const char c = s->text[s->pos++];
    str[n++] = c;
    if (c == '\n') break;
  }
  str[n] = '\0';
  return str;
}

// Records every handler call; a key named "refuse" makes the handler fail.
struct Calls {
  std::vector<std::string> seen;
};

int Record(void* user, const char* section, const char* name, const char* value) {
  static_cast<Calls*>(user)->seen.push_back(std::string(section) + "|" + name + "|" + value);
  return std::string(name) != "refuse";
}

struct Outcome {
  int result;
  std::vector<std::string> calls;
};

Outcome WithInih(const std::string& text) {
  TextStream stream{text};
  Calls calls;
  const int r = ini_parse_stream(ReadChunk, &stream, Record, &calls);
  return {r, calls.seen};
}

Outcome WithOurs(const std::string& text) {
  TextStream stream{text};
  Calls calls;
  const int r = zfwin::ParseIniStream(ReadChunk, &stream, Record, &calls);
  return {r, calls.seen};
}

void ExpectSame(const std::string& text) {
  const Outcome theirs = WithInih(text);
  const Outcome ours = WithOurs(text);
  EXPECT_EQ(ours.result, theirs.result) << text;
  EXPECT_EQ(ours.calls, theirs.calls) << text;
}

TEST(WinIniReader, AgreesWithInihOnTheVirtualDeviceFile) {
  const std::string text =
      "; Virtual devices of zedrikfu-sim\n"
      "\n[bridge]\n"
      "VendorID=0x3F1C\n"
      "ProductID = 0x0001   ; trailing comment\n"
      "ChipID=318a ;other text\n"
      "FlashPart=Winbond W25Q80BL\n"
      "FlashImage=\"bridge.bin\"\n"
      "Trace=\n"
      "# hash comment\n"
      "[second]\r\n"
      "Busy=1\r\n"
      "FlipReadBitAt=-1\r\n";
  ExpectSame(text);
  const Outcome ours = WithOurs(text);
  EXPECT_EQ(ours.result, 0);
  ASSERT_EQ(ours.calls.size(), 8u);
  EXPECT_EQ(ours.calls[1], "bridge|ProductID|0x0001");
  EXPECT_EQ(ours.calls[2], "bridge|ChipID|318a");
  EXPECT_EQ(ours.calls[5], "bridge|Trace|");
  EXPECT_EQ(ours.calls[6], "second|Busy|1");
}

TEST(WinIniReader, AgreesWithInihOnSyntaxAndItsErrors) {
  const std::string texts[] = {
      // byte order mark, colon separator, ';' without a space before it
      "\xEF\xBB\xBF[a]\nkey: value;not a comment\n",
      // indented continuation lines, also with a comment
      "[a]\nkey=first\n  second line\n\tthird ; note\nother=1\n",
      // an indented line before any key is a key line of its own
      "[a]\n   indented=1\n",
      // lines without '=' and sections without ']': the first error's line
      "[a]\nno equals here\n[broken\nkey=1\n",
      "[unterminated\n[a]\nk=v\n",
      // a refusing handler: its line is reported, parsing goes on
      "[a]\nfine=1\nrefuse=2\nafter=3\nrefuse=4\n",
      // keys before the first section, empty values, blanks around '='
      "top=1\n[s]\n  k  =  v  \nempty=\n=nameless\n",
      // a long section name is cut to 49 characters
      "[0123456789012345678901234567890123456789012345678901234567890]\nk=v\n",
      // a long key name: the continuation carries the cut name
      "[s]\nabcdefghijabcdefghijabcdefghijabcdefghijabcdefghijabcdef=1\n  more\n",
      // lines longer than the reader's 199 characters arrive in pieces
      "[s]\nk=" + std::string(400, 'x') + "\nnext=1\n",
      // comments inside a section header, a ']' inside a value
      "[a ;x]\n[b] trailing\nk=[v]\n",
      // no line end at the end
      "[a]\nk=v",
      "",
  };
  for (const std::string& text : texts) ExpectSame(text);
}

TEST(WinIniReader, ReportsTheFirstBadLine) {
  EXPECT_EQ(WithOurs("[a]\nok=1\nbad line\nalso bad\n").result, 3);
  EXPECT_EQ(WithOurs("[a]\nrefuse=1\n").result, 2);
  EXPECT_EQ(WithOurs("[a]\nk=v\n").result, 0);
}

}  // namespace
