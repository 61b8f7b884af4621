// The password key: 100,000 SHA-256 iterations over a 32-byte block made of the identity
// field and the password field. It enters every login MAC and every password change, so it
// must come out the same, bit for bit, on every machine.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kp {

inline constexpr size_t kIdentityFieldWidth = 12;
inline constexpr size_t kPasswordFieldWidth = 20;
inline constexpr size_t kPasswordKeySize = 16;
inline constexpr uint32_t kPasswordIterations = 100000;
// The one identity every login and password change is made for.
inline constexpr char kUserIdentity[] = "user";

// Copies `text` up to its terminating zero or `width` bytes, whichever comes first, and
// zero-fills the rest of the field; never reads past `width` bytes of `text`. A text of
// `width` bytes or more fills the field without a terminator. nullptr is the empty text.
void FillTextField(uint8_t* field, size_t width, const char* text);

// identity and password are 8-bit texts; nullptr is the empty text. The derivation block
// and the hash state are wiped before it returns.
void DerivePasswordKey(const char* identity, const char* password, uint8_t key[kPasswordKeySize]);

}  // namespace kp
