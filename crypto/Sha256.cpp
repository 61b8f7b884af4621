#include "crypto/Sha256.h"

#include "crypto/Bytes.h"
#include "crypto/SecureWipe.h"
#include "crypto/Sha256Compress.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace kp {

alignas(64) const uint32_t kSha256RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

namespace {

// FIPS 180-4, 5.3.3.
alignas(32) constexpr uint32_t kInitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

void CompressFromCpuChoice(uint32_t state[8], const uint8_t* data, uint32_t blocks);

// Starts at a stub that decides on its first call, so no static initialiser is involved.
constinit std::atomic<Sha256CompressFn> selectedForm{&CompressFromCpuChoice};

Sha256CompressFn CpuChoice() {
  return Sha256HasShaNi() ? &Sha256CompressShaNi : &Sha256CompressPortable;
}

void CompressFromCpuChoice(uint32_t state[8], const uint8_t* data, uint32_t blocks) {
  const Sha256CompressFn form = CpuChoice();
  selectedForm.store(form, std::memory_order_relaxed);
  form(state, data, blocks);
}

}  // namespace

Sha256CompressFn Sha256SelectedCompress() {
  Sha256CompressFn form = selectedForm.load(std::memory_order_relaxed);
  return form == &CompressFromCpuChoice ? CpuChoice() : form;
}

void Sha256SelectCompress(Sha256CompressFn form) {
  selectedForm.store(form != nullptr ? form : &CompressFromCpuChoice, std::memory_order_relaxed);
}

Sha256::~Sha256() { SecureWipe(state, sizeof state); }

void Sha256::Compress(const uint8_t* data, uint32_t blocks) {
  selectedForm.load(std::memory_order_relaxed)(state, data, blocks);
}

void Sha256::Init() {
  countLow = 0;
  countHigh = 0;
  std::memcpy(state, kInitialState, sizeof state);
}

// Why in words: see the header. Each 16-byte piece of the area holds its final bytes (the
// 0x80, the zeros and the length), built in registers; Update copies it in the same pieces.
void Sha256::Final(uint8_t* out) {
  alignas(16) uint8_t pad[72];
  const uint32_t fill = countLow & 63;
  const uint32_t padLength = fill < 56 ? 56 - fill : 120 - fill;
  const uint64_t length = BigEndian64((uint64_t{countHigh} << 35) | (uint64_t{countLow} << 3));
  const uint32_t lengthWord = padLength / 8;
  const uint32_t lengthShift = padLength % 8;
  // 8-byte word k of the area, for k up to the last one that holds length bytes.
  const auto word = [&](uint32_t k) {
    uint64_t w = k == 0 ? BigEndian64(uint64_t{0x80} << 56) : 0;
    if (k == lengthWord) w |= ShiftImageUp(length, lengthShift);
    if (k == lengthWord + 1 && lengthShift != 0) w |= ShiftImageDown(length, 8 - lengthShift);
    return w;
  };
  // Whole pieces where the area has room: 9 words at most, the ninth alone.
  const uint32_t words = std::min<uint32_t>(9, ((padLength + 15) / 8 + 1) & ~1u);
  for (uint32_t k = 0; k < words; k += 2) {
    if (k + 1 < words) {
      Store64x2(pad + 8 * k, word(k), word(k + 1));
    } else {
      const uint64_t last = word(k);
      std::memcpy(pad + 8 * k, &last, 8);
    }
  }
  Update(pad, padLength + 8);
  StoreBe32x4(out, state);
  StoreBe32x4(out + 16, state + 4);
}

}  // namespace kp
