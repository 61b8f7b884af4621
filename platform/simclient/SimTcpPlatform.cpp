#include "platform/simclient/SimTcpPlatform.h"

#include "simwire/AnnounceFile.h"
#include "simwire/LoopbackSocket.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kp {

namespace {

using Clock = std::chrono::steady_clock;

// How long one OUT transfer may wait for room in the socket; the simulator reads at once, so
// only a hung peer ever makes it wait.
constexpr int kSendLimitMs = 2000;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

class TcpChannel : public SimChannel {
 public:
  explicit TcpChannel(loopback::SocketHandle socket) : socket_(socket) {}
  ~TcpChannel() override { loopback::Close(socket_); }
  TcpChannel(const TcpChannel&) = delete;
  TcpChannel& operator=(const TcpChannel&) = delete;

  Result Send(const uint8_t* bytes, uint32_t length) override {
    const std::vector<uint8_t> frame = simtcp::Frame({bytes, length});
    const auto deadline = Clock::now() + std::chrono::milliseconds(kSendLimitMs);
    size_t done = 0;
    while (done < frame.size()) {
      size_t sent = 0;
      switch (loopback::SendSome(socket_, frame.data() + done, frame.size() - done, &sent)) {
        case loopback::Io::Done: done += sent; continue;
        case loopback::Io::WouldBlock: break;
        case loopback::Io::Closed:
        case loopback::Io::Failed: return Result::Gone;
      }
      // Half a frame cannot be taken back: a write that runs out of time loses the stream.
      if (loopback::WaitFor(socket_, true, MillisecondsLeft(deadline)) != loopback::Wait::Ready) {
        return Result::Gone;
      }
    }
    return Result::Done;
  }

  Result Receive(uint8_t* buffer, uint32_t capacity, uint32_t* received,
                 int timeoutMs) override {
    std::vector<uint8_t> message;
    const Result r = ReceiveMessage(&message, timeoutMs);
    if (r != Result::Done) return r;
    const auto n = static_cast<uint32_t>(std::min<size_t>(message.size(), capacity));
    if (n > 0) std::memcpy(buffer, message.data(), n);  // a longer message loses its tail
    *received = n;
    return Result::Done;
  }

  // One whole message; what arrived of a later one stays for the next call.
  Result ReceiveMessage(std::vector<uint8_t>* message, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
      switch (reader_.Take(message)) {
        case simtcp::FrameReader::Next::Message: return Result::Done;
        case simtcp::FrameReader::Next::TooLarge: return Result::Gone;
        case simtcp::FrameReader::Next::None: break;
      }
      const int wait = timeoutMs < 0 ? -1 : MillisecondsLeft(deadline);
      switch (loopback::WaitFor(socket_, false, wait)) {
        case loopback::Wait::Ready: break;
        case loopback::Wait::TimedOut: return Result::TimedOut;
        case loopback::Wait::Failed: return Result::Gone;
      }
      uint8_t chunk[simsock::kMaxMessage + simtcp::kFrameHeader];
      size_t n = 0;
      switch (loopback::ReceiveSome(socket_, chunk, sizeof chunk, &n)) {
        case loopback::Io::Done: reader_.Append({chunk, n}); break;
        case loopback::Io::WouldBlock: break;
        case loopback::Io::Closed:
        case loopback::Io::Failed: return Result::Gone;
      }
    }
  }

 private:
  loopback::SocketHandle socket_;
  simtcp::FrameReader reader_;
};

}  // namespace

SimTcpPlatform::SimTcpPlatform(std::string directory) : SimClientPlatform(std::move(directory)) {}

bool SimTcpPlatform::IsDeviceFile(const std::string& fileName, const Guid& interfaceClass) const {
  return simtcp::AnnounceNameIsOfClass(fileName, interfaceClass) &&
         !ProcessHasEnded(simsock::DeviceFileServerPid(fileName));
}

std::unique_ptr<SimChannel> SimTcpPlatform::Connect(const std::string& path,
                                                    simsock::Hello* hello) {
  simtcp::Announce announce;
  if (!ReadAnnounceFile(path, &announce)) return nullptr;
  // Connect, our hello and the server's answer, all within the hello's time.
  const auto deadline = Clock::now() + std::chrono::milliseconds(simsock::kHelloTimeoutMs);
  const loopback::SocketHandle socket =
      loopback::Connect(announce.port, simsock::kHelloTimeoutMs);
  if (socket == loopback::kNoSocket) return nullptr;  // a stale file: nobody listens there
  auto channel = std::make_unique<TcpChannel>(socket);
  const std::vector<uint8_t> mine = simtcp::EncodeClientHello(announce.clientToken);
  if (channel->Send(mine.data(), static_cast<uint32_t>(mine.size())) != SimChannel::Result::Done) {
    return nullptr;
  }
  std::vector<uint8_t> answer;
  if (channel->ReceiveMessage(&answer, MillisecondsLeft(deadline)) != SimChannel::Result::Done ||
      answer.size() < simtcp::kTokenSize ||
      !simtcp::SameToken({answer.data(), simtcp::kTokenSize}, announce.serverToken) ||
      !simsock::DecodeHello({answer.data() + simtcp::kTokenSize,
                             answer.size() - simtcp::kTokenSize},
                            hello)) {
    return nullptr;
  }
  return channel;
}

}  // namespace kp
