// Our crypto beside the same work on OpenSSL (OpenSslLoops.cpp), in one run, so that the
// figures can be read as ratios on whatever machine runs them.
#include "OpenSslLoops.h"

#include "crypto/Aes.h"
#include "crypto/Cmac.h"
#include "crypto/PasswordKey.h"
#include "crypto/Sha256Compress.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

namespace {

const uint8_t kMacKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                             0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
// The login request: identity field "user", then a challenge.
const uint8_t kLoginRequest[28] = {'u',  's',  'e',  'r',  0,    0,    0,    0,    0,    0,
                                   0,    0,    0x6b, 0xc1, 0xbe, 0xe2, 0x2e, 0x40, 0x9f, 0x96,
                                   0xe9, 0x3d, 0x7e, 0x11, 0x73, 0x93, 0x17, 0x2a};

void DeriveLoop(benchmark::State& state) {
  uint8_t key[kp::kPasswordKeySize];
  for (auto _ : state) {
    kp::DerivePasswordKey("user", "haslo123", key);
    benchmark::DoNotOptimize(key);
  }
}

void BM_DerivePasswordKey(benchmark::State& state) {
  kp::Sha256SelectCompress(nullptr);
  DeriveLoop(state);
}

void BM_DerivePasswordKey_Portable(benchmark::State& state) {
  kp::Sha256SelectCompress(&kp::Sha256CompressPortable);
  DeriveLoop(state);
  kp::Sha256SelectCompress(nullptr);
}

void BM_OpenSSL_DeriveLoop(benchmark::State& state) {
  uint8_t block[32] = {'u', 's', 'e', 'r', 0,   0,   0,   0,   0,   0,
                       0,   0,   'h', 'a', 's', 'l', 'o', '1', '2', '3'};
  for (auto _ : state) {
    kp::bench::OpenSslDeriveLoop(block, kp::kPasswordIterations);
    benchmark::DoNotOptimize(block);
  }
}

void BM_Cmac28(benchmark::State& state) {
  uint8_t tag[16];
  for (auto _ : state) {
    kp::AES128 aes;
    aes.SetKey(kMacKey);
    kp::Cmac cmac(aes);
    cmac.Init();
    cmac.Update(kLoginRequest, sizeof kLoginRequest);
    cmac.Final(tag);
    benchmark::DoNotOptimize(tag);
  }
}

void BM_OpenSSL_Cmac28(benchmark::State& state) {
  kp::bench::OpenSslCmac cmac;
  uint8_t tag[16];
  for (auto _ : state) {
    cmac.Mac(kMacKey, kLoginRequest, sizeof kLoginRequest, tag);
    benchmark::DoNotOptimize(tag);
  }
}

// The floor under the derivation: the compressions alone, each waiting for the one before.
void BM_Sha256CompressChain(benchmark::State& state) {
  const kp::Sha256CompressFn compress = kp::Sha256SelectedCompress();
  uint8_t block[64];
  std::memset(block, 0x5a, sizeof block);
  uint32_t chain[8] = {};
  for (auto _ : state) {
    for (uint32_t i = 0; i < kp::kPasswordIterations; ++i) compress(chain, block, 1);
    benchmark::DoNotOptimize(chain);
  }
}

}  // namespace

BENCHMARK(BM_DerivePasswordKey)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DerivePasswordKey_Portable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenSSL_DeriveLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha256CompressChain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Cmac28);
BENCHMARK(BM_OpenSSL_Cmac28);
