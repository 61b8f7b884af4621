// The server over TCP on its own: a raw stream client on one side, the firmware model on the
// other, in a private runtime folder. What the transport adds to the socket server: the
// loopback-only port, the announce file, both tokens, framing, and turning away connections
// that cannot show the client token.
#include "SimTestSupport.h"
#include "SocketTestSupport.h"

#include "link/WUsbBulkD.h"
#include "simwire/LoopbackSocket.h"
#include "simwire/AnnounceFile.h"
#include "simwire/SimTcpProtocol.h"
#include "sim/server/SimSocketServer.h"
#include "simwire/RuntimeFolder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

namespace kp::test {
namespace {

// One end of a TCP connection to the simulator, read without blocking while the event loop
// runs.
class RawTcpClient {
 public:
  explicit RawTcpClient(uint16_t port) : socket_(loopback::Connect(port, 1000)) {}
  ~RawTcpClient() { Close(); }
  RawTcpClient(const RawTcpClient&) = delete;
  RawTcpClient& operator=(const RawTcpClient&) = delete;

  bool Connected() const { return socket_ != loopback::kNoSocket; }
  void Close() {
    loopback::Close(socket_);
    socket_ = loopback::kNoSocket;
  }

  bool SendRaw(const Bytes& bytes) {
    size_t sent = 0;
    return Connected() &&
           loopback::SendSome(socket_, bytes.data(), bytes.size(), &sent) == loopback::Io::Done &&
           sent == bytes.size();
  }
  bool SendFrame(const Bytes& message) { return SendRaw(simtcp::Frame(message)); }

  // The next whole message; nullopt when none came in time. closed() tells an end.
  std::optional<Bytes> Receive(int limitMs = 3000) {
    Bytes message;
    bool got = false;
    PumpUntil(
        [&] {
          if (reader_.Take(&message) == simtcp::FrameReader::Next::Message) return got = true;
          uint8_t chunk[8192];
          size_t n = 0;
          switch (loopback::ReceiveSome(socket_, chunk, sizeof chunk, &n)) {
            case loopback::Io::Done: reader_.Append({chunk, n}); return false;
            case loopback::Io::WouldBlock: return false;
            case loopback::Io::Closed:
            case loopback::Io::Failed: break;
          }
          closed_ = true;
          return true;
        },
        limitMs);
    if (!got) return std::nullopt;
    return message;
  }

  bool WaitClosed(int limitMs = 3000) {
    while (!closed_) {
      if (!Receive(limitMs) && !closed_) return false;
    }
    return true;
  }
  bool closed() const { return closed_; }

  // Our hello with `token`, then the server's answer: its hello, when the proof in front of
  // it is the server token.
  std::optional<simsock::Hello> Greet(const simtcp::Announce& announce) {
    if (!SendFrame(simtcp::EncodeClientHello(announce.clientToken))) return std::nullopt;
    const auto answer = Receive();
    simsock::Hello hello;
    if (!answer || answer->size() < simtcp::kTokenSize ||
        !simtcp::SameToken({answer->data(), simtcp::kTokenSize}, announce.serverToken) ||
        !simsock::DecodeHello(
            {answer->data() + simtcp::kTokenSize, answer->size() - simtcp::kTokenSize}, &hello)) {
      return std::nullopt;
    }
    return hello;
  }

 private:
  loopback::SocketHandle socket_;
  simtcp::FrameReader reader_;
  bool closed_ = false;
};

// Whether anything accepts a connection on `address`:port (host order address).
bool Reachable(uint32_t address, uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  a.sin_port = htons(port);
  const bool ok = connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

class TcpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureCoreApplication();
    firmware_.SetKeys(KeyState::Target, 0x11223344);
    firmware_.PlaceEmptyCard(kUid);
    server_ = std::make_unique<SimSocketServer>(firmware_, 1, u"0000AB01", SimTransport::Tcp);
    server_->SetStateObserver([this](ServerEvent event, const std::string& detail) {
      events_.push_back({event, detail});
    });
  }

  bool Saw(ServerEvent event, const std::string& detail = "*") const {
    for (const auto& [e, d] : events_) {
      if (e == event && (detail == "*" || d == detail)) return true;
    }
    return false;
  }
  bool WaitFor(ServerEvent event, const std::string& detail = "*") {
    return PumpUntil([&] { return Saw(event, detail); });
  }

  simtcp::Announce Announced() {
    simtcp::Announce a;
    EXPECT_TRUE(ReadAnnounceFile(server_->SocketPath(), &a));
    return a;
  }

