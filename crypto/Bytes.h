// Byte moves for the hashing path: whole words and 16-byte pieces, never a byte at a time
// and never a library call. The password key reads back at once what was just written (the
// digest, the padding), so the pieces written and the pieces read are the same 16 bytes: then
// the CPU forwards each read straight from its store instead of waiting for the cache.
#pragma once

#include <bit>
#include <cstddef>
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

// A 64-bit value whose memory image is the big-endian form of v.
inline uint64_t BigEndian64(uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) return v;
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(v);
#else
  return (uint64_t{ByteSwap32(static_cast<uint32_t>(v))} << 32) |
         ByteSwap32(static_cast<uint32_t>(v >> 32));
#endif
}

// Moves the memory image of a native 64-bit word by `bytes` (0 to 7) towards higher
// addresses, or towards lower ones; bytes moved out of the word are dropped.
inline uint64_t ShiftImageUp(uint64_t v, uint32_t bytes) {
  return std::endian::native == std::endian::little ? v << (8 * bytes) : v >> (8 * bytes);
}
inline uint64_t ShiftImageDown(uint64_t v, uint32_t bytes) {
  return std::endian::native == std::endian::little ? v >> (8 * bytes) : v << (8 * bytes);
}

// Two native 64-bit words as one 16-byte store where the compiler has vectors.
inline void Store64x2(uint8_t* p, uint64_t first, uint64_t second) {
#if defined(__GNUC__) || defined(__clang__)
  using Words2 = uint64_t __attribute__((vector_size(16)));
  const Words2 v = {first, second};
  std::memcpy(p, &v, sizeof v);
#else
  std::memcpy(p, &first, 8);
  std::memcpy(p + 8, &second, 8);
#endif
}

// Four words, big-endian, as one 16-byte store where the compiler has vectors.
inline void StoreBe32x4(uint8_t* p, const uint32_t* words) {
#if defined(__GNUC__) || defined(__clang__)
  using Words4 = uint32_t __attribute__((vector_size(16)));
  Words4 v;
  std::memcpy(&v, words, sizeof v);
  if constexpr (std::endian::native == std::endian::little) {
    v = (v << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
  }
  std::memcpy(p, &v, sizeof v);
#else
  for (int i = 0; i < 4; ++i) StoreBe32(p + 4 * i, words[i]);
#endif
}

// Copies n bytes between areas that do not overlap. Up to 64 bytes it moves 16-byte chunks
// from the start, the last one overlapping the one before when n is not a multiple of 16.
inline void CopyBytes(uint8_t* to, const uint8_t* from, size_t n) {
  if (n >= 16) {
    if (n > 64) {
      std::memcpy(to, from, n);
      return;
    }
    size_t i = 0;
    for (; i + 16 <= n; i += 16) std::memcpy(to + i, from + i, 16);
    if (i != n) std::memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  }
}

}  // namespace kp
