// The virtual programmer plugged into a VirtualBus and driven through the link's own exchange,
// and the knobs with which it plays a misbehaving programmer.
#include "SimTestSupport.h"

#include "link/KpWUsbBulkD.h"
#include "link/Tracecom.h"

namespace kp::test {
namespace {

// A WUsbErr as (error code, command byte), so that tests can compare it.
using Err = std::pair<int32_t, uint8_t>;

template <class F>
std::optional<Err> Caught(F&& f) {
  try {
    f();
  } catch (const WUsbErr& e) {
    return Err{e.errorCode, e.commandByte};
  }
  return std::nullopt;
}

class OnBus : public testing::Test {
 protected:
  void SetUp() override {
    fw.SetProgrammerNumber(321);
    fw.SetFirmwareVersion(17);
    fw.SetKeys(KeyState::Target);
    fw.SetPasswordKey(KeyOf("tajne1").data(), PasswordState::SetByUser);
    id = fw.PlugInto(bus);
    ASSERT_TRUE(dev.Link());
    dev.ReadStatus(kStatusTimeoutMs);  // the first write after Link drains the IN pipe
    bus.ClearTransfers(id);
    fw.ClearCommands();
  }

  size_t Written() const { return bus.Written(id).size(); }

  VirtualBus bus;
  VirtualKpR50 fw{42};
  VirtualBus::DeviceId id = 0;
  KpWUsbBulkD dev{bus, &kKpR50InterfaceGuid, traceSink};
};

TEST_F(OnBus, LinkFindsTheProgrammerByItsInterfaceClass) {
  EXPECT_EQ(dev.serialNumber, 0x50A10001u);
  EXPECT_EQ(dev.pipeIn, 0x81);
  EXPECT_EQ(dev.pipeOut, 0x02);
  EXPECT_EQ(dev.programmerNumber, 321);
  EXPECT_EQ(dev.modelCode, 0x00AA);
  EXPECT_EQ(dev.firmwareVersion, 17);
  EXPECT_EQ(dev.statusWord, 0x0007);
}

TEST_F(OnBus, ReplyFormsOfTheLinkFitTheAnswers) {
  uint8_t challenge[16];
  ASSERT_EQ(dev.Exchange(sim::kCmdChallenge, 0, nullptr, 16, challenge, 50), 16);
  Bytes request = IdentityField();
  const auto mac = Mac(KeyOf("tajne1").data(), Concat({request, Bytes(challenge, challenge + 16)}));
  request.insert(request.end(), mac.begin(), mac.end());
  uint8_t loginReply[4];
  EXPECT_EQ(dev.ExchangeData(sim::kCmdLogin, 28, request.data(), 4, loginReply, 500), 0);
  EXPECT_TRUE(fw.LoggedIn());
  const uint8_t erase[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(dev.ExchangeStatus(sim::kCmdEraseCard, 8, erase, 1000), sim::kStatusNoCard);
  dev.ExchangeAck(sim::kCmdLogout, 0, nullptr, 50);
  EXPECT_FALSE(fw.LoggedIn());
  EXPECT_EQ(fw.Commands(), (Bytes{'n', 'L', 'C', 'l'}));
  EXPECT_EQ(Written(), 4u);
}

TEST_F(OnBus, BrokenRequestGetsNoReply) {
  Bytes frame = Request(sim::kCmdLogout);
  frame.back() ^= 0x40;
  ASSERT_TRUE(dev.WriteBulk(static_cast<int32_t>(frame.size()), frame.data()));
  EXPECT_EQ(bus.PendingIn(id), 0u);
  EXPECT_TRUE(fw.Commands().empty());
}

// --- Knobs ------------------------------------------------------------------------------

TEST_F(OnBus, SilentProgrammerCostsTwoTimeOutsAndDoesNothing) {
  fw.SetLoggedIn(true);
  fw.StaySilent(true);
  const uint64_t start = bus.NowMs();
  EXPECT_EQ(Caught([&] { dev.ExchangeAck(sim::kCmdLogout, 0, nullptr, 50); }),
            (Err{wusb::kNoReply, sim::kCmdLogout}));
  EXPECT_EQ(bus.NowMs() - start, 100u);
  ASSERT_EQ(Written(), 2u);
  EXPECT_EQ(bus.Written(id)[0], bus.Written(id)[1]);
  EXPECT_TRUE(fw.LoggedIn());
  EXPECT_TRUE(fw.Commands().empty());
  fw.StaySilent(false);
  dev.ExchangeAck(sim::kCmdLogout, 0, nullptr, 50);
  EXPECT_FALSE(fw.LoggedIn());
}

struct LateCase {
  uint64_t delayMs;
  size_t requests;  // written by the exchange
  bool answered;
  size_t staleAfterwards;  // replies still on their way when the exchange ends
  // A printer of its own: GoogleTest would print the struct byte by byte, padding included.
  friend void PrintTo(const LateCase& c, std::ostream* os) { *os << c.delayMs << " ms"; }
};

class LateAnswer : public OnBus, public testing::WithParamInterface<LateCase> {};

TEST_P(LateAnswer, WithinTheTimeOutOrAfterTheResendOrNever) {
  const LateCase& c = GetParam();
  fw.AnswerLate(c.delayMs);
  const auto error = Caught([&] { dev.ReadStatus(kStatusTimeoutMs); });
  EXPECT_EQ(error.has_value(), !c.answered);
  EXPECT_EQ(Written(), c.requests);
  EXPECT_EQ(bus.PendingIn(id), c.staleAfterwards);
  EXPECT_EQ(fw.Commands().size(), c.requests);  // each request reached the firmware
}

INSTANTIATE_TEST_SUITE_P(Delays, LateAnswer,
                         testing::Values(LateCase{0, 1, true, 0}, LateCase{20, 1, true, 0},
                                         LateCase{21, 2, true, 1}, LateCase{40, 2, true, 1},
                                         LateCase{61, 2, false, 2}));

TEST_F(OnBus, LateReplyIsTakenByTheNextExchangeOfTheSameCommand) {
  fw.AnswerTwice(true);
  dev.ReadStatus(kStatusTimeoutMs);
  EXPECT_EQ(bus.PendingIn(id), 1u);
  fw.AnswerTwice(false);
  fw.SetProgrammerNumber(999);
  dev.ReadStatus(kStatusTimeoutMs);
  EXPECT_EQ(dev.programmerNumber, 321);  // the second copy of the earlier reply
  dev.ReadStatus(kStatusTimeoutMs);
  EXPECT_EQ(dev.programmerNumber, 999);
}

TEST_F(OnBus, SecondCopyIsDiscardedByAnExchangeOfAnotherCommand) {
  fw.AnswerTwice(true);
  dev.ReadStatus(kStatusTimeoutMs);
  fw.AnswerTwice(false);
  dev.ExchangeAck(sim::kCmdLogout, 0, nullptr, 50);
  EXPECT_EQ(bus.PendingIn(id), 0u);
  EXPECT_EQ(Written(), 2u);
}

TEST_F(OnBus, WrongLengthRepliesAreRefusedByTheLinkButTheCommandWasCarriedOut) {
  fw.SetLoggedIn(true);
  fw.AnswerWrongLength(true);
  fw.SetProgrammerNumber(5);
  EXPECT_EQ(Caught([&] { dev.ReadStatus(kStatusTimeoutMs); }),
            (Err{wusb::kBadReply, sim::kCmdStatus}));
  EXPECT_EQ(dev.programmerNumber, 321);
  EXPECT_EQ(Caught([&] { dev.ExchangeAck(sim::kCmdLogout, 0, nullptr, 50); }),
            (Err{wusb::kBadReply, sim::kCmdLogout}));
  EXPECT_FALSE(fw.LoggedIn());
  EXPECT_EQ(Written(), 2u);  // a wrong length is an answer: no resend
}

TEST_F(OnBus, GarbageIsDiscardedAndEndsInNoReply) {
  fw.SendGarbage(true);
  const uint64_t start = bus.NowMs();
  EXPECT_EQ(Caught([&] { dev.ReadStatus(kStatusTimeoutMs); }),
            (Err{wusb::kNoReply, sim::kCmdStatus}));
  EXPECT_EQ(bus.NowMs() - start, 40u);
  EXPECT_EQ(fw.Commands(), (Bytes{'M', 'M'}));
  for (const TransferRecord& r : bus.Transfers(id)) {
    if (!r.out && r.ok) {
      EXPECT_FALSE(kp::DecodeFrame(r.bytes).has_value());
    }
  }
}

TEST_F(OnBus, VanishingProgrammerUnplugsItselfAtTheChosenTransfer) {
  fw.VanishAtTransfer(fw.OutTransfers() + 1);
  dev.ReadStatus(kStatusTimeoutMs);
  EXPECT_EQ(Caught([&] { dev.ReadStatus(kStatusTimeoutMs); }),
            (Err{wusb::kNoReply, sim::kCmdStatus}));
  EXPECT_TRUE(fw.Vanished());
  EXPECT_FALSE(bus.IsPlugged(id));
  EXPECT_EQ(fw.Commands(), Bytes{'M'});
  dev.Close();
  EXPECT_FALSE(dev.Link());
}

TEST(Knobs, VanishHandlerReplacesTheUnplugAndFiresOnce) {
  VirtualKpR50 fw;
  int vanished = 0;
  fw.SetVanishHandler([&] { ++vanished; });
  fw.VanishAtTransfer(2);
  const Bytes status = Request(sim::kCmdStatus);
  std::vector<size_t> replies;
  for (int i = 0; i < 4; ++i) replies.push_back(fw.HandleRequest(status).size());
  EXPECT_EQ(replies, (std::vector<size_t>{1, 1, 0, 1}));
  EXPECT_EQ(vanished, 1);
  EXPECT_EQ(fw.OutTransfers(), 4u);
}

}  // namespace
}  // namespace kp::test
