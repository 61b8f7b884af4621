#include "sim/Frames.h"

#include "link/Crc16.h"
#include "link/KpWUsbBulkD.h"

namespace kp::sim {

std::vector<uint8_t> EncodeFrame(uint8_t command, std::span<const uint8_t> payload) {
  if (payload.size() > kMaxRequestPayload) return {};
  const auto total = static_cast<uint16_t>(payload.size() + kFrameOverhead);
  std::vector<uint8_t> frame;
  frame.reserve(total);
  frame.push_back(static_cast<uint8_t>(total & 0xFF));
  frame.push_back(static_cast<uint8_t>(total >> 8));
  frame.push_back(command);
  frame.insert(frame.end(), payload.begin(), payload.end());
  const uint16_t crc = Crc16(frame.data(), static_cast<int32_t>(frame.size()), kCrc16Initial);
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

std::optional<Frame> DecodeFrame(std::span<const uint8_t> transfer) {
  if (transfer.size() < kFrameOverhead || transfer.size() > kFrameCapacity) return std::nullopt;
  const uint32_t length = transfer[0] | (static_cast<uint32_t>(transfer[1]) << 8);
  if (length != transfer.size()) return std::nullopt;
  if (Crc16(transfer.data(), static_cast<int32_t>(transfer.size()), kCrc16Initial) != 0) {
    return std::nullopt;
  }
  return Frame{transfer[2], transfer.subspan(3, transfer.size() - kFrameOverhead)};
}

}  // namespace kp::sim
