#include "link/KpWUsbBulkD.h"

#include "crypto/SecureWipe.h"
#include "link/KpFrame.h"
#include "base/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace kp {

KpWUsbBulkD::KpWUsbBulkD(UsbPlatform& platform, const Guid* guid, TraceSet* sink)
    : WUsbBulkD(platform, guid, sink) {}

uint8_t KpWUsbBulkD::CheckModel() {
  modelCheckResult = 0;
  if (modelRecord == nullptr) return 0;
  const uint16_t code = GetBe16(modelRecord);
  const uint16_t mustBeZero = GetLe16(modelRecord + 6);
  return (code == modelCode && mustBeZero == 0) ? modelRecord[2] : 0;
}

void KpWUsbBulkD::ReadStatus(uint32_t timeoutMs) {
  uint8_t reply[kStatusReplySize];
  if (Exchange(kCmdStatus, 0, nullptr, kStatusReplySize, reply, timeoutMs) !=
      static_cast<int32_t>(kStatusReplySize)) {
    throw WUsbErr{wusb::kBadReply, kCmdStatus};
  }
  programmerNumber = GetLe16(&reply[wire::kStatusProgrammerNumberAt]);
  modelCode = GetLe16(&reply[wire::kStatusModelCodeAt]);
  firmwareVersion = GetLe16(&reply[wire::kStatusFirmwareVersionAt]);
  statusWord = GetLe16(&reply[wire::kStatusWordAt]);
}

void KpWUsbBulkD::SendFrame(uint8_t command, uint32_t length, const uint8_t* payload) {
  if (length > kMaxRequestPayload) return;
  uint8_t frame[kFrameCapacity];
  const uint32_t total = EncodeFrame(command, {payload, length}, frame);
  // A failed or short write shows up as a missing reply. Requests may carry password keys:
  // no copy of them stays behind on the stack, whatever the write did.
  try {
    WriteBulk(static_cast<int32_t>(total), frame);
  } catch (...) {
    SecureWipe(frame, total);
    throw;
  }
  SecureWipe(frame, total);
}

int32_t KpWUsbBulkD::ReceiveFrame(uint8_t* frame) {
  int discarded = 0;
  return ReceiveFrameCounting(frame, discarded);
}

// `discarded` counts the transfers thrown away in a row during one wait; when it reaches
// kMaxDiscardedTransfers the wait ends as if nothing had arrived.
int32_t KpWUsbBulkD::ReceiveFrameCounting(uint8_t* frame, int& discarded) {
  while (discarded < kMaxDiscardedTransfers) {
    const int32_t k = ReadBulk(static_cast<int32_t>(kFrameCapacity), frame);
    if (k == 0) return 0;
    // A reply carries at least one payload byte.
    const auto good = DecodeFrame({frame, static_cast<size_t>(k)});
    if (good && !good->payload.empty()) return k;
    ++discarded;  // part of a frame, several frames, or a broken one
  }
  return 0;
}

int32_t KpWUsbBulkD::ReceiveReply(uint8_t replyCode, uint32_t expected, uint8_t* destination) {
  uint8_t frame[kFrameCapacity];
  int discarded = 0;
  for (;;) {
    const int32_t k = ReceiveFrameCounting(frame, discarded);
    if (k == 0) return 0;
    if (frame[wire::kFrameCommandAt] != replyCode) {
      // A good frame of another command, such as a late reply: discarded like the rest.
      if (lateReplyMayFollow && frame[wire::kFrameCommandAt] == (lateReplyCommand | kReplyBit)) {
        lateReplyMayFollow = false;
      }
      if (++discarded >= kMaxDiscardedTransfers) return 0;
      continue;
    }
    const auto payload = static_cast<uint32_t>(k) - kFrameOverhead;
    const uint32_t copied = std::min(payload, expected);
    if (copied > 0) std::memcpy(destination, &frame[wire::kFramePayloadAt], copied);
    // A short reply leaves zeros, never stale bytes, in the rest of the caller's buffer.
    if (expected > copied) std::memset(destination + copied, 0, expected - copied);
    return static_cast<int32_t>(payload);
  }
}

int32_t KpWUsbBulkD::Exchange(uint8_t command, uint32_t length, const uint8_t* payload,
                              uint32_t expected, uint8_t* destination, uint32_t timeoutMs) {
  lastCommand = command;
  SetPipeTimeout(timeoutMs);
  const uint8_t replyCode = command | kReplyBit;
  answeredAfterResend = false;
  for (int attempt = 0; attempt < 2; ++attempt) {
    SendFrame(command, length, payload);
    // A pipe that could not be drained got no request, and what it holds is stale: waiting
    // on it could only take an old reply for the answer.
    if (!inDrained && length <= kMaxRequestPayload) continue;
    const int32_t r = ReceiveReply(replyCode, expected, destination);
    if (r != 0) {
      answeredAfterResend = attempt > 0;
      if (answeredAfterResend) {
        lateReplyMayFollow = true;
        lateReplyCommand = command;
        lateReplyTimeoutMs = timeoutMs;
      }
      return r;
    }
  }
  throw WUsbErr{wusb::kNoReply, command};
}

int32_t KpWUsbBulkD::ExchangeData(uint8_t command, uint32_t length, const uint8_t* payload,
                                  uint32_t expected, uint8_t* destination, uint32_t timeoutMs) {
  if (expected < 2) throw WUsbErr{wusb::kBadParameters, command};
  const int32_t r = Exchange(command, length, payload, expected, destination, timeoutMs);
  if (r == static_cast<int32_t>(expected)) return 0;
  if (r == 1) return destination[0];
  throw WUsbErr{wusb::kBadReply, command};
}

void KpWUsbBulkD::ExchangeAck(uint8_t command, uint32_t length, const uint8_t* payload,
                              uint32_t timeoutMs) {
  uint8_t reply = 0;
  if (Exchange(command, length, payload, 1, &reply, timeoutMs) != 1) {
    throw WUsbErr{wusb::kBadReply, command};
  }
  if (reply != 0) throw WUsbErr{wusb::kNoAck, command};
}

uint8_t KpWUsbBulkD::ExchangeStatus(uint8_t command, uint32_t length, const uint8_t* payload,
                                    uint32_t timeoutMs) {
  uint8_t reply = 0;
  if (Exchange(command, length, payload, 1, &reply, timeoutMs) != 1) {
    throw WUsbErr{wusb::kBadReply, command};
  }
  return reply;
}

}  // namespace kp
