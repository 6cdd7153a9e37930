#include "platform/names.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

// Code page 950: lead bytes 0x81-0xFE; the trail byte may be "\" or a letter.
bool Big5Lead(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

const char kGong[] = "\xA5\x5C";                        // 功
const char kZiLiao[] = "\xB8\xEA\xAE\xC6";              // 資料
const char kXuKe[] = "\xB3\x5C\xA5\x69";                // 許可: trail bytes "\" and "i"
const char kBeiFenGong[] = "\xB3\xC6\xA5\xF7\xA5\x5C";  // 備份功

TEST(NamesTest, NextCharIndexStepsOverDoubleByteCharacters) {
  std::string s = std::string("a") + kGong + "b\xA5";
  EXPECT_EQ(NextCharIndex(s, 0, Big5Lead), 1u);
  EXPECT_EQ(NextCharIndex(s, 1, Big5Lead), 3u);
  EXPECT_EQ(NextCharIndex(s, 3, Big5Lead), 4u);
  // A lead byte with nothing after it is a character of its own.
  EXPECT_EQ(NextCharIndex(s, 4, Big5Lead), 5u);
  // The platform rule here (names in UTF-8) steps byte by byte.
  EXPECT_EQ(NextCharIndex(s, 1), 2u);
}

TEST(NamesTest, SeparatorsAreFoundOnlyBetweenCharacters) {
  struct Case {
    std::string text;
    LeadByteRule lead;
    size_t last;  // LastBackslash
    std::vector<std::string> parts;
  };
  const size_t npos = std::string::npos;
  const Case cases[] = {
      {"a\\b/c", Big5Lead, 1, {"a", "b", "c"}},
      {"", Big5Lead, npos, {""}},
      {"\\a\\\\b\\", Big5Lead, 5, {"", "a", "", "b", ""}},
      {kGong, Big5Lead, npos, {kGong}},
      {std::string(kZiLiao) + "\\" + kGong + "\xAF\xE0.dat",
       Big5Lead,
       4,
       {kZiLiao, std::string(kGong) + "\xAF\xE0.dat"}},
      {std::string(kBeiFenGong) + "\\" + kXuKe + "\\x", Big5Lead, 11, {kBeiFenGong, kXuKe, "x"}},
      // 功 followed by a real separator: the second "\" is one.
      {std::string(kGong) + "\\", Big5Lead, 2, {kGong, ""}},
      // A lone lead byte at the end does not swallow what is not there.
      {"x\\\xA5", Big5Lead, 1, {"x", "\xA5"}},
      // Without a double-byte code page every 0x5C separates.
      {kBeiFenGong, OsIsLeadByte, 5, {"\xB3\xC6\xA5\xF7\xA5", ""}},
      {kXuKe, OsIsLeadByte, 1, {"\xB3", "\xA5\x69"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LastBackslash(c.text, c.lead), c.last) << c.text;
    EXPECT_EQ(EndsWithBackslash(c.text, c.lead), !c.text.empty() && c.last == c.text.size() - 1)
        << c.text;
    EXPECT_EQ(SplitName(c.text, c.lead), c.parts) << c.text;
  }
}

TEST(NamesTest, AsciiUpperLeavesTrailBytesAlone) {
  // 許可 ends in the trail byte "i": upper-casing it would name another character.
  EXPECT_EQ(AsciiUpper(std::string("con") + kXuKe + "x.txt", Big5Lead),
            std::string("CON") + kXuKe + "X.TXT");
  EXPECT_EQ(AsciiUpper(kXuKe, OsIsLeadByte), "\xB3\x5C\xA5\x49");
  EXPECT_EQ(AsciiUpper("\xE9t\xC3\xA9", Big5Lead), "\xE9t\xC3\xA9");
  EXPECT_EQ(AsciiUpper("\xE9t\xC3\xA9", OsIsLeadByte), "\xE9T\xC3\xA9");
}

}  // namespace
}  // namespace tw
