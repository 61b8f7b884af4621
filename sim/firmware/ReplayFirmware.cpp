#include "sim/firmware/ReplayFirmware.h"

#include "link/Crc16.h"
#include "link/KpWire.h"
#include "base/ByteOrder.h"
#include "base/NumberText.h"
#include "trace/TraceSecrets.h"
#include "trace/TraceText.h"

#include <algorithm>

namespace kp {

namespace {

// A mismatch shows this many bytes of each transfer: a trace may hold transfers of megabytes.
constexpr size_t kShownBytes = 48;

std::vector<bool> Mask(size_t size, const std::vector<ByteRange>& ranges) {
  std::vector<bool> mask(size, false);
  for (const ByteRange& r : ranges) {
    for (size_t i = r.at; i < size && i - r.at < r.size; ++i) mask[i] = true;
  }
  return mask;
}

// Gives each frame of the transfer whose CRC was withheld a CRC again: the right one, or a
// wrong one where the trace saw a bad CRC. Frames are followed by their length fields; one
// whose length was withheld ends the walk, since where the next one starts is unknown.
void RestoreCrcs(std::vector<uint8_t>& bytes, const std::vector<bool>& withheld, bool sawBad) {
  size_t at = 0;
  while (bytes.size() - at >= wire::kFrameOverhead) {
    if (withheld[at] || withheld[at + 1]) return;
    const size_t length = GetLe16(&bytes[at]);
    if (length < wire::kFrameOverhead || length > bytes.size() - at) return;
    const size_t crcAt = at + length - 2;
    if (withheld[crcAt] || withheld[crcAt + 1]) {
      auto crc =
          static_cast<uint16_t>(Crc16(&bytes[at], static_cast<int32_t>(length - 2), kCrc16Initial));
      if (sawBad) crc = static_cast<uint16_t>(~crc);
      PutLe16(&bytes[crcAt], crc);
    }
    at += length;
  }
}

// "OUT 5 bytes: 05 00 4D A1 F4 (request 'M' status, payload 0, CRC ok)", the withheld ranges
// as the trace writes them, cut after kShownBytes.
std::string Shown(std::span<const uint8_t> bytes, const std::vector<ByteRange>& withheld) {
  std::string text = "OUT " + std::to_string(bytes.size()) + " bytes:";
  auto range = withheld.begin();
  size_t i = 0;
  while (i < bytes.size() && i < kShownBytes) {
    if (range == withheld.end() || range->at != i) {
      text += ' ' + HexText(bytes.subspan(i, 1));
      ++i;
      continue;
    }
    text += range->size == 1 ? " [1 byte withheld]"
                             : " [" + std::to_string(range->size) + " bytes withheld]";
    i += range->size;
    ++range;
  }
  if (i < bytes.size()) text += " ... " + std::to_string(bytes.size() - i) + " more";
  return text + " (" + DescribeTransfer(true, bytes) + ")";
}

}  // namespace

std::string NoticeText(const ReplayNotice& notice) {
  if (notice.kind == ReplayNotice::Kind::Finished) return "finished";
  std::string text = "mismatch at line " + std::to_string(notice.line) + ": expected " +
                     notice.expected + ", came " + notice.came;
  if (!notice.difference.empty()) text += "; " + notice.difference;
  return text;
}

std::unique_ptr<ReplayFirmware> ReplayFirmware::FromText(std::string_view text, ReplaySpeed speed,
                                                         std::string* error) {
  std::optional<TraceText> trace = ParseTraceText(text, error);
  if (!trace) return nullptr;
  std::unique_ptr<ReplayFirmware> replay(new ReplayFirmware());
  replay->speed_ = speed;
  std::vector<Step>& steps = replay->steps_;
  // The parser takes one line per header entry, then one per event.
  const size_t firstEventLine = trace->header.size() + 1;
  for (size_t i = 0; i < trace->events.size(); ++i) {
    TraceEvent& event = trace->events[i];
    if (event.kind == TraceEvent::Kind::Remark) continue;
    std::vector<bool> free = Mask(event.bytes.size(), event.withheld);
    RestoreCrcs(event.bytes, free, event.decoding.ends_with(", CRC bad"));
    if (event.kind == TraceEvent::Kind::Link) {
      if (!replay->serial_) replay->serial_ = event.serialNumber;
      steps.push_back({true, firstEventLine + i, event.micros, {}, {}, {}, {}});
      ++replay->links_;
    } else if (event.toDevice && !event.bytes.empty()) {
      steps.push_back({false,
                       firstEventLine + i,
                       event.micros,
                       std::move(event.bytes),
                       std::move(event.withheld),
                       std::move(free),
                       {}});
      ++replay->requests_;
    } else if (!event.toDevice && !event.bytes.empty() && !steps.empty()) {
      Step& step = steps.back();
      const uint64_t after = event.micros > step.micros ? event.micros - step.micros : 0;
      const uint64_t earlier = step.answers.empty() ? 0 : step.answers.back().delayMs;
      step.answers.push_back({std::move(event.bytes), std::max(after / 1000, earlier)});
    }
  }
  if (steps.empty()) {
    replay->state_ = State::Finished;
    replay->notices_.push_back({});
  }
  return replay;
}

ReplayFirmware::~ReplayFirmware() = default;

std::vector<InTransfer> ReplayFirmware::HandleRequest(std::span<const uint8_t> request) {
  if (state_ != State::Playing) return {};
  const Step& step = steps_[next_];
  std::string difference;
  if (!step.link && request.size() != step.bytes.size()) {
    difference =
        std::to_string(request.size()) + " bytes, not " + std::to_string(step.bytes.size());
  }
  for (size_t i = 0; !step.link && difference.empty() && i < request.size(); ++i) {
    if (!step.free[i] && request[i] != step.bytes[i]) {
      difference = "first difference at byte " + std::to_string(i);
    }
  }
  if (!step.link && difference.empty()) return Play(step);
  // What came is shown as a trace shows it: its own secrets withheld.
  Stop(step, Shown(request, WithheldRanges(request)), difference);
  return {};
}

std::vector<InTransfer> ReplayFirmware::Opened() {
  if (state_ != State::Playing) return {};
  const Step& step = steps_[next_];
  if (!step.link) {
    Stop(step, "a new link", {});
    return {};
  }
  return Play(step);
}

std::vector<InTransfer> ReplayFirmware::Play(const Step& step) {
  std::vector<InTransfer> out;
  for (const Answer& answer : step.answers) {
    out.push_back({answer.bytes, speed_ == ReplaySpeed::AsTraced ? answer.delayMs : 0});
  }
  if (++next_ == steps_.size()) {
    state_ = State::Finished;
    notices_.push_back({});
  }
  return out;
}

void ReplayFirmware::Stop(const Step& expected, std::string came, std::string difference) {
  state_ = State::Stopped;
  ReplayNotice notice;
  notice.kind = ReplayNotice::Kind::Mismatch;
  notice.line = expected.line;
  notice.expected = expected.link ? "a new link" : Shown(expected.bytes, expected.withheld);
  notice.came = std::move(came);
  notice.difference = std::move(difference);
  notices_.push_back(std::move(notice));
}

std::vector<ReplayNotice> ReplayFirmware::TakeNotices() {
  std::vector<ReplayNotice> taken;
  taken.swap(notices_);
  return taken;
}

std::string ReplayFirmware::StateText() const {
  switch (state_) {
    case State::Playing: return "next line " + std::to_string(steps_[next_].line);
    case State::Stopped: return "stopped at line " + std::to_string(steps_[next_].line);
    case State::Finished: break;
  }
  return "finished";
}

}  // namespace kp
