// The device-path half of SetupDiGetDeviceInterfaceDetailA, as every backend answers it: the
// size query (no buffer) learns the bytes the zero-terminated path needs, the second call
// copies it into a buffer of at least that size.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace kp {

inline bool CopyDevicePath(const std::string& devicePath, char* path, uint32_t pathSize,
                           uint32_t* requiredSize) {
  const auto needed = static_cast<uint32_t>(devicePath.size() + 1);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (path == nullptr || pathSize < needed) return false;
  std::memcpy(path, devicePath.c_str(), needed);
  return true;
}

}  // namespace kp
