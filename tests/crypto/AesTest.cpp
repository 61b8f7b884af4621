// AES against the FIPS 197 examples and OpenSSL, and its constant tables against the field
// arithmetic they stand for.
#include "crypto/Aes.h"
#include "crypto/AesTables.h"

#include "OpenSslReference.h"
#include "VectorFiles.h"

#include <gtest/gtest.h>

#include <random>

namespace kp::test {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

TEST(Aes, Fips197AppendixCBothWays) {
  struct Example {
    const char* source;
    AesKeyWords keyWords;
    const char* key;
    const char* cipherText;
  };
  const Example examples[] = {
      {"FIPS 197, Appendix C.1 (AES-128)", AesKeyWords::k128, "000102030405060708090a0b0c0d0e0f",
       "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"FIPS 197, Appendix C.2 (AES-192)", AesKeyWords::k192,
       "000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"FIPS 197, Appendix C.3 (AES-256)", AesKeyWords::k256,
       "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  const Bytes plainText = FromHex("00112233445566778899aabbccddeeff");
  for (const auto& e : examples) {
    AES aes(e.keyWords);
    aes.SetKey(FromHex(e.key).data());
    Coder& coder = aes;
    Bytes block = plainText;
    coder.Encrypt(block.data());
    EXPECT_EQ(ToHex(block), e.cipherText) << e.source;
    coder.Decrypt(block.data());
    EXPECT_EQ(block, plainText) << e.source;
  }
}

TEST(Aes, RandomKeysAndBlocksMatchOpenSsl) {
  struct Size {
    AesKeyWords keyWords;
    const char* openSslName;
  };
  const Size sizes[] = {{AesKeyWords::k128, "AES-128-ECB"},
                        {AesKeyWords::k192, "AES-192-ECB"},
                        {AesKeyWords::k256, "AES-256-ECB"}};
  std::mt19937 rng(197);
  for (const auto& s : sizes) {
    for (int trial = 0; trial < 200; ++trial) {
      Bytes key(4 * static_cast<size_t>(s.keyWords));
      Bytes block(16);
      for (auto& b : key) b = static_cast<uint8_t>(rng());
      for (auto& b : block) b = static_cast<uint8_t>(rng());
      AES aes(s.keyWords);
      aes.SetKey(key.data());
      Bytes ours = block;
      aes.Encrypt(ours.data());
      Bytes reference = block;
      test::OpenSslEncryptBlock(s.openSslName, key.data(), reference.data());
      EXPECT_EQ(ours, reference) << s.openSslName << " trial " << trial;
      aes.Decrypt(ours.data());
      EXPECT_EQ(ours, block) << s.openSslName << " trial " << trial;
    }
  }
}

TEST(Aes, RekeyingReplacesTheKey) {
  AES128 aes;
  aes.SetKey(FromHex("ffffffffffffffffffffffffffffffff").data());
  aes.SetKey(FromHex("000102030405060708090a0b0c0d0e0f").data());
  Bytes block = FromHex("00112233445566778899aabbccddeeff");
  aes.Encrypt(block.data());
  EXPECT_EQ(ToHex(block), "69c4e0d86a7b0430d8cdb78070b4c55a") << "FIPS 197, Appendix C.1";
}

// Field arithmetic done the slow way, to check every entry of the tables.
uint8_t Multiply(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  for (; b != 0; b >>= 1) {
    if (b & 1) product ^= a;
    a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
  }
  return product;
}

uint8_t Inverse(uint8_t a) {
  for (int b = 1; b < 256; ++b) {
    if (Multiply(a, static_cast<uint8_t>(b)) == 1) return static_cast<uint8_t>(b);
  }
  return 0;  // 0 has no inverse and maps to 0
}

uint8_t Rotl(uint8_t x, int s) { return static_cast<uint8_t>((x << s) | (x >> (8 - s))); }

TEST(AesTables, MatchTheFieldArithmetic) {
  const struct {
    const uint8_t* table;
    uint8_t factor;
  } products[] = {{kAesMul2, 2},   {kAesMul3, 3},   {kAesMul9, 9},
                  {kAesMul11, 11}, {kAesMul13, 13}, {kAesMul14, 14}};
  for (int a = 0; a < 256; ++a) {
    const uint8_t x = static_cast<uint8_t>(a);
    for (const auto& p : products) {
      EXPECT_EQ(p.table[a], Multiply(x, p.factor)) << "x" << int{p.factor} << " at " << a;
    }
    // FIPS 197, 5.1.1: the inverse, then the affine map with constant 0x63.
    const uint8_t b = Inverse(x);
    const uint8_t s = b ^ Rotl(b, 1) ^ Rotl(b, 2) ^ Rotl(b, 3) ^ Rotl(b, 4) ^ 0x63;
    EXPECT_EQ(kAesSbox[a], s) << "S-box at " << a;
    EXPECT_EQ(kAesInvSbox[s], x) << "inverse S-box at " << int{s};
  }
  uint8_t rcon = 1;
  for (int i = 0; i < 10; ++i, rcon = Multiply(rcon, 2))
    EXPECT_EQ(kAesRoundConstants[i], rcon) << i;
}

}  // namespace
}  // namespace kp::test
