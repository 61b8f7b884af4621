// Zeroes memory that held a secret with a write the optimiser may not drop, even when the
// memory is never read again.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kp {

void SecureWipe(void* p, size_t n);

// Compares without an early exit, so that the time taken says nothing about where two
// secrets differ.
bool SameBytes(const uint8_t* a, const uint8_t* b, size_t n);

// Wipes a block when its scope ends, however it ends: a password key or a MAC must not stay
// on the stack after an exception either.
class WipeOnExit {
 public:
  WipeOnExit(void* bytes, size_t size) : bytes_(bytes), size_(size) {}
  ~WipeOnExit() { SecureWipe(bytes_, size_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  void* bytes_;
  size_t size_;
};

}  // namespace kp
