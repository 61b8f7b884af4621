// The TCP backend against a small server written here: the announce file format, framing,
// exclusive open, both tokens, stale and malformed announce files, and peers that are not
// the simulator. Every failing open must fail within the hello's time, never hang. Runs on
// Windows (under Wine) too; the checks of file kinds and modes are Unix only.
#include "simwire/AnnounceFile.h"
#include "simwire/LoopbackSocket.h"
#include "platform/simclient/SimTcpPlatform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#if defined(_WIN32)
#include <process.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kp::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
// Announce files name the pid of a live server: the test's own. This one has surely ended.
long OwnPid() {
#if defined(_WIN32)
  return _getpid();
#else
  return getpid();
#endif
}
constexpr long kEndedPid = 999999999;

const Guid kClass = {0x5B6638C7, 0xB7EA, 0x4BF3, {0x8A, 0x83, 0x3E, 0xAF, 0x32, 0x6C, 0x4F, 0x73}};

simtcp::Token TokenOf(uint8_t seed) {
  simtcp::Token t;
  for (size_t i = 0; i < t.size(); ++i) t[i] = static_cast<uint8_t>(seed + 7 * i);
  return t;
}

simsock::Hello TestHello(uint8_t status) {
  simsock::Hello h;
  h.status = status;
  h.deviceDescriptor = {18, 1, 0, 2, 0, 0, 0, 64, 0x09, 0x12, 0x50, 0x52, 0, 1, 1, 2, 3, 1};
  h.serialDescriptor = {6, 3, '7', 0, 'Q', 0};
  h.pipes = {{PipeType::Bulk, 0x81, 64, 0}, {PipeType::Bulk, 0x02, 64, 0}};
  return h;
}

// Group and others may read the file when `private` is false (Unix; no matter on Windows).
void WriteFile(const std::string& path, const std::string& text, bool hidden = true) {
  std::ofstream(path, std::ios::binary) << text;
#if !defined(_WIN32)
  ::chmod(path.c_str(), hidden ? 0600 : 0644);
#else
  (void)hidden;
#endif
}

// How the server written here behaves towards each client.
enum class Peer {
  Simulator,         // checks the client token, answers ready (busy while one is served), echoes
  Silent,            // takes the connection and never says a word
  WrongServerToken,  // answers like the simulator, but cannot know the server token
  HugeFrame,         // answers with a frame longer than any message may be
};

// One listening socket on 127.0.0.1 served by a thread, and its announce file.
class TcpTestServer {
 public:
  TcpTestServer(const std::string& announcePath, Peer peer = Peer::Simulator) : peer_(peer) {
    std::string error;
    listen_ = loopback::Listen(&port_, &error);
    EXPECT_NE(listen_, loopback::kNoSocket) << error;
    announce_.port = port_;
    announce_.clientToken = TokenOf(1);
    announce_.serverToken = TokenOf(2);
    WriteFile(announcePath, simtcp::EncodeAnnounce(announce_));
    thread_ = std::thread([this] { Run(); });
  }
  ~TcpTestServer() { Stop(); }

  // Closes everything at once, as a crashed server would; the announce file stays behind.
  void Stop() {
    if (stop_.exchange(true)) return;
    thread_.join();
    for (auto& c : clients_) loopback::Close(c.socket);
    loopback::Close(listen_);
  }
  const simtcp::Announce& Announced() const { return announce_; }
  int Refused() const { return refused_; }

 private:
  struct Client {
    loopback::SocketHandle socket;
    simtcp::FrameReader reader;
    bool greeted = false;
  };

  void SendFrame(loopback::SocketHandle s, const Bytes& message) {
    const Bytes frame = simtcp::Frame(message);
    size_t sent = 0;
    loopback::SendSome(s, frame.data(), frame.size(), &sent);
  }

