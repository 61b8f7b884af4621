// A typed password reaches the programmer as its bytes in the ANSI code page, which is
// Windows-1250 on a Polish Windows (scripts/test-windows sets Wine up so).
#include "app/PasswordText.h"
#include "codepage/PasswordCodePage.h"

#include <gtest/gtest.h>

#include <QString>

#include <string>
#include <string_view>

#include <windows.h>

namespace {

struct Row {
  const char16_t* typed;
  std::string bytes;
};

TEST(PasswordCodePage, PolishLettersBecomeTheirWindows1250Bytes) {
  ASSERT_EQ(GetACP(), 1250u) << "the ANSI code page must be Windows-1250 for this test";
  const Row rows[] = {
      {u"zażółć12",
       "za\xBF\xF3\xB3\xE6"
       "12"},
      {u"ŻÓŁĆ GĘŚLĄ JAŹŃ", "\xAF\xD3\xA3\xC6 G\xCA\x8CL\xA5 JA\x8F\xD1"},
      {u"Haslo-123 !~", "Haslo-123 !~"},
      {u"a漢b", "a?b"},  // outside the code page
  };
  for (const Row& row : rows) {
    const QString typed = QString::fromUtf16(row.typed);
    EXPECT_EQ(kp::PasswordTo8Bit(typed), row.bytes) << typed.toStdString();
  }
}

// Letters the code page lacks would reach the programmer as "?" or a best-fit look-alike, so
// that other passwords open it too: the change dialog and kpnox-cli refuse them, naming each.
TEST(PasswordCodePage, NewPasswordsMustSurviveTheCodePageExactly) {
  ASSERT_EQ(GetACP(), 1250u) << "the ANSI code page must be Windows-1250 for this test";
  EXPECT_EQ(kp::PasswordTo8Bit(QStringLiteral("Жжжжжжж1")), "???????1");  // why: a weak key
  const struct {
    const char16_t* typed;
    std::u32string lacking;
  } rows[] = {
      {u"zażółć12", U""},
      {u"Жжжжжжж1", U"Жж"},
      {u"Ābc\u2460x", U"Ā\u2460"},  // best fit would send "A" and "1"
  };
  for (const auto& row : rows) {
    EXPECT_EQ(kp::UnrepresentableCharacters(std::u16string_view(row.typed)), row.lacking);
  }
}

}  // namespace
