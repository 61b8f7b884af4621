// The compression function in plain C++ (FIPS 180-4, 6.2.2), for every CPU.
#include "crypto/Bytes.h"
#include "crypto/Sha256Compress.h"

#include <bit>
#include <utility>

namespace kp {

namespace {

inline uint32_t BigSigma0(uint32_t x) {
  return std::rotr(x, 2) ^ std::rotr(x, 13) ^ std::rotr(x, 22);
}
inline uint32_t BigSigma1(uint32_t x) {
  return std::rotr(x, 6) ^ std::rotr(x, 11) ^ std::rotr(x, 25);
}
inline uint32_t SmallSigma0(uint32_t x) { return std::rotr(x, 7) ^ std::rotr(x, 18) ^ (x >> 3); }
inline uint32_t SmallSigma1(uint32_t x) { return std::rotr(x, 17) ^ std::rotr(x, 19) ^ (x >> 10); }
inline uint32_t Choose(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t Majority(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (z & (x | y)); }

// Eight rounds per step with the working variables renamed instead of shifted; the message
// schedule lives in a 16-word ring.
struct Rounds {
  uint32_t v[8];
  uint32_t w[16];

  template <int i>
  void Round() {
    constexpr int a = (64 - i) % 8;
    uint32_t& h = v[(a + 7) % 8];
    const uint32_t e = v[(a + 4) % 8];
    if constexpr (i >= 16) {
      w[i % 16] += SmallSigma1(w[(i - 2) % 16]) + w[(i - 7) % 16] + SmallSigma0(w[(i - 15) % 16]);
    }
    const uint32_t t1 = h + BigSigma1(e) + Choose(e, v[(a + 5) % 8], v[(a + 6) % 8]) +
                        kSha256RoundConstants[i] + w[i % 16];
    const uint32_t t2 = BigSigma0(v[a]) + Majority(v[a], v[(a + 1) % 8], v[(a + 2) % 8]);
    v[(a + 3) % 8] += t1;
    h = t1 + t2;
  }

  template <int... i>
  void Run(std::integer_sequence<int, i...>) {
    (Round<i>(), ...);
  }
};

}  // namespace

void Sha256CompressPortable(uint32_t state[8], const uint8_t* data, uint32_t blocks) {
  for (; blocks != 0; --blocks, data += 64) {
    Rounds r;
    for (int i = 0; i < 8; ++i) r.v[i] = state[i];
    for (int i = 0; i < 16; ++i) r.w[i] = LoadBe32(data + 4 * i);
    r.Run(std::make_integer_sequence<int, 64>());
    for (int i = 0; i < 8; ++i) state[i] += r.v[i];
  }
}

}  // namespace kp
