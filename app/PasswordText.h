// Passwords as the 8-bit text the key derivation takes. The GUI holds UTF-16 text; the keys
// must come out as they do on the operator's Windows, where the password goes through the
// system's ANSI code page. Elsewhere the code page is Windows-1250 (Polish), so a password
// typed on Linux gives the same key as on a Polish Windows.
#pragma once

#include <QString>

#include <string>

namespace kp {

// Windows: WideCharToMultiByte with the active ANSI code page, no flags, no replacement
// character of our own. Elsewhere: Windows-1250, one byte per character (a surrogate pair is
// one character), "?" for each character the code page lacks. The result is built in place,
// without reallocation, so the caller's wipe of it reaches every copy made here.
std::string PasswordTo8Bit(const QString& password);

}  // namespace kp