  void Run() {
    while (!stop_) {
      bool retry = false;
      const loopback::SocketHandle s = loopback::Accept(listen_, &retry);
      if (s != loopback::kNoSocket) clients_.push_back({s, {}, false});
      for (auto it = clients_.begin(); it != clients_.end();) {
        uint8_t chunk[8192];
        size_t n = 0;
        const loopback::Io io = loopback::ReceiveSome(it->socket, chunk, sizeof chunk, &n);
        if (io == loopback::Io::Closed || io == loopback::Io::Failed) {
          if (it->socket == served_) served_ = loopback::kNoSocket;
          loopback::Close(it->socket);
          it = clients_.erase(it);
          continue;
        }
        if (io == loopback::Io::Done) it->reader.Append({chunk, n});
        Bytes m;
        while (peer_ != Peer::Silent && it->reader.Take(&m) == simtcp::FrameReader::Next::Message) {
          if (it->greeted) {
            SendFrame(it->socket, m);  // echo
            continue;
          }
          simtcp::Token token;
          if (!simtcp::DecodeClientHello(m, &token) ||
              !simtcp::SameToken(token, announce_.clientToken)) {
            ++refused_;
            break;
          }
          it->greeted = true;
          if (peer_ == Peer::HugeFrame) {
            const Bytes huge = {0xFF, 0xFF, 1, 2, 3};
            size_t sent = 0;
            loopback::SendSome(it->socket, huge.data(), huge.size(), &sent);
            break;
          }
          const bool busy = served_ != loopback::kNoSocket;
          if (!busy) served_ = it->socket;
          const simtcp::Token proof =
              peer_ == Peer::WrongServerToken ? TokenOf(9) : announce_.serverToken;
          Bytes answer(proof.begin(), proof.end());
          const Bytes hello =
              simsock::EncodeHello(TestHello(busy ? simsock::kBusy : simsock::kReady));
          answer.insert(answer.end(), hello.begin(), hello.end());
          SendFrame(it->socket, answer);
          if (busy) it->greeted = false;  // the busy one is left to close by itself
        }
        ++it;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  Peer peer_;
  uint16_t port_ = 0;
  loopback::SocketHandle listen_ = loopback::kNoSocket;
  simtcp::Announce announce_;
  std::vector<Client> clients_;
  loopback::SocketHandle served_ = loopback::kNoSocket;
  std::atomic<int> refused_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SimTcpPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto folder = std::filesystem::temp_directory_path() /
                        ("kpr50-tcp-test-" + std::to_string(std::random_device()()));
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    dir = folder.string();
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::string AnnouncePath(int n, long pid = OwnPid()) {
    return Path(simtcp::AnnounceName(kClass, pid, n));
  }
  std::string Path(const std::string& name) { return (std::filesystem::path(dir) / name).string(); }

  std::vector<std::string> List(SimTcpPlatform& p) {
    std::vector<std::string> paths;
    const DevInfoHandle list = p.SetupDiGetClassDevsA(kClass);
    DeviceInterfaceData d;
    for (uint32_t i = 0; p.SetupDiEnumDeviceInterfaces(list, kClass, i, &d); ++i) {
      uint32_t size = 0;
      p.SetupDiGetDeviceInterfaceDetailA(list, d, nullptr, 0, &size);
      std::string path(size, '\0');
      EXPECT_TRUE(p.SetupDiGetDeviceInterfaceDetailA(list, d, path.data(), size, nullptr));
      paths.emplace_back(path.c_str());
    }
    p.SetupDiDestroyDeviceInfoList(list);
    return paths;
  }

  // Opens and initialises; kInvalidHandle when the open fails.
  WinUsbHandle Open(SimTcpPlatform& p, const std::string& path, FileHandle* file) {
    *file = p.CreateFileA(path.c_str());
    WinUsbHandle w = kInvalidHandle;
    if (*file != kInvalidHandle) {
      EXPECT_TRUE(p.WinUsb_Initialize(*file, &w));
    }
    return w;
  }

  std::string dir;
};

TEST_F(SimTcpPlatformTest, RoundTripsWholeMessagesAndOpenIsExclusive) {
  TcpTestServer server(AnnouncePath(0));
  WriteFile(Path(simsock::SocketName(kClass, OwnPid(), 1)), "not ours");
  // A simulator that has ended is not listed, even when something listens on its port.
  TcpTestServer ended(AnnouncePath(2, kEndedPid));
  SimTcpPlatform p(dir);
  EXPECT_EQ(List(p), std::vector<std::string>{AnnouncePath(0)});

  FileHandle f = kInvalidHandle;
  const WinUsbHandle w = Open(p, AnnouncePath(0), &f);
  ASSERT_NE(w, kInvalidHandle);
  SimTcpPlatform q(dir);
  EXPECT_EQ(q.CreateFileA(AnnouncePath(0).c_str()), kInvalidHandle);  // busy

  uint8_t d[64];
  uint32_t n = 0;
  ASSERT_TRUE(p.WinUsb_GetDescriptor(w, 3, 3, 0x0409, d, sizeof d, &n));
  EXPECT_EQ(Bytes(d, d + n), TestHello(simsock::kReady).serialDescriptor);

  const uint32_t timeout = 100;
  ASSERT_TRUE(p.WinUsb_SetPipePolicy(w, 0x81, kPipeTransferTimeout, 4, &timeout));
  // Messages of every size the programmer uses, back to back, each read whole.
  for (uint32_t size : {1u, 64u, 1032u, 4096u}) {
    Bytes out(size);
    for (size_t k = 0; k < size; ++k) out[k] = static_cast<uint8_t>(k * 13 + size);
    ASSERT_TRUE(p.WinUsb_WritePipe(w, 0x02, out.data(), size, &n));
    EXPECT_EQ(n, size);
  }
  for (uint32_t size : {1u, 64u, 1032u, 4096u}) {
    Bytes in(4096);
    ASSERT_TRUE(p.WinUsb_ReadPipe(w, 0x81, in.data(), 4096, &n)) << size;
    ASSERT_EQ(n, size);
    EXPECT_EQ(in[size - 1], static_cast<uint8_t>((size - 1) * 13 + size));
  }
  Bytes in(64);
  const auto start = Clock::now();
  EXPECT_FALSE(p.WinUsb_ReadPipe(w, 0x81, in.data(), 64, &n));  // nothing more: time-out
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));

  EXPECT_TRUE(p.CloseHandle(f));
  FileHandle again = kInvalidHandle;
  for (int tries = 0; tries < 50 && again == kInvalidHandle; ++tries) {
    again = q.CreateFileA(AnnouncePath(0).c_str());
    if (again == kInvalidHandle) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(again, kInvalidHandle);
  EXPECT_EQ(server.Refused(), 0);
}

TEST_F(SimTcpPlatformTest, PeersThatAreNotTheSimulatorFailTheOpenInTime) {
  const struct {
    const char* name;
    Peer peer;
  } cases[] = {
      {"silent", Peer::Silent},
      {"wrong server token", Peer::WrongServerToken},
      {"frame too large", Peer::HugeFrame},
  };
  for (const auto& c : cases) {
    TcpTestServer server(AnnouncePath(0), c.peer);
    SimTcpPlatform p(dir);
    const auto start = Clock::now();
    EXPECT_EQ(p.CreateFileA(AnnouncePath(0).c_str()), kInvalidHandle) << c.name;
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(simsock::kHelloTimeoutMs + 1500))
        << c.name;
  }
}

TEST_F(SimTcpPlatformTest, StaleMalformedAndForeignAnnounceFilesAreRefused) {
  simtcp::Announce live;
  {
    TcpTestServer dead(AnnouncePath(0));
    live = dead.Announced();
    dead.Stop();  // the file stays, nobody listens on its port
  }
  const std::string good = simtcp::EncodeAnnounce(live);
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    const char* name;
    std::string text;
    bool hidden;
  } cases[] = {
    {"empty", "", true},
    {"cut short", good.substr(0, good.size() - 2), true},
    {"any address", replaced("127.0.0.1", "0.0.0.0"), true},
    {"another host", replaced("127.0.0.1", "192.168.1.20"), true},
    {"port zero", replaced("port " + std::to_string(live.port), "port 0"), true},
    {"port too high", replaced("port " + std::to_string(live.port), "port 70000"), true},
    {"port with sign", replaced("port ", "port +"), true},
    {"token not hex", replaced("client-token ", "client-token zz"), true},
    {"extra line", good + "more 1\n", true},
    {"huge", good + std::string(4096, 'x'), true},
#if !defined(_WIN32)
    {"others may read it", good, false},
#endif
  };
  SimTcpPlatform p(dir);
  for (const auto& c : cases) {
    const std::string path = AnnouncePath(1);
    std::filesystem::remove(path);
    WriteFile(path, c.text, c.hidden);
    simtcp::Announce a;
    EXPECT_FALSE(ReadAnnounceFile(path, &a)) << c.name;
    EXPECT_EQ(p.CreateFileA(path.c_str()), kInvalidHandle) << c.name;
  }
  EXPECT_EQ(p.CreateFileA(AnnouncePath(0).c_str()), kInvalidHandle);  // stale

