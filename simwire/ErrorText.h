// How the simulator's set-up calls tell why they failed: the reason goes to the caller's
// string, for its message, when the caller asked for one.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace kp {

inline void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

// "<what>: <the text of errno>".
inline std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace kp
