// The socket server on its own: a raw SEQPACKET client on one side, the firmware model on the
// other, in a private runtime folder.
#include "SimTestSupport.h"
#include "SocketTestSupport.h"

#include "link/WUsbBulkD.h"
#include "sim/server/SimSocketServer.h"
#include "simwire/RuntimeFolder.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <random>
#include <string>
#include <utility>

namespace kp::test {
namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

bool IsSocket(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// A socket file nobody listens on any more, as a killed process leaves it.
void LeaveStaleSocket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  close(fd);
}

std::string OtherProcessSocket(const RuntimeFolder& runtime, long pid, int index) {
  return runtime.SocketFolder() + "/" + simsock::SocketName(kKpR50InterfaceGuid, pid, index);
}

// A pid that is surely not ours and not alive: the largest pid the kernel may hand out + 1
// would do, but a fixed large value is enough to differ from ours.
constexpr long kDeadPid = 999999999;

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureCoreApplication();
    firmware_.SetKeys(KeyState::Target, 0x11223344);
    firmware_.SetProgrammerNumber(7);
    firmware_.PlaceEmptyCard(kUid);
  }

  // A server for `fw` that records what it reports.
  std::unique_ptr<SimSocketServer> MakeServer(VirtualKpR50& fw, int index,
                                              std::u16string serial = u"0000AB01") {
    auto server = std::make_unique<SimSocketServer>(fw, index, std::move(serial));
    server->SetStateObserver([this, index](ServerEvent event, const std::string& detail) {
      events_.push_back({index, event, detail});
    });
    server->SetRequestObserver(
        [this](std::span<const uint8_t> request, const std::vector<InTransfer>&) {
          requests_.emplace_back(request.begin(), request.end());
        });
    return server;
  }

  bool Saw(int index, ServerEvent event, const std::string& detail = "*") const {
    for (const auto& e : events_) {
      if (e.index == index && e.event == event && (detail == "*" || e.detail == detail)) {
        return true;
      }
    }
    return false;
  }

  bool WaitFor(int index, ServerEvent event, const std::string& detail = "*") {
    return PumpUntil([&] { return Saw(index, event, detail); });
  }

  // The reply to `request` a firmware built like `firmware_` gives directly, as the oracle
  // for what must come through the socket.
  static Bytes DirectReply(const Bytes& request) {
    VirtualKpR50 twin;
    twin.SetKeys(KeyState::Target, 0x11223344);
    twin.SetProgrammerNumber(7);
    twin.PlaceEmptyCard(kUid);
    const auto out = twin.HandleRequest(request);
    return out.empty() ? Bytes{} : out.front().bytes;
  }

  struct Seen {
    int index;
    ServerEvent event;
    std::string detail;
  };

  RuntimeFolder runtime_;
  VirtualKpR50 firmware_;
  std::vector<Seen> events_;
  std::vector<Bytes> requests_;
};

TEST_F(ServerTest, ReadyHelloCarriesTheDeviceAndItsSerialNumber) {
  auto server = MakeServer(firmware_, 1, u"00012345");
  ASSERT_TRUE(server->Plug());
  EXPECT_TRUE(Saw(1, ServerEvent::Plugged, server->SocketPath()));
  EXPECT_EQ(server->SocketPath(),
            runtime_.SocketFolder() + "/" + simsock::SocketName(kKpR50InterfaceGuid, getpid(), 1));
  RawClient client(server->SocketPath());
  ASSERT_TRUE(client.Connected());
  const auto hello = client.ReceiveHello();
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->status, simsock::kReady);
  const auto& d = hello->deviceDescriptor;
  EXPECT_EQ(d[0], 18);
  EXPECT_EQ(d[1], kUsbDeviceDescriptorType);
  EXPECT_EQ(d[8] | d[9] << 8, SimSocketServer::kVendorId);
  EXPECT_EQ(d[10] | d[11] << 8, SimSocketServer::kProductId);
  EXPECT_EQ(d[16], SimSocketServer::kSerialIndex);
  // String descriptor: length, type 3, then UTF-16LE.
  const std::u16string serial = u"00012345";
  ASSERT_EQ(hello->serialDescriptor.size(), 2 + 2 * serial.size());
  EXPECT_EQ(hello->serialDescriptor[0], hello->serialDescriptor.size());
  EXPECT_EQ(hello->serialDescriptor[1], kUsbStringDescriptorType);
  for (size_t i = 0; i < serial.size(); ++i) {
    EXPECT_EQ(hello->serialDescriptor[2 + 2 * i] | hello->serialDescriptor[3 + 2 * i] << 8,
              serial[i]);
  }
  ASSERT_EQ(hello->pipes.size(), 2u);
  EXPECT_EQ(hello->pipes[0].pipeType, PipeType::Bulk);
  EXPECT_EQ(hello->pipes[0].pipeId, 0x81);
  EXPECT_EQ(hello->pipes[1].pipeType, PipeType::Bulk);
  EXPECT_EQ(hello->pipes[1].pipeId, 0x02);
  EXPECT_TRUE(WaitFor(1, ServerEvent::ClientConnected));
}

