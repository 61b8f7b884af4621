#include "crypto/Hash.h"

#include "crypto/SecureWipe.h"

#include <cstring>

namespace kp {

Hash::~Hash() {
  SecureWipe(&countLow, sizeof countLow);
  SecureWipe(&countHigh, sizeof countHigh);
  SecureWipe(buffer, sizeof buffer);
}

void Hash::Update(const void* data, uint32_t length) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  uint32_t fill = countLow & (blockSize - 1);
  countLow += length;
  if (countLow < length) ++countHigh;
  if (fill != 0 && length >= blockSize - fill) {
    const uint32_t take = blockSize - fill;
    std::memcpy(buffer + fill, in, take);
    Compress(buffer, 1);
    in += take;
    length -= take;
    fill = 0;
  }
  const uint32_t blocks = length / blockSize;
  if (blocks != 0) {
    Compress(in, blocks);
    in += blocks * blockSize;
    length -= blocks * blockSize;
  }
  if (length != 0) std::memcpy(buffer + fill, in, length);
}

}  // namespace kp

