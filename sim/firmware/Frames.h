// The programmer's side of the frame format: taking a request transfer apart and building
// reply frames. Also what tests and the simulator program need to build requests by hand.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kp::sim {

// One frame: length L (16-bit LE, whole frame) | command byte | payload | CRC-16 (LE).
// L = payload + 5; nothing is checked here except that the payload fits (at most 1027 bytes).
std::vector<uint8_t> EncodeFrame(uint8_t command, std::span<const uint8_t> payload);

struct Frame {
  uint8_t command = 0;
  std::span<const uint8_t> payload;  // points into the transfer it was decoded from
};

// A transfer that is exactly one whole frame: at least 5 bytes, at most 1032, its length
// field equal to the transfer size and the CRC over all of it 0. Anything else is nothing
// the firmware can trust: nullopt. Requests and replies share the format.
std::optional<Frame> DecodeFrame(std::span<const uint8_t> transfer);

}  // namespace kp::sim