// Each request comes back as exactly the frame the firmware answers with.
TEST_F(ServerTest, RequestsAreAnsweredWithTheFirmwaresReplies) {
  auto server = MakeServer(firmware_, 1);
  ASSERT_TRUE(server->Plug());
  RawClient client(server->SocketPath());
  ASSERT_TRUE(client.ReceiveHello());
  const Bytes requests[] = {
      Request(sim::kCmdStatus),
      Request(sim::kCmdKeySignature),
      Request(sim::kCmdCardInfo),
      Request(sim::kCmdLogout),
      Request(sim::kCmdReadFile, {1}),  // refused: nobody is logged in
      Request(0x5A),                    // unknown command: refused
  };
  for (const Bytes& request : requests) {
    SCOPED_TRACE(static_cast<int>(request[2]));
    ASSERT_TRUE(client.Send(request));
    const auto reply = client.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, DirectReply(request));
  }
  EXPECT_EQ(requests_.size(), std::size(requests));
  EXPECT_EQ(firmware_.OutTransfers(), std::size(requests));
}

TEST_F(ServerTest, SecondClientIsTurnedAwayBusyWhileTheFirstKeepsTheDevice) {
  auto server = MakeServer(firmware_, 1);
  ASSERT_TRUE(server->Plug());
  RawClient first(server->SocketPath());
  ASSERT_TRUE(first.ReceiveHello());
  RawClient second(server->SocketPath());
  ASSERT_TRUE(second.Connected());
  const auto busy = second.ReceiveHello();
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->status, simsock::kBusy);
  EXPECT_TRUE(second.WaitClosed());
  EXPECT_TRUE(WaitFor(1, ServerEvent::ClientBusy));

  ASSERT_TRUE(first.Send(Request(sim::kCmdStatus)));
  const auto reply = first.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, DirectReply(Request(sim::kCmdStatus)));

  // Once the first lets go, the next one is served.
  first.Close();
  EXPECT_TRUE(WaitFor(1, ServerEvent::ClientDisconnected));
  RawClient third(server->SocketPath());
  const auto hello = third.ReceiveHello();
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->status, simsock::kReady);
}

// A client that closes and at once connects again (as the application's second-programmer
// check does) must find the device free, whichever of the two the server notices first.
TEST_F(ServerTest, QuickReconnectAfterCloseIsServedNotTurnedAway) {
  auto server = MakeServer(firmware_, 1);
  ASSERT_TRUE(server->Plug());
  for (int round = 0; round < 20; ++round) {
    RawClient first(server->SocketPath());
    ASSERT_TRUE(first.ReceiveHello());
    ASSERT_TRUE(first.Send(Request(sim::kCmdStatus)));
    first.Close();  // no waiting for the server to notice
    RawClient next(server->SocketPath());
    const auto hello = next.ReceiveHello();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->status, simsock::kReady) << "round " << round;
    next.Close();
  }
  // Each first client's request was still carried out before its hang-up was taken.
  EXPECT_EQ(std::count(firmware_.Commands().begin(), firmware_.Commands().end(), sim::kCmdStatus),
            20);
}

