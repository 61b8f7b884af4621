// The session's outcomes against the virtual KP-R50, with one request of the operation failed
// on the way: what the session may tell about the card, and whether it keeps the connection.
#include "crypto/PasswordKey.h"
#include "link/KpFrame.h"
#include "session/OperatorSession.h"
#include "sim/firmware/VirtualKpR50.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>

namespace kp::test {
namespace {

const uint8_t kUid[8] = {0x04, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x00};

// What happens to the first request of one command. Late: carried out, answered after 1.5
// time-outs. Unanswered...: carried out, its answer overtaken by the resend's (here: never
// sent), and the card leaves or is swapped before the resend. Lost: carried out, then the
// device is gone; LostBeforeDone: gone before it. WrongLength: carried out, answered with one
// byte too many.
enum class Fault {
  Late,
  UnansweredThenLeave,
  UnansweredThenSwap,
  RefuseAtOnce,
  Lost,
  LostBeforeDone,
  WrongLength
};
enum class Op { Program, Erase, Read };

struct Row {
  const char* name;
  Op op;
  uint8_t command;
  Fault fault;
  CardOutcome::End end;
  bool connected;
};

class Bench {
 public:
  Bench() {
    fw.SetKeys(KeyState::Target);
    std::array<uint8_t, 16> key{};
    DerivePasswordKey(kUserIdentity, "haslo123", key.data());
    fw.SetPasswordKey(key.data(), PasswordState::SetByUser);
    id = fw.PlugInto(bus);
  }
  // Links, then logs the user in behind the tool's back and reads the status again.
  void LinkLoggedIn() {
    ASSERT_EQ(session.Poll(), PollResult::Linked);
    fw.SetLoggedIn(true);
    ASSERT_EQ(session.Poll(), PollResult::StatusRead);
  }
  void Inject(uint8_t command, Fault fault, uint32_t timeoutMs) {
    bus.SetFirmware(
        id, [=, this, seen = 0](std::span<const uint8_t> out) mutable -> std::vector<InTransfer> {
          const auto frame = DecodeFrame(out);
          if (!frame || frame->command != command) return fw.HandleRequest(out);
          const int n = seen++;
          if (n == 1 && fault == Fault::UnansweredThenLeave) fw.RemoveCard();
          if (n == 1 && fault == Fault::UnansweredThenSwap) fw.PlaceEmptyCard(kOther);
          if (n != 0) return fw.HandleRequest(out);
          switch (fault) {
            case Fault::RefuseAtOnce: {
              const uint8_t refusal[] = {0x07};
              return {{EncodeFrame(static_cast<uint8_t>(command | 0x80), refusal), 0}};
            }
            case Fault::Lost:
              fw.HandleRequest(out);
              bus.Unplug(id);
              return {};
            case Fault::LostBeforeDone: bus.Unplug(id); return {};
            case Fault::UnansweredThenLeave:
            case Fault::UnansweredThenSwap: fw.HandleRequest(out); return {};
            case Fault::WrongLength: {
              std::vector<InTransfer> answers = fw.HandleRequest(out);
              for (InTransfer& t : answers) {
                const auto reply = DecodeFrame(t.bytes);
                std::vector<uint8_t> payload(reply->payload.begin(), reply->payload.end());
                payload.push_back(0);
                t.bytes = EncodeFrame(reply->command, payload);
              }
              return answers;
            }
            default: {
              auto late = fw.HandleRequest(out);
              for (InTransfer& t : late) t.delayMs = timeoutMs + timeoutMs / 2;
              return late;
            }
          }
        });
  }