  static Bytes DirectReply(const Bytes& request) {
    VirtualKpR50 twin;
    twin.SetKeys(KeyState::Target, 0x11223344);
    twin.PlaceEmptyCard(kUid);
    const auto out = twin.HandleRequest(request);
    return out.empty() ? Bytes{} : out.front().bytes;
  }

  // A client with the right token is served: the device was not left held.
  void ExpectServedAgain(const simtcp::Announce& a) {
    RawTcpClient next(a.port);
    const auto hello = next.Greet(a);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->status, simsock::kReady);
    next.Close();
    ASSERT_TRUE(PumpUntil([&] { return !server_->HasClient(); }));
  }

  RuntimeFolder runtime_;
  VirtualKpR50 firmware_;
  std::unique_ptr<SimSocketServer> server_;
  std::vector<std::pair<ServerEvent, std::string>> events_;
};

TEST_F(TcpServerTest, AnnouncesALoopbackPortAndServesWholeFramesToTheTokenHolder) {
  ASSERT_TRUE(server_->Plug());
  const std::string path = server_->SocketPath();
  EXPECT_EQ(path, runtime_.Path() + "/kpr50-sim-tcp/" +
                      simtcp::AnnounceName(kKpR50InterfaceGuid, getpid(), 1));
  EXPECT_TRUE(Saw(ServerEvent::Plugged, path));
  EXPECT_EQ(ModeOf(runtime_.Path() + "/kpr50-sim-tcp"), 0700u);
  EXPECT_EQ(ModeOf(path), 0600u);
  const simtcp::Announce a = Announced();
  EXPECT_NE(a.clientToken, a.serverToken);
  // Bound to 127.0.0.1 alone: another loopback address finds nobody on the port.
  EXPECT_FALSE(Reachable(0x7F000002, a.port));

  RawTcpClient client(a.port);
  ASSERT_TRUE(client.Connected());
  const auto hello = client.Greet(a);
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->status, simsock::kReady);
  EXPECT_EQ(hello->pipes.size(), 2u);
  ASSERT_TRUE(WaitFor(ServerEvent::ClientConnected));

  // A request cut into single bytes, then two requests in one piece: each answered whole.
  const Bytes status = simtcp::Frame(Request(sim::kCmdStatus));
  for (uint8_t byte : status) {
    ASSERT_TRUE(client.SendRaw({byte}));
    PumpFor(2);
  }
  const auto first = client.Receive();
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, DirectReply(Request(sim::kCmdStatus)));
  Bytes both = simtcp::Frame(Request(sim::kCmdKeySignature));
  const Bytes cardInfo = simtcp::Frame(Request(sim::kCmdCardInfo));
  both.insert(both.end(), cardInfo.begin(), cardInfo.end());
  ASSERT_TRUE(client.SendRaw(both));
  const auto second = client.Receive();
  const auto third = client.Receive();
  ASSERT_TRUE(second && third);
  EXPECT_EQ(*second, DirectReply(Request(sim::kCmdKeySignature)));
  EXPECT_EQ(*third, DirectReply(Request(sim::kCmdCardInfo)));

  // Exclusive: a second token holder is told busy and closed.
  RawTcpClient other(a.port);
  const auto busy = other.Greet(a);
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->status, simsock::kBusy);
  EXPECT_TRUE(other.WaitClosed());
  EXPECT_TRUE(WaitFor(ServerEvent::ClientBusy));

  server_->Unplug();
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(Saw(ServerEvent::ClientDropped, "unplugged"));
  EXPECT_EQ(ModeOf(path), 0u);  // the announce file is gone
  EXPECT_FALSE(Reachable(0x7F000001, a.port));
}

