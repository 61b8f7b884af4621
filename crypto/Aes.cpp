#include "crypto/Aes.h"

#include "crypto/AesTables.h"
#include "crypto/SecureWipe.h"

#include <cstring>

namespace kp {

namespace {

void AddRoundKey(uint8_t* state, const uint8_t* roundKey) {
  for (int k = 0; k < 16; ++k) state[k] ^= roundKey[k];
}

void SubWord(uint8_t* word) {
  for (int j = 0; j < 4; ++j) word[j] = kAesSbox[word[j]];
}

}  // namespace

AES::AES(AesKeyWords keyWords)
    : Coder(kAesBlockSize), nk(static_cast<int32_t>(keyWords)), nr(nk + 6), roundKeys{} {}

AES::~AES() { SecureWipe(roundKeys, sizeof roundKeys); }

void AES::SetKey(const uint8_t* key) {
  const int words = 4 * (nr + 1);
  std::memcpy(roundKeys, key, 4 * static_cast<size_t>(nk));
  for (int i = nk; i < words; ++i) {
    uint8_t temp[4];
    std::memcpy(temp, roundKeys + 4 * (i - 1), 4);
    if (i % nk == 0) {
      const uint8_t first = temp[0];
      temp[0] = temp[1];
      temp[1] = temp[2];
      temp[2] = temp[3];
      temp[3] = first;
      SubWord(temp);
      temp[0] ^= kAesRoundConstants[i / nk - 1];
    } else if (nk > 6 && i % nk == 4) {
      SubWord(temp);
    }
    for (int j = 0; j < 4; ++j) roundKeys[4 * i + j] = roundKeys[4 * (i - nk) + j] ^ temp[j];
    SecureWipe(temp, sizeof temp);
  }
}

// The state is the block in column order: byte k is row k mod 4 of column k / 4.
void AES::Encrypt(uint8_t* block) {
  uint8_t t[16];
  AddRoundKey(block, roundKeys);
  for (int round = 1; round <= nr; ++round) {
    const uint8_t* roundKey = roundKeys + 16 * round;
    for (int k = 0; k < 16; ++k) t[k] = kAesSbox[block[(5 * k) & 15]];  // SubBytes, ShiftRows
    if (round == nr) {
      for (int k = 0; k < 16; ++k) block[k] = t[k] ^ roundKey[k];
      break;
    }
    for (int c = 0; c < 16; c += 4) {
      const uint8_t a0 = t[c], a1 = t[c + 1], a2 = t[c + 2], a3 = t[c + 3];
      block[c] = kAesMul2[a0] ^ kAesMul3[a1] ^ a2 ^ a3 ^ roundKey[c];
      block[c + 1] = a0 ^ kAesMul2[a1] ^ kAesMul3[a2] ^ a3 ^ roundKey[c + 1];
      block[c + 2] = a0 ^ a1 ^ kAesMul2[a2] ^ kAesMul3[a3] ^ roundKey[c + 2];
      block[c + 3] = kAesMul3[a0] ^ a1 ^ a2 ^ kAesMul2[a3] ^ roundKey[c + 3];
    }
  }
  SecureWipe(t, sizeof t);
}

void AES::Decrypt(uint8_t* block) {
  uint8_t t[16];
  for (int round = nr; round >= 1; --round) {
    AddRoundKey(block, roundKeys + 16 * round);
    if (round == nr) {
      std::memcpy(t, block, 16);
    } else {
      for (int c = 0; c < 16; c += 4) {
        const uint8_t a0 = block[c], a1 = block[c + 1], a2 = block[c + 2], a3 = block[c + 3];
        t[c] = kAesMul14[a0] ^ kAesMul11[a1] ^ kAesMul13[a2] ^ kAesMul9[a3];
        t[c + 1] = kAesMul9[a0] ^ kAesMul14[a1] ^ kAesMul11[a2] ^ kAesMul13[a3];
        t[c + 2] = kAesMul13[a0] ^ kAesMul9[a1] ^ kAesMul14[a2] ^ kAesMul11[a3];
        t[c + 3] = kAesMul11[a0] ^ kAesMul13[a1] ^ kAesMul9[a2] ^ kAesMul14[a3];
      }
    }
    for (int k = 0; k < 16; ++k) block[k] = kAesInvSbox[t[(k - 4 * (k & 3)) & 15]];  // InvShiftRows, InvSubBytes
  }
  AddRoundKey(block, roundKeys);
  SecureWipe(t, sizeof t);
}

}  // namespace kp