  // A folder named like an announce file, and a name that is not there.
  std::filesystem::create_directory(AnnouncePath(3));
  for (int n : {3, 5}) EXPECT_EQ(p.CreateFileA(AnnouncePath(n).c_str()), kInvalidHandle) << n;
}

TEST_F(SimTcpPlatformTest, AnnounceFilesAreReplacedWholeAndRemovedOnlyWhileOurs) {
  std::string error;
  EXPECT_FALSE(EnsureAnnounceFolder("", &error));
  EXPECT_NE(error.find("LOCALAPPDATA"), std::string::npos) << error;
  const std::string folder = Path("announce");
  ASSERT_TRUE(EnsureAnnounceFolder(folder, &error)) << error;
  ASSERT_TRUE(EnsureAnnounceFolder(folder, &error)) << error;  // already there
  ASSERT_TRUE(std::filesystem::is_directory(folder));

  simtcp::Announce first{40123, TokenOf(1), TokenOf(2)};
  simtcp::Announce second{40124, TokenOf(3), TokenOf(4)};
  const std::string path = (std::filesystem::path(folder) / "device.port").string();
  ASSERT_TRUE(WriteAnnounceFile(path, first, &error)) << error;
  ASSERT_TRUE(WriteAnnounceFile(path, second, &error)) << error;  // over the old one
  simtcp::Announce read;
  ASSERT_TRUE(ReadAnnounceFile(path, &read));  // on Unix this also says: ours and hidden
  EXPECT_EQ(read.port, second.port);
  EXPECT_EQ(read.serverToken, second.serverToken);
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++files;
  EXPECT_EQ(files, 1u);  // no temporary file left beside it

  RemoveAnnounceFile(path, first);  // a successor's file stays
  EXPECT_TRUE(std::filesystem::exists(path));
  RemoveAnnounceFile(path, second);
  EXPECT_FALSE(std::filesystem::exists(path));

  error.clear();
  EXPECT_FALSE(WriteAnnounceFile(Path("missing/device.port"), first, &error));
  EXPECT_NE(error.find("device.port"), std::string::npos) << error;
}

