// Which bytes of a transfer a trace file must never hold: the login proof (the MAC of an 'L'
// request), the challenge (the payload of the reply to 'n') and both password keys of an 'H'
// request. With any of them go the rest of its transfer, the frame's CRC included: a CRC over
// a password key lets a guessed password be checked offline.
//
// Found by position from the command byte, whatever the length field and the CRC say: a
// garbled, short or overlong frame hides its secrets as a good one does. A transfer may also
// carry a secret frame after others (a device that sends two replies at once); the frames
// are followed by their length fields, and a secret frame's own first bytes (its length,
// then its command) are looked for anywhere in the transfer.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kp {

struct ByteRange {
  uint32_t at = 0;
  uint32_t size = 0;
  bool operator==(const ByteRange&) const = default;
};

// The ranges to withhold, in order and apart: each 16-byte secret field as one range (cut
// off by the end of the transfer), then the rest of the transfer as one more. Empty when the
// transfer carries no secret.
std::vector<ByteRange> WithheldRanges(std::span<const uint8_t> transfer);

}  // namespace kp
