// Login and password change. The programmer never sees a password: a login proves the
// password key with an AES-CMAC over the identity and a fresh challenge; a password change
// hands over the old and the new key right after a login with the old one.
#include "programmer/KpR50.h"

#include "crypto/Aes.h"
#include "crypto/Cmac.h"
#include "crypto/PasswordKey.h"
#include "crypto/SecureWipe.h"

#include <cstring>

namespace kp {

namespace {

// Wipes a request when its scope ends, however it ends: password keys or a MAC must not stay
// on the stack after a link failure either.
class WipeOnExit {
 public:
  WipeOnExit(void* bytes, size_t size) : bytes_(bytes), size_(size) {}
  ~WipeOnExit() { SecureWipe(bytes_, size_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  void* bytes_;
  size_t size_;
};

}  // namespace

bool KpR50::Authenticate(const char* identity, const uint8_t key[kKeySize]) {
  uint8_t request[kLoginRequestSize];
  const WipeOnExit wipeRequest(request, sizeof request);
  FillTextField(&request[0], kIdentityFieldSize, identity);  /* identity field */

  AES128 cipher;  // wipes its round keys when it goes out of scope, as the CMAC its state
  cipher.SetKey(key);

  GetChallenge(&request[kIdentityFieldSize]);  // challenge, MACed below and never sent back

  Cmac mac(cipher);
  mac.Init();
  mac.Update(request, sizeof request);
  mac.Final(&request[kIdentityFieldSize]);  /* MAC over identity field and challenge */

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
  FillTextField(&request[0], kIdentityFieldSize, identity);  /* identity field */
  std::memcpy(&request[12], oldKey, kKeySize);                /* old password key */
  std::memcpy(&request[28], newKey, kKeySize);                /* new password key */
  return ExchangeStatus(kCmdChangePassword, sizeof request, request,
                        kChangePasswordTimeoutMs) == 0;
}

}  // namespace kp
