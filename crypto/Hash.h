// A streaming hash. The base keeps the byte count and the incomplete block, so the streaming
// (Update) is written once here and reaches a concrete hash only through Compress.
//
// Objects are plain values for one use on the caller's stack; they allocate nothing and
// report no errors. The block size must be a power of two of at most kMaxHashBlock bytes.
#pragma once

#include <cstdint>

namespace kp {

inline constexpr uint32_t kMaxHashBlock = 128;

class Hash {
 public:
  // Runs the compression function over `blocks` consecutive whole blocks; 0 does nothing.
  virtual void Compress(const uint8_t* data, uint32_t blocks) = 0;
  // Clears the count and loads the initial chaining state; needed before each message.
  virtual void Init() = 0;
  // Pads the message and writes digestSize bytes to `out`, which may be the very buffer
  // that was hashed. The object needs Init before its next message.
  virtual void Final(uint8_t* out) = 0;

  // Any length, 0 included. Whole blocks go to Compress straight from `data`.
  void Update(const void* data, uint32_t length);

  uint32_t BlockSize() const { return blockSize; }
  uint32_t DigestSize() const { return digestSize; }

 protected:
  Hash(uint32_t blockSizeBytes, uint32_t digestSizeBytes)
      : blockSize(blockSizeBytes), digestSize(digestSizeBytes) {}
  // The count and the last incomplete block are message data: wiped on the way out.
  virtual ~Hash();
  Hash(const Hash&) = default;
  Hash& operator=(const Hash&) = default;

  uint32_t blockSize;
  uint32_t digestSize;
  uint32_t countLow = 0;
  uint32_t countHigh = 0;
  // Fill level: countLow mod blockSize. Aligned so that no 16-byte access splits a cache line.
  alignas(16) uint8_t buffer[kMaxHashBlock];
};

}  // namespace kp
