#include "sim/firmware/Frames.h"

#include "link/Crc16.h"
#include "link/KpWUsbBulkD.h"
#include "platform/ByteOrder.h"

#include <algorithm>

namespace kp::sim {

std::vector<uint8_t> EncodeFrame(uint8_t command, std::span<const uint8_t> payload) {
  if (payload.size() > kMaxRequestPayload) return {};
  const auto total = static_cast<uint16_t>(payload.size() + kFrameOverhead);
  std::vector<uint8_t> frame;
  frame.resize(total);
  PutLe16(&frame[wire::kFrameLengthAt], total);
  frame[wire::kFrameCommandAt] = command;
  std::copy(payload.begin(), payload.end(), frame.begin() + wire::kFramePayloadAt);
  const uint32_t crcAt = wire::kFramePayloadAt + static_cast<uint32_t>(payload.size());
  PutLe16(&frame[crcAt], Crc16(frame.data(), static_cast<int32_t>(crcAt), kCrc16Initial));
  return frame;
}

std::optional<Frame> DecodeFrame(std::span<const uint8_t> transfer) {
  if (transfer.size() < kFrameOverhead || transfer.size() > kFrameCapacity) return std::nullopt;
  const uint32_t length = GetLe16(&transfer[wire::kFrameLengthAt]);
  if (length != transfer.size()) return std::nullopt;
  if (Crc16(transfer.data(), static_cast<int32_t>(transfer.size()), kCrc16Initial) != 0) {
    return std::nullopt;
  }
  return Frame{transfer[wire::kFrameCommandAt],
               transfer.subspan(wire::kFramePayloadAt, transfer.size() - kFrameOverhead)};
}

}  // namespace kp::sim
