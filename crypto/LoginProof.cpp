#include "crypto/LoginProof.h"

#include "crypto/Aes.h"
#include "crypto/Cmac.h"
#include "crypto/SecureWipe.h"

namespace kp {

void LoginMac(const uint8_t key[kPasswordKeySize], const uint8_t identityField[kIdentityFieldWidth],
              const uint8_t challenge[kLoginChallengeSize], uint8_t mac[kLoginMacSize]) {
  AES128 cipher;  // wipes its round keys when it goes out of scope, as the CMAC its state
  cipher.SetKey(key);
  Cmac cmac(cipher);
  cmac.Init();
  cmac.Update(identityField, kIdentityFieldWidth);
  cmac.Update(challenge, kLoginChallengeSize);
  cmac.Final(mac);
}

bool LoginMacMatches(const uint8_t key[kPasswordKeySize],
                     const uint8_t identityField[kIdentityFieldWidth],
                     const uint8_t challenge[kLoginChallengeSize],
                     const uint8_t mac[kLoginMacSize]) {
  uint8_t expected[kLoginMacSize];
  const WipeOnExit wipeExpected(expected, sizeof expected);
  LoginMac(key, identityField, challenge, expected);
  return SameBytes(expected, mac, sizeof expected);
}

}  // namespace kp
