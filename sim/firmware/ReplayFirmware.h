// ReplayFirmware: a programmer that answers as a traced one did (kpr50-sim --replay FILE), so
// that a problem met in the field can be put in front of the tool at a desk, and a trace of a
// real programmer becomes a regression test.
//
// The text trace (trace/TraceText.h) is read up front into steps: a link (a LINK line: the
// client opened the device) or a request (an OUT line), each with the IN transfers that follow
// it up to the next step as its answers. The steps are expected in the trace's order:
// - A request matches the expected one when it has its size and its bytes, except the bytes
//   the trace withheld (trace/TraceSecrets.h: the login proof, the challenge, the password
//   keys, and the CRC of their frames), which match anything.
// - A client opening the device matches a link.
// - A matched step's answers that brought bytes go out as traced, each the traced time after
//   the step (ReplaySpeed::AsTraced, to the millisecond, never before an earlier one) or at
//   once (AtOnce). An answer that brought nothing is the programmer's silence: nothing goes.
//   Withheld bytes go out as zeros, and a frame whose CRC was withheld gets its right CRC
//   (unless the trace saw it bad), so that the client takes the challenge; the login after it
//   differs only in its withheld proof and gets the traced answer.
// - NOTE lines answer nothing; so do IN lines before the first step and OUT lines of no bytes
//   (nothing reached the programmer).
// - The first request or opening that does not match ends the replay (a Mismatch notice), and
//   so does the last step (Finished): from then on nothing is answered.
//
// Not thread-safe: one caller at a time.
#pragma once

#include "sim/firmware/ServedFirmware.h"
#include "trace/TraceSecrets.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kp {

enum class ReplaySpeed { AtOnce, AsTraced };

struct ReplayNotice {
  enum class Kind { Mismatch, Finished };
  Kind kind = Kind::Finished;
  // Mismatch: the trace line of the step expected, that step and what came instead, each as
  // "OUT 5 bytes: 05 00 4D A1 F4 (request 'M' status, payload 0, CRC ok)" or "a new link",
  // and where two transfers of one size first differ.
  size_t line = 0;
  std::string expected;
  std::string came;
  std::string difference;
};

// The event line's words after "replay N ": "finished", or "mismatch at line 17: expected
// OUT ..., came OUT ...; first difference at byte 2".
std::string NoticeText(const ReplayNotice& notice);

class ReplayFirmware : public ServedFirmware {
 public:
  // The replay of a text trace; nullptr, with "line N: why" in *error, when the text is none.
  static std::unique_ptr<ReplayFirmware> FromText(std::string_view text, ReplaySpeed speed,
                                                  std::string* error);
  ~ReplayFirmware() override;
  ReplayFirmware(const ReplayFirmware&) = delete;
  ReplayFirmware& operator=(const ReplayFirmware&) = delete;

  std::vector<InTransfer> HandleRequest(std::span<const uint8_t> request) override;
  std::vector<InTransfer> Opened() override;

  // The notices since the last call, in order, for whoever reports them.
  std::vector<ReplayNotice> TakeNotices();

  size_t Requests() const { return requests_; }
  size_t Links() const { return links_; }
  // "next line 12", "stopped at line 17" (a mismatch) or "finished".
  std::string StateText() const;
  bool Ended() const { return state_ != State::Playing; }
  // The serial number the trace's first link read, if it has one: the programmer shows it.
  std::optional<uint32_t> TracedSerial() const { return serial_; }

 private:
  struct Answer {
    std::vector<uint8_t> bytes;
    uint64_t delayMs = 0;  // after its step, as traced
  };
  struct Step {
    bool link = false;
    size_t line = 0;
    uint64_t micros = 0;
    std::vector<uint8_t> bytes;       // a request's, withheld bytes as zeros
    std::vector<ByteRange> withheld;  // as the trace wrote them
    std::vector<bool> free;           // per byte of `bytes`: withheld, so anything matches
    std::vector<Answer> answers;
  };
  enum class State { Playing, Stopped, Finished };

  ReplayFirmware() = default;
  std::vector<InTransfer> Play(const Step& step);
  void Stop(const Step& expected, std::string came, std::string difference);

  std::vector<Step> steps_;
  size_t next_ = 0;
  State state_ = State::Playing;
  ReplaySpeed speed_ = ReplaySpeed::AsTraced;
  size_t requests_ = 0;
  size_t links_ = 0;
  std::optional<uint32_t> serial_;
  std::vector<ReplayNotice> notices_;
};

}  // namespace kp
