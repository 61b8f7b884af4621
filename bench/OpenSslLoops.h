// The reference loops on OpenSSL's classic interfaces, kept apart because those interfaces
// are deprecated in OpenSSL 3 and this file alone is built without that warning.
#pragma once

#include <cstddef>
#include <cstdint>

struct CMAC_CTX_st;

namespace kp::bench {

// `iterations` times Init, Update with the 32-byte block, Final into the block itself.
void OpenSslDeriveLoop(uint8_t block[32], uint32_t iterations);

// AES-128 CMAC on one reused context, keyed afresh for every MAC.
class OpenSslCmac {
 public:
  OpenSslCmac();
  ~OpenSslCmac();
  OpenSslCmac(const OpenSslCmac&) = delete;
  OpenSslCmac& operator=(const OpenSslCmac&) = delete;

  void Mac(const uint8_t key[16], const uint8_t* data, size_t size, uint8_t tag[16]);

 private:
  CMAC_CTX_st* ctx_;
};

}  // namespace kp::bench
