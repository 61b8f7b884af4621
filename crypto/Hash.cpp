#include "crypto/Hash.h"

#include "crypto/Bytes.h"
#include "crypto/SecureWipe.h"

#include <bit>

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
    CopyBytes(buffer + fill, in, take);
    Compress(buffer, 1);
    in += take;
    length -= take;
    fill = 0;
  }
  const uint32_t whole = length & ~(blockSize - 1);
  if (whole != 0) {
    Compress(in, whole >> std::countr_zero(blockSize));
    in += whole;
    length -= whole;
  }
  CopyBytes(buffer + fill, in, length);
}

}  // namespace kp
