// Passwords as the 8-bit text the key derivation takes, for every program that asks for one:
// the window (UTF-16 from Qt), kpr50-sim and kpnox-cli (UTF-8 from a terminal or a pipe).
// The keys must come out as on the operator's Windows, where a password goes through the
// system's ANSI code page; elsewhere that code page is Windows-1250 (Polish), so a password
// typed on Linux gives the same key as on a Polish Windows.
//
// A folder of its own, at the bottom beside platform/: the window, the simulator and the
// command-line program all need it, the simulator may not reach into programmer/ or app/,
// and crypto/ stays free of system headers (the code pages are the system's: WideCharToMultiByte
// on Windows, iconv's table elsewhere). No Qt.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kp {

// The password rule of every program that asks for one: at most 20 characters (the
// programmer's password field), a new one at least 8.
inline constexpr int kPasswordMaxLength = 20;
inline constexpr int kNewPasswordMinLength = 8;

// UTF-8 to UTF-16; nullopt for text that is not UTF-8 (overlong forms and surrogates
// included). The result is reserved up front and never reallocated, so a wipe of it reaches
// every copy made here.
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);

// The length of the well-formed UTF-8 sequence that starts at byte `at` of `text` (1 to 4),
// its character in *character when given; 0 for a malformed, overlong or truncated sequence,
// a surrogate or a value beyond U+10FFFF. The one UTF-8 reader of every layer.
size_t Utf8SequenceAt(std::string_view text, size_t at, char32_t* character = nullptr);

// The window's conversion. Windows: WideCharToMultiByte with the active ANSI code page, no
// flags. Elsewhere: Windows-1250, one byte per character (a surrogate pair is one
// character), "?" for each character the code page lacks. Built in place without
// reallocation, so the caller's wipe of the result reaches every copy made here.
std::string PasswordTo8Bit(std::u16string_view password);

// The characters of `password`, each once and in order of first appearance, that
// PasswordTo8Bit cannot carry exactly (it would send "?" or a look-alike for them).
std::u32string UnrepresentableCharacters(std::u16string_view password);

// Windows-1250 exactly, whatever the system's code page: nullopt when a character lacks a
// byte of its own there (no "?", no best-fit look-alike). What the simulator stores.
std::optional<std::string> ToWindows1250(std::u16string_view text);

// Windows-1250 bytes as UTF-8, U+FFFD for the five bytes the code page leaves unassigned:
// the link's remarks as a trace file keeps them.
std::string Windows1250ToUtf8(std::string_view bytes);

}  // namespace kp