// Malformed requests go to the firmware, which does not answer them; the client stays.
TEST_F(ServerTest, GarbageGetsNoReplyAndTheClientIsStillServed) {
  auto server = MakeServer(firmware_, 1);
  ASSERT_TRUE(server->Plug());
  RawClient client(server->SocketPath());
  ASSERT_TRUE(client.ReceiveHello());
  Bytes badCrc = Request(sim::kCmdStatus);
  badCrc.back() ^= 0x01;
  Bytes shortLength = Request(sim::kCmdStatus);
  shortLength[0] = 4;
  std::mt19937 random(3);
  Bytes noise(300);
  for (auto& b : noise) b = static_cast<uint8_t>(random());
  const Bytes overFrame(1033, 0x41);  // longer than any frame, shorter than any message limit
  for (const Bytes& garbage : {badCrc, shortLength, noise, Bytes{0x05}, overFrame}) {
    ASSERT_TRUE(client.Send(garbage));
  }
  ASSERT_TRUE(PumpUntil([&] { return requests_.size() == 5; }));
  EXPECT_FALSE(client.Receive(100));
  EXPECT_FALSE(client.closed());
  EXPECT_TRUE(firmware_.Commands().empty());

  ASSERT_TRUE(client.Send(Request(sim::kCmdStatus)));
  const auto reply = client.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, DirectReply(Request(sim::kCmdStatus)));
}

// What breaks the transport itself ends the client, and only that client.
TEST_F(ServerTest, ClientBreakingTheTransportIsDroppedAndTheNextOneIsServed) {
  struct Case {
    const char* name;
    Bytes message;
    ServerEvent event;
    const char* detail;
  };
  const Case cases[] = {
      {"larger than any message", Bytes(simsock::kMaxMessage + 1, 0x4D), ServerEvent::ClientDropped,
       "too-large"},
      {"empty message", Bytes{}, ServerEvent::ClientDisconnected, ""},
  };
  auto server = MakeServer(firmware_, 1);
  ASSERT_TRUE(server->Plug());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    events_.clear();
    RawClient bad(server->SocketPath());
    const auto ready = bad.ReceiveHello();
    ASSERT_TRUE(ready);
    ASSERT_EQ(ready->status, simsock::kReady);
    ASSERT_TRUE(bad.Send(c.message));
    EXPECT_TRUE(bad.WaitClosed());
    EXPECT_TRUE(WaitFor(1, c.event, c.detail));
    EXPECT_FALSE(server->HasClient());

    RawClient next(server->SocketPath());
    const auto hello = next.ReceiveHello();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->status, simsock::kReady);
    ASSERT_TRUE(next.Send(Request(sim::kCmdStatus)));
    EXPECT_TRUE(next.Receive());
    next.Close();
    ASSERT_TRUE(PumpUntil([&] { return !server->HasClient(); }));
  }
  EXPECT_TRUE(server->Plugged());
}

// A client that leaves while its reply is on its way: the reply is thrown away, never handed
// to whoever connects next.
TEST_F(ServerTest, LateReplyOfAVanishedClientNeverReachesTheNext) {
  auto server = MakeServer(firmware_, 1);
  ASSERT_TRUE(server->Plug());
  firmware_.AnswerLate(200);
  {
    RawClient leaving(server->SocketPath());
    ASSERT_TRUE(leaving.ReceiveHello());
    ASSERT_TRUE(leaving.Send(Request(sim::kCmdCardInfo)));
    ASSERT_TRUE(PumpUntil([&] { return requests_.size() == 1; }));
  }
  ASSERT_TRUE(WaitFor(1, ServerEvent::ClientDisconnected));
  RawClient next(server->SocketPath());
  ASSERT_TRUE(next.ReceiveHello());
  EXPECT_FALSE(next.Receive(500));  // past the 200 ms the stray reply waited
  EXPECT_FALSE(next.closed());

  // The delay is kept for the client that stays: nothing at once, the reply later.
  ASSERT_TRUE(next.Send(Request(sim::kCmdStatus)));
  ASSERT_TRUE(PumpUntil([&] { return requests_.size() == 2; }));
  EXPECT_FALSE(next.Receive(0));
  const auto reply = next.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, DirectReply(Request(sim::kCmdStatus)));
}

