// The card commands and the three composite card operations: every result code, what is
// sent before it and what is not, the exact requests, and the refusal of oversized files.
#include "ScriptedDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <set>
#include <string>

namespace kp::test {
namespace {

enum class Op { Program, Read, Erase };

struct Answer {
  uint8_t command;
  Bytes payload;
};

// The 24-byte read-file reply: UID of the card read, then the file.
Bytes ReadReply(const Bytes& uid, int32_t department, int32_t index) {
  Bytes reply = uid;
  for (int32_t v : {department, index}) {
    const auto u = static_cast<uint32_t>(v);
    reply.insert(reply.end(), {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                               static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)});
  }
  reply.insert(reply.end(), 8, 0xEE);  // the unused half of the file is not looked at
  return reply;
}

struct CardCase {
  const char* name;
  Op op;
  std::vector<Answer> script;
  int32_t result;
  Bytes sent;
  // A printer of its own: GoogleTest would print the struct byte by byte, padding included.
  friend void PrintTo(const CardCase& c, std::ostream* os) { *os << c.name; }
};

class CompositeCardOperation : public testing::TestWithParam<CardCase> {};

TEST_P(CompositeCardOperation, ReturnsItsResultAfterSendingOnlyWhatItNeeds) {
  const CardCase& c = GetParam();
  ScriptedDevice d;
  for (const Answer& a : c.script) d.Answer(a.command, a.payload);
  int32_t department = -11;
  int32_t index = -22;
  int32_t result = -100;
  switch (c.op) {
    case Op::Program: result = d.programmer.ProgramCard(4321, 8); break;
    case Op::Read: result = d.programmer.ReadCard(&department, &index); break;
    case Op::Erase: result = d.programmer.EraseCard(); break;
  }
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(d.Commands(), c.sent);
  if (c.op == Op::Read && c.result == kCardOk) {
    EXPECT_EQ(department, -5);
    EXPECT_EQ(index, 123456);
  } else {
    EXPECT_EQ(department, -11);  // outputs are written only on success
    EXPECT_EQ(index, -22);
  }
}

constexpr uint8_t R = kCmdCardInfo, p = kCmdPrepareCard, P = kCmdWriteFile, r = kCmdReadFile,
                  C = kCmdEraseCard;
const Answer kNoCard{R, {0x00}};
const Answer kEmptyCard{R, CardInfoPayload(kDesfireEmpty)};
const Answer kUsedCard{R, CardInfoPayload(kDesfireWithData)};

INSTANTIATE_TEST_SUITE_P(
    Program, CompositeCardOperation,
    testing::Values(
        CardCase{"NoCard", Op::Program, {kNoCard}, kCardNoCard, {R}},
        CardCase{"ShortCardInfo", Op::Program, {{R, Bytes(15)}}, kCardNoCard, {R}},
        CardCase{"OtherTypeEmpty", Op::Program, {{R, CardInfoPayload(0x0C)}}, kCardOtherType, {R}},
        CardCase{"OtherTypeUsed", Op::Program, {{R, CardInfoPayload(0x15)}}, kCardOtherType, {R}},
        CardCase{"Content1", Op::Program, {kUsedCard}, kCardHoldsData, {R}},
        CardCase{"Content2", Op::Program, {{R, CardInfoPayload(0x12)}}, kCardHoldsData, {R}},
        CardCase{"Content3", Op::Program, {{R, CardInfoPayload(0x13)}}, kCardHoldsData, {R}},
        CardCase{
            "PrepareRefused", Op::Program, {kEmptyCard, {p, {0x01}}}, kCardPrepareFailed, {R, p}},
        CardCase{
            "PrepareRefusedFF", Op::Program, {kEmptyCard, {p, {0xFF}}}, kCardPrepareFailed, {R, p}},
        CardCase{"WriteRefused",
                 Op::Program,
                 {kEmptyCard, {p, {0x00}}, {P, {0x02}}},
                 kCardWriteFailed,
                 {R, p, P}},
        CardCase{
            "Programmed", Op::Program, {kEmptyCard, {p, {0x00}}, {P, {0x00}}}, kCardOk, {R, p, P}}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Read, CompositeCardOperation,
    testing::Values(
        CardCase{"NoCard", Op::Read, {kNoCard}, kCardNoCard, {R}},
        CardCase{"OtherType", Op::Read, {{R, CardInfoPayload(0x0D)}}, kCardOtherType, {R}},
        CardCase{"Empty", Op::Read, {kEmptyCard}, kCardEmpty, {R}},
        CardCase{"Refused", Op::Read, {kUsedCard, {r, {0x04}}}, kCardReadFailed, {R, r}},
        CardCase{"AnotherCardAnswered",
                 Op::Read,
                 {kUsedCard, {r, ReadReply(kOtherUid, -5, 123456)}},
                 kCardReadFailed,
                 {R, r}},
        CardCase{"Read", Op::Read, {kUsedCard, {r, ReadReply(kUid, -5, 123456)}}, kCardOk, {R, r}},
        CardCase{"ReadContent3",
                 Op::Read,
                 {{R, CardInfoPayload(0x13)}, {r, ReadReply(kUid, -5, 123456)}},
                 kCardOk,
                 {R, r}}),
    CaseName());

INSTANTIATE_TEST_SUITE_P(
    Erase, CompositeCardOperation,
    testing::Values(
        CardCase{"NoCard", Op::Erase, {kNoCard}, kCardNoCard, {R}},
        CardCase{"OtherType", Op::Erase, {{R, CardInfoPayload(0x00)}}, kCardOtherType, {R}},
        CardCase{"Refused", Op::Erase, {kUsedCard, {C, {0x01}}}, kCardEraseFailed, {R, C}},
        CardCase{"EmptyCardIsErasedToo", Op::Erase, {kEmptyCard, {C, {0x00}}}, kCardOk, {R, C}},
        CardCase{"Erased", Op::Erase, {kUsedCard, {C, {0x00}}}, kCardOk, {R, C}}),
    CaseName());

struct FileCase {
  int32_t department;
  int32_t index;
  Bytes file;
  friend void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.department << "/" << c.index;
  }
};

class ProgramCardRequests : public testing::TestWithParam<FileCase> {};

TEST_P(ProgramCardRequests, NameTheCardFoundAndCarryTheFileLittleEndian) {
  ScriptedDevice d;
  d.Answer(kCmdCardInfo, CardInfoPayload(kDesfireEmpty));
  d.Answer(kCmdPrepareCard, {0x00});
  d.Answer(kCmdWriteFile, {0x00});
  ASSERT_EQ(d.programmer.ProgramCard(GetParam().department, GetParam().index), kCardOk);

  EXPECT_TRUE(d.PayloadOf(kCmdCardInfo).empty());
  Bytes prepare{0x01};
  prepare.insert(prepare.end(), kUid.begin(), kUid.end());
  EXPECT_EQ(d.PayloadOf(kCmdPrepareCard), prepare);
  Bytes write = prepare;
  write.insert(write.end(), GetParam().file.begin(), GetParam().file.end());
  write.insert(write.end(), 8, 0x00);
  ASSERT_EQ(write.size(), 25u);
  EXPECT_EQ(d.PayloadOf(kCmdWriteFile), write);
  EXPECT_EQ(d.bus.PipeTimeout(d.device, kInPipe), kWriteFileTimeoutMs);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ProgramCardRequests,
    testing::Values(FileCase{99999, 7, {0x9F, 0x86, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00}},
                    FileCase{-1, INT32_MIN, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x80}},
                    FileCase{0, INT32_MAX, {0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x7F}}));

