// The text trace: one line per transfer, per link remark and per opened device, for people to
// read and for the simulator to replay. UTF-8, each line ended by LF alone.
//
//   file        = 1*header-line *event-line
//   header-line = "# " key ": " text LF       key: a-z and "-"; the first line is
//                                             "# format: kpnox-trace 1", then program,
//                                             system and backend
//   event-line  = time SP (transfer / remark / link) LF
//   time        = 1*DIGIT "." 6DIGIT          seconds since the trace began, to the
//                                             microsecond, on a clock that never goes back
//   transfer    = dir SP count " bytes:" *(SP item) " | " decoding
//   dir         = "OUT" / "IN"                to the programmer / from it
//   count       = 1*DIGIT                     the bytes written, or read (0: none arrived)
//   item        = 2HEXDIG                     one byte, upper case
//               / "[" 1*DIGIT " bytes withheld]" / "[1 byte withheld]"
//                                             secret bytes left out (trace/TraceSecrets.h);
//                                             the items add up to count
//   decoding    = "nothing arrived" / "nothing sent"
//               / kind SP command ", payload " 1*DIGIT ", CRC " ("ok" / "bad")
//               / "not one whole frame" [": length field " 1*DIGIT [", " kind SP command]]
//   kind        = "request" / "reply"         a reply's command byte is the command's OR 0x80
//   command     = "'" letter "' " name / "0x" 2HEXDIG " unknown"
//   name        = "status" / "key-signature" / "logout" / "challenge" / "card-info" / "login"
//               / "change-password" / "prepare" / "write-file" / "read-file" / "erase-card"
//   remark      = "NOTE " text                the link's remark
//   link        = "LINK serial " 1*8HEXDIG " pipes " 2HEXDIG "/" 2HEXDIG " path " text
//                                             a device opened: its serial number as the link
//                                             read it, the OUT and IN pipes, its path
//   text        = UTF-8, but "\" written as "\\", and as "\x" 2HEXDIG each byte below 20 hex,
//                 7F, and each byte that belongs to no well-formed UTF-8 sequence
//
// A transfer is "one whole frame" when it holds 5 to 1032 bytes and its length field equals
// its size; only then are its payload and CRC told. For example:
//
//   # format: kpnox-trace 1
//   # program: kpnox-cli 1.0.0
//   0.000000 LINK serial 1A2B pipes 02/81 path /run/user/1000/kpr50-sim/5B66....0.sock
//   0.000412 OUT 5 bytes: 05 00 4D A1 F4 | request 'M' status, payload 0, CRC ok
//   0.020533 IN 0 bytes: | nothing arrived
//   0.031002 IN 21 bytes: 15 00 EE [16 bytes withheld] [2 bytes withheld] | reply 'n'
//            challenge, payload 16, CRC ok                      (one line in the file)
#pragma once

#include "link/Tracecom.h"
#include "trace/TraceSecrets.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kp {

// Microseconds on a clock that never goes back (the platform's: MonotonicMicroseconds).
using TraceClock = std::function<uint64_t()>;
// Where a sink's output goes: each call is one whole line or packet, kept at once (flushed)
// so that a killed program leaves everything traced before; false when it could not be.
using TraceWrite = std::function<bool(std::string_view bytes)>;

// What a trace file's header says besides its format.
struct TraceHeader {
  std::string program;  // "kpnox-cli 1.0.0"
  std::string system;   // SystemText()
  std::string backend;  // SystemBackendsText()
};

inline constexpr const char* kTraceFormatLine = "# format: kpnox-trace 1";

// The decoding of one transfer, as a transfer line ends.
std::string DescribeTransfer(bool toDevice, std::span<const uint8_t> transfer);
// A whole transfer line without its LF; `micros` since the trace began.
std::string TransferLine(uint64_t micros, bool toDevice, std::span<const uint8_t> transfer);

class TextTrace : public TraceSet {
 public:
  // Writes the header at once; the trace's time starts now.
  TextTrace(TraceWrite write, TraceClock clock, const TraceHeader& header);

  void TraceTransfer(int32_t direction, int32_t count, const uint8_t* bytes, uint32_t serialNumber,
                     int32_t tag) override;
  void TraceMessage(const char* text) override;
  void TraceLink(const char* devicePath, uint32_t serialNumber, uint8_t pipeOut,
                 uint8_t pipeIn) override;

  // Whether a line could not be written; the lines after it are still tried.
  bool Failed() const;

 private:
  void Put(std::string line);
  uint64_t Since();

  mutable std::mutex mutex_;
  TraceWrite write_;
  TraceClock clock_;
  uint64_t start_ = 0;
  bool failed_ = false;
};

// One event line read back.
struct TraceEvent {
  enum class Kind { Transfer, Remark, Link };
  Kind kind = Kind::Transfer;
  uint64_t micros = 0;
  // Transfer: the bytes, each withheld one as 0, and where they were withheld.
  bool toDevice = false;
  std::vector<uint8_t> bytes;
  std::vector<ByteRange> withheld;
  std::string decoding;
  // Remark: its text; Link: the device path.
  std::string text;
  // Link.
  uint32_t serialNumber = 0;
  uint8_t pipeOut = 0;
  uint8_t pipeIn = 0;

  bool operator==(const TraceEvent&) const = default;
};

struct TraceText {
  std::vector<std::pair<std::string, std::string>> header;  // in order, format first
  std::vector<TraceEvent> events;
};

// A text trace read back; nullopt, with `error` naming the line and what is wrong with it,
// when it is not one. A last line without its LF was cut off: an error too.
std::optional<TraceText> ParseTraceText(std::string_view text, std::string* error);

}  // namespace kp
