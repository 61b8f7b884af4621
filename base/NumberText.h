// Numbers as text, both ways: hexadecimal for card UIDs, key signatures, serial numbers,
// GUIDs in descriptors and the simulator's tokens; decimal for what people type. One set for
// every layer, as the byte order.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kp {

// A whole decimal number that fits T: digits, and a leading '-' for a signed T only; nullopt
// for anything else, the empty text and white space included.
template <typename T>
std::optional<T> ParseNumber(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || at != end || text.empty()) return std::nullopt;
  return value;
}

// The value of one hexadecimal digit of either case; -1 for any other character.
inline int HexDigitValue(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

enum class HexCase { Upper, Lower };

// Two digits per byte, no separators: a card UID reads "04A1B2C3D4E5F600".
inline std::string HexText(std::span<const uint8_t> bytes, HexCase letters = HexCase::Upper) {
  const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  text.reserve(2 * bytes.size());
  for (const uint8_t b : bytes) {
    text.push_back(digits[b >> 4]);
    text.push_back(digits[b & 15]);
  }
  return text;
}

// Eight upper-case digits, most significant first: a key signature reads "3A7F19C4".
inline std::string HexWord32(uint32_t value) {
  std::string text(8, '0');
  for (auto digit = text.rbegin(); digit != text.rend(); ++digit, value >>= 4) {
    *digit = "0123456789ABCDEF"[value & 15];
  }
  return text;
}

}  // namespace kp
