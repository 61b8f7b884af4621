// The compression function on the x86 SHA extensions. Only this file's functions are
// compiled for them, so the rest of the build runs on any x86-64; Sha256HasShaNi() guards
// every call.
#include "crypto/Sha256Compress.h"

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#define KP_SHA_X86 1
#include <immintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define KP_SHA_TARGET
#else
#include <cpuid.h>
#define KP_SHA_TARGET __attribute__((target("sha,sse4.1")))
#endif
#endif

namespace kp {

#if defined(KP_SHA_X86)

namespace {

struct CpuidRegisters {
  unsigned a = 0, b = 0, c = 0, d = 0;
};

CpuidRegisters Cpuid(unsigned leaf) {
  CpuidRegisters r;
#if defined(_MSC_VER) && !defined(__clang__)
  int out[4];
  __cpuidex(out, static_cast<int>(leaf), 0);
  r = {static_cast<unsigned>(out[0]), static_cast<unsigned>(out[1]), static_cast<unsigned>(out[2]),
       static_cast<unsigned>(out[3])};
#else
  if (static_cast<unsigned>(__get_cpuid_max(0, nullptr)) >= leaf)
    __cpuid_count(leaf, 0, r.a, r.b, r.c, r.d);
#endif
  return r;
}

KP_SHA_TARGET inline __m128i Load(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

KP_SHA_TARGET inline void Store(void* p, __m128i v) {
  _mm_storeu_si128(static_cast<__m128i*>(p), v);
}

// Four schedule words from the sixteen before them: W[t] for t = 4i .. 4i+3.
KP_SHA_TARGET inline __m128i NextWords(__m128i w16, __m128i w12, __m128i w8, __m128i w4) {
  const __m128i t = _mm_add_epi32(_mm_sha256msg1_epu32(w16, w12), _mm_alignr_epi8(w4, w8, 4));
  return _mm_sha256msg2_epu32(t, w4);
}

}  // namespace

bool Sha256HasShaNi() {
  const CpuidRegisters leaf1 = Cpuid(1);
  const CpuidRegisters leaf7 = Cpuid(7);
  const bool ssse3 = (leaf1.c >> 9) & 1;
  const bool sse41 = (leaf1.c >> 19) & 1;
  const bool sha = (leaf7.b >> 29) & 1;
  return ssse3 && sse41 && sha;
}

// The state lives in two registers as ABEF and CDGH, the order sha256rnds2 wants. The
// message schedule runs four groups of four words ahead of the rounds, interleaved with
// them, so no round waits for its words and the schedule never crowds out a round.
KP_SHA_TARGET void Sha256CompressShaNi(uint32_t state[8], const uint8_t* data, uint32_t blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  const __m128i dcba = Load(state);
  const __m128i hgfe = Load(state + 4);
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; blocks != 0; --blocks, data += 64) {
    __m128i w[16];
#if defined(__GNUC__)
#pragma GCC unroll 4
#endif
    for (int i = 0; i < 4; ++i) w[i] = _mm_shuffle_epi8(Load(data + 16 * i), byteSwap);
    const __m128i abefBefore = abef;
    const __m128i cdghBefore = cdgh;
#if defined(__GNUC__)
#pragma GCC unroll 16
#endif
    for (int i = 0; i < 16; ++i) {
      const __m128i wk = _mm_add_epi32(w[i], Load(kSha256RoundConstants + 4 * i));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
      if (i + 4 < 16) w[i + 4] = NextWords(w[i], w[i + 1], w[i + 2], w[i + 3]);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  Store(state, _mm_blend_epi16(feba, dchg, 0xF0));
  Store(state + 4, _mm_alignr_epi8(dchg, feba, 8));
}

#else

bool Sha256HasShaNi() { return false; }

void Sha256CompressShaNi(uint32_t state[8], const uint8_t* data, uint32_t blocks) {
  Sha256CompressPortable(state, data, blocks);
}

#endif

}  // namespace kp
