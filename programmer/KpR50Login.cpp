// Login and password change. The programmer never sees a password: a login proves the
// password key with an AES-CMAC over the identity and a fresh challenge; a password change
// hands over the old and the new key right after a login with the old one.
#include "programmer/KpR50.h"

#include "crypto/LoginProof.h"
#include "crypto/PasswordKey.h"
#include "crypto/SecureWipe.h"

#include <cstring>

namespace kp {

bool KpR50::Authenticate(const char* identity, const uint8_t key[kKeySize]) {
  uint8_t request[kLoginRequestSize];
  const WipeOnExit wipeRequest(request, sizeof request);
  FillTextField(&request[wire::kLoginIdentityAt], kIdentityFieldSize, identity);
  // The challenge sits where the MAC goes: MACed with the identity, then overwritten.
  uint8_t* challenge = &request[wire::kLoginMacAt];
  GetChallenge(challenge);
  LoginMac(key, &request[wire::kLoginIdentityAt], challenge, challenge);

  return SendLoginProof(request);
}

bool KpR50::SendLoginProof(const uint8_t request[kLoginRequestSize]) {
  // The programmer answers with four bytes, or with a status byte (0 still means accepted).
  return ExchangeData(kCmdLogin, kLoginRequestSize, request, kLoginReplySize, loginReply,
                      kLoginTimeoutMs) == 0;
}

bool KpR50::SendPasswordChange(const char* identity, const uint8_t oldKey[kKeySize],
                               const uint8_t newKey[kKeySize]) {
  uint8_t request[kChangePasswordRequestSize];
  const WipeOnExit wipeRequest(request, sizeof request);
  FillTextField(&request[wire::kChangeIdentityAt], kIdentityFieldSize, identity);
  std::memcpy(&request[wire::kChangeOldKeyAt], oldKey, kKeySize);
  std::memcpy(&request[wire::kChangeNewKeyAt], newKey, kKeySize);
  return ExchangeStatus(kCmdChangePassword, sizeof request, request, kChangePasswordTimeoutMs) == 0;
}

}  // namespace kp