TEST_F(ServerTest, UnplugRemovesTheSocketAndDropsTheClientPlugCreatesItAgain) {
  auto server = MakeServer(firmware_, 1);
  const std::string path = server->SocketPath();
  EXPECT_FALSE(Exists(path));
  ASSERT_TRUE(server->Plug());
  EXPECT_TRUE(IsSocket(path));
  struct stat folder {};
  ASSERT_EQ(stat(runtime_.SocketFolder().c_str(), &folder), 0);
  EXPECT_EQ(folder.st_mode & 0777, 0700u);

  RawClient client(path);
  ASSERT_TRUE(client.ReceiveHello());
  server->Unplug();
  EXPECT_FALSE(server->Plugged());
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(Saw(1, ServerEvent::ClientDropped, "unplugged"));
  EXPECT_TRUE(Saw(1, ServerEvent::Unplugged));
  RawClient refused(path);
  EXPECT_FALSE(refused.Connected());
  EXPECT_EQ(refused.ConnectError(), ENOENT);
  server->Unplug();  // harmless twice

  ASSERT_TRUE(server->Plug());
  EXPECT_TRUE(IsSocket(path));
  RawClient again(path);
  const auto hello = again.ReceiveHello();
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->status, simsock::kReady);

  server.reset();  // leaving removes the file too
  EXPECT_FALSE(Exists(path));
}

// A firmware told to vanish takes its device off: the socket goes as on unplugging.
TEST_F(ServerTest, VanishingFirmwareUnplugsItsSocket) {
  auto server = MakeServer(firmware_, 1);
  ASSERT_TRUE(server->Plug());
  RawClient client(server->SocketPath());
  ASSERT_TRUE(client.ReceiveHello());
  firmware_.VanishAtTransfer(0);
  ASSERT_TRUE(client.Send(Request(sim::kCmdStatus)));
  EXPECT_TRUE(client.WaitClosed());
  EXPECT_TRUE(WaitFor(1, ServerEvent::Unplugged));
  EXPECT_FALSE(Exists(server->SocketPath()));
}

TEST_F(ServerTest, TwoServersInOneFolderServeTheirOwnProgrammers) {
  VirtualKpR50 otherFirmware;
  otherFirmware.SetProgrammerNumber(42);
  auto one = MakeServer(firmware_, 1);
  auto two = MakeServer(otherFirmware, 2);
  ASSERT_TRUE(one->Plug());
  ASSERT_TRUE(two->Plug());
  EXPECT_NE(one->SocketPath(), two->SocketPath());

  RawClient toOne(one->SocketPath());
  RawClient toTwo(two->SocketPath());
  ASSERT_TRUE(toOne.ReceiveHello());
  ASSERT_TRUE(toTwo.ReceiveHello());
  for (auto [client, number] : {std::pair{&toOne, 7}, std::pair{&toTwo, 42}}) {
    ASSERT_TRUE(client->Send(Request(sim::kCmdStatus)));
    const auto reply = client->Receive();
    ASSERT_TRUE(reply);
    const auto frame = kp::DecodeFrame(*reply);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->payload.size(), 8u);
    EXPECT_EQ(frame->payload[0] | frame->payload[1] << 8, number);
  }

  // Unplugging one leaves the other's socket and client alone.
  one->Unplug();
  EXPECT_TRUE(IsSocket(two->SocketPath()));
  ASSERT_TRUE(toTwo.Send(Request(sim::kCmdStatus)));
  EXPECT_TRUE(toTwo.Receive());
}

