// The constant tables of AES (FIPS 197), in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1:
// round constants, S-box and its inverse, and the products by 2 and 3 (MixColumns) and by
// 9, 11, 13 and 14 (InvMixColumns). Index a gives the value for the byte a.
#pragma once

#include <cstdint>

namespace kp {

extern const uint8_t kAesRoundConstants[10];
extern const uint8_t kAesSbox[256];
extern const uint8_t kAesInvSbox[256];
extern const uint8_t kAesMul2[256];
extern const uint8_t kAesMul3[256];
extern const uint8_t kAesMul9[256];
extern const uint8_t kAesMul11[256];
extern const uint8_t kAesMul13[256];
extern const uint8_t kAesMul14[256];

}  // namespace kp
