// Status, key signature, logout, challenge, card info and the model check of the KP-R50.
#include "ScriptedDevice.h"

#include <gtest/gtest.h>

namespace kp::test {
namespace {

TEST(StatusAndSignature, StoresTheFourWordsAndTheSignatureLittleEndian) {
  ScriptedDevice d;
  d.Answer(kCmdStatus, StatusPayload(0x1234, 0x00AA, 0x0102, 0x1C07));
  d.Answer(kCmdKeySignature, {0x78, 0x56, 0x34, 0x12});
  d.programmer.ReadStatusAndSignature();
  EXPECT_EQ(d.programmer.programmerNumber, 0x1234);
  EXPECT_EQ(d.programmer.modelCode, 0x00AA);
  EXPECT_EQ(d.programmer.firmwareVersion, 0x0102);
  EXPECT_EQ(d.programmer.statusWord, 0x1C07);
  EXPECT_EQ(d.programmer.keySignature, 0x12345678u);
  EXPECT_EQ(d.Commands(), (Bytes{kCmdStatus, kCmdKeySignature}));
  EXPECT_TRUE(d.PayloadOf(kCmdStatus).empty());
  EXPECT_TRUE(d.PayloadOf(kCmdKeySignature).empty());
  EXPECT_EQ(d.bus.PipeTimeout(d.device, kInPipe), kKeySignatureTimeoutMs);
}

class StatusReplyLength : public testing::TestWithParam<size_t> {};

TEST_P(StatusReplyLength, OtherThanEightBytesThrowsAndKeepsTheWords) {
  ScriptedDevice d;
  d.Answer(kCmdStatus, StatusPayload(7, 0x00AA, 3, 0x0400));
  d.Answer(kCmdStatus, Bytes(GetParam(), 0x5A));
  d.programmer.ReadStatusAndSignature();
  try {
    d.programmer.ReadStatusAndSignature();
    FAIL() << "no exception";
  } catch (const WUsbErr& e) {
    EXPECT_EQ(e.errorCode, wusb::kBadReply);
    EXPECT_EQ(e.commandByte, kCmdStatus);
  }
  EXPECT_EQ(d.programmer.programmerNumber, 7);
  EXPECT_EQ(d.programmer.modelCode, 0x00AA);
  EXPECT_EQ(d.programmer.firmwareVersion, 3);
  EXPECT_EQ(d.programmer.statusWord, 0x0400);
  EXPECT_EQ(d.Commands(), (Bytes{kCmdStatus, kCmdStatus}));
}

INSTANTIATE_TEST_SUITE_P(Lengths, StatusReplyLength, testing::Values(1, 7, 9, 16));

struct KeyState {
  uint16_t word;
  bool keysLoaded;
  friend void PrintTo(const KeyState& c, std::ostream* os) { *os << c.word; }
};

class SignatureByKeyState : public testing::TestWithParam<KeyState> {};

// The signature is asked for only when all three key bits are set; bit 7 (temporary keys)
// plays no part in it.
TEST_P(SignatureByKeyState, IsReadOnlyWithAllThreeKeyBits) {
  ScriptedDevice d;
  d.programmer.keySignature = 0xCAFEF00D;
  d.Answer(kCmdStatus, StatusPayload(1, 0x00AA, 1, GetParam().word));
  d.Answer(kCmdKeySignature, {0x01, 0x02, 0x03, 0x04});
  d.programmer.ReadStatusAndSignature();
  if (GetParam().keysLoaded) {
    EXPECT_EQ(d.Commands(), (Bytes{kCmdStatus, kCmdKeySignature}));
    EXPECT_EQ(d.programmer.keySignature, 0x04030201u);
  } else {
    EXPECT_EQ(d.Commands(), (Bytes{kCmdStatus}));
    EXPECT_EQ(d.programmer.keySignature, 0xCAFEF00Du);
  }
}

INSTANTIATE_TEST_SUITE_P(Words, SignatureByKeyState,
                         testing::Values(KeyState{0x0007, true}, KeyState{0x0087, true},
                                         KeyState{0xFFFF, true}, KeyState{0x1C07, true},
                                         KeyState{0x0080, false}, KeyState{0b011, false},
                                         KeyState{0b101, false}, KeyState{0b110, false},
                                         KeyState{0x0000, false}, KeyState{0xFFF8, false}));

TEST(StatusAndSignature, ASignatureReplyOfAnyLengthIsTaken) {
  ScriptedDevice d;
  d.Answer(kCmdStatus, StatusPayload(1, 0x00AA, 1, 0x0007));
  d.Answer(kCmdKeySignature, {0xAB, 0xCD});
  EXPECT_NO_THROW(d.programmer.ReadStatusAndSignature());
  EXPECT_EQ(d.programmer.keySignature & 0xFFFF, 0xCDABu);
}

struct LogoutCase {
  const char* name;
  Bytes reply;
  int32_t errorCode;  // -1: accepted
  // A printer of its own: GoogleTest would print the struct byte by byte, padding included.
  friend void PrintTo(const LogoutCase& c, std::ostream* os) { *os << c.name; }
};

class LogoutReply : public testing::TestWithParam<LogoutCase> {};

TEST_P(LogoutReply, OnlyTheSingleByteZeroIsAccepted) {
  ScriptedDevice d;
  d.Answer(kCmdLogout, GetParam().reply);
  if (GetParam().errorCode < 0) {
    EXPECT_NO_THROW(d.programmer.Logout());
  } else {
    try {
      d.programmer.Logout();
      FAIL() << "no exception";
    } catch (const WUsbErr& e) {
      EXPECT_EQ(e.errorCode, GetParam().errorCode);
      EXPECT_EQ(e.commandByte, kCmdLogout);
    }
  }
  EXPECT_EQ(d.Commands(), (Bytes{kCmdLogout}));
  EXPECT_TRUE(d.PayloadOf(kCmdLogout).empty());
}

INSTANTIATE_TEST_SUITE_P(Replies, LogoutReply,
                         testing::Values(LogoutCase{"Zero", {0x00}, -1},
                                         LogoutCase{"One", {0x01}, wusb::kNoAck},
                                         LogoutCase{"TwoBytes", {0x00, 0x00}, wusb::kBadReply}),
                         CaseName());

Bytes Challenge(uint8_t first) {
  Bytes c(kChallengeSize);
  for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<uint8_t>(first + 7 * i);
  return c;
}

TEST(GetChallenge, AFullReplyNeedsNoPause) {
  ScriptedDevice d;
  d.Answer(kCmdChallenge, Challenge(0x30));
  uint8_t out[kChallengeSize] = {};
  d.programmer.GetChallenge(out);
  EXPECT_EQ(Bytes(out, out + kChallengeSize), Challenge(0x30));
  EXPECT_EQ(d.bus.SleptMs(), 0u);
  EXPECT_EQ(d.Commands(), (Bytes{kCmdChallenge}));
}

TEST(GetChallenge, IsAskedOnceMoreAfterAStatusByteAndExactlyTheRetryPause) {
  ScriptedDevice d;
  d.Answer(kCmdChallenge, {0x01});
  d.Answer(kCmdChallenge, Challenge(0x90));
  uint8_t out[kChallengeSize] = {};
  const uint64_t sleptBefore = d.bus.SleptMs();
  const uint64_t before = d.bus.NowMs();
  d.programmer.GetChallenge(out);
  EXPECT_EQ(d.bus.SleptMs() - sleptBefore, 1100u);
  EXPECT_GE(d.bus.NowMs() - before, 1100u);
  EXPECT_EQ(Bytes(out, out + kChallengeSize), Challenge(0x90));
  EXPECT_EQ(d.Commands(), (Bytes{kCmdChallenge, kCmdChallenge}));
}

struct ChallengeFailure {
  const char* name;
  std::vector<Bytes> replies;
  int32_t errorCode;
  uint64_t sleptMs;
  size_t requests;
  friend void PrintTo(const ChallengeFailure& c, std::ostream* os) { *os << c.name; }
};

class GetChallengeFailure : public testing::TestWithParam<ChallengeFailure> {};

TEST_P(GetChallengeFailure, Throws) {
  ScriptedDevice d;
  for (const Bytes& reply : GetParam().replies) d.Answer(kCmdChallenge, reply);
  uint8_t out[kChallengeSize] = {};
  try {
    d.programmer.GetChallenge(out);
    FAIL() << "no exception";
  } catch (const WUsbErr& e) {
    EXPECT_EQ(e.errorCode, GetParam().errorCode);
    EXPECT_EQ(e.commandByte, kCmdChallenge);
  }
  EXPECT_EQ(d.bus.SleptMs(), GetParam().sleptMs);
  EXPECT_EQ(d.requests.size(), GetParam().requests);
}

// A silent programmer ends the operation at the first try: the exchange already resent it.
INSTANTIATE_TEST_SUITE_P(
    Cases, GetChallengeFailure,
    testing::Values(ChallengeFailure{"TwoStatusBytes", {{0x01}, {0x01}}, wusb::kBadReply, 1100, 2},
                    ChallengeFailure{
                        "ShortThenLong", {Bytes(15), Bytes(17)}, wusb::kBadReply, 1100, 2},
                    ChallengeFailure{"Silent", {}, wusb::kNoReply, 0, 2}),
    CaseName());

struct CardByte {
  uint8_t byte8;
  int32_t cardType;
  int32_t contentState;
  friend void PrintTo(const CardByte& c, std::ostream* os) { *os << static_cast<int>(c.byte8); }
};

class CardInfoSplit : public testing::TestWithParam<CardByte> {};

TEST_P(CardInfoSplit, TypeInTheHighSixBitsContentInTheLowTwo) {
  ScriptedDevice d;
  const Bytes reply = CardInfoPayload(GetParam().byte8, kUid, 0x9A, 0xBC);
  d.Answer(kCmdCardInfo, reply);
  ASSERT_TRUE(d.programmer.ReadCardInfo());
  const CardInfo& info = d.programmer.cardInfo;
  EXPECT_EQ(Bytes(info.uid, info.uid + kUidSize), kUid);
  EXPECT_EQ(info.cardType, GetParam().cardType);
  EXPECT_EQ(info.contentState, GetParam().contentState);
  EXPECT_EQ(info.further1, 0x9A);
  EXPECT_EQ(info.further2, 0xBC);
  EXPECT_TRUE(d.programmer.cardPresent);
  EXPECT_EQ(Bytes(d.programmer.lastCardInfoReply, d.programmer.lastCardInfoReply + 16), reply);
  EXPECT_EQ(d.bus.PipeTimeout(d.device, kInPipe), kCardInfoTimeoutMs);
}

INSTANTIATE_TEST_SUITE_P(Bytes8, CardInfoSplit,
                         testing::Values(CardByte{0x10, 4, 0}, CardByte{0x11, 4, 1},
                                         CardByte{0x12, 4, 2}, CardByte{0x13, 4, 3},
                                         CardByte{0x0C, 3, 0}, CardByte{0x00, 0, 0},
                                         CardByte{0xFF, 63, 3}, CardByte{0x80, 32, 0}));

class CardInfoAbsent : public testing::TestWithParam<size_t> {};

TEST_P(CardInfoAbsent, AnyOtherLengthMeansNoCardAndKeepsThePreviousCard) {
  ScriptedDevice d;
  d.Answer(kCmdCardInfo, CardInfoPayload(kDesfireWithData));
  d.Answer(kCmdCardInfo, Bytes(GetParam(), 0x06));
  ASSERT_TRUE(d.programmer.ReadCardInfo());
  EXPECT_FALSE(d.programmer.ReadCardInfo());
  EXPECT_FALSE(d.programmer.cardPresent);
  const CardInfo& info = d.programmer.cardInfo;
  EXPECT_EQ(Bytes(info.uid, info.uid + kUidSize), kUid);
  EXPECT_EQ(info.cardType, 4);
  EXPECT_EQ(info.contentState, 1);
  EXPECT_EQ(d.programmer.lastCardInfoReply[0], 0x06);
}

INSTANTIATE_TEST_SUITE_P(Lengths, CardInfoAbsent, testing::Values(1, 15, 17, 24));

struct ModelCase {
  uint16_t modelCode;
  uint8_t expected;
  friend void PrintTo(const ModelCase& c, std::ostream* os) { *os << c.modelCode; }
};

class CheckModelCode : public testing::TestWithParam<ModelCase> {};

TEST_P(CheckModelCode, MatchesTheKpR50RecordHighByteFirst) {
  ScriptedDevice d;
  d.Answer(kCmdStatus, StatusPayload(1, GetParam().modelCode, 1, 0));
  d.programmer.ReadStatus(kStatusTimeoutMs);
  d.programmer.modelCheckResult = 77;
  KpWUsbBulkD& base = d.programmer;  // the override is reached through the base
  EXPECT_EQ(base.CheckModel(), GetParam().expected);
  EXPECT_EQ(d.programmer.modelRecord, kKpR50ModelRecord);
  EXPECT_EQ(d.programmer.modelCheckResult, 0u);
}

INSTANTIATE_TEST_SUITE_P(Codes, CheckModelCode,
                         testing::Values(ModelCase{0x00AA, 5}, ModelCase{0xAA00, 0},
                                         ModelCase{0x00AB, 0}, ModelCase{0x0000, 0}));

TEST(CheckModel, TheBaseWithoutARecordMatchesNothing) {
  VirtualBus bus;
  KpWUsbBulkD device(bus, &kKpR50InterfaceGuid, traceSink);
  device.modelCode = 0x00AA;
  EXPECT_EQ(device.CheckModel(), 0);
}

}  // namespace
}  // namespace kp::test
