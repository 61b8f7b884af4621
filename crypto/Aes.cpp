#include "crypto/Aes.h"

#include "crypto/AesTables.h"
#include "crypto/SecureWipe.h"

#include <cstring>

namespace kp {

#if defined(__GNUC__)
#define KP_UNROLL _Pragma("GCC unroll 16")
#else
#define KP_UNROLL
#endif

AES::AES(AesKeyWords keyWords)
    : Coder(kAesBlockSize), nk(static_cast<int32_t>(keyWords)), nr(nk + 6), roundKeys{} {}

AES::~AES() { SecureWipe(roundKeys, sizeof roundKeys); }

void AES::SetKey(const uint8_t* key) {
  const int words = 4 * (nr + 1);
  std::memcpy(roundKeys, key, 4 * static_cast<size_t>(nk));
  // temp is w[i - 1], carried in registers from one word to the next; position = i mod Nk.
  uint8_t temp[4];
  std::memcpy(temp, key + 4 * (nk - 1), 4);
  int position = 0;
  const uint8_t* roundConstant = kAesRoundConstants;
  for (int i = nk; i < words; ++i) {
    if (position == 0) {
      const uint8_t first = temp[0];
      temp[0] = kAesSbox[temp[1]] ^ *roundConstant++;
      temp[1] = kAesSbox[temp[2]];
      temp[2] = kAesSbox[temp[3]];
      temp[3] = kAesSbox[first];
    } else if (nk > 6 && position == 4) {
      for (uint8_t& b : temp) b = kAesSbox[b];
    }
    for (int j = 0; j < 4; ++j) {
      temp[j] ^= roundKeys[4 * (i - nk) + j];
      roundKeys[4 * i + j] = temp[j];
    }
    if (++position == nk) position = 0;
  }
  SecureWipe(temp, sizeof temp);
}

// The state is the block in column order: byte k is row k mod 4 of column k / 4. It is kept
// in a local copy, where the compiler may hold it in registers.
void AES::Encrypt(uint8_t* block) {
  uint8_t s[16];
  uint8_t t[16];
  KP_UNROLL for (int k = 0; k < 16; ++k) s[k] = block[k] ^ roundKeys[k];
  for (int round = 1; round <= nr; ++round) {
    const uint8_t* roundKey = roundKeys + 16 * round;
    KP_UNROLL for (int k = 0; k < 16; ++k) t[k] = kAesSbox[s[(5 * k) & 15]];  // SubBytes, ShiftRows
    if (round == nr) {
      KP_UNROLL for (int k = 0; k < 16; ++k) s[k] = t[k] ^ roundKey[k];
      break;
    }
    KP_UNROLL for (int c = 0; c < 16; c += 4) {
      const uint8_t a0 = t[c], a1 = t[c + 1], a2 = t[c + 2], a3 = t[c + 3];
      s[c] = kAesMul2[a0] ^ kAesMul3[a1] ^ a2 ^ a3 ^ roundKey[c];
      s[c + 1] = a0 ^ kAesMul2[a1] ^ kAesMul3[a2] ^ a3 ^ roundKey[c + 1];
      s[c + 2] = a0 ^ a1 ^ kAesMul2[a2] ^ kAesMul3[a3] ^ roundKey[c + 2];
      s[c + 3] = kAesMul3[a0] ^ a1 ^ a2 ^ kAesMul2[a3] ^ roundKey[c + 3];
    }
  }
  std::memcpy(block, s, 16);
  SecureWipe(s, sizeof s);
  SecureWipe(t, sizeof t);
}

void AES::Decrypt(uint8_t* block) {
  uint8_t s[16];
  uint8_t t[16];
  std::memcpy(s, block, 16);
  for (int round = nr; round >= 1; --round) {
    const uint8_t* roundKey = roundKeys + 16 * round;
    KP_UNROLL for (int k = 0; k < 16; ++k) s[k] ^= roundKey[k];
    if (round == nr) {
      std::memcpy(t, s, 16);
    } else {
      KP_UNROLL for (int c = 0; c < 16; c += 4) {
        const uint8_t a0 = s[c], a1 = s[c + 1], a2 = s[c + 2], a3 = s[c + 3];
        t[c] = kAesMul14[a0] ^ kAesMul11[a1] ^ kAesMul13[a2] ^ kAesMul9[a3];
        t[c + 1] = kAesMul9[a0] ^ kAesMul14[a1] ^ kAesMul11[a2] ^ kAesMul13[a3];
        t[c + 2] = kAesMul13[a0] ^ kAesMul9[a1] ^ kAesMul14[a2] ^ kAesMul11[a3];
        t[c + 3] = kAesMul11[a0] ^ kAesMul13[a1] ^ kAesMul9[a2] ^ kAesMul14[a3];
      }
    }
    // InvShiftRows and InvSubBytes
    KP_UNROLL for (int k = 0; k < 16; ++k) s[k] = kAesInvSbox[t[(k - 4 * (k & 3)) & 15]];
  }
  KP_UNROLL for (int k = 0; k < 16; ++k) block[k] = s[k] ^ roundKeys[k];
  SecureWipe(s, sizeof s);
  SecureWipe(t, sizeof t);
}

}  // namespace kp
