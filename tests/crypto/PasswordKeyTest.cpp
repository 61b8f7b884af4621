// The password key against the same loop on OpenSSL, the text fields it is made from, and
// the wipe that clears secrets.
#include "crypto/PasswordKey.h"
#include "crypto/SecureWipe.h"
#include "crypto/Sha256Compress.h"

#include "OpenSslReference.h"
#include "VectorFiles.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>

namespace kp::test {
namespace {

using test::Bytes;
using test::ToHex;

// The derivation block built by hand: 12 identity bytes, 20 password bytes, zero-filled.
std::array<uint8_t, 16> ReferenceKey(const std::string& identity, const std::string& password) {
  uint8_t block[32] = {};
  for (size_t i = 0; i < identity.size() && i < 12; ++i)
    block[i] = static_cast<uint8_t>(identity[i]);
  for (size_t i = 0; i < password.size() && i < 20; ++i)
    block[12 + i] = static_cast<uint8_t>(password[i]);
  return test::OpenSslDeriveLoop(block);
}

std::array<uint8_t, 16> OurKey(const std::string& identity, const std::string& password) {
  std::array<uint8_t, 16> key{};
  DerivePasswordKey(identity.c_str(), password.c_str(), key.data());
  return key;
}

struct KeyCase {
  const char* what;
  std::string identity;
  std::string password;
};

const KeyCase kKeyCases[] = {
    {"empty password", "user", ""},
    {"8 characters", "user", "haslo123"},
    {"20 characters, no terminator", "user", "abcdefghijklmnopqrst"},
    {"25 characters, only 20 count", "user", "abcdefghijklmnopqrstUVWXY"},
    {"12-character identity", "abcdefghijkl", "haslo123"},
    {"13-character identity", "administrator", "haslo123"},
    {"8-bit bytes (Windows-1250 'za\xbf\xf3\xb3\xe6 g\xea\x9cl\xb9')", "user",
     "za\xbf\xf3\xb3\xe6 g\xea\x9cl\xb9\xff\x80"},
};

TEST(DerivePasswordKey, MatchesTheLoopOnOpenSsl) {
  for (const auto& c : kKeyCases) {
    EXPECT_EQ(ToHex(OurKey(c.identity, c.password).data(), 16),
              ToHex(ReferenceKey(c.identity, c.password).data(), 16))
        << c.what;
  }
}

TEST(DerivePasswordKey, PortableCompressionGivesTheSameKeys) {
  const std::array<uint8_t, 16> dispatched = OurKey("user", "haslo123");
  Sha256SelectCompress(&Sha256CompressPortable);
  const std::array<uint8_t, 16> portable = OurKey("user", "haslo123");
  Sha256SelectCompress(nullptr);
  EXPECT_EQ(dispatched, portable);
}

TEST(DerivePasswordKey, OnlyTheFieldWidthsCount) {
  EXPECT_EQ(OurKey("user", "abcdefghijklmnopqrst"), OurKey("user", "abcdefghijklmnopqrstUVWXY"));
  EXPECT_NE(OurKey("user", "abcdefghijklmnopqrs"), OurKey("user", "abcdefghijklmnopqrst"));
  EXPECT_EQ(OurKey("abcdefghijkl", "x"), OurKey("abcdefghijklmnop", "x"));
}

TEST(FillTextField, CopiesUpToTheTerminatorOrTheWidth) {
  struct Case {
    const char* what;
    const char* text;
    size_t width;
    const char* field;
  };
  const Case cases[] = {
      {"identity \"user\"", "user", 12, "757365720000000000000000"},
      {"exactly the width", "abcd", 4, "61626364"},
      {"longer than the width", "abcdef", 4, "61626364"},
      {"empty text", "", 5, "0000000000"},
      {"no text", nullptr, 5, "0000000000"},
  };
  for (const auto& c : cases) {
    Bytes field(c.width + 1, 0xAA);  // one guard byte after the field
    FillTextField(field.data(), c.width, c.text);
    EXPECT_EQ(ToHex(field.data(), c.width), c.field) << c.what;
    EXPECT_EQ(field[c.width], 0xAA) << c.what << ": wrote past the field";
  }
}

TEST(FillTextField, NeverReadsPastTheWidth) {
  // Twelve bytes with no terminator at the very end of an allocation: any read beyond them
  // is an over-read the address sanitizer reports.
  auto text = std::make_unique<char[]>(12);
  for (int i = 0; i < 12; ++i) text[static_cast<size_t>(i)] = static_cast<char>('a' + i);
  uint8_t field[kIdentityFieldWidth];
  FillTextField(field, sizeof field, text.get());
  EXPECT_EQ(ToHex(field, sizeof field), "6162636465666768696a6b6c");
}

TEST(SecureWipe, ZeroesExactlyTheRangeGiven) {
  uint8_t buffer[40];
  std::fill(std::begin(buffer), std::end(buffer), 0xCC);
  SecureWipe(buffer + 3, 20);
  for (size_t i = 0; i < sizeof buffer; ++i) {
    EXPECT_EQ(buffer[i], (i >= 3 && i < 23) ? 0x00 : 0xCC) << "byte " << i;
  }
  SecureWipe(buffer, 0);
  SecureWipe(nullptr, 0);
  EXPECT_EQ(buffer[0], 0xCC);
}

}  // namespace
}  // namespace kp::test
