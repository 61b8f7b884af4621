// Words that kpr50-sim's options, script and event lines share, each read and written the
// same way wherever it appears; numbers come from platform/NumberText.h.
#pragma once

#include "base/NumberText.h"
#include "sim/firmware/VirtualKpR50.h"

#include <optional>
#include <string_view>

namespace kp {

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
