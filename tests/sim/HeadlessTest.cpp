// kpr50-sim --headless as scripts use it: a child process fed commands on its standard input,
// its event lines read from its standard output, in a private runtime folder.
#include "SimProcess.h"
#include "SimTestSupport.h"
#include "SocketTestSupport.h"

#include "link/WUsbBulkD.h"

#include <csignal>
#include <sys/stat.h>

#include <string>
#include <vector>

namespace kp::test {
namespace {

using kp::test::ChildProcess;
using kp::test::SimProcess;

// QProcess wants an application object; the suite's lines are std::string.
class Headless : public ::testing::Test {
 protected:
  Headless() { EnsureCoreApplication(); }
};

// The next line, or nullopt at the end of the output or after the limit.
std::optional<std::string> Line(ChildProcess& process) {
  static const QRegularExpression any;
  const auto line = process.Await(any);
  return line ? std::optional(line->toStdString()) : std::nullopt;
}

// Reads lines until one starts with `prefix`; returns it, or nullopt.
std::optional<std::string> LineStarting(ChildProcess& process, const std::string& prefix) {
  const auto line = process.Await(QRegularExpression(
      QLatin1Char('^') + QRegularExpression::escape(QString::fromStdString(prefix))));
  return line ? std::optional(line->toStdString()) : std::nullopt;
}

std::vector<std::string> Seen(const ChildProcess& process) {
  std::vector<std::string> lines;
  for (const QString& line : process.Seen()) lines.push_back(line.toStdString());
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return text;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Files of process `pid` in the folder.
std::vector<std::string> FilesOf(const RuntimeFolder& runtime, qint64 pid) {
  std::vector<std::string> mine;
  const std::string tag = "." + std::to_string(pid) + ".";
  for (const std::string& name : runtime.SocketFiles()) {
    if (name.find(tag) != std::string::npos) mine.push_back(name);
  }
  return mine;
}

TEST_F(Headless, PlugUnplugQuitWithItsEventLinesAndNoFilesLeft) {
  RuntimeFolder runtime;
  SimProcess sim(runtime, {QStringLiteral("--seed"), QStringLiteral("1")});
  ASSERT_GT(sim.Pid(), 0);
  const auto plugged = LineStarting(sim, "plugged 1 ");
  ASSERT_TRUE(plugged) << Joined(Seen(sim));
  const std::string path = plugged->substr(std::string("plugged 1 ").size());
  EXPECT_EQ(path,
            runtime.SocketFolder() + "/" + simsock::SocketName(kKpR50InterfaceGuid, sim.Pid(), 1));
  ASSERT_TRUE(LineStarting(sim, "ready"));
  // It started as the demo wants it: target keys, the administrator's password, a blank card.
  for (const char* expected :
       {"keys 1 target", "password 1 admin admin123", "login 1 no", "card 1 empty 04"}) {
    bool found = false;
    for (const auto& line : Seen(sim)) found = found || line.rfind(expected, 0) == 0;
    EXPECT_TRUE(found) << expected << "\n" << Joined(Seen(sim));
  }
  EXPECT_TRUE(Exists(path));

  ASSERT_TRUE(sim.Send(QStringLiteral("unplug")));
  EXPECT_EQ(Line(sim), "unplugged 1");
  EXPECT_FALSE(Exists(path));
  ASSERT_TRUE(sim.Send(QStringLiteral("plug")));
  EXPECT_EQ(Line(sim), "plugged 1 " + path);
  EXPECT_TRUE(Exists(path));

  // A client's request is reported as the firmware took it.
  {
    RawClient client(path);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(Line(sim), "client 1 connected");
    ASSERT_TRUE(client.Send(Request(sim::kCmdStatus)));
    EXPECT_EQ(Line(sim), "cmd 1 M status -> word 0x0807");
  }
  EXPECT_EQ(Line(sim), "client 1 disconnected");

  ASSERT_TRUE(sim.Send(QStringLiteral("bogus")));
  EXPECT_EQ(Line(sim), "error cannot do: bogus");
  ASSERT_TRUE(sim.Send(QStringLiteral("quit")));
  EXPECT_EQ(Line(sim), "unplugged 1");
  EXPECT_EQ(sim.WaitForExit(), 0);
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(FilesOf(runtime, sim.Pid()).empty());
}

// Two simulators side by side, each with its own files; one leaving takes only its own.
TEST_F(Headless, SimulatorsSideBySideKeepToTheirOwnFiles) {
  RuntimeFolder runtime;
  SimProcess first(runtime, {QStringLiteral("--programmers"), QStringLiteral("2")});
  SimProcess second(runtime);
  ASSERT_TRUE(LineStarting(first, "ready")) << Joined(Seen(first));
  ASSERT_TRUE(LineStarting(second, "ready")) << Joined(Seen(second));
  EXPECT_EQ(FilesOf(runtime, first.Pid()).size(), 2u);
  EXPECT_EQ(FilesOf(runtime, second.Pid()).size(), 1u);

  first.CloseInput();  // the end of the input ends it, like quit
  EXPECT_EQ(first.WaitForExit(), 0);
  EXPECT_TRUE(FilesOf(runtime, first.Pid()).empty());
  ASSERT_EQ(FilesOf(runtime, second.Pid()).size(), 1u);

  ASSERT_TRUE(second.Send(QStringLiteral("quit")));
  EXPECT_EQ(second.WaitForExit(), 0);
  EXPECT_TRUE(runtime.SocketFiles().empty());
}

TEST_F(Headless, QuitSignalsRemoveTheSocketFilesToo) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    RuntimeFolder runtime;
    SimProcess sim(runtime, {QStringLiteral("--programmers"), QStringLiteral("2")});
    ASSERT_TRUE(LineStarting(sim, "ready")) << Joined(Seen(sim));
    ASSERT_EQ(FilesOf(runtime, sim.Pid()).size(), 2u);
    kill(static_cast<pid_t>(sim.Pid()), signal);
    EXPECT_EQ(sim.WaitForExit(), 0);
    EXPECT_TRUE(FilesOf(runtime, sim.Pid()).empty());
  }
}

TEST_F(Headless, OptionsSetTheStartingState) {
  RuntimeFolder runtime;
  SimProcess sim(runtime, {QStringLiteral("--unplugged"), QStringLiteral("--no-card"),
                           QStringLiteral("--keys"), QStringLiteral("none"),
                           QStringLiteral("--password"), QStringLiteral("user:abc12345")});
  ASSERT_TRUE(LineStarting(sim, "ready")) << Joined(Seen(sim));
  const std::vector<std::string> expected = {
      "added 1", "keys 1 none", "password 1 user abc12345", "login 1 no", "card 1 none", "ready"};
  EXPECT_EQ(Seen(sim), expected);
  EXPECT_TRUE(runtime.SocketFiles().empty());
  sim.CloseInput();
  EXPECT_EQ(sim.WaitForExit(), 0);
}

TEST_F(Headless, HelpAndBadOptions) {
  RuntimeFolder runtime;
  const QString program = QStringLiteral(KPR50_SIM_PATH);
  {
    ChildProcess help(runtime, program, {QStringLiteral("--help")});
    std::string text;
    while (auto line = Line(help)) text += *line + "\n";
    EXPECT_EQ(help.WaitForExit(), 0);
    for (const char* must :
         {"--headless", "--programmers", "--password", "plug [n]", "card programmed DEP IDX [n]",
          "cmd n L NAME", "admin123", "--replay FILE", "--replay-speed 0|1", "replay n mismatch"}) {
      EXPECT_NE(text.find(must), std::string::npos) << must;
    }
  }
  ChildProcess bad(runtime, program, {QStringLiteral("--keys"), QStringLiteral("all")});
  EXPECT_FALSE(Line(bad));  // nothing on standard output
  EXPECT_EQ(bad.WaitForExit(), 2);
}

}  // namespace
}  // namespace kp::test
