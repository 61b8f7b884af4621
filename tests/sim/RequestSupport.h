// Requests as the PC frames them and the password key as it derives it, for every test of the
// simulator; no test framework, so that the GoogleTest and the Qt Test suites share them.
#pragma once

#include "crypto/PasswordKey.h"
#include "link/KpFrame.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace kp::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Request(uint8_t command, const Bytes& payload = {}) {
  return kp::EncodeFrame(command, payload);
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline std::array<uint8_t, 16> KeyOf(const char* password) {
  std::array<uint8_t, 16> key{};
  DerivePasswordKey("user", password, key.data());
  return key;
}

}  // namespace kp::test
