// The same computations on OpenSSL's libcrypto, as the reference of the differential tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

struct evp_md_ctx_st;

namespace kp::test {

// SHA-256 fed in pieces, for streams too long to hold.
class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  void Update(const uint8_t* data, size_t size);
  std::array<uint8_t, 32> Final();

 private:
  evp_md_ctx_st* ctx_;
};

std::array<uint8_t, 32> OpenSslSha256(const uint8_t* data, size_t size);

// One block in place under `cipherName` in ECB mode ("AES-128-ECB", "DES-EDE3-ECB", ...).
void OpenSslEncryptBlock(const char* cipherName, const uint8_t* key, uint8_t* block);

// CMAC under `cipherName` in CBC mode ("AES-128-CBC", "DES-EDE3-CBC", ...).
std::vector<uint8_t> OpenSslCmac(const char* cipherName, const uint8_t* key, size_t keySize,
                                 const uint8_t* data, size_t size);

// The password-key loop: 100,000 times SHA-256 of the 32-byte block into itself, then the
// first 16 bytes.
std::array<uint8_t, 16> OpenSslDeriveLoop(const uint8_t block[32]);

}  // namespace kp::test
