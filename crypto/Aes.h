// AES (FIPS 197) for 128-, 192- and 256-bit keys, in the byte-table form: every field
// product is a look-up in a constant table. Table look-ups depend on key and data, so this
// form is not constant-time; it serves a handful of blocks per login.
#pragma once

#include "crypto/Coder.h"

#include <cstdint>

namespace kp {

inline constexpr uint32_t kAesBlockSize = 16;

// Key length in 32-bit words (Nk); the number of rounds is Nk + 6.
enum class AesKeyWords : int32_t { k128 = 4, k192 = 6, k256 = 8 };

class AES : public Coder {
 public:
  explicit AES(AesKeyWords keyWords);
  ~AES() override;
  AES(const AES&) = default;
  AES& operator=(const AES&) = default;

  // Nk * 4 key bytes; the key stays until the next SetKey.
  void SetKey(const uint8_t* key);
  // One 16-byte block in place; the object must have a key.
  void Encrypt(uint8_t* block) override;
  // The inverse cipher itself (not the equivalent one), so the same round keys serve.
  void Decrypt(uint8_t* block) override;

  int32_t KeyWords() const { return nk; }
  int32_t Rounds() const { return nr; }

 protected:
  int32_t nk;
  int32_t nr;
  uint8_t roundKeys[240];  // w[0] .. w[4 * (nr + 1) - 1], four bytes a word
};

class AES128 final : public AES {
 public:
  AES128() : AES(AesKeyWords::k128) {}
};

}  // namespace kp
