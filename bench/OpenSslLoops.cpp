#include "OpenSslLoops.h"

#include <openssl/cmac.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

namespace kp::bench {

void OpenSslDeriveLoop(uint8_t block[32], uint32_t iterations) {
  SHA256_CTX ctx;
  for (uint32_t i = 0; i < iterations; ++i) {
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, block, 32);
    SHA256_Final(block, &ctx);
  }
}

OpenSslCmac::OpenSslCmac() : ctx_(CMAC_CTX_new()) {}

OpenSslCmac::~OpenSslCmac() { CMAC_CTX_free(ctx_); }

void OpenSslCmac::Mac(const uint8_t key[16], const uint8_t* data, size_t size, uint8_t tag[16]) {
  size_t length = 0;
  CMAC_Init(ctx_, key, 16, EVP_aes_128_cbc(), nullptr);
  CMAC_Update(ctx_, data, size);
  CMAC_Final(ctx_, tag, &length);
}

}  // namespace kp::bench
