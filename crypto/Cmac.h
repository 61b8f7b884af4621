// CMAC (NIST SP 800-38B) over any Coder with a block of at most 16 bytes; with AES128 it is
// the AES-CMAC of RFC 4493 with the full 16-byte tag.
//
// The last block of the message, complete or not, is held back until Final, which derives
// the subkeys from the cipher's key at that moment. The context keeps no key material.
#pragma once

#include "crypto/Coder.h"

#include <cstdint>

namespace kp {

inline constexpr uint32_t kCmacMaxBlock = 16;

class Cmac {
 public:
  // The cipher is not owned; it must be keyed before Update and outlive the context.
  explicit Cmac(Coder& coder);
  ~Cmac();
  Cmac(const Cmac&) = delete;
  Cmac& operator=(const Cmac&) = delete;

  void Init();
  void Update(const void* data, uint32_t length);
  // Writes the MAC, block-size bytes, to `out`, which also serves as the working block.
  void Final(uint8_t* out);

 private:
  Coder& cipher;
  uint32_t pendingCount = 0;
  uint8_t pending[kCmacMaxBlock] = {};
  uint8_t chain[kCmacMaxBlock] = {};
};

}  // namespace kp
