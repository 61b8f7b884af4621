// The login proof: the AES-CMAC, under the password key, of the identity field followed by
// the programmer's challenge. The host makes it; the programmer, or its model, checks it.
#pragma once

#include "crypto/PasswordKey.h"

#include <cstddef>
#include <cstdint>

namespace kp {

inline constexpr size_t kLoginChallengeSize = 16;
inline constexpr size_t kLoginMacSize = 16;

// `mac` may be the challenge itself: the challenge is read whole before the MAC is written.
// The cipher and CMAC state are wiped before it returns.
void LoginMac(const uint8_t key[kPasswordKeySize], const uint8_t identityField[kIdentityFieldWidth],
              const uint8_t challenge[kLoginChallengeSize], uint8_t mac[kLoginMacSize]);

// Whether `mac` is the login proof for the challenge; the expected MAC is wiped afterwards.
bool LoginMacMatches(const uint8_t key[kPasswordKeySize],
                     const uint8_t identityField[kIdentityFieldWidth],
                     const uint8_t challenge[kLoginChallengeSize],
                     const uint8_t mac[kLoginMacSize]);

}  // namespace kp
