// CMAC against RFC 4493 and the Wycheproof suite, against OpenSSL on random input (with
// AES, and with three-key TDEA for the 8-byte block), and in the shape of the login proof.
#include "crypto/Aes.h"
#include "crypto/Cmac.h"

#include "OpenSslReference.h"
#include "VectorFiles.h"

#include <gtest/gtest.h>

#include <random>

namespace kp::test {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

// The message in pieces ending at `cuts` (ascending).
Bytes Mac(Coder& coder, const Bytes& message, const std::vector<size_t>& cuts = {}) {
  Cmac cmac(coder);
  cmac.Init();
  size_t from = 0;
  for (size_t cut : cuts) {
    cmac.Update(message.data() + from, static_cast<uint32_t>(cut - from));
    from = cut;
  }
  cmac.Update(message.data() + from, static_cast<uint32_t>(message.size() - from));
  Bytes tag(coder.BlockSize());
  cmac.Final(tag.data());
  return tag;
}

Bytes RandomBytes(std::mt19937& rng, size_t size) {
  Bytes b(size);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

std::vector<size_t> RandomCuts(std::mt19937& rng, size_t size) {
  std::vector<size_t> cuts;
  for (size_t at = rng() % 20; at < size; at += rng() % 40) cuts.push_back(at);
  return cuts;
}

TEST(Cmac, Rfc4493Examples) {
  const char* message =
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
  struct Example {
    const char* source;
    size_t length;
    const char* tag;
  };
  const Example examples[] = {
      {"RFC 4493, Example 1 (empty)", 0, "bb1d6929e95937287fa37d129b756746"},
      {"RFC 4493, Example 2 (16 bytes)", 16, "070a16b46b4d4144f79bdd9dd04a287c"},
      {"RFC 4493, Example 3 (40 bytes)", 40, "dfa66747de9ae63030ca32611497c827"},
      {"RFC 4493, Example 4 (64 bytes)", 64, "51f0bebf7e3b9d92fc49741779363cfe"},
  };
  const Bytes whole = FromHex(message);
  AES128 aes;
  aes.SetKey(FromHex("2b7e151628aed2a6abf7158809cf4f3c").data());
  for (const auto& e : examples) {
    const Bytes m(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(e.length));
    EXPECT_EQ(ToHex(Mac(aes, m)), e.tag) << e.source;
    std::vector<size_t> byteAtATime;
    for (size_t i = 1; i < m.size(); ++i) byteAtATime.push_back(i);
    EXPECT_EQ(ToHex(Mac(aes, m, byteAtATime)), e.tag) << e.source << ", byte at a time";
    for (size_t a = 0; a <= m.size(); ++a) {
      EXPECT_EQ(ToHex(Mac(aes, m, {a, a})), e.tag) << e.source << ", split at " << a;
    }
  }
}

TEST(Cmac, WycheproofAesCmac) {
  const auto vectors =
      test::ParseWycheproofMacFile(test::ReadVectorFile("wycheproof_aes_cmac_test.json"));
  int checked128 = 0;
  for (const auto& v : vectors) {
    // Other key sizes are there to be refused; AesKeyWords cannot name them.
    if (v.tagBits != 128 || (v.keyBits != 128 && v.keyBits != 192 && v.keyBits != 256)) continue;
    ASSERT_EQ(v.key.size() * 8, static_cast<size_t>(v.keyBits)) << "tcId " << v.id;
    AES aes(static_cast<AesKeyWords>(v.keyBits / 32));
    aes.SetKey(v.key.data());
    const Bytes tag = Mac(aes, v.message);
    if (v.valid) {
      EXPECT_EQ(ToHex(tag), ToHex(v.tag)) << "Wycheproof aes_cmac_test tcId " << v.id;
    } else {
      EXPECT_NE(ToHex(tag), ToHex(v.tag)) << "Wycheproof aes_cmac_test tcId " << v.id;
    }
    if (v.keyBits == 128) ++checked128;
  }
  EXPECT_GE(checked128, 40);
}

TEST(Cmac, RandomKeysMessagesAndSplitsMatchOpenSsl) {
  std::mt19937 rng(4493);
  for (int trial = 0; trial < 400; ++trial) {
    const Bytes key = RandomBytes(rng, 16);
    // Multiples of the block size half of the time: the full last block takes the K1 path.
    const size_t length = trial % 2 == 0 ? 16 * (rng() % 6) : rng() % 100;
    const Bytes message = RandomBytes(rng, length);
    AES128 aes;
    aes.SetKey(key.data());
    EXPECT_EQ(
        Mac(aes, message, RandomCuts(rng, message.size())),
        test::OpenSslCmac("AES-128-CBC", key.data(), key.size(), message.data(), message.size()))
        << "trial " << trial << ", " << length << " bytes";
  }
}

// Three-key TDEA through OpenSSL, to run the CMAC of an 8-byte block (Rb = 0x1B).
class OpenSslTdea final : public Coder {
 public:
  explicit OpenSslTdea(const Bytes& key) : Coder(8), key_(key) {}
  void Encrypt(uint8_t* block) override {
    test::OpenSslEncryptBlock("DES-EDE3-ECB", key_.data(), block);
  }
  void Decrypt(uint8_t*) override { ADD_FAILURE() << "CMAC never decrypts"; }

 private:
  Bytes key_;
};

TEST(Cmac, EightByteBlocksMatchOpenSsl) {
  std::mt19937 rng(800);
  for (int trial = 0; trial < 100; ++trial) {
    const Bytes key = RandomBytes(rng, 24);
    const size_t length = trial % 2 == 0 ? 8 * (rng() % 5) : rng() % 50;
    const Bytes message = RandomBytes(rng, length);
    OpenSslTdea tdea(key);
    EXPECT_EQ(
        Mac(tdea, message, RandomCuts(rng, message.size())),
        test::OpenSslCmac("DES-EDE3-CBC", key.data(), key.size(), message.data(), message.size()))
        << "trial " << trial << ", " << length << " bytes";
  }
}

TEST(Cmac, LoginProofShapeWritesTheMacOverTheChallenge) {
  // Identity field and challenge in one 28-byte request; the MAC lands on the challenge.
  std::mt19937 rng(28);
  const Bytes key = RandomBytes(rng, 16);
  Bytes request = {'u', 's', 'e', 'r', 0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes challenge = RandomBytes(rng, 16);
  request.insert(request.end(), challenge.begin(), challenge.end());
  const Bytes expected =
      test::OpenSslCmac("AES-128-CBC", key.data(), 16, request.data(), request.size());

  AES128 aes;
  aes.SetKey(key.data());
  Cmac cmac(aes);
  cmac.Init();
  cmac.Update(request.data(), 28);
  cmac.Final(request.data() + 12);
  EXPECT_EQ(Bytes(request.begin() + 12, request.end()), expected);
  EXPECT_EQ(ToHex(request.data(), 12), "757365720000000000000000");
}

TEST(Cmac, InitStartsAFreshMessage) {
  AES128 aes;
  aes.SetKey(FromHex("2b7e151628aed2a6abf7158809cf4f3c").data());
  Cmac cmac(aes);
  const Bytes noise = FromHex("00112233445566778899aabbccddeeff0011");
  Bytes tag(16);
  cmac.Init();
  cmac.Update(noise.data(), static_cast<uint32_t>(noise.size()));
  cmac.Final(tag.data());
  cmac.Init();
  cmac.Final(tag.data());
  EXPECT_EQ(ToHex(tag), "bb1d6929e95937287fa37d129b756746") << "RFC 4493, Example 1";
}

}  // namespace
}  // namespace kp::test
