// The one clock the programs read for traces: it never goes back and starts anywhere. Here,
// in the seam, because nothing above it touches the system's clock.
#pragma once

#include <cstdint>

namespace kp {

// Microseconds since an arbitrary start (the system's steady clock). Never blocks.
uint64_t MonotonicMicroseconds();

}  // namespace kp
