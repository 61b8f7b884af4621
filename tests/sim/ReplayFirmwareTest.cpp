// The replay of a traced programmer: which requests match, what they get and when, and trace
// files made to hurt.
#include "SimTestSupport.h"

#include "sim/firmware/ReplayFirmware.h"
#include "trace/TraceText.h"

#include <random>

namespace kp::test {
namespace {

constexpr uint8_t kReply = 0x80;

Bytes Login(const char* identity, uint8_t proof) {
  return Request(sim::kCmdLogin, Concat({IdentityField(identity), Bytes(16, proof)}));
}
std::string Line(uint64_t micros, bool out, const Bytes& bytes) {
  return TransferLine(micros, out, bytes) + "\n";
}

const Bytes kStatus = Request(sim::kCmdStatus);
const Bytes kStatusReply = EncodeFrame(sim::kCmdStatus | kReply, Bytes{1, 0, 0xAA, 0, 0x64, 0});
const Bytes kChallenge = Request(sim::kCmdChallenge);
const Bytes kLoginReply = EncodeFrame(sim::kCmdLogin | kReply, Bytes{1, 0, 0, 0});
const Bytes kRead = Request(sim::kCmdReadFile, Bytes{1});
const Bytes kReadReply = EncodeFrame(sim::kCmdReadFile | kReply, Bytes(24, 0x33));
const Bytes kStale = EncodeFrame(sim::kCmdEraseCard | kReply, Bytes{0});

// A session as kpnox-cli traces it, secrets withheld: the drain at the link, a status, the
// login, a read answered only after its resend (twice), and the client linking again to find
// a stale answer waiting. The steps' lines: 3, 5, 8, 10, 12, 14, 17.
const std::string kTrace =
    "# format: kpnox-trace 1\n# program: test\n0.000100 LINK serial 1A2B pipes 02/81 path p\n" +
    Line(50100, false, {}) + Line(50200, true, kStatus) + Line(75600, false, kStatusReply) +
    "0.076000 NOTE a remark\n" + Line(80000, true, kChallenge) +
    Line(80500, false, EncodeFrame(sim::kCmdChallenge | kReply, Bytes(16, 0x5A))) +
    Line(81000, true, Login("user", 0x77)) + Line(81400, false, kLoginReply) +
    Line(90000, true, kRead) + Line(92000, false, {}) + Line(92100, true, kRead) +
    Line(95100, false, kReadReply) + Line(140100, false, kReadReply) +
    "0.150000 LINK serial 1A2B pipes 02/81 path p\n" + Line(200000, false, kStale);
// What a faithful client sends, step by step; {} links.
const std::vector<Bytes> kAsked = {{}, kStatus, kChallenge, Login("user", 0x77), kRead, kRead, {}};

std::unique_ptr<ReplayFirmware> Load(const std::string& text, ReplaySpeed speed) {
  std::string error;
  auto replay = ReplayFirmware::FromText(text, speed, &error);
  EXPECT_NE(replay, nullptr) << error;
  return replay;
}

std::vector<InTransfer> Ask(ReplayFirmware& replay, const Bytes& request) {
  return request.empty() ? replay.Opened() : replay.HandleRequest(request);
}

TEST(ReplayFirmware, TracedAnswersComeAtTheTracedTimesThenNothing) {
  for (const ReplaySpeed speed : {ReplaySpeed::AsTraced, ReplaySpeed::AtOnce}) {
    const auto replay = Load(kTrace, speed);
    ASSERT_NE(replay, nullptr);
    const uint64_t scale = speed == ReplaySpeed::AsTraced ? 1 : 0;
    // Per step: the answers, and their delays as traced (ms after the step). The proof differs
    // from the traced one where it was withheld; the challenge goes out as zeros, CRC right.
    std::vector<std::vector<std::pair<Bytes, uint64_t>>> expected = {
        {},
        {{kStatusReply, 25}},
        {{EncodeFrame(sim::kCmdChallenge | kReply, Bytes(16, 0)), 0}},
        {{kLoginReply, 0}},
        {},
        {{kReadReply, 3}, {kReadReply, 48}},
        {{kStale, 50}}};
    for (size_t step = 0; step < kAsked.size(); ++step) {
      SCOPED_TRACE(step);
      const Bytes asked = step == 3 ? Login("user", 0x01) : kAsked[step];
      std::vector<std::pair<Bytes, uint64_t>> got;
      for (const InTransfer& a : Ask(*replay, asked)) got.emplace_back(a.bytes, a.delayMs);
      for (auto& answer : expected[step]) answer.second *= scale;
      EXPECT_EQ(got, expected[step]);
    }
    const auto notices = replay->TakeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(NoticeText(notices[0]), "finished");
    EXPECT_TRUE(Ask(*replay, kStatus).empty());
    EXPECT_TRUE(Ask(*replay, {}).empty());
  }
}

TEST(ReplayFirmware, TheFirstRequestThatDiffersButForWithheldBytesEndsTheAnswers) {
  Bytes badCrc = kStatus;
  badCrc.back() ^= 1;
  Bytes otherCommand = Login("user", 0x77);
  otherCommand[2] = sim::kCmdChangePassword;
  struct Row {
    const char* what;
    size_t step;  // of kAsked, where `request` comes instead
    Bytes request;
    size_t line;  // 0: it matches
    const char* notice;
  } const rows[] = {
      {"equal", 1, kStatus, 0, ""},
      {"a withheld proof and CRC differ", 3, Login("user", 0x42), 0, ""},
      {"a CRC not withheld differs", 1, badCrc, 5,
       "expected OUT 5 bytes: 05 00 4D A1 F4 (request 'M' status, payload 0, CRC ok), came "
       "OUT 5 bytes: 05 00 4D A1 F5 (request 'M' status, payload 0, CRC bad); first difference "
       "at byte 4"},
      {"a payload differs", 3, Login("admin", 0x77), 10,
       "[16 bytes withheld] [2 bytes withheld] (request 'L' login, payload 28, CRC ok), came OUT "
       "33 bytes: 21 00 4C 61 64 6D 69 6E 00 00 00 00 00 00 00 [16 bytes withheld] [2 bytes "
       "withheld] (request 'L' login, payload 28, CRC ok); first difference at byte 3"},
      {"a command differs", 3, otherCommand, 10,
       "(request 'H' change-password, payload 28, CRC bad); first difference at byte 2"},
      {"a size differs", 1, Request(sim::kCmdStatus, {0}), 5, "; 6 bytes, not 5"},
      {"a link where a request is traced", 1, {}, 5, "CRC ok), came a new link"},
      {"a request where a link is traced", 6, kStatus, 17, "expected a new link, came OUT 5"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const auto replay = Load(kTrace, ReplaySpeed::AtOnce);
    ASSERT_NE(replay, nullptr);
    for (size_t step = 0; step < row.step; ++step) Ask(*replay, kAsked[step]);
    EXPECT_EQ(Ask(*replay, row.request).empty(), row.line != 0);
    const auto notices = replay->TakeNotices();
    ASSERT_EQ(notices.size(), row.line == 0 ? 0u : 1u);
    if (row.line == 0) continue;
    const std::string text = NoticeText(notices[0]);
    EXPECT_EQ(text.rfind("mismatch at line " + std::to_string(row.line) + ": ", 0), 0u) << text;
    EXPECT_NE(text.find(row.notice), std::string::npos) << text;
    // Silent from then on, even to what the trace expected there.
    EXPECT_TRUE(Ask(*replay, kAsked[row.step]).empty());
    EXPECT_EQ(replay->StateText(), "stopped at line " + std::to_string(row.line));
  }
}

TEST(ReplayFirmware, AWithheldCrcGoesOutBadWhereTheTraceSawItBad) {
  std::string line = Line(20, false, EncodeFrame(sim::kCmdChallenge | kReply, Bytes(16, 9)));
  line.replace(line.find("CRC ok"), 6, "CRC bad");
  const auto replay =
      Load("# format: kpnox-trace 1\n" + Line(10, true, kChallenge) + line, ReplaySpeed::AtOnce);
  ASSERT_NE(replay, nullptr);
  const auto answers = replay->HandleRequest(kChallenge);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_FALSE(DecodeFrame(answers[0].bytes));
}

// A trace file is whatever someone sends: mangled ones are refused with a line, or replayed by
// the same rules; none crashes (the sanitizer builds watch the memory).
TEST(ReplayFirmware, MangledTracesAreRefusedOrKeepTheRules) {
  std::mt19937 random(20261208);
  const std::string hex = "0123456789ABCDEF";
  const std::string nasty =
      "# format: kpnox-trace 1\n0.000010 OUT 5 bytes: 05 00 4D A1 F4 | x\n"
      "0.000002 IN 2000000 bytes: [2000000 bytes withheld] | x\n"
      "0.000020 IN 11 bytes: 05 00 CD [2 bytes withheld] [2 bytes withheld] 00 CD 00 00 | x\n";
  int replayed = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string text = round % 2 == 0 ? kTrace : nasty;
    for (int edit = 0; edit < 1 + round % 4 && !text.empty(); ++edit) {
      // Whole lines dropped or repeated keep the grammar; a changed digit keeps it mostly.
      const size_t at = random() % text.size();
      const size_t before = text.rfind('\n', at);
      const size_t begin = before == std::string::npos ? 0 : before + 1;
      const size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
      switch (random() % 4) {
        case 0: text.erase(begin, end - begin); break;
        case 1: text.insert(begin, text.substr(begin, end - begin)); break;
        case 2: text[at] = hex[random() % hex.size()]; break;
        default: text.erase(at, 1 + random() % 8); break;
      }
    }
    std::string error;
    const auto replay = ReplayFirmware::FromText(text, ReplaySpeed::AsTraced, &error);
    if (!replay) {
      EXPECT_TRUE(error.rfind("line ", 0) == 0 || error.rfind("empty", 0) == 0) << error;
      continue;
    }
    ++replayed;
    for (int i = 0; i < 10; ++i) {
      const bool ended = replay->Ended();
      const auto answers = Ask(*replay, i < 7 ? kAsked[static_cast<size_t>(i)] : Bytes(1040, 5));
      EXPECT_TRUE(!ended || answers.empty());
      for (const InTransfer& a : answers) EXPECT_FALSE(a.bytes.empty());
      for (const ReplayNotice& n : replay->TakeNotices()) {
        EXPECT_TRUE(replay->Ended());
        EXPECT_LT(NoticeText(n).size(), 1000u);  // a long transfer is shown cut
      }
    }
  }
  EXPECT_GT(replayed, 400);
}

}  // namespace
}  // namespace kp::test
