#include "link/KpFrame.h"

#include "link/Crc16.h"
#include "base/ByteOrder.h"

#include <algorithm>

namespace kp {

uint32_t EncodeFrame(uint8_t command, std::span<const uint8_t> payload, uint8_t* frame) {
  if (payload.size() > wire::kMaxPayload) return 0;
  const auto total = static_cast<uint32_t>(payload.size() + wire::kFrameOverhead);
  PutLe16(&frame[wire::kFrameLengthAt], static_cast<uint16_t>(total));
  frame[wire::kFrameCommandAt] = command;
  std::copy(payload.begin(), payload.end(), &frame[wire::kFramePayloadAt]);
  const auto crcAt = static_cast<uint32_t>(wire::kFramePayloadAt + payload.size());
  PutLe16(&frame[crcAt], Crc16(frame, static_cast<int32_t>(crcAt), kCrc16Initial));
  return total;
}

std::vector<uint8_t> EncodeFrame(uint8_t command, std::span<const uint8_t> payload) {
  if (payload.size() > wire::kMaxPayload) return {};
  std::vector<uint8_t> frame(payload.size() + wire::kFrameOverhead);
  EncodeFrame(command, payload, frame.data());
  return frame;
}

std::optional<Frame> DecodeFrame(std::span<const uint8_t> transfer) {
  if (transfer.size() < wire::kFrameOverhead || transfer.size() > wire::kFrameCapacity) {
    return std::nullopt;
  }
  if (GetLe16(&transfer[wire::kFrameLengthAt]) != transfer.size()) return std::nullopt;
  if (Crc16(transfer.data(), static_cast<int32_t>(transfer.size()), kCrc16Initial) != 0) {
    return std::nullopt;
  }
  return Frame{transfer[wire::kFrameCommandAt],
               transfer.subspan(wire::kFramePayloadAt, transfer.size() - wire::kFrameOverhead)};
}

}  // namespace kp
