// kpnox-cli's commands against the virtual programmer on the in-process bus: exit codes with
// the window's texts, the records, the waits for cards, and the programmer logged out and
// closed at the end of every command.
#include "cli/CardList.h"
#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "codepage/PasswordCodePage.h"
#include "crypto/PasswordKey.h"
#include "link/KpCommands.h"
#include "programmer/KpR50.h"
#include "programmer/OperatorTexts.h"
#include "sim/firmware/VirtualKpR50.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>
#include <functional>
#include <sstream>

namespace kp::test {
namespace {

const uint8_t kCardA[8] = {0x04, 0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x00};
const uint8_t kCardB[8] = {0x04, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x00};
const uint8_t kCardC[8] = {0x04, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x00};
constexpr const char* kHexA = "04A0B1C2D3E4F500";
constexpr const char* kHexB = "0410203040506000";
constexpr const char* kHexC = "0477665544332200";

std::array<uint8_t, 16> KeyOf(const char* password) {
  std::array<uint8_t, 16> key{};
  DerivePasswordKey("user", password, key.data());
  return key;
}

// A programmer on a bus, the field scripted, and what a command wrote.
class Bench {
 public:
  Bench() {
    fw.SetKeys(KeyState::Target);
    fw.SetPasswordKey(KeyOf("haslo123").data(), PasswordState::SetByUser);
    id = fw.PlugInto(bus);
    // The field as a person changes it: each card-info request first runs the next step.
    bus.SetFirmware(id, [this](std::span<const uint8_t> request) {
      if (request.size() > 2 && request[2] == kCmdCardInfo && !field.empty()) {
        field.front()();
        field.pop_front();
      }
      return fw.HandleRequest(request);
    });
  }

  int Command(const std::vector<std::string>& args, const std::string& list = {}) {
    const ParsedCli parsed = ParseCliOptions(args);
    EXPECT_TRUE(parsed.options) << parsed.error;
    if (!parsed.options) return -1;
    std::vector<CardRow> rows =
        list.empty() ? RangeRows(*parsed.options) : ParseCardList(list).rows;
    RecordWriter records(out, parsed.options->json);
    CliContext context{bus,
                       out,
                       records,
                       err,
                       [this](const char*) -> std::optional<std::u16string> {
                         if (passwords.empty()) return std::nullopt;
                         std::u16string next = passwords.front();
                         passwords.pop_front();
                         return next;
                       },
                       confirm,
                       stop,
                       [] { return std::string("T"); }};
    return RunCliCommand(*parsed.options, rows, context);
  }

  // However a command ended: nothing left open, and the last word to the programmer a logout.
  void ExpectLoggedOutAndClosed() {
    EXPECT_EQ(bus.OpenHandles(), 0);
    EXPECT_FALSE(fw.LoggedIn());
    if (!fw.Commands().empty()) {
      EXPECT_EQ(fw.Commands().back(), kCmdLogout);
    }
  }

  // Steps of the field: place a card, take it away, nothing (the person is slow).
  std::function<void()> Place(const uint8_t (&uid)[8]) {
    return [this, &uid] { fw.PlaceEmptyCard(uid); };
  }
  std::function<void()> Remove() {
    return [this] { fw.RemoveCard(); };
  }
  static std::function<void()> Idle() {
    return [] {};
  }

