#include "crypto/Cmac.h"

#include "crypto/SecureWipe.h"

#include <cassert>
#include <cstring>

namespace kp {

namespace {

// One left shift by a bit across the block, and the reduction by Rb when a bit fell out.
void DoubleSubkey(uint8_t* out, const uint8_t* in, uint32_t size) {
  const uint8_t rb = size == 16 ? 0x87 : 0x1B;
  for (uint32_t i = 0; i + 1 < size; ++i) {
    out[i] = static_cast<uint8_t>((in[i] << 1) | (in[i + 1] >> 7));
  }
  out[size - 1] = static_cast<uint8_t>(in[size - 1] << 1);
  if (in[0] & 0x80) out[size - 1] ^= rb;
}

}  // namespace

Cmac::Cmac(Coder& coder) : cipher(coder) {
  assert(coder.BlockSize() != 0 && coder.BlockSize() <= kCmacMaxBlock);
}

Cmac::~Cmac() {
  SecureWipe(&pendingCount, sizeof pendingCount);
  SecureWipe(pending, sizeof pending);
  SecureWipe(chain, sizeof chain);
}

void Cmac::Init() {
  std::memset(chain, 0, cipher.BlockSize());
  pendingCount = 0;
}

void Cmac::Update(const void* data, uint32_t length) {
  const uint32_t size = cipher.BlockSize();
  const uint8_t* in = static_cast<const uint8_t*>(data);
  if (pendingCount != 0 && length > size - pendingCount) {
    const uint32_t take = size - pendingCount;
    std::memcpy(pending + pendingCount, in, take);
    for (uint32_t i = 0; i < size; ++i) chain[i] ^= pending[i];
    cipher.Encrypt(chain);
    in += take;
    length -= take;
    pendingCount = 0;
  }
  for (; length > size; in += size, length -= size) {
    for (uint32_t i = 0; i < size; ++i) chain[i] ^= in[i];
    cipher.Encrypt(chain);
  }
  if (length != 0) std::memcpy(pending + pendingCount, in, length);
  pendingCount += length;
}

void Cmac::Final(uint8_t* out) {
  const uint32_t size = cipher.BlockSize();
  uint8_t l[kCmacMaxBlock] = {};
  uint8_t k1[kCmacMaxBlock];
  uint8_t k2[kCmacMaxBlock];
  cipher.Encrypt(l);
  DoubleSubkey(k1, l, size);
  DoubleSubkey(k2, k1, size);
  if (pendingCount == size) {
    for (uint32_t i = 0; i < size; ++i) out[i] = chain[i] ^ pending[i] ^ k1[i];
  } else {
    for (uint32_t i = 0; i < size; ++i) {
      const uint8_t message = i < pendingCount ? pending[i] : i == pendingCount ? 0x80 : 0x00;
      out[i] = chain[i] ^ message ^ k2[i];
    }
  }
  cipher.Encrypt(out);
  SecureWipe(l, sizeof l);
  SecureWipe(k1, sizeof k1);
  SecureWipe(k2, sizeof k2);
}

}  // namespace kp
