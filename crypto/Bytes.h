// Big-endian words in byte arrays, read and written whole (one load or store each).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace kp {

inline uint32_t ByteSwap32(uint32_t v) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap32(v);
#else
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
#endif
}

inline uint32_t LoadBe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return std::endian::native == std::endian::little ? ByteSwap32(v) : v;
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) v = ByteSwap32(v);
  std::memcpy(p, &v, sizeof v);
}

}  // namespace kp
