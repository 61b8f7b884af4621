// The exception record of the link and protocol layers, thrown and caught by value.
#pragma once

#include <cstdint>
#include <string>

namespace kp {

struct WUsbErr {
  int32_t errorCode = 0;
  uint8_t commandByte = 0;  // the request's command letter; 0 when none is concerned
};

namespace wusb {
inline constexpr int32_t kPipeTimeoutRefused = 0;
inline constexpr int32_t kNotOpen = 1;
inline constexpr int32_t kDataSize = 2;
inline constexpr int32_t kNoReply = 3;
inline constexpr int32_t kNoAck = 4;
inline constexpr int32_t kBadReplyOldM = 5;
inline constexpr int32_t kBadReply = 6;
inline constexpr int32_t kLoginSignature = 7;
inline constexpr int32_t kNoReplyForwarded = 8;
inline constexpr int32_t kNoAckForwarded = 9;
inline constexpr int32_t kBadReplyForwarded = 10;
inline constexpr int32_t kBadParameters = 11;
inline constexpr int32_t kUnknownDevice = 12;
}  // namespace wusb

// The fixed text of a code, or nullptr for a code without one.
const char* WUsbErrText(int32_t errorCode);

// "<text>, rozk: <command as a character>", or "Brak opisu błędu." for a code without text.
std::string FormatWUsbErr(const WUsbErr& error);

}  // namespace kp
