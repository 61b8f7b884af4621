// A block cipher: one keyed permutation of blockSize-byte blocks, always in place.
#pragma once

#include <cstdint>

namespace kp {

class Coder {
 public:
  virtual void Encrypt(uint8_t* block) = 0;
  virtual void Decrypt(uint8_t* block) = 0;

  uint32_t BlockSize() const { return blockSize; }

 protected:
  explicit Coder(uint32_t blockSizeBytes) : blockSize(blockSizeBytes) {}
  virtual ~Coder() = default;
  Coder(const Coder&) = default;
  Coder& operator=(const Coder&) = default;

  uint32_t blockSize;
};

}  // namespace kp
