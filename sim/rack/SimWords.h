// Words and numbers that kpr50-sim's options, script and event lines share: each read and
// written the same way wherever it appears.
#pragma once

#include "sim/firmware/VirtualKpR50.h"

#include <charconv>
#include <optional>
#include <string_view>

namespace kp {

// A whole decimal number that fits T; nullopt for anything else, the empty text included.
template <typename T>
std::optional<T> ParseNumber(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || at != end || text.empty()) return std::nullopt;
  return value;
}

inline const char* KeysWord(KeyState keys) {
  switch (keys) {
    case KeyState::None: return "none";
    case KeyState::Target: return "target";
    case KeyState::Temporary: return "temporary";
  }
  return "none";
}

inline std::optional<KeyState> KeysOf(std::string_view word) {
  for (const KeyState keys : {KeyState::None, KeyState::Target, KeyState::Temporary}) {
    if (word == KeysWord(keys)) return keys;
  }
  return std::nullopt;
}

}  // namespace kp
