// SHA-256 (FIPS 180-4) as a Hash: 64-byte blocks, 32-byte digest.
#pragma once

#include "crypto/Hash.h"

#include <cstdint>

namespace kp {

inline constexpr uint32_t kSha256BlockSize = 64;
inline constexpr uint32_t kSha256DigestSize = 32;

class Sha256 final : public Hash {
 public:
  Sha256() : Hash(kSha256BlockSize, kSha256DigestSize) {}
  ~Sha256() override;
  Sha256(const Sha256&) = default;
  Sha256& operator=(const Sha256&) = default;

  // Through the compression form chosen for this CPU (see Sha256Compress.h).
  void Compress(const uint8_t* data, uint32_t blocks) override;
  void Init() override;
  // The padding (0x80, zeros, the 64-bit bit length) is built as 64-bit words in registers
  // and stored in 16-byte pieces rather than a byte at a time, because Update reads it
  // straight back in 16-byte pieces: a wide load over narrow stores misses store forwarding
  // and stalls, and the password-key derivation pays that on each of its 100,000 hashes.
  // The tests hold it against a plain byte-by-byte padding.
  void Final(uint8_t* out) override;

 private:
  alignas(16) uint32_t state[8];  // H0..H7
};

}  // namespace kp
