// The reference computations of the crypto tests on libgcrypt, for the Windows cross build,
// where OpenSSL's libcrypto is not at hand. Same functions, same cipher names, another
// independent implementation behind them.
#include "../crypto/OpenSslReference.h"

#include <gcrypt.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace kp::test {

namespace {

void Check(gcry_error_t error, const char* what) {
  if (error != 0 && gcry_err_code(error) != GPG_ERR_WEAK_KEY) {
    throw std::runtime_error(std::string("libgcrypt failed: ") + what + ": " +
                             gcry_strerror(error));
  }
}

void Initialise() {
  static const bool ready = [] {
    if (gcry_check_version(GCRYPT_VERSION) == nullptr) {
      throw std::runtime_error("libgcrypt version");
    }
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  (void)ready;
}

int CipherByName(const std::string& name) {
  if (name == "AES-128-ECB") return GCRY_CIPHER_AES128;
  if (name == "AES-192-ECB") return GCRY_CIPHER_AES192;
  if (name == "AES-256-ECB") return GCRY_CIPHER_AES256;
  if (name == "DES-EDE3-ECB") return GCRY_CIPHER_3DES;
  throw std::runtime_error("no libgcrypt cipher for " + name);
}

int CmacByName(const std::string& name) {
  if (name == "AES-128-CBC") return GCRY_MAC_CMAC_AES;
  if (name == "DES-EDE3-CBC") return GCRY_MAC_CMAC_3DES;
  throw std::runtime_error("no libgcrypt CMAC for " + name);
}

gcry_md_hd_t Handle(evp_md_ctx_st* ctx) { return reinterpret_cast<gcry_md_hd_t>(ctx); }

}  // namespace

Sha256Stream::Sha256Stream() : ctx_(nullptr) {
  Initialise();
  gcry_md_hd_t hd = nullptr;
  Check(gcry_md_open(&hd, GCRY_MD_SHA256, 0), "md_open");
  ctx_ = reinterpret_cast<evp_md_ctx_st*>(hd);
}

Sha256Stream::~Sha256Stream() { gcry_md_close(Handle(ctx_)); }

void Sha256Stream::Update(const uint8_t* data, size_t size) {
  gcry_md_write(Handle(ctx_), data, size);
}

std::array<uint8_t, 32> Sha256Stream::Final() {
  std::array<uint8_t, 32> digest{};
  std::memcpy(digest.data(), gcry_md_read(Handle(ctx_), GCRY_MD_SHA256), digest.size());
  return digest;
}

std::array<uint8_t, 32> OpenSslSha256(const uint8_t* data, size_t size) {
  Initialise();
  std::array<uint8_t, 32> digest{};
  gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), data, size);
  return digest;
}

void OpenSslEncryptBlock(const char* cipherName, const uint8_t* key, uint8_t* block) {
  Initialise();
  const int algorithm = CipherByName(cipherName);
  gcry_cipher_hd_t hd = nullptr;
  Check(gcry_cipher_open(&hd, algorithm, GCRY_CIPHER_MODE_ECB, 0), "cipher_open");
  const size_t blockSize = gcry_cipher_get_algo_blklen(algorithm);
  gcry_error_t error = gcry_cipher_setkey(hd, key, gcry_cipher_get_algo_keylen(algorithm));
  if (error == 0 || gcry_err_code(error) == GPG_ERR_WEAK_KEY) {
    error = gcry_cipher_encrypt(hd, block, blockSize, nullptr, 0);
  }
  gcry_cipher_close(hd);
  Check(error, "cipher");
}

std::vector<uint8_t> OpenSslCmac(const char* cipherName, const uint8_t* key, size_t keySize,
                                 const uint8_t* data, size_t size) {
  Initialise();
  const int algorithm = CmacByName(cipherName);
  gcry_mac_hd_t hd = nullptr;
  Check(gcry_mac_open(&hd, algorithm, 0, nullptr), "mac_open");
  std::vector<uint8_t> tag(gcry_mac_get_algo_maclen(algorithm));
  size_t tagSize = tag.size();
  gcry_error_t error = gcry_mac_setkey(hd, key, keySize);
  // libgcrypt's CMAC takes no null data, not even for an empty message.
  if (gcry_err_code(error) == GPG_ERR_WEAK_KEY) error = 0;
  if (error == 0 && size > 0) error = gcry_mac_write(hd, data, size);
  if (error == 0) error = gcry_mac_read(hd, tag.data(), &tagSize);
  gcry_mac_close(hd);
  Check(error, "mac");
  tag.resize(tagSize);
  return tag;
}

std::array<uint8_t, 16> OpenSslDeriveLoop(const uint8_t block[32]) {
  Initialise();
  uint8_t work[32];
  std::memcpy(work, block, sizeof work);
  for (int i = 0; i < 100000; ++i) gcry_md_hash_buffer(GCRY_MD_SHA256, work, work, sizeof work);
  std::array<uint8_t, 16> key{};
  std::memcpy(key.data(), work, key.size());
  return key;
}

}  // namespace kp::test