// A second server under a name that is in use fails and leaves the serving one alone.
TEST_F(ServerTest, NameInUseByALiveServerIsNotTakenOver) {
  VirtualKpR50 otherFirmware;
  auto live = MakeServer(firmware_, 1);
  auto intruder = MakeServer(otherFirmware, 1);
  ASSERT_TRUE(live->Plug());
  std::string error;
  EXPECT_FALSE(intruder->Plug(&error));
  EXPECT_FALSE(error.empty());
  // Telling a live socket from a dead one takes a connection; it is gone before the live
  // server gets to it, and the server takes its queue in order.
  RawClient client(live->SocketPath());
  auto hello = client.ReceiveHello();
  ASSERT_TRUE(hello);
  intruder.reset();
  EXPECT_TRUE(IsSocket(live->SocketPath()));
  ASSERT_TRUE(client.Send(Request(sim::kCmdStatus)));
  EXPECT_TRUE(client.Receive());
}

// What a killed simulator leaves behind: others' files are never touched; a dead socket
// under our own name (a reused pid) is replaced; anything that is no socket is left and
// the plug fails.
TEST_F(ServerTest, LeftoversInTheFolderAreIgnoredOrReplacedSafely) {
  std::string error;
  ASSERT_TRUE(EnsurePrivateFolder(runtime_.SocketFolder(), &error)) << error;
  const std::string othersStale = OtherProcessSocket(runtime_, kDeadPid, 1);
  LeaveStaleSocket(othersStale);

  auto server = MakeServer(firmware_, 1);
  const std::string ours = server->SocketPath();
  LeaveStaleSocket(ours);
  ASSERT_TRUE(server->Plug(&error)) << error;
  RawClient client(ours);
  const auto hello = client.ReceiveHello();
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->status, simsock::kReady);
  server->Unplug();
  EXPECT_FALSE(Exists(ours));
  EXPECT_TRUE(IsSocket(othersStale));

  {
    std::ofstream notASocket(ours);
    notASocket << "x";
  }
  EXPECT_FALSE(server->Plug(&error));
  EXPECT_TRUE(Exists(ours));
  EXPECT_FALSE(IsSocket(ours));
  server.reset();
  EXPECT_TRUE(Exists(ours));
  EXPECT_TRUE(IsSocket(othersStale));
}

TEST_F(ServerTest, FileReplacedBehindOurBackIsNotRemovedOnUnplug) {
  auto server = MakeServer(firmware_, 1);
  ASSERT_TRUE(server->Plug());
  const std::string path = server->SocketPath();
  ASSERT_EQ(unlink(path.c_str()), 0);
  { std::ofstream(path) << "someone else's"; }
  server->Unplug();
  EXPECT_TRUE(Exists(path));
}

TEST(PrivateFolder, IsMadeOursOrRefused) {
  RuntimeFolder runtime;
  const std::string base = runtime.Path();
  struct Case {
    const char* name;
    std::function<void(const std::string&)> prepare;
    bool accepted;
  };
  const Case cases[] = {
      {"missing", [](const std::string&) {}, true},
      {"ours, too open", [](const std::string& p) { mkdir(p.c_str(), 0755); }, true},
      {"a link to a folder",
       [base](const std::string& p) {
         mkdir((base + "/real").c_str(), 0700);
         (void)!symlink((base + "/real").c_str(), p.c_str());
       },
       false},
      {"a file", [](const std::string& p) { std::ofstream(p) << "x"; }, false},
      {"parent missing", [](const std::string&) {}, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = base + "/f" + std::to_string(n++);
    if (std::string(c.name) == "parent missing") path = base + "/none/f";
    c.prepare(path);
    std::string error;
    EXPECT_EQ(EnsurePrivateFolder(path, &error), c.accepted) << error;
    EXPECT_EQ(error.empty(), c.accepted);
    struct stat st {};
    if (c.accepted) {
      ASSERT_EQ(lstat(path.c_str(), &st), 0);
      EXPECT_TRUE(S_ISDIR(st.st_mode));
      EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
  }
}

}  // namespace
}  // namespace kp::test