#if !defined(_WIN32)
TEST_F(SimTcpPlatformTest, PipesAndLinksNamedLikeAnnounceFilesAreNeverFollowed) {
  SimTcpPlatform p(dir);
  // Things that are not files at all, named like announce files: never followed, never waited on.
  ASSERT_EQ(::mkfifo(AnnouncePath(2).c_str(), 0600), 0);
  TcpTestServer elsewhere(dir + "/elsewhere");
  std::filesystem::create_symlink(dir + "/elsewhere", AnnouncePath(4));
  for (int n : {2, 4}) {
    const auto start = Clock::now();
    EXPECT_EQ(p.CreateFileA(AnnouncePath(n).c_str()), kInvalidHandle) << n;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << n;
  }
}
#endif

TEST(SimTcpProtocol, AnnounceAndHelloRoundTripStrictly) {
  simtcp::Announce a;
  a.port = 65535;
  a.clientToken = TokenOf(3);
  a.serverToken = TokenOf(4);
  const std::string text = simtcp::EncodeAnnounce(a);
  simtcp::Announce b;
  ASSERT_TRUE(simtcp::DecodeAnnounce(text, &b));
  EXPECT_EQ(b.port, 65535);
  EXPECT_EQ(b.clientToken, a.clientToken);
  EXPECT_EQ(b.serverToken, a.serverToken);
  for (size_t cut = 0; cut < text.size(); ++cut) {
    EXPECT_FALSE(simtcp::DecodeAnnounce(text.substr(0, cut), &b)) << cut;
  }

  const Bytes hello = simtcp::EncodeClientHello(a.clientToken);
  simtcp::Token t;
  ASSERT_TRUE(simtcp::DecodeClientHello(hello, &t));
  EXPECT_TRUE(simtcp::SameToken(t, a.clientToken));
  EXPECT_FALSE(simtcp::SameToken(t, a.serverToken));
  EXPECT_FALSE(simtcp::SameToken(std::span<const uint8_t>(t.data(), 31), a.clientToken));
  EXPECT_FALSE(simtcp::DecodeClientHello(Bytes(hello.begin(), hello.end() - 1), &t));
  Bytes otherVersion = hello;
  otherVersion[8] = 2;
  EXPECT_FALSE(simtcp::DecodeClientHello(otherVersion, &t));
}