TEST(CardRequests, ReadSendsTheSelectorAndEraseTheUid) {
  ScriptedDevice d;
  d.Answer(kCmdCardInfo, CardInfoPayload(kDesfireWithData, kOtherUid));
  d.Answer(kCmdReadFile, ReadReply(kOtherUid, 1, 2));
  d.Answer(kCmdCardInfo, CardInfoPayload(kDesfireWithData, kUid));
  d.Answer(kCmdEraseCard, {0x00});
  int32_t department = 0;
  int32_t index = 0;
  ASSERT_EQ(d.programmer.ReadCard(&department, &index), kCardOk);
  EXPECT_EQ(d.PayloadOf(kCmdReadFile), (Bytes{0x01}));
  EXPECT_EQ(d.bus.PipeTimeout(d.device, kInPipe), kReadFileTimeoutMs);
  ASSERT_EQ(d.programmer.EraseCard(), kCardOk);
  EXPECT_EQ(d.PayloadOf(kCmdEraseCard), kUid);  // the UID of this operation's own card-info
  EXPECT_EQ(d.bus.PipeTimeout(d.device, kInPipe), kEraseCardTimeoutMs);
  EXPECT_EQ(Bytes(d.programmer.cardInfo.uid, d.programmer.cardInfo.uid + kUidSize), kUid);
}

