// Zeroes memory that held a secret with a write the optimiser may not drop, even when the
// memory is never read again.
#pragma once

#include <cstddef>

namespace kp {

void SecureWipe(void* p, size_t n);

}  // namespace kp