TEST(SimTcpProtocol, ServerPidIsReadFromTheFileNameOnly) {
  const struct {
    std::string name;
    long pid;
  } cases[] = {
      {simtcp::AnnounceName(kClass, 4242, 3), 4242},
      {"5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73..3.port", 0},
      {"5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73.42x.3.port", 0},
      {"5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73.12345678901.3.port", 0},
      {"5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73.port", 0},
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(simsock::DeviceFileServerPid(c.name), c.pid) << c.name;
  EXPECT_FALSE(ProcessHasEnded(OwnPid()));
  EXPECT_FALSE(ProcessHasEnded(0));  // cannot tell: listed
  EXPECT_TRUE(ProcessHasEnded(kEndedPid));
}

TEST(SimTcpProtocol, FrameReaderTakesWholeMessagesFromAnySplit) {
  Bytes stream;
  const std::vector<Bytes> messages = {{}, {1}, Bytes(300, 7), Bytes(simsock::kMaxMessage, 9)};
  for (const Bytes& m : messages) {
    const Bytes f = simtcp::Frame(m);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  for (size_t step : {size_t{1}, size_t{3}, size_t{1000}, stream.size()}) {
    simtcp::FrameReader reader;
    std::vector<Bytes> got;
    for (size_t at = 0; at < stream.size(); at += step) {
      reader.Append({stream.data() + at, std::min(step, stream.size() - at)});
      Bytes m;
      while (reader.Take(&m) == simtcp::FrameReader::Next::Message) got.push_back(m);
    }
    EXPECT_EQ(got, messages) << step;
    EXPECT_EQ(reader.Buffered(), 0u);
  }
  simtcp::FrameReader reader;
  const Bytes tooLarge = {0x01, 0x10};  // 4097
  reader.Append(tooLarge);
  Bytes m;
  EXPECT_EQ(reader.Take(&m), simtcp::FrameReader::Next::TooLarge);
}

#if !defined(_WIN32)
TEST(SimTcpProtocol, AnnounceFolderFollowsTheRuntimeFolder) {
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = old ? old : "";
  ::setenv("XDG_RUNTIME_DIR", "/run/user/77", 1);
  EXPECT_EQ(simtcp::AnnounceDirectory(), "/run/user/77/kpr50-sim-tcp");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(simtcp::AnnounceDirectory(), "/tmp/kpr50-sim-tcp-" + std::to_string(::getuid()));
  if (old) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  EXPECT_TRUE(simtcp::AnnounceNameIsOfClass(simtcp::AnnounceName(kClass, 1, 0), kClass));
  EXPECT_FALSE(simtcp::AnnounceNameIsOfClass(simsock::SocketName(kClass, 1, 0), kClass));
}
#endif

}  // namespace
}  // namespace kp::test
