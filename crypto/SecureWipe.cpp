#include "crypto/SecureWipe.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <string.h>
#if defined(__GLIBC__) && defined(__GLIBC_PREREQ)
#if __GLIBC_PREREQ(2, 25)
#define KP_HAVE_EXPLICIT_BZERO 1
#endif
#endif
#endif

namespace kp {

void SecureWipe(void* p, size_t n) {
  if (p == nullptr || n == 0) return;
#if defined(_WIN32)
  SecureZeroMemory(p, n);
#elif defined(KP_HAVE_EXPLICIT_BZERO)
  explicit_bzero(p, n);
#else
  // Every store goes through a volatile lvalue, so none of them can be elided.
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(p);
  while (n-- > 0) *bytes++ = 0;
#endif
}

bool SameBytes(const uint8_t* a, const uint8_t* b, size_t n) {
  uint8_t diff = 0;
  for (size_t i = 0; i < n; ++i) diff = static_cast<uint8_t>(diff | (a[i] ^ b[i]));
  return diff == 0;
}

}  // namespace kp
