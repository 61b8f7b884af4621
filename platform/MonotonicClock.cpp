#include "platform/MonotonicClock.h"

#include <chrono>

namespace kp {

uint64_t MonotonicMicroseconds() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(since).count());
}

}  // namespace kp
