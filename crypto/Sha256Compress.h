// The SHA-256 compression function in its two forms, and the choice between them.
//
// Both forms share one contract: `state` is H0..H7, `data` holds `blocks` whole 64-byte
// blocks (any alignment), and 0 blocks leaves the state alone. The SHA extensions form may
// run only where Sha256HasShaNi() is true; on other architectures it is the portable form.
#pragma once

#include <cstdint>

namespace kp {

using Sha256CompressFn = void (*)(uint32_t state[8], const uint8_t* data, uint32_t blocks);

void Sha256CompressPortable(uint32_t state[8], const uint8_t* data, uint32_t blocks);
void Sha256CompressShaNi(uint32_t state[8], const uint8_t* data, uint32_t blocks);

// True when this CPU has the x86 SHA extensions (with SSSE3 and SSE4.1).
bool Sha256HasShaNi();

// The form every Sha256 object uses: decided once, from the CPU, on first use.
Sha256CompressFn Sha256SelectedCompress();
// Forces a form for the whole process (tests and benchmarks); nullptr returns to the CPU's
// choice. Not for use while another thread hashes.
void Sha256SelectCompress(Sha256CompressFn form);

// The 64 round constants, FIPS 180-4, 4.2.2.
extern const uint32_t kSha256RoundConstants[64];

}  // namespace kp
