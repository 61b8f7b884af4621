// Numbers as text: the edges each reader must refuse, which the callers' own tests reach
// only in part.
#include "base/NumberText.h"

#include <gtest/gtest.h>

#include <optional>

namespace kp::test {
namespace {

TEST(NumberText, DecimalNumbersWholeAndInRange) {
  struct Row {
    const char* text;
    std::optional<int32_t> asInt32;
    std::optional<uint16_t> asUint16;
  };
  const Row rows[] = {
      {"0", 0, 0},          {"00012", 12, 12}, {"65535", 65535, 65535},
      {"65536", 65536, {}}, {"-1", -1, {}},    {"2147483648", {}, {}},
      {"", {}, {}},         {"+1", {}, {}},    {" 1", {}, {}},
      {"1 ", {}, {}},       {"12x", {}, {}},   {"0x10", {}, {}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ParseNumber<int32_t>(row.text), row.asInt32) << '"' << row.text << '"';
    EXPECT_EQ(ParseNumber<uint16_t>(row.text), row.asUint16) << '"' << row.text << '"';
  }
}

TEST(NumberText, HexDigitsOfEitherCaseOnly) {
  const std::pair<char32_t, int> rows[] = {
      {U'0', 0},   {U'9', 9},  {U'a', 10},  {U'f', 15}, {U'A', 10},
      {U'F', 15},  {U'/', -1}, {U':', -1},  {U'@', -1}, {U'G', -1},
      {U'`', -1},  {U'g', -1}, {U'\0', -1}, {U' ', -1}, {U'\uFF10', -1} /* fullwidth zero */,
      {0x130, -1},
  };
  for (const auto& [c, value] : rows) EXPECT_EQ(HexDigitValue(c), value) << uint32_t{c};
}

TEST(NumberText, HexTextTwoDigitsPerByteMostSignificantFirst) {
  const uint8_t uid[8] = {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x00};
  EXPECT_EQ(HexText(uid), "04A1B2C3D4E5F600");
  EXPECT_EQ(HexText(uid, HexCase::Lower), "04a1b2c3d4e5f600");
  EXPECT_EQ(HexText({}), "");
  EXPECT_EQ(HexWord32(0x3A7F19C4), "3A7F19C4");
  EXPECT_EQ(HexWord32(0x00000ABC), "00000ABC");
  EXPECT_EQ(HexWord32(0xFFFFFFFF), "FFFFFFFF");
}

}  // namespace
}  // namespace kp::test