// Every connection that does not show the client token is closed without a word; the device
// stays free for the one that does.
TEST_F(TcpServerTest, ConnectionsWithoutTheClientTokenAreClosedUnanswered) {
  ASSERT_TRUE(server_->Plug());
  const simtcp::Announce a = Announced();
  simtcp::Token wrong = a.clientToken;
  wrong[31] ^= 1;
  Bytes truncated = simtcp::EncodeClientHello(a.clientToken);
  truncated.pop_back();
  const struct {
    const char* name;
    Bytes bytes;  // sent raw, then the client waits
    bool closeAfter;
  } cases[] = {
      {"wrong token", simtcp::Frame(simtcp::EncodeClientHello(wrong)), false},
      {"the server token instead", simtcp::Frame(simtcp::EncodeClientHello(a.serverToken)), false},
      {"hello cut short", simtcp::Frame(truncated), false},
      {"a request instead of a hello", simtcp::Frame(Request(sim::kCmdStatus)), false},
      {"frame too large", {0xFF, 0xFF, 0, 0}, false},
      {"nothing, then leaving", {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events_.clear();
    RawTcpClient intruder(a.port);
    ASSERT_TRUE(intruder.Connected());
    if (!c.bytes.empty()) {
      ASSERT_TRUE(intruder.SendRaw(c.bytes));
    }
    if (c.closeAfter) intruder.Close();
    ASSERT_TRUE(WaitFor(ServerEvent::ClientRefused, "token"));
    if (!c.closeAfter) {
      EXPECT_FALSE(intruder.Receive());
      EXPECT_TRUE(intruder.closed());
    }
    EXPECT_FALSE(Saw(ServerEvent::ClientConnected));
    EXPECT_EQ(firmware_.OutTransfers(), 0u);
    ExpectServedAgain(a);
  }
}

// Connections that say nothing are closed after the hello's time, and a full waiting room
// makes way for newcomers: forty silent connections keep the token holder out for no time at
// all, and the eight that are left still time out.
TEST_F(TcpServerTest, SilentConnectionsNeverKeepTheTokenHolderOut) {
  ASSERT_TRUE(server_->Plug());
  const simtcp::Announce a = Announced();
  const auto refused = [&](const char* reason) {
    return std::count(events_.begin(), events_.end(),
                      std::pair{ServerEvent::ClientRefused, std::string(reason)});
  };
  std::vector<std::unique_ptr<RawTcpClient>> silent;
  for (int i = 0; i < 40; ++i) {
    silent.push_back(std::make_unique<RawTcpClient>(a.port));
    ASSERT_TRUE(silent.back()->Connected()) << i;
    // Accepted as they come, so that the listen queue never overflows.
    ASSERT_TRUE(PumpUntil([&] { return refused("too-many") == std::max(0, i - 7); })) << i;
  }
  // The oldest went first.
  for (size_t i = 0; i < 32; ++i) EXPECT_TRUE(silent[i]->WaitClosed()) << i;
  EXPECT_EQ(refused("time-out"), 0);
  {
    RawTcpClient holder(a.port);
    const auto hello = holder.Greet(a);
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->status, simsock::kReady);
    EXPECT_EQ(refused("time-out"), 0) << "served before any hello time ran out";
  }
  ASSERT_TRUE(PumpUntil([&] { return refused("too-many") + refused("time-out") == 40; },
                        simsock::kHelloTimeoutMs + 3000));
  for (auto& s : silent) EXPECT_TRUE(s->WaitClosed());
  ExpectServedAgain(a);
}

// A dead simulator's announce file under our name (a reused pid) is replaced; those of other
// processes are never touched, and a file that is no longer ours is not removed.
TEST_F(TcpServerTest, LeftoverAnnounceFilesAreReplacedOrLeftAlone) {
  std::string error;
  const std::string folder = runtime_.Path() + "/kpr50-sim-tcp";
  ASSERT_TRUE(EnsurePrivateFolder(folder, &error)) << error;
  const std::string others = folder + "/" + simtcp::AnnounceName(kKpR50InterfaceGuid, 999999999, 1);
  { std::ofstream(others) << "kpr50-sim tcp 1\n"; }
  { std::ofstream(server_->SocketPath()) << "stale"; }

  ASSERT_TRUE(server_->Plug(&error)) << error;
  const simtcp::Announce a = Announced();
  ExpectServedAgain(a);
  server_->Unplug();
  EXPECT_EQ(ModeOf(server_->SocketPath()), 0u);
  EXPECT_NE(ModeOf(others), 0u);

  ASSERT_TRUE(server_->Plug());
  const std::string path = server_->SocketPath();
  ASSERT_EQ(unlink(path.c_str()), 0);
  { std::ofstream(path) << "someone else's"; }
  server_->Unplug();
  EXPECT_NE(ModeOf(path), 0u);
}

// What breaks the stream after the hello ends that client only.
TEST_F(TcpServerTest, ClientBreakingTheStreamIsDroppedAndTheNextOneIsServed) {
  ASSERT_TRUE(server_->Plug());
  const simtcp::Announce a = Announced();
  const struct {
    const char* name;
    Bytes bytes;
    ServerEvent event;
    const char* detail;
  } cases[] = {
      {"frame too large", {0x01, 0x10}, ServerEvent::ClientDropped, "too-large"},
      {"empty frame", {0x00, 0x00}, ServerEvent::ClientDisconnected, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    events_.clear();
    RawTcpClient client(a.port);
    ASSERT_TRUE(client.Greet(a));
    ASSERT_TRUE(client.SendRaw(c.bytes));
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_TRUE(WaitFor(c.event, c.detail));
    ExpectServedAgain(a);
  }
}

}  // namespace
}  // namespace kp::test
