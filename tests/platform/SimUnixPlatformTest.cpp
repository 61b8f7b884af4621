// The socket backend against a small server written here: listing, stale files, exclusive
// open, whole transfers both ways, time-outs and a vanished server.
#include "platform/simclient/SimUnixPlatform.h"
#include "RuntimeFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kp::test {
namespace {

const Guid kClass = {0x5B6638C7, 0xB7EA, 0x4BF3, {0x8A, 0x83, 0x3E, 0xAF, 0x32, 0x6C, 0x4F, 0x73}};
const Guid kOtherClass = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};

simsock::Hello ReadyHello(uint8_t status = simsock::kReady) {
  simsock::Hello h;
  h.status = status;
  h.deviceDescriptor = {18, 1, 0, 2, 0, 0, 0, 64, 0x09, 0x12, 0x50, 0x52, 0, 1, 1, 2, 3, 1};
  h.serialDescriptor = {10, 3, '1', 0, 'A', 0, '2', 0, 'B', 0};
  h.pipes = {{PipeType::Bulk, 0x81, 64, 0}, {PipeType::Bulk, 0x02, 64, 0}};
  return h;
}

// One listening socket served by a thread: the first client is served (every message is
// answered by `answer`), any further client gets "busy" while the first stays.
class TestServer {
 public:
  TestServer(const std::string& path,
             std::function<std::vector<uint8_t>(std::vector<uint8_t>)> answer)
      : path_(path), answer_(std::move(answer)) {
    listen_ = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, path.c_str());
    EXPECT_EQ(::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(listen_, 4), 0);
    thread_ = std::thread([this] { Run(); });
  }
  ~TestServer() { Stop(); }

  // Closes everything at once, as a crashed server would; the socket file stays behind.
  void Stop() {
    if (stop_.exchange(true)) return;
    thread_.join();
    if (client_ >= 0) ::close(client_);
    ::close(listen_);
  }

 private:
  void Run() {
    while (!stop_) {
      pollfd p[2] = {{listen_, POLLIN, 0}, {client_, POLLIN, 0}};
      if (::poll(p, client_ >= 0 ? 2 : 1, 20) <= 0) continue;
      if (p[0].revents & POLLIN) {
        const int c = ::accept(listen_, nullptr, nullptr);
        const bool busy = client_ >= 0;
        const auto hello =
            simsock::EncodeHello(ReadyHello(busy ? simsock::kBusy : simsock::kReady));
        ::send(c, hello.data(), hello.size(), MSG_NOSIGNAL);
        if (busy)
          ::close(c);
        else
          client_ = c;
      }
      if (client_ >= 0 && (p[1].revents & (POLLIN | POLLHUP))) {
        uint8_t m[4096];
        const ssize_t n = ::recv(client_, m, sizeof m, 0);
        if (n <= 0) {
          ::close(client_);
          client_ = -1;
          continue;
        }
        const auto reply = answer_(std::vector<uint8_t>(m, m + n));
        if (!reply.empty()) ::send(client_, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
    }
  }

  std::string path_;
  std::function<std::vector<uint8_t>(std::vector<uint8_t>)> answer_;
  int listen_ = -1;
  int client_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class SimUnixPlatformTest : public ::testing::Test {
 protected:
  // The servers' sockets go into the test's own runtime folder, removed with it.
  void SetUp() override { dir = runtime.Path(); }

  std::string SocketPath(int n, const Guid& g = kClass) {
    return dir + "/" + simsock::SocketName(g, 4242, n);
  }

  std::vector<std::string> List(SimUnixPlatform& p, const Guid& g = kClass) {
    std::vector<std::string> paths;
    const DevInfoHandle list = p.SetupDiGetClassDevsA(g);
    DeviceInterfaceData d;
    for (uint32_t i = 0; p.SetupDiEnumDeviceInterfaces(list, g, i, &d); ++i) {
      uint32_t size = 0;
      p.SetupDiGetDeviceInterfaceDetailA(list, d, nullptr, 0, &size);
      std::string path(size, '\0');
      EXPECT_TRUE(p.SetupDiGetDeviceInterfaceDetailA(list, d, path.data(), size, nullptr));
      paths.emplace_back(path.c_str());
    }
    EXPECT_TRUE(p.SetupDiDestroyDeviceInfoList(list));
    return paths;
  }

  static std::vector<uint8_t> Echo(std::vector<uint8_t> m) { return m; }

  kp::test::RuntimeFolder runtime;
  std::string dir;
};

TEST_F(SimUnixPlatformTest, ListsZeroOneAndTwoServersOfTheClassOnly) {
  SimUnixPlatform p(dir);
  EXPECT_TRUE(List(p).empty());
  SimUnixPlatform missing(dir + "/nothing-here");
  EXPECT_TRUE(List(missing).empty());

  TestServer a(SocketPath(0), Echo);
  EXPECT_EQ(List(p), std::vector<std::string>{SocketPath(0)});
  TestServer b(SocketPath(1), Echo);
  TestServer other(SocketPath(2, kOtherClass), Echo);
  EXPECT_EQ(List(p), (std::vector<std::string>{SocketPath(0), SocketPath(1)}));
  EXPECT_EQ(List(p, kOtherClass), std::vector<std::string>{SocketPath(2, kOtherClass)});
}

TEST_F(SimUnixPlatformTest, StaleSocketFileFailsToOpenWithoutHarm) {
  SimUnixPlatform p(dir);
  {
    TestServer dead(SocketPath(0), Echo);
    dead.Stop();  // the file stays, nobody listens
  }
  ASSERT_EQ(List(p).size(), 1u);
  EXPECT_EQ(p.CreateFileA(SocketPath(0).c_str()), kInvalidHandle);
  EXPECT_EQ(p.CreateFileA((dir + "/not-a-socket").c_str()), kInvalidHandle);
}

TEST_F(SimUnixPlatformTest, OpenIsExclusiveAndDescriptorsComeFromTheHello) {
  TestServer server(SocketPath(0), Echo);
  SimUnixPlatform p(dir);
  SimUnixPlatform q(dir);
  const FileHandle f = p.CreateFileA(SocketPath(0).c_str());
  ASSERT_NE(f, kInvalidHandle);
  EXPECT_EQ(q.CreateFileA(SocketPath(0).c_str()), kInvalidHandle);  // busy
  // ... and said so, until the next listing.
  ASSERT_EQ(q.UnreachableDevices().size(), 1u);
  EXPECT_EQ(q.UnreachableDevices()[0],
            (UnreachableDevice{"kpr50-sim 4242.0", Unreachable::HeldElsewhere}));
  EXPECT_TRUE(p.UnreachableDevices().empty());
  List(q);
  EXPECT_TRUE(q.UnreachableDevices().empty());

  WinUsbHandle w = kInvalidHandle;
  ASSERT_TRUE(p.WinUsb_Initialize(f, &w));
  uint8_t d[64];
  uint32_t n = 0;
  ASSERT_TRUE(p.WinUsb_GetDescriptor(w, 1, 0, 0x0409, d, 18, &n));
  EXPECT_EQ(n, 18u);
  EXPECT_EQ(d[8], 0x09);
  ASSERT_TRUE(p.WinUsb_GetDescriptor(w, 3, 3, 0x0409, d, 254, &n));
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(d[2], '1');
  EXPECT_FALSE(p.WinUsb_GetDescriptor(w, 3, 4, 0x0409, d, 254, &n));
  InterfaceDescriptor i;
  ASSERT_TRUE(p.WinUsb_QueryInterfaceSettings(w, 0, &i));
  EXPECT_EQ(i.bNumEndpoints, 2);
  PipeInformation pipe;
  ASSERT_TRUE(p.WinUsb_QueryPipe(w, 0, 0, &pipe));
  EXPECT_EQ(pipe.pipeId, 0x81);
  EXPECT_FALSE(p.WinUsb_QueryPipe(w, 0, 2, &pipe));

  EXPECT_TRUE(p.WinUsb_Free(w));
  EXPECT_TRUE(p.CloseHandle(f));
  // Once the first client has gone, the device can be opened again.
  FileHandle again = kInvalidHandle;
  for (int tries = 0; tries < 50 && again == kInvalidHandle; ++tries) {
    again = q.CreateFileA(SocketPath(0).c_str());
    if (again == kInvalidHandle) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_NE(again, kInvalidHandle);
}

TEST_F(SimUnixPlatformTest, TransfersAreWholeMessagesAndSilenceTimesOut) {
  TestServer server(SocketPath(0), [](std::vector<uint8_t> m) {
    if (m.size() == 1) return std::vector<uint8_t>{};  // stays silent on one-byte requests
    return m;
  });
  SimUnixPlatform p(dir);
  const FileHandle f = p.CreateFileA(SocketPath(0).c_str());
  WinUsbHandle w = kInvalidHandle;
  ASSERT_TRUE(p.WinUsb_Initialize(f, &w));
  const uint32_t timeout = 100;
  ASSERT_TRUE(p.WinUsb_SetPipePolicy(w, 0x81, kPipeTransferTimeout, 4, &timeout));

  std::vector<uint8_t> big(1032);
  for (size_t k = 0; k < big.size(); ++k) big[k] = static_cast<uint8_t>(k);
  uint32_t n = 0;
  ASSERT_TRUE(p.WinUsb_WritePipe(w, 0x02, big.data(), 1032, &n));
  EXPECT_EQ(n, 1032u);
  std::vector<uint8_t> in(1032);
  ASSERT_TRUE(p.WinUsb_ReadPipe(w, 0x81, in.data(), 1032, &n));
  EXPECT_EQ(n, 1032u);
  EXPECT_EQ(in, big);

  const uint8_t one = 1;
  ASSERT_TRUE(p.WinUsb_WritePipe(w, 0x02, &one, 1, &n));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(p.WinUsb_ReadPipe(w, 0x81, in.data(), 1032, &n));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
  p.WinUsb_Free(w);
  p.CloseHandle(f);
}

// A simulator that greets its client and then reads nothing more: once its queue is full, a
// request fails after a bounded wait instead of holding the program for good.
TEST_F(SimUnixPlatformTest, AServerThatStopsReadingCannotHoldAWrite) {
  const std::string path = SocketPath(0);
  const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strcpy(a.sun_path, path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  int client = -1;
  std::thread greeter([&] {
    client = ::accept(listener, nullptr, nullptr);
    const auto hello = simsock::EncodeHello(ReadyHello(simsock::kReady));
    ::send(client, hello.data(), hello.size(), MSG_NOSIGNAL);
  });
  SimUnixPlatform p(dir);
  const FileHandle f = p.CreateFileA(path.c_str());
  greeter.join();
  WinUsbHandle w = kInvalidHandle;
  ASSERT_TRUE(p.WinUsb_Initialize(f, &w));
  std::vector<uint8_t> request(1032, 0x5A);
  uint32_t n = 0;
  int written = 0;
  while (written < 100000 && p.WinUsb_WritePipe(w, 0x02, request.data(), 1032, &n)) ++written;
  EXPECT_LT(written, 100000);  // the queue filled, and the write after it gave up
  EXPECT_TRUE(p.WinUsb_Free(w));
  EXPECT_TRUE(p.CloseHandle(f));
  ::close(client);
  ::close(listener);
}

TEST_F(SimUnixPlatformTest, VanishedServerMakesTransfersFail) {
  auto server = std::make_unique<TestServer>(SocketPath(0), Echo);
  SimUnixPlatform p(dir);
  const FileHandle f = p.CreateFileA(SocketPath(0).c_str());
  WinUsbHandle w = kInvalidHandle;
  ASSERT_TRUE(p.WinUsb_Initialize(f, &w));
  const uint32_t timeout = 50;
  ASSERT_TRUE(p.WinUsb_SetPipePolicy(w, 0x81, kPipeTransferTimeout, 4, &timeout));
  server.reset();
  uint8_t b[8] = {1, 2, 3};
  uint32_t n = 0;
  const bool wrote = p.WinUsb_WritePipe(w, 0x02, b, 3, &n);
  const bool read = p.WinUsb_ReadPipe(w, 0x81, b, 8, &n);
  EXPECT_FALSE(wrote && read);
  EXPECT_FALSE(p.WinUsb_WritePipe(w, 0x02, b, 3, &n));
  EXPECT_FALSE(p.WinUsb_ReadPipe(w, 0x81, b, 8, &n));
  EXPECT_TRUE(p.WinUsb_Free(w));
  EXPECT_TRUE(p.CloseHandle(f));
}

TEST(SimSocketProtocol, HelloRoundTripsAndMalformedOnesAreRefused) {
  const auto m = simsock::EncodeHello(ReadyHello());
  simsock::Hello h;
  ASSERT_TRUE(simsock::DecodeHello(m, &h));
  EXPECT_EQ(h.serialDescriptor, ReadyHello().serialDescriptor);
  EXPECT_EQ(h.pipes.size(), 2u);
  for (size_t cut = 0; cut < m.size(); ++cut) {
    std::vector<uint8_t> shorter(m.begin(), m.begin() + static_cast<long>(cut));
    EXPECT_FALSE(simsock::DecodeHello(shorter, &h)) << cut;
  }
  auto longer = m;
  longer.push_back(0);
  EXPECT_FALSE(simsock::DecodeHello(longer, &h));
  auto badMagic = m;
  badMagic[0] = 'X';
  EXPECT_FALSE(simsock::DecodeHello(badMagic, &h));
}

TEST(SimSocketProtocol, DirectoryFollowsTheRuntimeFolder) {
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = old ? old : "";
  ::setenv("XDG_RUNTIME_DIR", "/run/user/77", 1);
  EXPECT_EQ(simsock::SocketDirectory(), "/run/user/77/kpr50-sim");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(simsock::SocketDirectory(), "/tmp/kpr50-sim-" + std::to_string(::getuid()));
  if (old) ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  EXPECT_EQ(simsock::GuidText(kClass), "5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73");
  EXPECT_TRUE(simsock::SocketNameIsOfClass(simsock::SocketName(kClass, 1, 0), kClass));
  EXPECT_FALSE(simsock::SocketNameIsOfClass(simsock::SocketName(kClass, 1, 0), kOtherClass));
  EXPECT_FALSE(simsock::SocketNameIsOfClass("5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73.sock", kClass));
}

}  // namespace
}  // namespace kp::test
