#include "trace/TraceSecrets.h"

#include "link/KpCommands.h"
#include "link/KpWire.h"
#include "base/ByteOrder.h"

#include <optional>

namespace kp {

namespace {

inline constexpr uint8_t kReplyBit = 0x80;

// A command byte that carries secrets: where the first one starts in its payload, how many
// 16-byte fields follow, and how long its whole frame is.
struct SecretFrame {
  uint8_t command;
  uint32_t firstAt;
  uint32_t fields;
  uint32_t frameSize;
};

constexpr SecretFrame kSecretFrames[] = {
    {kCmdLogin, wire::kLoginMacAt, 1, wire::kFrameOverhead + wire::kLoginRequestSize},
    {kCmdChangePassword, wire::kChangeOldKeyAt, 2,
     wire::kFrameOverhead + wire::kChangePasswordRequestSize},
    {kCmdChallenge | kReplyBit, 0, 1, wire::kFrameOverhead + wire::kChallengeSize},
};

static_assert(wire::kMacSize == 16 && wire::kKeySize == 16 && wire::kChallengeSize == 16);
inline constexpr uint32_t kFieldSize = 16;

std::optional<SecretFrame> SecretsOf(uint8_t command) {
  for (const SecretFrame& s : kSecretFrames) {
    if (s.command == command) return s;
  }
  return std::nullopt;
}

// Where the first secret byte of the transfer sits: the earliest frame start, followed by
// length fields or recognised by its first three bytes, whose command carries secrets.
std::optional<std::pair<size_t, SecretFrame>> FirstSecret(std::span<const uint8_t> t) {
  const size_t size = t.size();
  // The chain of frames by their length fields; stops at one whose length cannot be.
  size_t chained = 0;
  for (size_t at = 0; at + wire::kFrameCommandAt < size; ++at) {
    const bool inChain = at == chained;
    if (inChain) {
      const uint32_t length = GetLe16(&t[at + wire::kFrameLengthAt]);
      chained = length >= wire::kFrameOverhead && length <= size - at ? at + length : size;
    }
    const std::optional<SecretFrame> s = SecretsOf(t[at + wire::kFrameCommandAt]);
    if (!s) continue;
    if (inChain || GetLe16(&t[at + wire::kFrameLengthAt]) == s->frameSize) {
      return std::make_pair(at, *s);
    }
  }
  return std::nullopt;
}

}  // namespace

std::vector<ByteRange> WithheldRanges(std::span<const uint8_t> transfer) {
  std::vector<ByteRange> ranges;
  const auto found = FirstSecret(transfer);
  if (!found) return ranges;
  const auto size = static_cast<uint32_t>(transfer.size());
  uint32_t at = static_cast<uint32_t>(found->first) + wire::kFramePayloadAt + found->second.firstAt;
  for (uint32_t field = 0; field < found->second.fields && at < size; ++field) {
    const uint32_t length = size - at < kFieldSize ? size - at : kFieldSize;
    ranges.push_back({at, length});
    at += length;
  }
  if (at < size) ranges.push_back({at, size - at});
  return ranges;
}

}  // namespace kp
