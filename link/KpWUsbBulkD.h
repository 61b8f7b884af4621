// The maker's framed protocol on top of WUsbBulkD: request and reply frames with a CRC-16,
// the exchange with one resend, the reply-shape checks, and the four status words.
//
// Frame: length L (16-bit LE, whole frame) | command byte | payload (L - 5) | CRC-16 (LE).
// Replies carry the command byte OR 0x80 and at least one payload byte.
#pragma once

#include "link/KpCommands.h"
#include "link/KpWire.h"
#include "link/WUsbBulkD.h"
#include "link/WUsbErr.h"

#include <cstdint>

namespace kp {

using wire::kFrameCapacity;
using wire::kFrameOverhead;
inline constexpr uint32_t kMaxRequestPayload = wire::kMaxPayload;  // 1027
inline constexpr uint8_t kReplyBit = 0x80;
// A babbling device cannot hold a wait forever: after this many discarded transfers in a
// row the wait ends as if nothing had arrived.
inline constexpr int kMaxDiscardedTransfers = 64;

inline constexpr uint32_t kStatusTimeoutMs = 20;
using wire::kStatusReplySize;

// Status-word bits.
inline constexpr uint16_t kStatusKeysMask = 0x0007;  // all three set: keys loaded
inline constexpr uint16_t kStatusTemporaryKeys = 0x0080;
inline constexpr uint16_t kStatusNoUserPassword = 0x0400;
inline constexpr uint16_t kStatusAdminPassword = 0x0800;
inline constexpr uint16_t kStatusLoggedIn = 0x1000;

inline bool KeysLoaded(uint16_t statusWord) {
  return (statusWord & kStatusKeysMask) == kStatusKeysMask;
}

class KpWUsbBulkD : public WUsbBulkD {
 public:
  KpWUsbBulkD(UsbPlatform& platform, const Guid* interfaceGuid, TraceSet* tracer);
  virtual ~KpWUsbBulkD() = default;

  // Model record byte 2 when the model code matches the record, else 0.
  virtual uint8_t CheckModel();

  // The status command; stores the four words. Throws WUsbErr 6 ('M') on a reply that is not
  // 8 bytes, and whatever Exchange throws.
  void ReadStatus(uint32_t timeoutMs);

  // Framing. SendFrame drops a payload above 1027 bytes without writing anything.
  void SendFrame(uint8_t command, uint32_t length, const uint8_t* payload);
  // One good frame (length field and CRC agree with the transfer) into a kFrameCapacity-byte
  // buffer; 0 when nothing arrived.
  int32_t ReceiveFrame(uint8_t* frame);
  // The next frame with `replyCode`: copies its payload (at most `expected` bytes, the rest
  // of the `expected` bytes zero) and returns the payload length; 0 = no reply.
  int32_t ReceiveReply(uint8_t replyCode, uint32_t expected, uint8_t* destination);

  // A request and its reply, with one resend; returns the reply's payload length (>= 1).
  // Throws WUsbErr 3 when no reply came, and 0 when the time-out is refused.
  int32_t Exchange(uint8_t command, uint32_t length, const uint8_t* payload, uint32_t expected,
                   uint8_t* destination, uint32_t timeoutMs);
  // expected >= 2: 0 when the reply carried `expected` bytes, the byte of a one-byte reply;
  // WUsbErr 6 otherwise, 11 (nothing sent) when expected < 2.
  int32_t ExchangeData(uint8_t command, uint32_t length, const uint8_t* payload, uint32_t expected,
                       uint8_t* destination, uint32_t timeoutMs);
  // Returns only on the one-byte reply 0; WUsbErr 6 on another length, 4 on another byte.
  void ExchangeAck(uint8_t command, uint32_t length, const uint8_t* payload, uint32_t timeoutMs);
  // The byte of a one-byte reply; WUsbErr 6 on another length.
  uint8_t ExchangeStatus(uint8_t command, uint32_t length, const uint8_t* payload,
                         uint32_t timeoutMs);

  // Status words, as the status command last delivered them.
  uint16_t programmerNumber = 0;
  uint16_t modelCode = 0;
  uint16_t firmwareVersion = 0;
  uint16_t statusWord = 0;
  // The last exchange's reply came only after its request was sent a second time, so it may
  // answer a repeat of a request that took effect already.
  bool answeredAfterResend = false;
  // Set by every exchange answered only after its resend, and cleared only by the caller:
  // the other request's reply may still be on its way and could later pass for the answer
  // to a repeat of the same command.
  bool lateReplyMayFollow = false;
  // The command and time-out of the latest exchange that set lateReplyMayFollow. A good frame
  // with its reply code thrown away while another reply is awaited is that late reply: the
  // flag is then cleared, since nothing more of it can come.
  uint8_t lateReplyCommand = 0;
  uint32_t lateReplyTimeoutMs = 0;
  // The command of the exchange in progress, or of the last one: after a failure it tells
  // whether the request that may have taken effect was one that changes a card.
  uint8_t lastCommand = 0;
  const uint8_t* modelRecord = nullptr;  // 8 bytes
  uint32_t modelCheckResult = 0;

 private:
  int32_t ReceiveFrameCounting(uint8_t* frame, int& discarded);
};

}  // namespace kp
