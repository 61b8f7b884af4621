// Frames, CRC-16, the exchange with its resend, the reply-shape checks and WUsbErr.
#include "LinkTestSupport.h"

#include "link/KpWUsbBulkD.h"
#include "link/WUsbErr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace kp::test {
namespace {

// The CRC-16/MODBUS bit loop, written independently of the parity form.
uint16_t ReferenceCrc(const uint8_t* p, size_t n, uint16_t crc) {
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int b = 0; b < 8; ++b)
      crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

TEST(Crc16, CheckValuesAndTheStatusRequest) {
  const char* check = "123456789";
  EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(check), 9, 0xFFFF), 0x4B37);
  const uint8_t head[] = {0x05, 0x00, 0x4D};
  EXPECT_EQ(Crc16(head, 3, 0xFFFF), 0xF4A1);
  const uint8_t whole[] = {0x05, 0x00, 0x4D, 0xA1, 0xF4};
  EXPECT_EQ(Crc16(whole, 5, 0xFFFF), 0);
  EXPECT_EQ(Crc16(whole, 0, 0xFFFF), 0xFFFF);
  EXPECT_EQ(Crc16(head, 3, 0x1FFFF), 0xF4A1);  // the initial value is taken modulo 0x10000
}

TEST(Crc16, AgreesWithTheBitLoopOnRandomBlocks) {
  std::mt19937 rng(7);
  for (int round = 0; round < 500; ++round) {
    Bytes data(rng() % 1100);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    const uint16_t init = static_cast<uint16_t>(rng());
    ASSERT_EQ(Crc16(data.data(), static_cast<int32_t>(data.size()), init),
              ReferenceCrc(data.data(), data.size(), init));
  }
}

TEST(WUsbErrText, EveryCodeHasItsTextAndTheFormat) {
  const char* texts[] = {"Błąd zapisu Pipe Timeout.",
                         "Nie otwarte (funkcją Link) urządzenie.",
                         "Błąd rozmiaru danych.",
                         "Brak odpowiedzi.",
                         "Brak ACK.",
                         "Nieprawidłowa odpowiedź na stary rozkaz M",
                         "Nieprawidłowa odpowiedź.",
                         "Błąd podpisu przy logowaniu.",
                         "Brak odpowiedzi na rozkaz przesłany rozkazem T",
                         "Brak ACK na rozkaz przesłany rozkazem T",
                         "Nieprawidłowa odpowiedź na rozkaz przesłany rozkazem T",
                         "Błąd parametrów rozkazu (wewnętrzny błąd w programie)",
                         "Nieznany typ urządzenia"};
  for (int code = 0; code <= 12; ++code) {
    ASSERT_NE(WUsbErrText(code), nullptr);
    EXPECT_STREQ(WUsbErrText(code), texts[code]);
  }
  EXPECT_EQ(WUsbErrText(13), nullptr);
  EXPECT_EQ(WUsbErrText(-1), nullptr);
  EXPECT_EQ(FormatWUsbErr({3, 'M'}), "Brak odpowiedzi., rozk: M");
  EXPECT_EQ(FormatWUsbErr({99, 'M'}), "Brak opisu błędu.");
}

class ExchangeTest : public ::testing::Test {
 protected:
  void Open(Firmware firmware) {
    id = bus.Plug(ProgrammerConfig(), std::move(firmware));
    ASSERT_TRUE(dev.Link());
  }
  // Only the request frames: the drain reads write nothing.
  std::vector<Bytes> Requests() const { return bus.Written(id); }

  int32_t ExpectError(const std::function<void()>& call, int32_t code, uint8_t command) {
    try {
      call();
      ADD_FAILURE() << "no WUsbErr";
    } catch (const WUsbErr& e) {
      EXPECT_EQ(e.errorCode, code);
      EXPECT_EQ(e.commandByte, command);
      return e.errorCode;
    }
    return -1;
  }

  VirtualBus bus;
  RecordingTrace trace;
  KpWUsbBulkD dev{bus, &kKpR50InterfaceGuid, &trace};
  VirtualBus::DeviceId id = 0;
};