  static constexpr uint8_t kOther[8] = {0x04, 0x99, 0x88, 0x77, 0x66, 0x55, 0x44, 0x00};
  VirtualBus bus;
  VirtualKpR50 fw{3};
  VirtualBus::DeviceId id = 0;
  OperatorSession session{bus, &defaultTrace};
};

uint32_t TimeoutOf(uint8_t command) {
  switch (command) {
    case kCmdCardInfo: return kCardInfoTimeoutMs;
    case kCmdPrepareCard: return kPrepareCardTimeoutMs;
    case kCmdWriteFile: return kWriteFileTimeoutMs;
    case kCmdEraseCard: return kEraseCardTimeoutMs;
    default: return kReadFileTimeoutMs;
  }
}

using End = CardOutcome::End;

TEST(SessionOutcome, ACardCommandTheProgrammerDidNotAnswerForIsNeverARefusal) {
  const Row rows[] = {
      // The first write takes effect, its answer does not come before the resend's; the card
      // leaves before the resend, which is refused: the card that left holds the numbers.
      {"write unanswered, card left", Op::Program, kCmdWriteFile, Fault::UnansweredThenLeave,
       End::Uncertain, false},
      {"write unanswered, card swapped", Op::Program, kCmdWriteFile, Fault::UnansweredThenSwap,
       End::Uncertain, false},
      {"prepare unanswered, card left", Op::Program, kCmdPrepareCard, Fault::UnansweredThenLeave,
       End::Uncertain, false},
      {"erase unanswered, card swapped", Op::Erase, kCmdEraseCard, Fault::UnansweredThenSwap,
       End::Uncertain, false},
      {"write's answer lost", Op::Program, kCmdWriteFile, Fault::Lost, End::Uncertain, false},
      {"prepare's answer lost", Op::Program, kCmdPrepareCard, Fault::Lost, End::Uncertain, false},
      {"card info lost: nothing reached the card", Op::Program, kCmdCardInfo, Fault::LostBeforeDone,
       End::LinkFailed, false},
      {"write refused at once", Op::Program, kCmdWriteFile, Fault::RefuseAtOnce, End::Refused,
       true},
      // The late answer is taken, the resend's own is waited out: a true success, and the
      // connection kept.
      {"write late", Op::Program, kCmdWriteFile, Fault::Late, End::Done, true},
      {"erase late", Op::Erase, kCmdEraseCard, Fault::Late, End::Done, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Bench t;
    t.LinkLoggedIn();
    if (row.op == Op::Program) {
      t.fw.PlaceEmptyCard(kUid);
    } else {
      t.fw.PlaceProgrammedCard(kUid, 3, 4);
    }
    t.Inject(row.command, row.fault, TimeoutOf(row.command));
    t.session.BeginAction();
    const CardOutcome outcome = row.op == Op::Program ? t.session.Program(12, 7)
                                : row.op == Op::Erase ? t.session.Erase()
                                                      : t.session.Read();
    EXPECT_EQ(static_cast<int>(outcome.end), static_cast<int>(row.end));
    EXPECT_EQ(t.session.Connected(), row.connected);
    if (row.end != End::LinkFailed) {
      ASSERT_TRUE(outcome.card);
      EXPECT_EQ(std::memcmp(outcome.card->uid, kUid, 8), 0);
    }
  }
}

// A slow link: every answer 25 ms late, so each status read (20 ms) is answered only by its
// resend. The login holds, and the next status read gets its own answer.
TEST(SessionOutcome, ALoginOnASlowLinkHolds) {
  Bench t;
  ASSERT_EQ(t.session.Poll(), PollResult::Linked);
  t.fw.AnswerLate(25);
  std::array<uint8_t, 16> key{};
  DerivePasswordKey(kUserIdentity, "haslo123", key.data());
  t.session.BeginAction();
  const PasswordOutcome login = t.session.Login(key.data());
  EXPECT_EQ(static_cast<int>(login.end), static_cast<int>(PasswordOutcome::End::Done));
  EXPECT_TRUE(t.session.Connected());
  t.fw.SetLoggedIn(false);
  EXPECT_EQ(t.session.Poll(), PollResult::StatusRead);
  EXPECT_EQ(t.session.Programmer().statusWord & kStatusLoggedIn, 0);
}

// A login taken by the programmer but answered with a frame the link refuses: the command
// says "no connection", and its end still logs the programmer out.
TEST(SessionOutcome, ALoginWhoseAnswerWasRefusedIsLoggedOutAtTheEnd) {
  Bench t;
  ASSERT_EQ(t.session.Poll(), PollResult::Linked);
  t.Inject(kCmdLogin, Fault::WrongLength, 0);
  std::array<uint8_t, 16> key{};
  DerivePasswordKey(kUserIdentity, "haslo123", key.data());
  t.session.BeginAction();
  EXPECT_EQ(static_cast<int>(t.session.Login(key.data()).end),
            static_cast<int>(PasswordOutcome::End::LinkFailed));
  ASSERT_TRUE(t.fw.LoggedIn());
  t.session.End();
  EXPECT_FALSE(t.fw.LoggedIn());
}

// The logout at the end goes unanswered, its resend too: sent again on a fresh link, it logs
// the programmer out.
TEST(SessionOutcome, ALogoutThatGoesUnansweredIsSentAgainOnAFreshLink) {
  Bench t;
  ASSERT_EQ(t.session.Poll(), PollResult::Linked);
  std::array<uint8_t, 16> key{};
  DerivePasswordKey(kUserIdentity, "haslo123", key.data());
  t.session.BeginAction();
  ASSERT_EQ(static_cast<int>(t.session.Login(key.data()).end),
            static_cast<int>(PasswordOutcome::End::Done));
  ASSERT_TRUE(t.fw.LoggedIn());
  t.fw.ArmFault({FaultKind::Stall, kCmdLogout, 1, 0});
  t.session.End();
  EXPECT_FALSE(t.fw.LoggedIn());
}

}  // namespace
}  // namespace kp::test