TEST(ReadCardFile, ReturnsTheStatusByteOrMinusOneAndLeavesTheOutputAlone) {
  ScriptedDevice d;
  d.Answer(kCmdCardInfo, CardInfoPayload(kDesfireWithData));
  ASSERT_TRUE(d.programmer.ReadCardInfo());
  d.Answer(kCmdReadFile, {0x07});
  d.Answer(kCmdReadFile, ReadReply(kOtherUid, 1, 2));
  uint8_t out[kCardFileSize];
  std::fill(std::begin(out), std::end(out), 0x5C);
  EXPECT_EQ(d.programmer.ReadCardFile(kCardSelector, kCardFileSize, out), 7);
  EXPECT_EQ(d.programmer.ReadCardFile(kCardSelector, kCardFileSize, out), -1);
  EXPECT_EQ(Bytes(out, out + kCardFileSize), Bytes(kCardFileSize, 0x5C));
}

TEST(OversizedFile, IsRefusedWithBadParametersBeforeAnythingIsSent) {
  ScriptedDevice d;
  d.Answer(kCmdWriteFile, {0x00});
  d.Answer(kCmdReadFile, Bytes(kUidSize + 245, 0x00));
  const Bytes data(300, 0xA5);
  Bytes out(300, 0x5C);
  struct Call {
    uint8_t command;
    std::function<void()> run;
  };
  const Call calls[] = {
      {kCmdWriteFile, [&] { d.programmer.WriteCardFile(kCardSelector, 245, data.data()); }},
      {kCmdWriteFile, [&] { d.programmer.WriteCardFile(kCardSelector, UINT32_MAX, data.data()); }},
      {kCmdReadFile, [&] { d.programmer.ReadCardFile(kCardSelector, 245, out.data()); }},
      {kCmdReadFile, [&] { d.programmer.ReadCardFile(kCardSelector, UINT32_MAX, out.data()); }},
  };
  for (const Call& call : calls) {
    try {
      call.run();
      ADD_FAILURE() << "no exception for command " << int{call.command};
    } catch (const WUsbErr& e) {
      EXPECT_EQ(e.errorCode, wusb::kBadParameters);
      EXPECT_EQ(e.commandByte, call.command);
    }
  }
  EXPECT_TRUE(d.bus.Written(d.device).empty());
  EXPECT_EQ(out, Bytes(300, 0x5C));
}

TEST(LargestFile, Of244BytesIsWrittenAndReadWhole) {
  ScriptedDevice d;
  d.Answer(kCmdCardInfo, CardInfoPayload(kDesfireEmpty));
  ASSERT_TRUE(d.programmer.ReadCardInfo());
  Bytes data(kMaxCardFileData);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
  d.Answer(kCmdWriteFile, {0x00});
  EXPECT_EQ(d.programmer.WriteCardFile(kCardSelector, kMaxCardFileData, data.data()), 0);
  const Bytes request = d.PayloadOf(kCmdWriteFile);
  ASSERT_EQ(request.size(), 9 + kMaxCardFileData);
  EXPECT_EQ(Bytes(request.begin() + 9, request.end()), data);

  Bytes reply = kUid;
  reply.insert(reply.end(), data.rbegin(), data.rend());
  d.Answer(kCmdReadFile, reply);
  Bytes out(kMaxCardFileData);
  EXPECT_EQ(d.programmer.ReadCardFile(kCardSelector, kMaxCardFileData, out.data()), 0);
  EXPECT_EQ(out, Bytes(data.rbegin(), data.rend()));
}

TEST(CardResultText, CodesOneToNineHaveTheirOwnMessagesAndAllOthersTheDefault) {
  const std::string fallback = CardResultText(0);
  EXPECT_EQ(fallback, "Błąd, ale brak opisu błądu.");
  for (int32_t code : {10, -1, 100, INT32_MIN, INT32_MAX})
    EXPECT_EQ(CardResultText(code), fallback);
  std::set<std::string> texts;
  for (int32_t code = 1; code <= 9; ++code) {
    EXPECT_NE(CardResultText(code), fallback) << code;
    texts.insert(CardResultText(code));
  }
  EXPECT_EQ(texts.size(), 9u);
  EXPECT_STREQ(CardResultText(kCardHoldsData), "Karta już zawiera jakieś dane.");
}

}  // namespace
}  // namespace kp::test