  // Not copied: the bus's firmware points back here.
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  VirtualBus bus;
  VirtualKpR50 fw{5};
  VirtualBus::DeviceId id = 0;
  std::deque<std::function<void()>> field;
  std::deque<std::u16string> passwords{u"haslo123"};
  bool confirm = false;
  std::atomic<bool> stop{false};
  std::ostringstream out;
  std::ostringstream err;
};

class CliRunTest : public testing::Test, public Bench {};

struct ExitRow {
  const char* name;
  std::function<void(Bench&)> arrange;
  std::vector<std::string> args;
  int exitCode;
  std::string message;  // a part of standard error
};

TEST(CliRun, ExitCodesWithTheWindowsTexts) {
  const ExitRow rows[] = {
      {"no programmer",
       [](Bench& t) { t.bus.Unplug(t.id); },
       {"status"},
       kExitNoProgrammer,
       kNoProgrammerText},
      {"two programmers",
       [](Bench& t) { t.bus.Plug(VirtualKpR50::DefaultConfig()); },
       {"status"},
       kExitNoProgrammer,
       kTwoProgrammersText},
      {"no keys",
       [](Bench& t) { t.fw.SetKeys(KeyState::None); },
       {"login"},
       kExitNotDone,
       kNoKeysText},
      {"no user password",
       [](Bench& t) { t.fw.ClearPassword(); },
       {"erase"},
       kExitNotDone,
       kNoUserPasswordText},
      {"wrong password",
       [](Bench& t) { t.passwords = {u"haslo124"}; },
       {"read"},
       kExitLoginRefused,
       kLoginRefusedText},
      {"no password given",
       [](Bench& t) { t.passwords.clear(); },
       {"login"},
       kExitUsage,
       "no password"},
      {"password too long",
       [](Bench& t) { t.passwords = {u"123456789012345678901"}; },
       {"login"},
       kExitUsage,
       "longer than 20"},
      {"administrator's password: login",
       [](Bench& t) { t.fw.SetPasswordByAdministrator("haslo123"); },
       {"login"},
       kExitChangePassword,
       kForcedChangeText},
      {"administrator's password: program",
       [](Bench& t) {
         t.fw.SetPasswordByAdministrator("haslo123");
         t.fw.PlaceEmptyCard(kCardA);
       },
       {"program", "--department", "1", "--index", "2"},
       kExitChangePassword,
       kForcedChangeText},
      {"login", {}, {"login"}, kExitDone, kLoggedInText},
      {"program a card that holds data",
       [](Bench& t) { t.fw.PlaceProgrammedCard(kCardA, 3, 4); },
       {"program", "--department", "1", "--index", "2"},
       kExitNotDone,
       "Karta już zawiera jakieś dane."},
      {"read an empty card",
       [](Bench& t) { t.fw.PlaceEmptyCard(kCardA); },
       {"read"},
       kExitNotDone,
       "Karta jest pusta."},
      {"read with no card", {}, {"read"}, kExitNotDone, "Brak karty w polu programatora."},
      {"erase",
       [](Bench& t) { t.fw.PlaceProgrammedCard(kCardA, 3, 4); },
       {"erase"},
       kExitDone,
       kCardErasedText},
      {"link fails after the login",
       [](Bench& t) {
         t.fw.PlaceEmptyCard(kCardA);
         t.fw.VanishAtTransfer(6);  // logout, status, signature, challenge, login, status: gone
       },
       {"program", "--department", "1", "--index", "2"},
       kExitNoProgrammer,
       kNoConnectionText},
  };
  for (const ExitRow& row : rows) {
    SCOPED_TRACE(row.name);
    Bench t;  // each row on a fresh bus and programmer
    if (row.arrange) row.arrange(t);
    EXPECT_EQ(t.Command(row.args), row.exitCode);
    EXPECT_NE(t.err.str().find(row.message), std::string::npos) << t.err.str();
    if (!t.fw.Vanished()) t.ExpectLoggedOutAndClosed();
    EXPECT_EQ(t.bus.OpenHandles(), 0);
  }
}

TEST_F(CliRunTest, RecordsOfTheSingleCommands) {
  fw.PlaceEmptyCard(kCardA);
  passwords = {u"haslo123", u"haslo123", u"haslo123"};
  EXPECT_EQ(Command({"program", "--department", "99999", "--index", "7"}), kExitDone);
  EXPECT_EQ(Command({"read", "--json"}), kExitDone);
  EXPECT_EQ(Command({"status"}), kExitDone);
  EXPECT_EQ(out.str(), std::string("department,index,uid,result,time,line\n") + "99999,7," + kHexA +
                           ",ok,T,0\n" + "{\"department\":99999,\"index\":7,\"uid\":\"" + kHexA +
                           "\",\"result\":\"ok\",\"time\":\"T\",\"line\":null}\n"
                           "programmer: 1\nfirmware: 100\nkeys: target\nsignature: 00000ABC\n"
                           "password: user\nlogged-in: no\ncard: desfire-data\nuid: " +
                           kHexA + "\n");
  EXPECT_EQ(fw.CardNumbers(), std::make_pair(99999, 7));
  ExpectLoggedOutAndClosed();
}

TEST_F(CliRunTest, BatchWaitsForEachBlankCardAndRecordsEveryCardItMeets) {
  // Each card-info request runs one step: the polls for a card, ProgramCard's own question,
  // and the polls for the card to leave.
  field = {Idle(),
           Idle(),
           Place(kCardA),
           Idle(),  // row 1 on A after two polls
           Idle(),
           Idle(),
           Remove(),  // A stays a while: left alone
           [this] { fw.PlaceProgrammedCard(kCardB, 8, 9); },
           Idle(),
           Remove(),  // B holds data
           [this] { fw.PlaceForeignCard(kCardC); },
           Idle(),
           Remove(),  // C is foreign
           Idle(),
           Place(kCardC)};  // row 2 on a blank C
  EXPECT_EQ(Command({"batch", "--list", "-"}, "department;index\n12;1\n12;2\n"), kExitDone);
  EXPECT_EQ(out.str(), std::string("department,index,uid,result,time,line\n") + "12,1," + kHexA +
                           ",ok,T,2\n" + "12,2," + kHexB + ",holds-data,T,3\n" + "12,2," + kHexC +
                           ",other-type,T,3\n" + "12,2," + kHexC + ",ok,T,3\n");
  // One progress line per card, after the refusal's message.
  EXPECT_NE(
      err.str().find(std::string("Karta już zawiera jakieś dane.\nwiersz / line 3: ") + kHexB +
                     " holds-data\n" + "Karta innego typu (nie DesFire) w polu programatora.\n" +
                     "wiersz / line 3: " + kHexC + " other-type\nwiersz / line 3: " + kHexC +
                     " ok\nzaprogramowano 2 z 2 kart"),
      std::string::npos)
      << err.str();
  EXPECT_EQ(fw.CardNumbers(), std::make_pair(12, 2));
  EXPECT_TRUE(field.empty());
  EXPECT_EQ(std::count(fw.Commands().begin(), fw.Commands().end(), kCmdPrepareCard), 2);
  // The waits are the polls that found nothing new, 250 ms each: two before A, two while A
  // stayed, one before C came back blank.
  EXPECT_EQ(bus.SleptMs(), 5 * kCardPollMs);
  ExpectLoggedOutAndClosed();
}

TEST_F(CliRunTest, StopEndsAfterTheCardInHandWithASummary) {
  field = {Place(kCardA), Idle(), Remove(), Idle(), [this] { stop = true; }};
  EXPECT_EQ(Command({"batch", "--department", "5", "--first-index", "10", "--count", "3"}),
            kExitNotDone);
  EXPECT_EQ(out.str(),
            std::string("department,index,uid,result,time,line\n5,10,") + kHexA + ",ok,T,1\n");
  EXPECT_NE(err.str().find("stopped: zaprogramowano 1 z 3 kart / programmed 1 of 3 cards"),
            std::string::npos)
      << err.str();
  ExpectLoggedOutAndClosed();
}

TEST_F(CliRunTest, ReadWaitReadsCardAfterCardUntilStopped) {
  fw.PlaceProgrammedCard(kCardA, 1, 2);
  field = {Idle(),   Idle(),
           Remove(), Place(kCardB),
           Idle(),   [this] {
             fw.PlaceProgrammedCard(kCardC, 3, 4); },
           Idle(),   [this] { stop = true; }};
  EXPECT_EQ(Command({"read", "--wait"}), kExitNotDone);  // B is empty
  EXPECT_EQ(out.str(), std::string("department,index,uid,result,time,line\n") + "1,2," + kHexA +
                           ",ok,T,0\n,," + kHexB + ",empty,T,0\n3,4," + kHexC + ",ok,T,0\n");
  ExpectLoggedOutAndClosed();
}

TEST(CliRun, PasswordChange) {
  struct Row {
    const char* name;
    std::deque<std::u16string> typed;
    bool confirmed;
    int exitCode;
    std::string message;
    std::u16string keyAfter;  // the password the programmer holds afterwards
  };
  const Row rows[] = {
      {"from a terminal",
       {u"start123", u"zażółć12", u"zażółć12"},
       true,
       kExitDone,
       kPasswordChangedText,
       u"zażółć12"},
      {"from standard input",
       {u"start123", u"nowe-haslo"},
       false,
       kExitDone,
       kPasswordChangedText,
       u"nowe-haslo"},
      {"repeated differently",
       {u"start123", u"nowe-haslo", u"nowe-hasla"},
       true,
       kExitUsage,
       "differ",
       u"start123"},
      {"new one too short", {u"start123", u"krotkie"}, false, kExitUsage, "8..20", u"start123"},
      {"old one refused",
       {u"start124", u"nowe-haslo"},
       false,
       kExitLoginRefused,
       kOldPasswordRefusedText,
       u"start123"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // A code page without the Polish letters refuses "zażółć12" as a new password; that
    // refusal is the next test's.
    if (row.typed.size() > 1 && !UnrepresentableCharacters(row.typed[1]).empty()) continue;
    Bench t;
    t.fw.SetPasswordByAdministrator("start123");
    t.passwords = row.typed;
    t.confirm = row.confirmed;
    EXPECT_EQ(t.Command({"passwd"}), row.exitCode);
    EXPECT_NE(t.err.str().find(row.message), std::string::npos) << t.err.str();
    // Converted as the window converts it (Windows-1250 here, the ANSI code page on Windows).
    EXPECT_EQ(t.fw.PasswordKey(), KeyOf(PasswordTo8Bit(row.keyAfter).c_str()));
    t.ExpectLoggedOutAndClosed();
  }
}

// A new password with letters the code page lacks would reach the programmer as "?" or
// look-alikes: refused before anything is sent, naming the letters.
TEST(CliRun, PasswordChangeRefusesLettersTheCodePageLacks) {
  if (UnrepresentableCharacters(u"Ж").empty()) GTEST_SKIP() << "this code page holds Cyrillic";
  Bench t;
  t.fw.SetPasswordByAdministrator("start123");
  t.passwords = {u"start123", u"Жжжжжжж1"};
  t.fw.ClearCommands();
  EXPECT_EQ(t.Command({"passwd"}), kExitUsage);
  EXPECT_NE(t.err.str().find("„Ж”, „ж”"), std::string::npos) << t.err.str();
  EXPECT_EQ(std::count(t.fw.Commands().begin(), t.fw.Commands().end(), kCmdChangePassword), 0);
  EXPECT_EQ(t.fw.PasswordKey(), KeyOf("start123"));
  t.ExpectLoggedOutAndClosed();
}

// A bus whose only programmer another program holds (the window, say), as libusb reports it.
class HeldBus : public VirtualBus {
 public:
  std::vector<UnreachableDevice> UnreachableDevices() const override {
    return {{"001/007", Unreachable::HeldElsewhere}};
  }
};

TEST(CliRun, AProgrammerHeldByAnotherProgramIsNamedAndExitsThree) {
  HeldBus bus;
  std::ostringstream out;
  std::ostringstream err;
  const std::atomic<bool> stop{false};
  RecordWriter records(out, false);
  CliContext context{bus,
                     out,
                     records,
                     err,
                     [](const char*) { return std::optional<std::u16string>(); },
                     false,
                     stop,
                     [] { return std::string("T"); }};
  CliOptions status;
  status.command = CliCommand::Status;
  EXPECT_EQ(RunCliCommand(status, {}, context), kExitNoProgrammer);
  EXPECT_EQ(err.str(), "KP-R50 na 001/007: urządzenie zajęte przez inny program\n");
  EXPECT_EQ(out.str(), "");
}

}  // namespace
}  // namespace kp::test
