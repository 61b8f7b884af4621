// SHA-256 against the published examples and vector files, against OpenSSL on random input,
// and the streaming contract of Hash::Update. Every suite runs once per compression form.
#include "crypto/Sha256.h"
#include "crypto/Sha256Compress.h"

#include "OpenSslReference.h"
#include "VectorFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

namespace kp::test {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

enum class Form { kPortable, kShaNi };

std::string FormName(const testing::TestParamInfo<Form>& info) {
  return info.param == Form::kPortable ? "Portable" : "ShaNi";
}

// Runs its tests on one compression form, then hands the choice back to the CPU.
class Sha256FormTest : public testing::TestWithParam<Form> {
 protected:
  void SetUp() override {
    if (GetParam() == Form::kShaNi && !Sha256HasShaNi()) GTEST_SKIP() << "CPU lacks SHA extensions";
    Sha256SelectCompress(GetParam() == Form::kShaNi ? &Sha256CompressShaNi
                                                    : &Sha256CompressPortable);
  }
  void TearDown() override { Sha256SelectCompress(nullptr); }
};

Bytes Digest(const uint8_t* data, size_t size) {
  Sha256 sha;
  sha.Init();
  sha.Update(data, static_cast<uint32_t>(size));
  Bytes out(kSha256DigestSize);
  sha.Final(out.data());
  return out;
}

// The message in pieces ending at `cuts` (ascending), through the Hash interface.
Bytes DigestInPieces(const Bytes& message, const std::vector<size_t>& cuts) {
  Sha256 sha;
  Hash& hash = sha;
  hash.Init();
  size_t from = 0;
  for (size_t cut : cuts) {
    hash.Update(message.data() + from, static_cast<uint32_t>(cut - from));
    from = cut;
  }
  hash.Update(message.data() + from, static_cast<uint32_t>(message.size() - from));
  Bytes out(kSha256DigestSize);
  hash.Final(out.data());
  return out;
}

Bytes Reference(const Bytes& message) {
  const auto d = test::OpenSslSha256(message.data(), message.size());
  return Bytes(d.begin(), d.end());
}

Bytes RandomBytes(std::mt19937& rng, size_t size) {
  Bytes b(size);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

struct TextExample {
  const char* source;
  std::string message;
  const char* digest;
};

TEST_P(Sha256FormTest, Fips180Examples) {
  const TextExample examples[] = {
      {"FIPS 180-4 example, one block", "abc",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"FIPS 180-4 example, two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"NIST example, 896 bits",
       "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opq"
       "rsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"FIPS 180-2 Appendix B.3, one million 'a'", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"FIPS 180-4, empty message", "",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
  };
  for (const auto& e : examples) {
    const Bytes message(e.message.begin(), e.message.end());
    EXPECT_EQ(ToHex(Digest(message.data(), message.size())), e.digest) << e.source;
  }
}

TEST_P(Sha256FormTest, CavpShortAndLongMessages) {
  for (const char* file : {"SHA256ShortMsg.rsp", "SHA256LongMsg.rsp"}) {
    const auto vectors = test::ParseCavpHashFile(test::ReadVectorFile(file));
    ASSERT_GE(vectors.size(), 64u) << file;
    std::mt19937 rng(7);
    for (const auto& v : vectors) {
      const std::string where = std::string(file) + " Len = " + std::to_string(v.bits);
      const Bytes& m = v.message;
      EXPECT_EQ(Digest(m.data(), m.size()), v.digest) << where;
      std::vector<size_t> byteAtATime;
      for (size_t i = 1; i < m.size(); ++i) byteAtATime.push_back(i);
      EXPECT_EQ(DigestInPieces(m, byteAtATime), v.digest) << where << ", byte at a time";
      std::vector<size_t> randomCuts;
      for (size_t at = 0; at < m.size(); at += rng() % 150) randomCuts.push_back(at);
      EXPECT_EQ(DigestInPieces(m, randomCuts), v.digest) << where << ", random pieces";
    }
  }
}

TEST_P(Sha256FormTest, AnySplitGivesTheSameDigest) {
  std::mt19937 rng(200);
  const Bytes message = RandomBytes(rng, 200);
  const Bytes expected = Reference(message);
  for (size_t a = 0; a <= message.size(); ++a) {
    EXPECT_EQ(DigestInPieces(message, {a}), expected) << "split at " << a;
    EXPECT_EQ(DigestInPieces(message, {a, a, a}), expected) << "empty pieces at " << a;
    for (size_t b = a; b <= message.size(); b += 7) {
      EXPECT_EQ(DigestInPieces(message, {a, b}), expected) << "split at " << a << " and " << b;
    }
  }
  std::vector<size_t> byteAtATime;
  for (size_t i = 0; i <= message.size(); ++i) byteAtATime.push_back(i);
  EXPECT_EQ(DigestInPieces(message, byteAtATime), expected);
}

TEST_P(Sha256FormTest, ZeroLengthUpdateChangesNothing) {
  const Bytes message = FromHex("616263");
  Sha256 sha;
  sha.Init();
  sha.Update(nullptr, 0);
  sha.Update(message.data(), 3);
  sha.Update(message.data(), 0);
  Bytes out(kSha256DigestSize);
  sha.Final(out.data());
  EXPECT_EQ(out, Reference(message));
}

TEST_P(Sha256FormTest, FinalOverItsOwnInputAndReuse) {
  std::mt19937 rng(32);
  for (size_t size : {32u, 33u, 64u, 100u}) {
    Bytes buffer = RandomBytes(rng, size);
    const Bytes expected = Reference(buffer);
    Sha256 sha;
    for (int use = 0; use < 2; ++use) {  // the second use checks that Init starts afresh
      Bytes work = buffer;
      sha.Init();
      sha.Update(work.data(), static_cast<uint32_t>(work.size()));
      sha.Final(work.data());
      EXPECT_EQ(Bytes(work.begin(), work.begin() + 32), expected) << size << " bytes, use " << use;
    }
  }
}

TEST_P(Sha256FormTest, RandomMessagesAndSplitsMatchOpenSsl) {
  std::mt19937 rng(2024);
  for (int trial = 0; trial < 300; ++trial) {
    const Bytes message = RandomBytes(rng, rng() % 1100);
    std::vector<size_t> cuts;
    for (size_t at = rng() % 80; at < message.size(); at += rng() % 150) cuts.push_back(at);
    EXPECT_EQ(DigestInPieces(message, cuts), Reference(message)) << "trial " << trial;
  }
}

INSTANTIATE_TEST_SUITE_P(Forms, Sha256FormTest, testing::Values(Form::kPortable, Form::kShaNi),
                         FormName);

// A form that counts the blocks it is given, to see how many the padding takes.
uint32_t countedBlocks = 0;
void CountingCompress(uint32_t state[8], const uint8_t* data, uint32_t blocks) {
  countedBlocks += blocks;
  Sha256CompressPortable(state, data, blocks);
}

TEST(Sha256Padding, LengthsAroundTheBlockEnd) {
  struct Case {
    size_t length;
    uint32_t finalBlocks;
  };
  // Length mod 64 up to 55 leaves room for 0x80 and the 8-byte length; from 56 on, one more.
  const Case cases[] = {{0, 1},   {55, 1},  {56, 2},  {63, 2}, {64, 1},
                        {119, 1}, {120, 2}, {127, 2}, {128, 1}};
  std::mt19937 rng(55);
  Sha256SelectCompress(&CountingCompress);
  for (const auto& c : cases) {
    const Bytes message = RandomBytes(rng, c.length);
    Sha256 sha;
    sha.Init();
    sha.Update(message.data(), static_cast<uint32_t>(message.size()));
    countedBlocks = 0;
    Bytes out(kSha256DigestSize);
    sha.Final(out.data());
    EXPECT_EQ(countedBlocks, c.finalBlocks) << c.length << " bytes";
    EXPECT_EQ(out, Reference(message)) << c.length << " bytes";
  }
  Sha256SelectCompress(nullptr);
}

// A form that only keeps the last block it was given: 4 GiB go through Update in no time,
// and the padding block shows the bit length that Final wrote.
uint8_t lastBlock[64];
void KeepLastBlock(uint32_t*, const uint8_t* data, uint32_t blocks) {
  if (blocks != 0) std::copy(data + 64 * (blocks - 1), data + 64 * blocks, lastBlock);
}

TEST(Sha256Padding, ByteCountCarriesIntoTheHighWord) {
  // 2^32 + 3 bytes: the low count word wraps, and the bit length needs both words.
  const uint64_t size = (uint64_t{1} << 32) + 3;
  const Bytes chunk(1u << 20, 0x5a);
  Sha256SelectCompress(&KeepLastBlock);
  Sha256 sha;
  sha.Init();
  for (uint64_t done = 0; done < size;) {
    const uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(chunk.size(), size - done));
    sha.Update(chunk.data(), piece);
    done += piece;
  }
  Bytes out(kSha256DigestSize);
  sha.Final(out.data());
  Sha256SelectCompress(nullptr);

  const uint64_t bits = size * 8;
  Bytes expected(64, 0);
  std::fill(expected.begin(), expected.begin() + 3, 0x5a);  // the 3 bytes past 2^32
  expected[3] = 0x80;
  for (int i = 0; i < 8; ++i) expected[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  EXPECT_EQ(ToHex(lastBlock, 64), ToHex(expected));
}

// The padding as FIPS 180-4, 5.1.1 writes it, a byte at a time: the reference for Final's
// padding built in words.
Bytes BytewisePadding(uint64_t messageBytes) {
  Bytes pad{0x80};
  while ((messageBytes + pad.size()) % 64 != 56) pad.push_back(0);
  const uint64_t bits = messageBytes * 8;
  for (int shift = 56; shift >= 0; shift -= 8) pad.push_back(static_cast<uint8_t>(bits >> shift));
  return pad;
}

// A form that keeps every block it is given.
Bytes seenBlocks;
void KeepAllBlocks(uint32_t*, const uint8_t* data, uint32_t blocks) {
  seenBlocks.insert(seenBlocks.end(), data, data + 64 * blocks);
}

TEST(Sha256Padding, FinalPadsAsTheBytewiseReference) {
  std::mt19937 rng(180);
  Sha256SelectCompress(&KeepAllBlocks);
  for (size_t length = 0; length <= 3 * 64; ++length) {
    const Bytes message = RandomBytes(rng, length);
    seenBlocks.clear();
    Sha256 sha;
    sha.Init();
    sha.Update(message.data(), static_cast<uint32_t>(length));
    Bytes out(kSha256DigestSize);
    sha.Final(out.data());
    Bytes expected = message;
    const Bytes pad = BytewisePadding(length);
    expected.insert(expected.end(), pad.begin(), pad.end());
    EXPECT_EQ(ToHex(seenBlocks), ToHex(expected)) << length << " bytes";
  }
  Sha256SelectCompress(nullptr);
}

// A copy taken mid-message carries the whole state: both go on and finish on their own.
TEST(Sha256Copy, MidMessageCopiesFinishIndependently) {
  std::mt19937 rng(7);
  const Bytes head = RandomBytes(rng, 100);
  const Bytes tailA = RandomBytes(rng, 37);
  const Bytes tailB = RandomBytes(rng, 64);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{100}}) {
    Sha256 original;
    original.Init();
    original.Update(head.data(), static_cast<uint32_t>(cut));
    Sha256 copy = original;
    original.Update(tailA.data(), static_cast<uint32_t>(tailA.size()));
    copy.Update(tailB.data(), static_cast<uint32_t>(tailB.size()));
    Bytes a(kSha256DigestSize);
    Bytes b(kSha256DigestSize);
    copy.Final(b.data());
    original.Final(a.data());
    Bytes messageA(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(cut));
    Bytes messageB = messageA;
    messageA.insert(messageA.end(), tailA.begin(), tailA.end());
    messageB.insert(messageB.end(), tailB.begin(), tailB.end());
    EXPECT_EQ(ToHex(a), ToHex(Reference(messageA))) << "cut " << cut;
    EXPECT_EQ(ToHex(b), ToHex(Reference(messageB))) << "cut " << cut;
  }
}

TEST(Sha256Compression, PortableAndShaNiAgree) {
  if (!Sha256HasShaNi()) GTEST_SKIP() << "CPU lacks SHA extensions";
  std::mt19937 rng(99);
  for (int trial = 0; trial < 500; ++trial) {
    uint32_t portable[8];
    for (auto& w : portable) w = static_cast<uint32_t>(rng());
    uint32_t shaNi[8];
    std::copy(std::begin(portable), std::end(portable), shaNi);
    const uint32_t blocks = static_cast<uint32_t>(trial % 5);
    // One byte of offset so that unaligned loads are part of the test.
    const Bytes data = RandomBytes(rng, 64 * blocks + 1);
    Sha256CompressPortable(portable, data.data() + 1, blocks);
    Sha256CompressShaNi(shaNi, data.data() + 1, blocks);
    EXPECT_TRUE(std::equal(std::begin(portable), std::end(portable), shaNi)) << "trial " << trial;
  }
}

}  // namespace
}  // namespace kp::test