TEST_F(ExchangeTest, StatusRequestIsTheFiveKnownBytes) {
  Open(Scripted({{{Reply('M', {1, 0, 0xAA, 0, 3, 0, 0x07, 0x10})}}}));
  dev.ReadStatus(20);
  ASSERT_EQ(Requests().size(), 1u);
  EXPECT_EQ(Requests()[0], (Bytes{0x05, 0x00, 0x4D, 0xA1, 0xF4}));
  EXPECT_EQ(dev.programmerNumber, 1);
  EXPECT_EQ(dev.modelCode, 0x00AA);
  EXPECT_EQ(dev.firmwareVersion, 3);
  EXPECT_EQ(dev.statusWord, 0x1007);
}

TEST_F(ExchangeTest, RequestFramesAreByteExactUpToTheLargestPayload) {
  Bytes payload(1027);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  Open([](std::span<const uint8_t>) { return std::vector<InTransfer>{{Reply('x', {0})}}; });
  uint8_t out = 0xEE;
  EXPECT_EQ(dev.Exchange('x', 1027, payload.data(), 1, &out, 50), 1);
  ASSERT_EQ(Requests().size(), 1u);
  EXPECT_EQ(Requests()[0], Frame('x', payload));
  EXPECT_EQ(Requests()[0].size(), 1032u);
  EXPECT_EQ(out, 0);
}

TEST_F(ExchangeTest, OversizedPayloadSendsNothingAndEndsWithNoReply) {
  Open([](std::span<const uint8_t>) { return std::vector<InTransfer>{{Reply('x', {0})}}; });
  Bytes payload(1028, 0x55);
  uint8_t out = 0;
  ExpectError([&] { dev.Exchange('x', 1028, payload.data(), 1, &out, 50); }, wusb::kNoReply, 'x');
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(bus.NowMs(), 100u);  // two time-outs, and no drain: nothing was written
}

TEST_F(ExchangeTest, SilentDeviceCostsTwoTimeoutsPlusTheDrain) {
  Open({});
  uint8_t out[8];
  ExpectError([&] { dev.Exchange('n', 0, nullptr, 8, out, 50); }, wusb::kNoReply, 'n');
  ASSERT_EQ(Requests().size(), 2u);
  EXPECT_EQ(Requests()[0], Requests()[1]);
  EXPECT_EQ(bus.NowMs(), 150u);

  // Later exchanges do not drain.
  ExpectError([&] { dev.Exchange('n', 0, nullptr, 8, out, 50); }, wusb::kNoReply, 'n');
  EXPECT_EQ(bus.NowMs(), 250u);
}

TEST_F(ExchangeTest, ResendGetsTheReplyWhenTheFirstRequestWentUnanswered) {
  Open(Scripted({{}, {{Reply('s', {0xBC, 0x0A, 0, 0})}}}));
  uint8_t out[4] = {};
  EXPECT_EQ(dev.Exchange('s', 0, nullptr, 4, out, 50), 4);
  ASSERT_EQ(Requests().size(), 2u);
  EXPECT_EQ(Requests()[0], Requests()[1]);
  EXPECT_EQ(out[0], 0xBC);
  EXPECT_EQ(out[1], 0x0A);
  // The reply may answer either request; the caller is told.
  EXPECT_TRUE(dev.answeredAfterResend);
}

// Each row: something that must be discarded, arriving before the good reply in one wait.
struct DiscardCase {
  const char* name;
  Bytes (*make)();
  // A printer of its own: GoogleTest would print the struct byte by byte, padding included.
  friend void PrintTo(const DiscardCase& c, std::ostream* os) { *os << c.name; }
};

class DiscardedTransfer : public ExchangeTest, public ::testing::WithParamInterface<DiscardCase> {};

