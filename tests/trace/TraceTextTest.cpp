// The text trace: each kind of line as a replay will read it, the parser taking back exactly
// what the sink wrote, and the parser refusing what the grammar does not allow.
#include "TraceTestSupport.h"

#include "codepage/PasswordCodePage.h"
#include "base/NumberText.h"
#include "trace/TraceText.h"
#include "trace/TraceTextEscape.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace kp::test {
namespace {

constexpr uint64_t kStart = 7000000;  // the clock's value when the trace began

// Upper-case hexadecimal, a space before each byte.
std::string Spaced(const Bytes& bytes) {
  std::string text;
  for (const uint8_t b : bytes) text += " " + HexText({&b, 1});
  return text;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A text trace into a string, on a clock the test sets.
struct TextRig {
  std::string written;
  uint64_t now = kStart;
  TextTrace trace{[this](std::string_view bytes) { return written.append(bytes), true; },
                  [this] { return now; },
                  {"kpnox-cli 1.0.0", "Linux 6.1 #1 SMP x86_64", "libusb; kpr50-sim"}};
};

using Call = std::function<void(TraceSet&)>;

Call Transfer(bool out, const Bytes& bytes) {
  return [out, bytes](TraceSet& t) {
    t.TraceTransfer(out ? kTraceToDevice : kTraceFromDevice, static_cast<int32_t>(bytes.size()),
                    bytes.data(), 0x1A2B, kTraceTag);
  };
}

struct LineRow {
  const char* name;
  Call call;
  std::string expected;  // the line after "<time> "
};

TEST(TraceText, EachKindOfLine) {
  const Bytes identity = {'u', 's', 'e', 'r', 0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes secret(16, 0xA5);
  const Bytes status = FrameOf('M', {});
  const Bytes statusReply = FrameOf(0xCD, {0x01, 0x00, 0xAA, 0x00, 0x64, 0x00, 0x07, 0x04});
  Bytes badCrc = FrameOf('R', {});
  badCrc.back() ^= 0x01;
  const Bytes change = FrameOf('H', Concat({identity, secret, secret}));
  const LineRow rows[] = {
      {"request", Transfer(true, status),
       "OUT 5 bytes:" + Spaced(status) + " | request 'M' status, payload 0, CRC ok"},
      {"reply", Transfer(false, statusReply),
       "IN 13 bytes:" + Spaced(statusReply) + " | reply 'M' status, payload 8, CRC ok"},
      {"empty read", Transfer(false, {}), "IN 0 bytes: | nothing arrived"},
      {"one byte", Transfer(false, {0x07}), "IN 1 bytes: 07 | not one whole frame"},
      {"length field disagrees", Transfer(false, {0x09, 0x00, 0xCD, 0x01}),
       "IN 4 bytes: 09 00 CD 01 | not one whole frame: length field 9, reply 'M' status"},
      {"bad CRC", Transfer(true, badCrc),
       "OUT 5 bytes:" + Spaced(badCrc) + " | request 'R' card-info, payload 0, CRC bad"},
      {"unknown command", Transfer(true, FrameOf(0x7A, {0x01})),
       "OUT 6 bytes:" + Spaced(FrameOf(0x7A, {0x01})) +
           " | request 0x7A unknown, payload 1, CRC ok"},
      {"login", Transfer(true, FrameOf('L', Concat({identity, secret}))),
       "OUT 33 bytes: 21 00 4C" + Spaced(identity) +
           " [16 bytes withheld] [2 bytes withheld] | request 'L' login, payload 28, CRC ok"},
      {"password change cut short", Transfer(true, Bytes(change.begin(), change.begin() + 20)),
       "OUT 20 bytes: 31 00 48" + Spaced(identity) +
           " [5 bytes withheld] | not one whole frame: length field 49, request 'H' "
           "change-password"},
      {"challenge", Transfer(false, FrameOf(0xEE, secret)),
       "IN 21 bytes: 15 00 EE [16 bytes withheld] [2 bytes withheld] | reply 'n' challenge, "
       "payload 16, CRC ok"},
      // Remarks: Windows-1250 as the interface has it, or UTF-8 as the link's own are.
      {"remark, Windows-1250", [](TraceSet& t) { t.TraceMessage("zosta\xB3y \x81\xB9\x9F"); },
       "NOTE zostały \xEF\xBF\xBD\xC4\x85\xC5\xBA"},
      {"remark, UTF-8", [](TraceSet& t) { t.TraceMessage("zostały wysłane."); },
       "NOTE zostały wysłane."},
      {"remark, escaped", [](TraceSet& t) { t.TraceMessage("tab\there\\back\x7F"); },
       "NOTE tab\\x09here\\\\back\\x7F"},
      {"link", [](TraceSet& t) { t.TraceLink("/run/kpr50-sim/a b.sock", 0x1A2B, 0x02, 0x81); },
       "LINK serial 1A2B pipes 02/81 path /run/kpr50-sim/a b.sock"},
      {"link, serial 0", [](TraceSet& t) { t.TraceLink("usb:1-2\n", 0, 0x01, 0x82); },
       "LINK serial 0 pipes 01/82 path usb:1-2\\x0A"},
  };
  TextRig rig;
  EXPECT_EQ(rig.written,
            "# format: kpnox-trace 1\n"
            "# program: kpnox-cli 1.0.0\n"
            "# system: Linux 6.1 #1 SMP x86_64\n"
            "# backend: libusb; kpr50-sim\n");
  uint64_t micros = 0;
  for (const LineRow& row : rows) {
    SCOPED_TRACE(row.name);
    micros += 1234567;
    rig.now = kStart + micros;
    rig.written.clear();
    row.call(rig.trace);
    const std::string seconds = std::to_string(micros / 1000000) + "." +
                                std::to_string(1000000 + micros % 1000000).substr(1);
    EXPECT_EQ(rig.written, seconds + " " + row.expected + "\n");
  }
  EXPECT_FALSE(rig.trace.Failed());
}

// Frames of every command, secret ones too, whole, cut short, run on or broken, and noise;
// remarks of any bytes; links with any path.
TEST(TraceText, ParserTakesBackWhatTheSinkWrote) {
  std::mt19937 random(20261207);
  auto byte = [&] { return static_cast<uint8_t>(random() & 0xFF); };
  auto text = [&](size_t size) {
    std::string t(size, ' ');
    for (char& ch : t) ch = static_cast<char>(1 + random() % 255);
    return t;
  };
  const uint8_t commands[] = {'M', 's', 'l', 'n', 'R', 'L', 'H', 'p', 'P', 'r', 'C'};
  TextRig rig;
  std::vector<TraceEvent> expected;
  size_t secretLines = 0;
  for (int i = 0; i < 400; ++i) {
    rig.now += random() % 3000000;
    TraceEvent e;
    e.micros = rig.now - kStart;
    if (const unsigned kind = random() % 8; kind == 0) {
      const std::string raw = text(1 + random() % 40);
      rig.trace.TraceMessage(raw.c_str());
      e.kind = TraceEvent::Kind::Remark;
      e.text = IsUtf8(raw) ? raw : Windows1250ToUtf8(raw);
    } else if (kind == 1) {
      e.kind = TraceEvent::Kind::Link;
      e.text = text(random() % 60);
      e.serialNumber = static_cast<uint32_t>(random());
      e.pipeOut = byte();
      e.pipeIn = byte();
      rig.trace.TraceLink(e.text.c_str(), e.serialNumber, e.pipeOut, e.pipeIn);
    } else {
      Bytes payload(random() % 3 == 0 ? random() % 60 : 16 + random() % 30);
      for (uint8_t& b : payload) b = byte();
      const auto command = static_cast<uint8_t>(commands[random() % std::size(commands)] |
                                                (random() % 2 == 0 ? 0x80 : 0));
      Bytes bytes = random() % 9 == 0 ? payload : FrameOf(command, payload);
      if (random() % 5 == 0) bytes.resize(random() % (bytes.size() + 1));
      if (random() % 5 == 0) bytes.push_back(byte());
      if (random() % 5 == 0 && !bytes.empty()) bytes[random() % bytes.size()] ^= 0x10;
      e.toDevice = random() % 2 == 0;
      Transfer(e.toDevice, bytes)(rig.trace);
      e.decoding = DescribeTransfer(e.toDevice, bytes);
      e.withheld = WithheldRanges(bytes);
      for (const ByteRange& r : e.withheld) std::fill_n(bytes.begin() + r.at, r.size, 0);
      e.bytes = bytes;
      secretLines += e.withheld.empty() ? 0 : 1;
    }
    expected.push_back(e);
  }
  ASSERT_GT(secretLines, 20u);  // the secret frames were among them

  std::string error;
  const std::optional<TraceText> parsed = ParseTraceText(rig.written, &error);
  ASSERT_TRUE(parsed) << error;
  EXPECT_EQ(parsed->header[1],
            std::make_pair(std::string("program"), std::string("kpnox-cli 1.0.0")));
  ASSERT_EQ(parsed->events.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(parsed->events[i] == expected[i]) << "event " << i;
  }
}

TEST(TraceText, ParserRefusesWhatTheGrammarDoesNot) {
  const std::string header = "# format: kpnox-trace 1\n";
  const std::pair<std::string, std::string> rows[] = {
      {"", "empty"},
      {"# format: other 2\n", "not a kpnox trace"},
      {header + "0.000001 OUT 2 bytes: 01 | x\n", "line 2: fewer bytes than the count"},
      {header + "0.000001 OUT 1 bytes: 01 02 | x\n", "more bytes than the count"},
      {header + "0.000001 IN 3 bytes: [4 bytes withheld] | x\n", "more bytes than the count"},
      {header + "0.000001 IN 1 bytes: [1 bytes withheld] | x\n", "not closed"},
      {header + "0.000001 OUT 1 bytes: 0G | x\n", "two hexadecimal digits"},
      {header + "0.000001 IN 1 bytes: 01 | \n", "without its decoding"},
      {header + "1.5 IN 0 bytes: | nothing arrived\n", "no time"},
      {header + "0.000001 IN 0 bytes: | nothing arrived", "cut off"},
      {header + "0.000001 IN 0 bytes: | nothing arrived\n# late: x\n",
       "line 3: a header line after"},
      {header + "0.000001 NOTE a\\qb\n", "stray"},
      {header + "0.000001 NOTE a\rb\n", "control character"},
      {header + "0.000001 SEND 1\n", "neither OUT"},
      {header + "0.000001 LINK serial 1 pipes 2/81 path x\n", "a link line"},
      {header + "# nokey\n", "without \"key: \""},
  };
  for (const auto& [text, reason] : rows) {
    SCOPED_TRACE(text);
    std::string error;
    EXPECT_FALSE(ParseTraceText(text, &error));
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace kp::test
