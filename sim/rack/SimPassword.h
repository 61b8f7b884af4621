// Passwords typed into the simulator as UTF-8 (its command line, its standard input, its
// window) become the 8-bit text KpNOX Koder derives the key from: Windows-1250, so that
// "zażółć12" set here logs in when typed into the application.
#pragma once

#include <optional>
#include <string>

namespace kp {

// The Windows-1250 bytes of a password of 1 to 20 characters; nullopt when the text is not
// UTF-8, is empty or longer, holds a control character, or a character the code page lacks
// (the application would send "?" for it, so such a password could never be typed there).
std::optional<std::string> SimPasswordBytes(const std::string& utf8);

// A password the simulator can set.
inline bool IsSimPassword(const std::string& utf8) { return SimPasswordBytes(utf8).has_value(); }

}  // namespace kp