TEST_P(DiscardedTransfer, IsSkippedAndTheGoodReplyAccepted) {
  const Bytes junk = GetParam().make();
  Open([junk](std::span<const uint8_t>) {
    return std::vector<InTransfer>{{junk}, {Reply('R', {1, 2, 3})}};
  });
  uint8_t out[3] = {};
  EXPECT_EQ(dev.Exchange('R', 0, nullptr, 3, out, 2000), 3);
  EXPECT_EQ(Requests().size(), 1u);  // a discarded transfer never causes a resend
  EXPECT_FALSE(dev.answeredAfterResend);
  EXPECT_EQ(out[2], 3);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DiscardedTransfer,
    ::testing::Values(DiscardCase{"NoPayload", [] { return Frame('R' | 0x80, {}); }},
                      DiscardCase{"OneByte", [] { return Bytes{0x52}; }},
                      DiscardCase{"LengthFieldTooLong",
                                  [] {
                                    Bytes f = Reply('R', {1, 2, 3});
                                    f[0] += 1;
                                    return f;
                                  }},
                      DiscardCase{"LengthFieldTooShort",
                                  [] {
                                    Bytes f = Reply('R', {1, 2, 3});
                                    f[0] -= 1;
                                    return f;
                                  }},
                      DiscardCase{"BadCrc",
                                  [] {
                                    Bytes f = Reply('R', {1, 2, 3});
                                    f.back() ^= 0x01;
                                    return f;
                                  }},
                      DiscardCase{"TwoFramesInOneTransfer",
                                  [] {
                                    Bytes f = Reply('R', {9});
                                    Bytes g = Reply('R', {9});
                                    f.insert(f.end(), g.begin(), g.end());
                                    return f;
                                  }},
                      DiscardCase{"HalfAFrame",
                                  [] {
                                    Bytes f = Reply('R', {1, 2, 3, 4, 5, 6});
                                    f.resize(5);
                                    return f;
                                  }},
                      DiscardCase{"LateReplyOfAnotherCommand",
                                  [] {
                                    return Reply('M', {1, 2, 3, 4, 5, 6, 7, 8});
                                  }},
                      DiscardCase{"RequestEcho", [] { return Frame('R', {0}); }}),
    [](const ::testing::TestParamInfo<DiscardCase>& p) { return p.param.name; });

TEST_F(ExchangeTest, ALateReplyToTheSameCommandIsTakenAsTheAnswer) {
  // First exchange: the reply arrives after both waits; second exchange takes it.
  Open(Scripted({{{Reply('s', {1, 1, 1, 1}), 500}}, {}}));
  uint8_t out[4] = {};
  ExpectError([&] { dev.Exchange('s', 0, nullptr, 4, out, 50); }, wusb::kNoReply, 's');
  bus.AdvanceMs(1000);
  EXPECT_EQ(dev.Exchange('s', 0, nullptr, 4, out, 50), 4);
  EXPECT_EQ(out[0], 1);
}

