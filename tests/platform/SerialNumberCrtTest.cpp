// The serial-number parser against the C runtime's own wcstoul where it matters: on Windows,
// with 16-bit wchar_t and 32-bit unsigned long, the conversion the parser stands in for.
#include "link/WUsbBulkD.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <random>
#include <string>
#include <vector>

namespace kp::test {
namespace {

static_assert(sizeof(wchar_t) == 2, "Windows wide text is UTF-16");
static_assert(sizeof(unsigned long) == 4, "Windows unsigned long is 32 bits");

uint32_t Parse(const std::wstring& text) {
  std::vector<uint8_t> le;
  for (wchar_t c : text) {
    le.push_back(static_cast<uint8_t>(c));
    le.push_back(static_cast<uint8_t>(static_cast<uint16_t>(c) >> 8));
  }
  return ParseSerialNumber(le.data(), le.size());
}

uint32_t Crt(const std::wstring& text) {
  return static_cast<uint32_t>(std::wcstoul(text.c_str(), nullptr, 16));
}

// Strings built from the characters that steer the conversion: white space, signs, the
// "0x" prefix, digits and letters on both sides of the hexadecimal range. Two places where
// the runtime goes its own way are left out: a negative text beyond 32 bits (the runtime
// gives 1, the parser saturates at 0xFFFFFFFF like any other overflow), and digits and
// spaces outside ASCII (the runtime takes full-width and other Unicode digits as digits).
TEST(SerialNumberCrt, AgreesWithWcstoulOnAsciiText) {
  const std::wstring table[] = {L"1A2B",
                                L"1a2b",
                                L"",
                                L"XYZ",
                                L"G1",
                                L"  \t12",
                                L"\r\n\v\f7",
                                L"12 34",
                                L"0x1F",
                                L"0X1f",
                                L"0x",
                                L"0xZ",
                                L"x1",
                                L"FFFFFFFF",
                                L"100000000",
                                L"123456789ABCDEF0123",
                                L"-1",
                                L"+A",
                                L"-0x10",
                                L"+-1",
                                L" -FFFFFFFF",
                                L"-0",
                                L"00000000000000000001",
                                L"0"};
  for (const std::wstring& text : table) {
    EXPECT_EQ(Parse(text), Crt(text)) << "text of " << text.size() << " units";
  }

  const wchar_t alphabet[] = L" \t\n\v\f\r+0xX19afAFgGz";
  std::mt19937 random(20240517);
  std::uniform_int_distribution<size_t> pick(0, std::wcslen(alphabet) - 1);
  std::uniform_int_distribution<size_t> length(0, 14);
  for (int trial = 0; trial < 5000; ++trial) {
    std::wstring text;
    for (size_t n = length(random); n > 0; --n) text.push_back(alphabet[pick(random)]);
    ASSERT_EQ(Parse(text), Crt(text)) << "trial " << trial;
  }
}

TEST(SerialNumberCrt, StopsAtAZeroUnitLikeWcstoul) {
  const std::wstring text(L"ABC\0DEF", 7);
  EXPECT_EQ(Parse(text), 0xABCu);
  EXPECT_EQ(Crt(text), 0xABCu);
}

}  // namespace
}  // namespace kp::test
