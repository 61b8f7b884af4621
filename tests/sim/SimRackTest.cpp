// The simulator program's model: its command line, its script lines and the events the
// programmers' changes and a client's requests give.
#include "SimTestSupport.h"
#include "SocketTestSupport.h"

#include "sim/rack/SimOptions.h"
#include "sim/rack/SimRack.h"
#include "sim/rack/SimScript.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <algorithm>
#include <string>
#include <vector>

namespace kp::test {
namespace {

using Lines = std::vector<std::string>;

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

// --- Command line ------------------------------------------------------------------------

TEST(SimOptions, DefaultsAreOnePluggedProgrammerReadyForTheDemo) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(ParseSimOptions({}, &o, &error)) << error;
  EXPECT_FALSE(o.headless);
  EXPECT_EQ(o.programmers, 1);
  EXPECT_TRUE(o.setup.plugged);
  EXPECT_EQ(o.setup.keys, KeyState::Target);
  EXPECT_EQ(o.setup.password.state, PasswordState::SetByAdministrator);
  EXPECT_EQ(o.setup.password.text, kDefaultPassword);
  EXPECT_GE(std::string(kDefaultPassword).size(), 8u);
  EXPECT_EQ(o.setup.card.kind, CardSetupKind::Empty);
  EXPECT_FALSE(o.seed);
  EXPECT_EQ(o.transport, SimTransport::Unix);  // on Linux
}

TEST(SimOptions, EveryOptionIsTakenInBothSpellings) {
  SimOptions o;
  std::string error;
  ASSERT_TRUE(ParseSimOptions(
      {"--headless", "--programmers", "3", "--keys=temporary", "--password", "user:abc 12",
       "--unplugged", "--seed=77", "--card", "programmed:12:-7", "--transport=tcp"},
      &o, &error))
      << error;
  EXPECT_TRUE(o.headless);
  EXPECT_EQ(o.programmers, 3);
  EXPECT_EQ(o.setup.keys, KeyState::Temporary);
  EXPECT_EQ(o.setup.password.state, PasswordState::SetByUser);
  EXPECT_EQ(o.setup.password.text, "abc 12");
  EXPECT_FALSE(o.setup.plugged);
  ASSERT_TRUE(o.seed);
  EXPECT_EQ(*o.seed, 77u);
  EXPECT_EQ(o.setup.card.kind, CardSetupKind::Programmed);
  EXPECT_EQ(o.setup.card.department, 12);
  EXPECT_EQ(o.setup.card.index, -7);
  EXPECT_EQ(o.transport, SimTransport::Tcp);

  ASSERT_TRUE(ParseSimOptions(
      {"--no-card", "--password=none", "--keys", "none", "--transport", "unix"}, &o, &error));
  EXPECT_EQ(o.transport, SimTransport::Unix);
  EXPECT_EQ(o.setup.card.kind, CardSetupKind::None);
  EXPECT_EQ(o.setup.password.state, PasswordState::None);
  EXPECT_EQ(o.setup.keys, KeyState::None);
  ASSERT_TRUE(ParseSimOptions({"--help"}, &o, &error));
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(ParseSimOptions({"--version"}, &o, &error));
  EXPECT_TRUE(o.version);
}

TEST(SimOptions, AnythingElseIsRefusedWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {"--programmers", "0"},
      {"--programmers", "9"},
      {"--programmers", "2x"},
      {"--programmers"},
      {"--keys", "all"},
      {"--password", "admin:"},
      {"--password", "root:secret"},
      {"--password", "admin:123456789012345678901"},
      {"--password", "admin:日本語12345"},
      {"--password",
       "admin:ab\xC5"
       "cdefgh"},
      {"--card", "programmed:1"},
      {"--card", "programmed:a:1"},
      {"--card", "blank"},
      {"--seed", "-1"},
      {"--headless=yes"},
      {"--bogus"},
      {"headless"},
      {"--version=1"},
      {"--transport", "pipe"},
      {"--transport"},
      {"--replay"},
      {"--replay="},
      {"--replay", "t", "--replay-speed", "2"},
      {"--replay-speed", "1"},
      {"--replay", "t", "--card", "none"},
      {"--no-card", "--replay=t"},
      {"--replay", "t", "--programmers", "1"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
    SimOptions o;
    o.programmers = 5;
    std::string error;
    EXPECT_FALSE(ParseSimOptions(args, &o, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(o.programmers, 5);  // left as it was
  }
}

// --- Script lines on an unplugged rack ---------------------------------------------------

class RackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureCoreApplication();
    rack_.SetLineSink([this](const std::string& line) { lines_.push_back(line); });
    ProgrammerSetup setup;
    setup.plugged = false;
    rack_.Add(setup);
    lines_.clear();
  }

  Lines Run(const std::string& line) {
    lines_.clear();
    outcome_ = RunScriptLine(rack_, line);
    return lines_;
  }

  VirtualKpR50& Firmware(int index = 1) { return rack_.Find(index)->firmware; }

  // Runs the event loop until `done` or `limitMs` passed; the lines that came meanwhile.
  template <typename Done>
  Lines RunEventsUntil(Done done, int limitMs = 10000) {
    lines_.clear();
    QDeadlineTimer deadline(limitMs);
    while (!done() && !deadline.hasExpired()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return lines_;
  }

  RuntimeFolder runtime_;
  SimRack rack_{5};
  Lines lines_;
  ScriptOutcome outcome_ = ScriptOutcome::Continue;
};

TEST_F(RackTest, StartsAsSetUpAndSaysSo) {
  SimRack rack(9);
  Lines lines;
  rack.SetLineSink([&](const std::string& line) { lines.push_back(line); });
  ProgrammerSetup setup;
  setup.plugged = false;
  setup.card = {CardSetupKind::Programmed, 12, 7};
  EXPECT_EQ(rack.Add(setup), 1);
  const VirtualKpR50& fw = rack.Find(1)->firmware;
  EXPECT_EQ(fw.ProgrammerNumber(), 1);
  EXPECT_EQ(fw.Keys(), KeyState::Target);
  EXPECT_EQ(fw.Password(), PasswordState::SetByAdministrator);
  EXPECT_EQ(fw.PasswordKey(), KeyOf(kDefaultPassword));
  ASSERT_EQ(fw.Card(), CardKind::DesfireWithFile);
  const std::string uid = sim::UidText(fw.CardUid());
  EXPECT_EQ(lines,
            (Lines{"added 1", "keys 1 target", std::string("password 1 admin ") + kDefaultPassword,
                   "login 1 no", "card 1 programmed " + uid + " dep 12 idx 7"}));
  EXPECT_EQ(rack.Add(setup), 2);
  EXPECT_EQ(rack.Find(2)->firmware.ProgrammerNumber(), 2);
  EXPECT_NE(rack.Find(2)->server.Serial(), rack.Find(1)->server.Serial());
}

TEST_F(RackTest, ScriptLinesChangeTheProgrammerAndReportIt) {
  struct Row {
    std::string line;
    std::string reported;  // the one line it must give, or its start when it ends with '*'
    std::function<bool(VirtualKpR50&)> holds;
  };
  const Row rows[] = {
      {"keys temporary", "keys 1 temporary",
       [](VirtualKpR50& fw) { return fw.Keys() == KeyState::Temporary; }},
      {"keys none", "keys 1 none", [](VirtualKpR50& fw) { return fw.Keys() == KeyState::None; }},
      {"keys target 1", "keys 1 target",
       [](VirtualKpR50& fw) { return fw.Keys() == KeyState::Target; }},
      {"password user sekret12", "password 1 user sekret12",
       [](VirtualKpR50& fw) {
         return fw.Password() == PasswordState::SetByUser && fw.PasswordKey() == KeyOf("sekret12");
       }},
      {"password admin 1234", "password 1 admin 1234",
       [](VirtualKpR50& fw) {
         return fw.Password() == PasswordState::SetByAdministrator &&
                fw.PasswordKey() == KeyOf("1234");
       }},
      // Polish letters: the key comes from the Windows-1250 bytes, as the application's.
      {"password user zażółć12", "password 1 user zażółć12",
       [](VirtualKpR50& fw) {
         return fw.PasswordKey() == KeyOf(
                                        "za\xBF\xF3\xB3\xE6"
                                        "12");
       }},
      {"password admin Źdźbło€", "password 1 admin Źdźbło€",
       [](VirtualKpR50& fw) {
         return fw.Password() == PasswordState::SetByAdministrator &&
                fw.PasswordKey() == KeyOf(
                                        "\x8F"
                                        "d\x9F"
                                        "b\xB3o\x80");
       }},
      {"password none", "password 1 none",
       [](VirtualKpR50& fw) { return fw.Password() == PasswordState::None; }},
      {"login yes", "login 1 yes", [](VirtualKpR50& fw) { return fw.LoggedIn(); }},
      {"login no", "login 1 no", [](VirtualKpR50& fw) { return !fw.LoggedIn(); }},
      {"card none", "card 1 none", [](VirtualKpR50& fw) { return fw.Card() == CardKind::None; }},
      {"card foreign", "card 1 foreign *",
       [](VirtualKpR50& fw) { return fw.Card() == CardKind::Foreign; }},
      {"card programmed 99999 7", "card 1 programmed *",
       [](VirtualKpR50& fw) {
         return fw.CardNumbers() == std::make_pair(int32_t{99999}, int32_t{7});
       }},
      {"card empty", "card 1 empty *",
       [](VirtualKpR50& fw) { return fw.Card() == CardKind::DesfireEmpty; }},
      {"stall", "stalled 1", [](VirtualKpR50& fw) { return fw.Silent(); }},
      {"resume", "resumed 1", [](VirtualKpR50& fw) { return !fw.Silent(); }},
      {"stall 0 1", "stalled 1", [](VirtualKpR50& fw) { return fw.Silent(); }},
      {"resume 1", "resumed 1", [](VirtualKpR50& fw) { return !fw.Silent(); }},
      {"delay 300", "delay 1 300", [](VirtualKpR50& fw) { return fw.LateMs() == 300; }},
      {"delay 0 1", "delay 1 0", [](VirtualKpR50& fw) { return fw.LateMs() == 0; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    const Lines lines = Run(row.line);
    ASSERT_EQ(lines.size(), 1u);
    if (row.reported.back() == '*') {
      const std::string head = row.reported.substr(0, row.reported.size() - 1);
      EXPECT_TRUE(StartsWith(lines[0], head)) << lines[0];
      EXPECT_NE(lines[0].find(sim::UidText(Firmware().CardUid())), std::string::npos);
    } else {
      EXPECT_EQ(lines[0], row.reported);
    }
    EXPECT_TRUE(row.holds(Firmware()));
    EXPECT_EQ(outcome_, ScriptOutcome::Continue);
  }
}

TEST_F(RackTest, EveryCardPlacedGetsAFreshUid) {
  Run("card empty");
  const auto first = Firmware().CardUid();
  Run("card empty");
  EXPECT_NE(Firmware().CardUid(), first);
  EXPECT_EQ(Firmware().CardUid()[0], 0x04);
}

TEST_F(RackTest, LinesThatCannotBeDoneChangeNothing) {
  const std::string lines[] = {
      "bogus",
      "keys",
      "keys all",
      "keys target 2",
      "keys target 0",
      "keys target x",
      "card",
      "card programmed 12",
      "card programmed x 7",
      "card programmed 1 2 3 4",
      "password user",
      "password admin 123456789012345678901",
      "password root x",
      "login maybe",
      "plug 2",
      "remove 3",
      "quit now",
      "state 4",
      "password user 日本語",
      "password user za\xC5",
      "stall -5",
      "stall x",
      "stall 100 3",
      "resume 2",
      "delay",
      "delay -1",
      "delay 10 2",
      "fault",
      "fault drop-before",
      "fault crash write",
      "fault stall bogus",
      "fault stall write:0",
      "fault stall write:x",
      "fault stall 0x7",
      "fault delay write",
      "fault delay -5 write",
      "fault stall write 2",
      "fault clear 2",
      "fault stall write 1 1",
      "fault twice",
      "fault also",
      "fault also clear",
      "fault also also stall write",
      "fault also bogus write",
      "fault also delay write",
      "fault also garbage write 2",
  };
  const Snapshot before = Snapshot::Of(Firmware());
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    const Lines out = Run(line);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(StartsWith(out[0], "error ")) << out[0];
    EXPECT_EQ(outcome_, ScriptOutcome::Continue);
  }
  EXPECT_TRUE(Snapshot::Of(Firmware()) == before);
  EXPECT_TRUE(Firmware().ArmedFaults().empty());
  EXPECT_FALSE(rack_.Find(1)->server.Plugged());
}

// A stall of a set length ends by itself; the programmer then answers again.
TEST_F(RackTest, StallForAWhileEndsByItself) {
  Run("stall 30");
  EXPECT_EQ(lines_, Lines{"stalled 1 30"});
  EXPECT_TRUE(Firmware().Silent());
  const Lines more = RunEventsUntil([this] { return !Firmware().Silent(); });
  EXPECT_EQ(more, Lines{"resumed 1"});
  // A stall until told ends only when told, whatever stall came before.
  Run("stall 30");
  Run("stall");
  RunEventsUntil([] { return false; }, 100);
  EXPECT_TRUE(Firmware().Silent());
}

TEST_F(RackTest, CommentsAndBlankLinesAreIgnoredQuitEnds) {
  EXPECT_TRUE(Run("").empty());
  EXPECT_TRUE(Run("   ").empty());
  EXPECT_TRUE(Run("# plug").empty());
  EXPECT_FALSE(rack_.Find(1)->server.Plugged());
  EXPECT_TRUE(Run("quit").empty());
  EXPECT_EQ(outcome_, ScriptOutcome::Quit);
}

TEST_F(RackTest, StateAddAndRemove) {
  const Lines state = Run("state");
  ASSERT_EQ(state.size(), 5u);
  EXPECT_EQ(Lines(state.begin(), state.begin() + 4), rack_.StateLines(1));
  EXPECT_TRUE(StartsWith(state[0], "keys 1 "));
  EXPECT_TRUE(StartsWith(state[3], "card 1 "));
  EXPECT_EQ(state[4], "fault 1 none");

  Run("add");
  EXPECT_EQ(lines_.front(), "added 2");
  EXPECT_TRUE(rack_.Find(2) != nullptr);
  Run("card foreign 2");
  EXPECT_EQ(rack_.Find(2)->firmware.Card(), CardKind::Foreign);
  EXPECT_EQ(Firmware(1).Card(), CardKind::DesfireEmpty);  // the first keeps its card
  Run("remove 2");
  EXPECT_EQ(lines_.back(), "removed 2");
  EXPECT_EQ(rack_.Indexes(), std::vector<int>{1});
}

// Every fault line arms what it names and says so; the state command shows it until it
// fires or is cleared.
TEST_F(RackTest, FaultLinesArmOneFault) {
  struct Row {
    const char* line;
    FirmwareFault armed;
    const char* said;
  };
  const Row rows[] = {
      {"fault drop-before 0x70",
       {FaultKind::DropBefore, sim::kCmdPrepareCard, 1, 0},
       "fault 1 armed drop-before prepare-card 1"},
      {"fault drop-after write-file:3 1",
       {FaultKind::DropAfter, sim::kCmdWriteFile, 3, 0},
       "fault 1 armed drop-after write-file 3"},
      {"fault card-leave prepare",
       {FaultKind::CardLeave, sim::kCmdPrepareCard, 1, 0},
       "fault 1 armed card-leave prepare-card 1"},
      {"fault card-swap info:2",
       {FaultKind::CardSwap, sim::kCmdCardInfo, 2, 0},
       "fault 1 armed card-swap card-info 2"},
      {"fault stall erase",
       {FaultKind::Stall, sim::kCmdEraseCard, 1, 0},
       "fault 1 armed stall erase-card 1"},
      {"fault delay 2500 read",
       {FaultKind::Delay, sim::kCmdReadFile, 1, 2500},
       "fault 1 armed delay 2500 read-file 1"},
      {"fault drop-before 0x4d",
       {FaultKind::DropBefore, sim::kCmdStatus, 1, 0},
       "fault 1 armed drop-before status 1"},
      {"fault twice status",
       {FaultKind::AnswerTwice, sim::kCmdStatus, 1, 0},
       "fault 1 armed twice status 1"},
      {"fault wrong-length info:3",
       {FaultKind::WrongLength, sim::kCmdCardInfo, 3, 0},
       "fault 1 armed wrong-length card-info 3"},
      {"fault garbage change-password 1",
       {FaultKind::Garbage, sim::kCmdChangePassword, 1, 0},
       "fault 1 armed garbage change-password 1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(Run(row.line), Lines{row.said});
    EXPECT_EQ(Firmware().ArmedFault(), std::optional<FirmwareFault>(row.armed));
    EXPECT_EQ(Run("state").back(), row.said);
  }
  EXPECT_EQ(Run("fault clear"), Lines{"fault 1 cleared"});
  EXPECT_FALSE(Firmware().ArmedFault().has_value());
  EXPECT_EQ(Run("state").back(), "fault 1 none");
}

// "fault also" arms one more beside those armed, up to four; a plain fault line replaces
// them all, and the state command shows one line for each.
TEST_F(RackTest, FaultAlsoArmsBesideTheOthers) {
  Run("fault stall erase");
  EXPECT_EQ(Run("fault delay 3000 write"), Lines{"fault 1 armed delay 3000 write-file 1"});
  EXPECT_EQ(Run("fault also card-leave write:2 1"), Lines{"fault 1 armed card-leave write-file 2"});
  Run("fault also twice status");
  Run("fault also delay 5 info");
  const Lines armed = {"fault 1 armed delay 3000 write-file 1",
                       "fault 1 armed card-leave write-file 2", "fault 1 armed twice status 1",
                       "fault 1 armed delay 5 card-info 1"};
  const Lines state = Run("state");
  EXPECT_EQ(Lines(state.begin() + 4, state.end()), armed);
  EXPECT_EQ(Run("fault also garbage read"), Lines{"error fault 1: at most 4 armed"});
  EXPECT_EQ(Run("state").size(), 8u);
  EXPECT_EQ(Run("fault clear"), Lines{"fault 1 cleared"});
  EXPECT_EQ(Run("state").back(), "fault 1 none");
}

// --- Requests from a client -------------------------------------------------------------

TEST_F(RackTest, ClientRequestsComeOutAsCommandAndStateLines) {
  Run("plug");
  ASSERT_EQ(lines_.size(), 1u);
  EXPECT_EQ(lines_[0], "plugged 1 " + rack_.Find(1)->server.SocketPath());
  Run("login yes");
  const std::string uid = sim::UidText(Firmware().CardUid());
  lines_.clear();

  RawClient client(rack_.Find(1)->server.SocketPath());
  ASSERT_TRUE(client.ReceiveHello());
  Bytes file(16, 0);
  file[0] = 12;
  file[4] = 7;
  const auto cardUid = Firmware().CardUid();
  const Bytes uidBytes(cardUid.begin(), cardUid.end());
  for (const Bytes& request :
       {Request(sim::kCmdStatus), Request(sim::kCmdPrepareCard, Concat({{1}, uidBytes})),
        Request(sim::kCmdWriteFile, Concat({{1}, uidBytes, file})), Request(sim::kCmdLogout)}) {
    ASSERT_TRUE(client.Send(request));
    ASSERT_TRUE(client.Receive());
  }
  client.Close();
  ASSERT_TRUE(PumpUntil([&] { return lines_.back() == "client 1 disconnected"; }));
  EXPECT_EQ(lines_, (Lines{
                        "client 1 connected",
                        "cmd 1 M status -> word 0x1807",
                        "cmd 1 p prepare-card card " + uid + " -> ok",
                        "card 1 prepared " + uid,
                        "cmd 1 P write-file card " + uid + " dep 12 idx 7 -> ok",
                        "card 1 programmed " + uid + " dep 12 idx 7",
                        "cmd 1 l logout -> ok",
                        "login 1 no",
                        "client 1 disconnected",
                    }));
  ASSERT_TRUE(rack_.Find(1)->lastRequest);
  EXPECT_EQ(rack_.Find(1)->lastRequest->command, sim::kCmdLogout);
  EXPECT_EQ(rack_.Find(1)->pollRequests, 1u);
}

// A fault says which fired before the request's own line; a lost link unplugs.
TEST_F(RackTest, FiredFaultIsReportedBeforeItsRequest) {
  Run("plug");
  Run("login yes");
  Run("fault drop-after prepare");
  const std::string uid = sim::UidText(Firmware().CardUid());
  const auto cardUid = Firmware().CardUid();
  const Bytes uidBytes(cardUid.begin(), cardUid.end());
  lines_.clear();
  RawClient client(rack_.Find(1)->server.SocketPath());
  ASSERT_TRUE(client.ReceiveHello());
  ASSERT_TRUE(client.Send(Request(sim::kCmdPrepareCard, Concat({{1}, uidBytes}))));
  ASSERT_TRUE(PumpUntil([&] { return !lines_.empty() && lines_.back() == "unplugged 1"; }));
  EXPECT_EQ(lines_, (Lines{
                        "client 1 connected",
                        "fault 1 fired drop-after prepare-card 1",
                        "cmd 1 p prepare-card card " + uid + " -> no reply",
                        "card 1 prepared " + uid,
                        "client 1 dropped unplugged",
                        "unplugged 1",
                    }));
}

// A late answer and a fault at the resend: the resend is answered on its own, and the late
// answer of the first write still comes.
TEST_F(RackTest, LateAnswerStillLeavesWhileTheResendIsAnswered) {
  Run("plug");
  Run("login yes");
  Run("card empty");
  Run("fault delay 300 write");
  Run("fault also card-leave write:2");
  const std::string uid = sim::UidText(Firmware().CardUid());
  const auto cardUid = Firmware().CardUid();
  const Bytes uidBytes(cardUid.begin(), cardUid.end());
  RawClient client(rack_.Find(1)->server.SocketPath());
  ASSERT_TRUE(client.ReceiveHello());
  ASSERT_TRUE(client.Send(Request(sim::kCmdPrepareCard, Concat({{1}, uidBytes}))));
  ASSERT_TRUE(client.Receive());
  lines_.clear();
  const Bytes write = Request(sim::kCmdWriteFile, Concat({{1}, uidBytes, Bytes(16, 0)}));
  ASSERT_TRUE(client.Send(write));
  ASSERT_TRUE(client.Send(write));
  std::vector<uint8_t> statuses;
  for (int i = 0; i < 2; ++i) {
    const auto reply = client.Receive();
    ASSERT_TRUE(reply);
    const auto frame = kp::DecodeFrame(*reply);
    ASSERT_TRUE(frame && frame->payload.size() == 1);
    statuses.push_back(frame->payload[0]);
  }
  // Which comes first is a matter of time: only that both come is asserted.
  std::sort(statuses.begin(), statuses.end());
  EXPECT_EQ(statuses, (std::vector<uint8_t>{sim::kStatusOk, sim::kStatusNoCard}));
  const std::string cmd = "cmd 1 P write-file card " + uid + " dep 0 idx 0 -> ";
  EXPECT_EQ(Lines(lines_.begin(), lines_.begin() + 6),
            (Lines{"fault 1 fired delay 300 write-file 1", cmd + "ok",
                   "card 1 programmed " + uid + " dep 0 idx 0",
                   "fault 1 fired card-leave write-file 2", cmd + "refused 05", "card 1 none"}));
}

TEST_F(RackTest, PasswordChangedByTheToolIsNoLongerShown) {
  Run("plug");
  Run("login yes");
  RawClient client(rack_.Find(1)->server.SocketPath());
  ASSERT_TRUE(client.ReceiveHello());
  const auto oldKey = KeyOf(kDefaultPassword);
  const auto newKey = KeyOf("nowe-haslo");
  Bytes payload = IdentityField();
  payload.insert(payload.end(), oldKey.begin(), oldKey.end());
  payload.insert(payload.end(), newKey.begin(), newKey.end());
  lines_.clear();
  ASSERT_TRUE(client.Send(Request(sim::kCmdChangePassword, payload)));
  ASSERT_TRUE(client.Receive());
  EXPECT_EQ(lines_, (Lines{"cmd 1 H change-password -> ok", "password 1 user"}));
  EXPECT_TRUE(rack_.Find(1)->passwordText.empty());
}

TEST_F(RackTest, UnplugAllAndRemoveLeaveNoSocketFiles) {
  Run("add");
  Run("plug 1");
  ASSERT_EQ(runtime_.SocketFiles().size(), 2u);
  rack_.Remove(2);
  EXPECT_EQ(runtime_.SocketFiles().size(), 1u);
  rack_.UnplugAll();
  EXPECT_TRUE(runtime_.SocketFiles().empty());
}

}  // namespace
}  // namespace kp::test
