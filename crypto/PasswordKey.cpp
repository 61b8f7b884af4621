#include "crypto/PasswordKey.h"

#include "crypto/SecureWipe.h"
#include "crypto/Sha256.h"

#include <cstring>

namespace kp {

void FillTextField(uint8_t* field, size_t width, const char* text) {
  size_t length = 0;
  if (text != nullptr) {
    while (length < width && text[length] != '\0') ++length;
    std::memcpy(field, text, length);
  }
  std::memset(field + length, 0, width - length);
}

void DerivePasswordKey(const char* identity, const char* password, uint8_t key[kPasswordKeySize]) {
  // Identity field, then password field; each digest replaces the block it was made from.
  uint8_t block[kIdentityFieldWidth + kPasswordFieldWidth];
  static_assert(sizeof block == kSha256DigestSize);
  FillTextField(block, kIdentityFieldWidth, identity);
  FillTextField(block + kIdentityFieldWidth, kPasswordFieldWidth, password);
  {
    Sha256 sha;  // its destructor wipes the hash state
    for (uint32_t i = 0; i < kPasswordIterations; ++i) {
      sha.Init();
      sha.Update(block, sizeof block);
      sha.Final(block);
    }
  }
  std::memcpy(key, block, kPasswordKeySize);
  SecureWipe(block, sizeof block);
}

}  // namespace kp
