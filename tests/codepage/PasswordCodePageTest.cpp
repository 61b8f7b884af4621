// The shared password conversion: UTF-8 as the simulator and kpnox-cli take it, Windows-1250
// exactly, and which characters the window's conversion cannot carry. The window's own
// bytes are checked through its QString adapter (tests/app, tests/windows).
#include "codepage/PasswordCodePage.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace kp::test {
namespace {

TEST(PasswordCodePage, Utf8IsDecodedAndAnythingElseRefused) {
  struct Row {
    std::string utf8;
    std::optional<std::u16string> text;
  };
  const Row rows[] = {
      {"", u""},
      {"haslo", u"haslo"},
      {"zażółć", u"zażółć"},
      {"€\xF0\x9F\x94\x91", u"€\U0001F511"},  // three bytes; four bytes: a surrogate pair
      {"\xC3", std::nullopt},                 // cut short
      {"\xC3\x28", std::nullopt},             // not a continuation byte
      {"\xC0\xAF", std::nullopt},             // overlong
      {"\xED\xA0\x80", std::nullopt},         // a surrogate
      {"\xF4\x90\x80\x80", std::nullopt},     // beyond U+10FFFF
      {"\xFF", std::nullopt},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Utf8ToUtf16(row.utf8), row.text) << row.utf8;
  }
}

TEST(PasswordCodePage, Windows1250ExactlyOrNotAtAll) {
  struct Row {
    std::u16string text;
    std::optional<std::string> bytes;
  };
  const Row rows[] = {
      {u"zażółć12",
       "za\xBF\xF3\xB3\xE6"
       "12"},
      {u"ŻÓŁĆ GĘŚLĄ JAŹŃ", "\xAF\xD3\xA3\xC6 G\xCA\x8CL\xA5 JA\x8F\xD1"},
      {u"a?b", "a?b"},
      {u"a漢b", std::nullopt},
      {u"ä", "\xE4"},
      {u"à", std::nullopt},  // in Windows-1252, not in 1250: no best-fit "a"
      {u"\U0001F511", std::nullopt},
      {u"a\xD800", std::nullopt},  // a lone surrogate
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ToWindows1250(row.text), row.bytes);
  }
}

TEST(PasswordCodePage, CharactersTheWindowCannotCarry) {
#ifdef _WIN32
  if (GetACP() != 1250) GTEST_SKIP() << "the ANSI code page decides; these rows are for 1250";
#endif
  struct Row {
    std::u16string text;
    std::u32string lacking;
  };
  const Row rows[] = {
      {u"zażółć12?", U""},
      {u"a漢b漢àß", U"漢à"},  // each once, in order; ß is in Windows-1250
      {u"\U0001F511x\xDC00", U"\U0001F511\xDC00"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(UnrepresentableCharacters(row.text), row.lacking);
  }
}

#ifndef _WIN32
TEST(PasswordCodePage, WindowConversionGivesAQuestionMarkPerMissingCharacter) {
  EXPECT_EQ(PasswordTo8Bit(u"zażółć12"),
            "za\xBF\xF3\xB3\xE6"
            "12");
  EXPECT_EQ(PasswordTo8Bit(u"a漢\U0001F511b\xD800"), "a??b?");
  EXPECT_EQ(PasswordTo8Bit(u""), "");
}
#endif

}  // namespace
}  // namespace kp::test
