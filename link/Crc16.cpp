#include "link/Crc16.h"

#include <bit>

namespace kp {

// Parity form of the reflected 0x8005 polynomial: one byte per step, no table.
uint16_t Crc16(const uint8_t* data, int32_t length, uint32_t initial) {
  uint32_t crc = initial & 0xFFFFu;
  for (int32_t i = 0; i < length; ++i) {
    const uint32_t b = (data[i] ^ crc) & 0xFFu;
    crc = (crc >> 8) ^ (b << 7) ^ (b << 6) ^ ((std::popcount(b) & 1u) != 0 ? 0xC001u : 0u);
    crc &= 0xFFFFu;
  }
  return static_cast<uint16_t>(crc);
}

}  // namespace kp
