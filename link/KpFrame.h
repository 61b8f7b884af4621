// The KP-R50's frame, both ways, for the host and the virtual programmer alike:
// length L (16-bit LE, whole frame) | command byte | payload (L - 5) | CRC-16 (LE).
#pragma once

#include "link/KpWire.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kp {

struct Frame {
  uint8_t command = 0;
  std::span<const uint8_t> payload;  // points into the transfer it was decoded from
};

// Writes the frame into `frame`, which has room for payload + 5 bytes, and returns its
// length; 0, and nothing written, when the payload is above 1027 bytes.
uint32_t EncodeFrame(uint8_t command, std::span<const uint8_t> payload, uint8_t* frame);
// The same as a vector of its own; empty when the payload does not fit.
std::vector<uint8_t> EncodeFrame(uint8_t command, std::span<const uint8_t> payload);

// A transfer that is exactly one whole frame: at least 5 bytes, at most 1032, its length
// field equal to the transfer size and the CRC over all of it 0. Anything else cannot be
// trusted: nullopt. Requests and replies share the format.
std::optional<Frame> DecodeFrame(std::span<const uint8_t> transfer);

}  // namespace kp