TEST_F(ExchangeTest, ReplyLongerThanExpectedCopiesOnlyExpected) {
  Open(Scripted({{{Reply('s', {1, 2, 3, 4, 5, 6})}}}));
  uint8_t out[6] = {0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
  EXPECT_EQ(dev.Exchange('s', 0, nullptr, 4, out, 50), 6);
  EXPECT_EQ(out[3], 4);
  EXPECT_EQ(out[4], 0xCC);
}

TEST_F(ExchangeTest, ShortReplyFillsTheRestOfTheDestinationWithZeros) {
  Open(Scripted({{{Reply('s', {0xAB})}}}));
  uint8_t out[16];
  std::memset(out, 0xCC, sizeof out);
  EXPECT_EQ(dev.Exchange('s', 0, nullptr, 16, out, 50), 1);
  EXPECT_EQ(out[0], 0xAB);
  for (int i = 1; i < 16; ++i) EXPECT_EQ(out[i], 0) << i;
}

TEST_F(ExchangeTest, ABabblingDeviceCannotHoldTheWaitForEver) {
  // Every request is answered with an endless stream of broken transfers.
  Open([](std::span<const uint8_t>) {
    std::vector<InTransfer> babble(200, InTransfer{Bytes{1, 2, 3, 4, 5, 6, 7}, 0});
    return babble;
  });
  uint8_t out[8];
  ExpectError([&] { dev.Exchange('M', 0, nullptr, 8, out, 20); }, wusb::kNoReply, 'M');
  const auto reads = std::count_if(bus.Transfers(id).begin(), bus.Transfers(id).end(),
                                   [](const TransferRecord& r) { return !r.out; });
  EXPECT_EQ(Requests().size(), 2u);
  EXPECT_EQ(reads, 1 + 2 * kMaxDiscardedTransfers);  // the drain's read, then two bounded waits
}

// A device that sends from the moment it is opened, one transfer every `intervalMs`, each a
// good reply to the very command asked: the first exchange never writes, never takes a stale
// reply for the answer, and gives up after two bounded drains.
struct BabbleCase {
  const char* name;
  uint64_t intervalMs;
  friend void PrintTo(const BabbleCase& c, std::ostream* os) { *os << c.name; }
};

class BabblingDevice : public ExchangeTest, public ::testing::WithParamInterface<BabbleCase> {};

TEST_P(BabblingDevice, HoldsTheCallerForTwoBoundedDrainsAndIsNeverAnswered) {
  Open({});
  const uint64_t interval = GetParam().intervalMs;
  for (uint64_t i = 1; i <= 1000; ++i) {
    bus.QueueIn(id, Reply('M', {1, 0, 0xAA, 0, 3, 0, 7, 0}), i * interval);
  }
  ExpectError([&] { dev.ReadStatus(kStatusTimeoutMs); }, wusb::kNoReply, 'M');
  EXPECT_TRUE(Requests().empty());
  EXPECT_FALSE(dev.inDrained);
  EXPECT_EQ(bus.Transfers(id).size(), 2u * kMaxDrainedTransfers);
  EXPECT_EQ(bus.NowMs(), 2 * kMaxDrainedTransfers * interval);
}

INSTANTIATE_TEST_SUITE_P(
    Intervals, BabblingDevice,
    ::testing::Values(BabbleCase{"Flat", 0}, BabbleCase{"EveryMillisecond", 1},
                      // Just inside the status command's time-out: the longest hold.
                      BabbleCase{"JustBeforeEachTimeout", kStatusTimeoutMs - 1}),
    [](const ::testing::TestParamInfo<BabbleCase>& p) { return p.param.name; });

TEST_F(ExchangeTest, ABacklogLongerThanTheDrainBoundIsClearedByTheResend) {
  Open(Scripted({{{Reply('M', {1, 0, 0xAA, 0, 3, 0, 7, 0})}}}));
  for (int i = 0; i < kMaxDrainedTransfers + 10; ++i) bus.QueueIn(id, Reply('M', Bytes(8, 0xEE)));
  dev.ReadStatus(kStatusTimeoutMs);
  EXPECT_EQ(Requests().size(), 1u);  // written once, after the second drain emptied the pipe
  EXPECT_EQ(dev.statusWord, 7);
  EXPECT_EQ(dev.modelCode, 0xAA);
}

TEST_F(ExchangeTest, ManyLateRepliesOfOtherCommandsAreBoundedToo) {
  Open([](std::span<const uint8_t>) {
    std::vector<InTransfer> late(200, InTransfer{Reply('s', {0, 0, 0, 0}), 0});
    return late;
  });
  uint8_t out[8];
  ExpectError([&] { dev.Exchange('M', 0, nullptr, 8, out, 20); }, wusb::kNoReply, 'M');
  EXPECT_EQ(Requests().size(), 2u);
}

TEST_F(ExchangeTest, AGoodReplyAfterManyBrokenTransfersStillCounts) {
  Open([](std::span<const uint8_t>) {
    std::vector<InTransfer> t(kMaxDiscardedTransfers - 1, InTransfer{Bytes{9, 9, 9}, 0});
    t.push_back({Reply('M', {1, 0, 0xAA, 0, 3, 0, 7, 0})});
    return t;
  });
  dev.ReadStatus(20);
  EXPECT_EQ(Requests().size(), 1u);
  EXPECT_EQ(dev.statusWord, 7);
}

TEST_F(ExchangeTest, ReadFailuresAndWriteFailuresShowUpAsAMissingReply) {
  Open([](std::span<const uint8_t>) { return std::vector<InTransfer>{{Reply('l', {0})}}; });
  dev.SetPipeTimeout(50);
  // Transfer 0 is the drain's read, 1 the first write: make it fail; the resend succeeds.
  bus.InjectFault(id, 1, Fault::WriteFails);
  dev.ExchangeAck('l', 0, nullptr, 50);
  EXPECT_EQ(bus.Written(id).size(), 2u);
}

// ExchangeData with 16 expected bytes: replies and outcomes.
struct DataCase {
  Bytes payload;
  int32_t result;  // -1: WUsbErr 6
  friend void PrintTo(const DataCase& c, std::ostream* os) {
    *os << c.payload.size() << " bytes -> " << c.result;
  }
};

class ExchangeDataShape : public ExchangeTest, public ::testing::WithParamInterface<DataCase> {};

TEST_P(ExchangeDataShape, ReplyLengthDecides) {
  Open(Scripted({{{Reply('r', GetParam().payload)}}}));
  uint8_t out[16];
  if (GetParam().result < 0) {
    ExpectError([&] { dev.ExchangeData('r', 0, nullptr, 16, out, 2000); }, wusb::kBadReply, 'r');
  } else {
    EXPECT_EQ(dev.ExchangeData('r', 0, nullptr, 16, out, 2000), GetParam().result);
  }
}

INSTANTIATE_TEST_SUITE_P(Replies, ExchangeDataShape,
                         ::testing::Values(DataCase{Bytes(16, 0x11), 0}, DataCase{{0x05}, 5},
                                           DataCase{{0x00}, 0}, DataCase{{0xFF}, 255},
                                           DataCase{{1, 2, 3}, -1}, DataCase{Bytes(17, 1), -1},
                                           DataCase{Bytes(15, 1), -1}));

TEST_F(ExchangeTest, ExchangeDataRefusesExpectedBelowTwoBeforeSendingAnything) {
  Open(Scripted({{{Reply('r', {0})}}}));
  uint8_t out[2];
  for (uint32_t expected : {0u, 1u}) {
    ExpectError([&] { dev.ExchangeData('r', 0, nullptr, expected, out, 2000); },
                wusb::kBadParameters, 'r');
  }
  EXPECT_TRUE(bus.Transfers(id).empty());
}

TEST_F(ExchangeTest, ExchangeAckAndExchangeStatusShapes) {
  Open(Scripted({{{Reply('l', {0})}},
                 {{Reply('l', {1})}},
                 {{Reply('l', {0, 0})}},
                 {{Reply('H', {0xFF})}},
                 {{Reply('H', {0, 1})}}}));
  dev.ExchangeAck('l', 0, nullptr, 50);
  ExpectError([&] { dev.ExchangeAck('l', 0, nullptr, 50); }, wusb::kNoAck, 'l');
  ExpectError([&] { dev.ExchangeAck('l', 0, nullptr, 50); }, wusb::kBadReply, 'l');
  EXPECT_EQ(dev.ExchangeStatus('H', 0, nullptr, 1000), 255);
  ExpectError([&] { dev.ExchangeStatus('H', 0, nullptr, 1000); }, wusb::kBadReply, 'H');
}

TEST_F(ExchangeTest, StatusRepliesOfTheWrongLengthThrowAndKeepTheWords) {
  Open(Scripted({{{Reply('M', {1, 0, 0xAA, 0, 3, 0, 7, 0})}},
                 {{Reply('M', Bytes(9, 0xEE))}},
                 {{Reply('M', Bytes(7, 0xEE))}}}));
  dev.ReadStatus(20);
  for (int i = 0; i < 2; ++i) {
    ExpectError([&] { dev.ReadStatus(20); }, wusb::kBadReply, 'M');
    EXPECT_EQ(dev.statusWord, 7);
    EXPECT_EQ(dev.modelCode, 0xAA);
  }
}

TEST_F(ExchangeTest, CheckModelMatchesTheRecord) {
  static const uint8_t record[8] = {0x00, 0xAA, 0x05, 0x00, 0x35, 0x00, 0x00, 0x00};
  static const uint8_t nonzeroTail[8] = {0x00, 0xAA, 0x05, 0x00, 0x35, 0x00, 0x01, 0x00};
  EXPECT_EQ(dev.CheckModel(), 0);  // no record
  dev.modelRecord = record;
  dev.modelCode = 0x00AA;
  EXPECT_EQ(dev.CheckModel(), 5);
  dev.modelCode = 0xAA00;
  EXPECT_EQ(dev.CheckModel(), 0);
  dev.modelCode = 0x00AA;
  dev.modelRecord = nonzeroTail;
  EXPECT_EQ(dev.CheckModel(), 0);
  EXPECT_EQ(dev.modelCheckResult, 0u);
}

TEST_F(ExchangeTest, VanishedDeviceEndsWithNoReplyAndStaysOpen) {
  Open([](std::span<const uint8_t>) { return std::vector<InTransfer>{{Reply('M', Bytes(8, 0))}}; });
  dev.ReadStatus(20);
  bus.Unplug(id);
  ExpectError([&] { dev.ReadStatus(20); }, wusb::kNoReply, 'M');
  EXPECT_TRUE(dev.isOpen);  // the application decides to close
}

}  // namespace
}  // namespace kp::test
