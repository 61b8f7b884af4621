#include "OpenSslReference.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace kp::test {

namespace {

void Check(int ok, const char* what) {
  if (ok != 1) throw std::runtime_error(std::string("OpenSSL failed: ") + what);
}

}  // namespace

Sha256Stream::Sha256Stream() : ctx_(EVP_MD_CTX_new()) {
  Check(EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr), "DigestInit");
}

Sha256Stream::~Sha256Stream() { EVP_MD_CTX_free(ctx_); }

void Sha256Stream::Update(const uint8_t* data, size_t size) {
  Check(EVP_DigestUpdate(ctx_, data, size), "DigestUpdate");
}

std::array<uint8_t, 32> Sha256Stream::Final() {
  std::array<uint8_t, 32> digest{};
  unsigned int length = 0;
  Check(EVP_DigestFinal_ex(ctx_, digest.data(), &length), "DigestFinal");
  return digest;
}

std::array<uint8_t, 32> OpenSslSha256(const uint8_t* data, size_t size) {
  std::array<uint8_t, 32> digest{};
  unsigned int length = 0;
  Check(EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr), "EVP_Digest");
  return digest;
}

void OpenSslEncryptBlock(const char* cipherName, const uint8_t* key, uint8_t* block) {
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, cipherName, nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (cipher == nullptr || ctx == nullptr) throw std::runtime_error("OpenSSL cipher");
  const int blockSize = EVP_CIPHER_get_block_size(cipher);
  int length = 0;
  Check(EVP_EncryptInit_ex2(ctx, cipher, key, nullptr, nullptr), "EncryptInit");
  Check(EVP_CIPHER_CTX_set_padding(ctx, 0), "set_padding");
  Check(EVP_EncryptUpdate(ctx, block, &length, block, blockSize), "EncryptUpdate");
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
}

std::vector<uint8_t> OpenSslCmac(const char* cipherName, const uint8_t* key, size_t keySize,
                                 const uint8_t* data, size_t size) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  EVP_MAC_CTX* ctx = mac != nullptr ? EVP_MAC_CTX_new(mac) : nullptr;
  if (ctx == nullptr) throw std::runtime_error("OpenSSL CMAC");
  std::string name = cipherName;
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, name.data(), 0),
      OSSL_PARAM_construct_end(),
  };
  std::vector<uint8_t> tag(EVP_MAX_BLOCK_LENGTH);
  size_t tagSize = 0;
  Check(EVP_MAC_init(ctx, key, keySize, params), "MAC_init");
  Check(EVP_MAC_update(ctx, data, size), "MAC_update");
  Check(EVP_MAC_final(ctx, tag.data(), &tagSize, tag.size()), "MAC_final");
  tag.resize(tagSize);
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  return tag;
}

std::array<uint8_t, 16> OpenSslDeriveLoop(const uint8_t block[32]) {
  uint8_t work[32];
  std::memcpy(work, block, sizeof work);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  for (int i = 0; i < 100000; ++i) {
    unsigned int length = 0;
    Check(EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr), "DigestInit");
    Check(EVP_DigestUpdate(ctx, work, sizeof work), "DigestUpdate");
    Check(EVP_DigestFinal_ex(ctx, work, &length), "DigestFinal");
  }
  EVP_MD_CTX_free(ctx);
  std::array<uint8_t, 16> key{};
  std::memcpy(key.data(), work, key.size());
  return key;
}

}  // namespace kp::test
