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
  void Final(uint8_t* out) override;

 private:
  alignas(16) uint32_t state[8];  // H0..H7
};

}  // namespace kp
