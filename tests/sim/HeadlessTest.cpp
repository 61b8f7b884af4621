// kpr50-sim --headless as scripts use it: a child process fed commands on its standard input,
// its event lines read from its standard output, in a private runtime folder.
#include "SimTestSupport.h"
#include "SocketTestSupport.h"

#include "link/WUsbBulkD.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

extern char** environ;

namespace kp::simtest {
namespace {

constexpr int kLineLimitMs = 10000;  // bounds a failing test only

class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    args.insert(args.begin(), KPR50_SIM_PATH);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, KPR50_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }

  ~SimProcess() {
    CloseInput();
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }

  pid_t Pid() const { return pid_; }

  bool Send(const std::string& line) {
    const std::string text = line + "\n";
    return stdin_ >= 0 && write(stdin_, text.data(), text.size()) ==
                              static_cast<ssize_t>(text.size());
  }

  void CloseInput() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
  }

  // The next line, or nullopt at the end of the output or after the limit.
  std::optional<std::string> Line() {
    while (true) {
      const size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        lines_.push_back(line);
        return line;
      }
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, kLineLimitMs) <= 0) return std::nullopt;
      char chunk[512];
      const ssize_t n = read(stdout_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Reads lines until one starts with `prefix`; returns it, or nullopt.
  std::optional<std::string> LineStarting(const std::string& prefix) {
    while (auto line = Line()) {
      if (line->rfind(prefix, 0) == 0) return line;
    }
    return std::nullopt;
  }

  // Waits for the process to end; its exit status, or -1 when it did not exit normally.
  int Wait() {
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::vector<std::string>& Seen() const { return lines_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  bool exited_ = false;
  std::string buffer_;
  std::vector<std::string> lines_;
};

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
std::vector<std::string> FilesOf(const TempRuntime& runtime, pid_t pid) {
  std::vector<std::string> mine;
  const std::string tag = "." + std::to_string(pid) + ".";
  for (const std::string& name : runtime.SocketFiles()) {
    if (name.find(tag) != std::string::npos) mine.push_back(name);
  }
  return mine;
}

TEST(Headless, PlugUnplugQuitWithItsEventLinesAndNoFilesLeft) {
  TempRuntime runtime;
  SimProcess sim({"--headless", "--seed", "1"});
  ASSERT_GT(sim.Pid(), 0);
  const auto plugged = sim.LineStarting("plugged 1 ");
  ASSERT_TRUE(plugged) << Joined(sim.Seen());
  const std::string path = plugged->substr(std::string("plugged 1 ").size());
  EXPECT_EQ(path, runtime.Folder() + "/" +
                      simsock::SocketName(kKpR50InterfaceGuid, sim.Pid(), 1));
  ASSERT_TRUE(sim.LineStarting("ready"));
  // It started as the demo wants it: target keys, the administrator's password, a blank card.
  for (const char* expected : {"keys 1 target", "password 1 admin admin123", "login 1 no",
                               "card 1 empty 04"}) {
    bool found = false;
    for (const auto& line : sim.Seen()) found = found || line.rfind(expected, 0) == 0;
    EXPECT_TRUE(found) << expected << "\n" << Joined(sim.Seen());
  }
  EXPECT_TRUE(Exists(path));

  ASSERT_TRUE(sim.Send("unplug"));
  EXPECT_EQ(sim.Line(), "unplugged 1");
  EXPECT_FALSE(Exists(path));
  ASSERT_TRUE(sim.Send("plug"));
  EXPECT_EQ(sim.Line(), "plugged 1 " + path);
  EXPECT_TRUE(Exists(path));

  // A client's request is reported as the firmware took it.
  {
    RawClient client(path);
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(sim.Line(), "client 1 connected");
    ASSERT_TRUE(client.Send(Request(sim::kCmdStatus)));
    EXPECT_EQ(sim.Line(), "cmd 1 M status -> word 0x0807");
  }
  EXPECT_EQ(sim.Line(), "client 1 disconnected");

  ASSERT_TRUE(sim.Send("bogus"));
  EXPECT_EQ(sim.Line(), "error cannot do: bogus");
  ASSERT_TRUE(sim.Send("quit"));
  EXPECT_EQ(sim.Line(), "unplugged 1");
  EXPECT_EQ(sim.Wait(), 0);
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(FilesOf(runtime, sim.Pid()).empty());
}

// Two simulators side by side, each with its own files; one leaving takes only its own.
TEST(Headless, SimulatorsSideBySideKeepToTheirOwnFiles) {
  TempRuntime runtime;
  SimProcess first({"--headless", "--programmers", "2"});
  SimProcess second({"--headless"});
  ASSERT_TRUE(first.LineStarting("ready")) << Joined(first.Seen());
  ASSERT_TRUE(second.LineStarting("ready")) << Joined(second.Seen());
  EXPECT_EQ(FilesOf(runtime, first.Pid()).size(), 2u);
  EXPECT_EQ(FilesOf(runtime, second.Pid()).size(), 1u);

  first.CloseInput();  // the end of the input ends it, like quit
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_TRUE(FilesOf(runtime, first.Pid()).empty());
  ASSERT_EQ(FilesOf(runtime, second.Pid()).size(), 1u);

  ASSERT_TRUE(second.Send("quit"));
  EXPECT_EQ(second.Wait(), 0);
  EXPECT_TRUE(runtime.SocketFiles().empty());
}

TEST(Headless, QuitSignalsRemoveTheSocketFilesToo) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    TempRuntime runtime;
    SimProcess sim({"--headless", "--programmers", "2"});
    ASSERT_TRUE(sim.LineStarting("ready")) << Joined(sim.Seen());
    ASSERT_EQ(FilesOf(runtime, sim.Pid()).size(), 2u);
    kill(sim.Pid(), signal);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_TRUE(FilesOf(runtime, sim.Pid()).empty());
  }
}

TEST(Headless, OptionsSetTheStartingState) {
  TempRuntime runtime;
  SimProcess sim({"--headless", "--unplugged", "--no-card", "--keys", "none", "--password",
                  "user:abc12345"});
  ASSERT_TRUE(sim.LineStarting("ready")) << Joined(sim.Seen());
  const std::vector<std::string> expected = {"added 1", "keys 1 none", "password 1 user abc12345",
                                             "login 1 no", "card 1 none", "ready"};
  EXPECT_EQ(sim.Seen(), expected);
  EXPECT_TRUE(runtime.SocketFiles().empty());
  sim.CloseInput();
  EXPECT_EQ(sim.Wait(), 0);
}

TEST(Headless, HelpAndBadOptions) {
  {
    SimProcess help({"--help"});
    std::string text;
    while (auto line = help.Line()) text += *line + "\n";
    EXPECT_EQ(help.Wait(), 0);
    for (const char* must : {"--headless", "--programmers", "--password", "plug [n]",
                             "card programmed DEP IDX [n]", "cmd n L NAME", "admin123"}) {
      EXPECT_NE(text.find(must), std::string::npos) << must;
    }
  }
  SimProcess bad({"--keys", "all"});
  EXPECT_FALSE(bad.Line());  // nothing on standard output
  EXPECT_EQ(bad.Wait(), 2);
}

}  // namespace
}  // namespace kp::simtest
