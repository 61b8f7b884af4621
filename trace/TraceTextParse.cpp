// ParseTraceText: the grammar of TraceText.h, read strictly, so that a replay never guesses.
#include "trace/TraceText.h"
#include "trace/TraceTextEscape.h"

#include "base/NumberText.h"

namespace kp {

namespace {

// A cursor over one line; each Take moves past what it took, or takes nothing.
class Cursor {
 public:
  explicit Cursor(std::string_view line) : rest_(line) {}

  bool Take(std::string_view word) {
    if (rest_.substr(0, word.size()) != word) return false;
    rest_.remove_prefix(word.size());
    return true;
  }
  // Leading decimal digits (at least one, at most `most`).
  std::optional<uint64_t> Digits(size_t most = 19) {
    size_t n = 0;
    while (n < rest_.size() && n < most && rest_[n] >= '0' && rest_[n] <= '9') ++n;
    if (n == 0) return std::nullopt;
    const auto value = ParseNumber<uint64_t>(rest_.substr(0, n));
    rest_.remove_prefix(n);
    return value;
  }
  // Leading hexadecimal digits: at least `least`, at most `most`.
  std::optional<uint32_t> Hex(size_t least, size_t most) {
    uint32_t value = 0;
    size_t n = 0;
    for (; n < rest_.size() && n < most; ++n) {
      const int digit = HexDigitValue(static_cast<unsigned char>(rest_[n]));
      if (digit < 0) break;
      value = value << 4 | static_cast<uint32_t>(digit);
    }
    if (n < least) return std::nullopt;
    rest_.remove_prefix(n);
    return value;
  }
  std::string_view Rest() const { return rest_; }
  bool AtEnd() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

std::optional<uint64_t> TakeTime(Cursor& c) {
  const std::optional<uint64_t> seconds = c.Digits(13);
  if (!seconds || !c.Take(".")) return std::nullopt;
  const size_t before = c.Rest().size();
  const std::optional<uint64_t> micros = c.Digits(6);
  if (!micros || before - c.Rest().size() != 6) return std::nullopt;
  return *seconds * 1000000 + *micros;
}

// The items of a transfer up to " | ", into the event; the reason when they are malformed.
std::string TakeItems(Cursor& c, uint64_t count, TraceEvent& event) {
  while (!c.Take(" | ")) {
    if (!c.Take(" ")) return "expected a byte, a withheld range or \" | \"";
    if (c.Take("[")) {
      const std::optional<uint64_t> size = c.Digits(7);
      if (!size || *size == 0) return "a withheld range without its size";
      if (!c.Take(*size == 1 ? " byte withheld]" : " bytes withheld]")) {
        return "a withheld range not closed as \"bytes withheld]\"";
      }
      if (*size > count - event.bytes.size()) return "more bytes than the count";
      event.withheld.push_back(
          {static_cast<uint32_t>(event.bytes.size()), static_cast<uint32_t>(*size)});
      event.bytes.resize(event.bytes.size() + *size, 0);
      continue;
    }
    const std::optional<uint32_t> byte = c.Hex(2, 2);
    if (!byte) return "a byte that is not two hexadecimal digits";
    if (event.bytes.size() >= count) return "more bytes than the count";
    event.bytes.push_back(static_cast<uint8_t>(*byte));
  }
  if (event.bytes.size() != count) return "fewer bytes than the count";
  return {};
}

// One event line (after its time) into `event`; the reason when it is malformed.
std::string TakeEvent(Cursor& c, TraceEvent& event) {
  const bool out = c.Take("OUT ");
  if (out || c.Take("IN ")) {
    event.kind = TraceEvent::Kind::Transfer;
    event.toDevice = out;
    const std::optional<uint64_t> count = c.Digits(7);
    if (!count || !c.Take(" bytes:")) return "a transfer without its byte count";
    if (std::string wrong = TakeItems(c, *count, event); !wrong.empty()) return wrong;
    if (c.AtEnd()) return "a transfer without its decoding";
    event.decoding = std::string(c.Rest());
    return {};
  }
  if (c.Take("NOTE ")) {
    event.kind = TraceEvent::Kind::Remark;
  } else if (c.Take("LINK serial ")) {
    event.kind = TraceEvent::Kind::Link;
    const std::optional<uint32_t> serial = c.Hex(1, 8);
    std::optional<uint32_t> pipeOut;
    std::optional<uint32_t> pipeIn;
    if (!serial || !c.Take(" pipes ") || !(pipeOut = c.Hex(2, 2)) || !c.Take("/") ||
        !(pipeIn = c.Hex(2, 2)) || !c.Take(" path ")) {
      return "a link line not as \"LINK serial S pipes OO/II path P\"";
    }
    event.serialNumber = *serial;
    event.pipeOut = static_cast<uint8_t>(*pipeOut);
    event.pipeIn = static_cast<uint8_t>(*pipeIn);
  } else {
    return "neither OUT, IN, NOTE nor LINK";
  }
  std::optional<std::string> text = UnescapeTraceText(c.Rest());
  if (!text) return "text with a stray \\ or a control character";
  event.text = std::move(*text);
  return {};
}

// A header line "# key: value" into `text`; the reason when it is malformed.
std::string TakeHeader(std::string_view line, TraceText& text) {
  if (text.header.empty() && line != kTraceFormatLine) {
    return std::string("not a kpnox trace: the first line is not \"") + kTraceFormatLine + "\"";
  }
  const size_t colon = line.find(": ", 2);
  if (colon == std::string_view::npos || colon == 2) return "a header line without \"key: \"";
  const std::string_view key = line.substr(2, colon - 2);
  for (const char ch : key) {
    if ((ch < 'a' || ch > 'z') && ch != '-') return "a header key of other than a-z and -";
  }
  std::optional<std::string> value = UnescapeTraceText(line.substr(colon + 2));
  if (!value) return "a header value with a stray \\ or a control character";
  text.header.emplace_back(std::string(key), std::move(*value));
  return {};
}

}  // namespace

std::optional<TraceText> ParseTraceText(std::string_view text, std::string* error) {
  TraceText trace;
  size_t number = 0;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(number) + ": " + why;
    return std::nullopt;
  };
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return fail("cut off: no line end");
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (line.substr(0, 2) == "# " || trace.header.empty()) {
      if (!trace.events.empty()) return fail("a header line after the events");
      if (std::string wrong = TakeHeader(line, trace); !wrong.empty()) return fail(wrong);
      continue;
    }
    Cursor c(line);
    TraceEvent event;
    const std::optional<uint64_t> micros = TakeTime(c);
    if (!micros || !c.Take(" ")) return fail("no time (seconds.micros) at the start");
    event.micros = *micros;
    if (std::string wrong = TakeEvent(c, event); !wrong.empty()) return fail(wrong);
    trace.events.push_back(std::move(event));
  }
  if (trace.header.empty()) {
    *error = "empty: not a kpnox trace";
    return std::nullopt;
  }
  return trace;
}

}  // namespace kp
