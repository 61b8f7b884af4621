#include "platform/simclient/SimTcpPlatform.h"

#include "simwire/AnnounceFile.h"
#include "simwire/FrameStream.h"

#include <algorithm>
#include <cstring>

namespace kp {

namespace {

class TcpChannel : public SimChannel {
 public:
  explicit TcpChannel(loopback::SocketHandle socket) : stream_(socket) {}

  Result Send(const uint8_t* bytes, uint32_t length) override {
    return stream_.SendWithin({bytes, length}, kSendLimitMs) ? Result::Done : Result::Gone;
  }

  Result Receive(uint8_t* buffer, uint32_t capacity, uint32_t* received, int timeoutMs) override {
    std::vector<uint8_t> message;
    const Result r = ReceiveMessage(&message, timeoutMs);
    if (r != Result::Done) return r;
    const auto n = static_cast<uint32_t>(std::min<size_t>(message.size(), capacity));
    if (n > 0) std::memcpy(buffer, message.data(), n);  // a longer message loses its tail
    *received = n;
    return Result::Done;
  }

  Result ReceiveMessage(std::vector<uint8_t>* message, int timeoutMs) {
    switch (stream_.Receive(message, timeoutMs)) {
      case FrameStream::Got::Message: return Result::Done;
      case FrameStream::Got::Nothing:
      case FrameStream::Got::TimedOut: return Result::TimedOut;
      case FrameStream::Got::Closed:
      case FrameStream::Got::TooLarge:
      case FrameStream::Got::Failed: break;
    }
    return Result::Gone;
  }

 private:
  FrameStream stream_;
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
  const loopback::Deadline deadline = loopback::DeadlineIn(simsock::kHelloTimeoutMs);
  const loopback::SocketHandle socket = loopback::Connect(announce.port, simsock::kHelloTimeoutMs);
  if (socket == loopback::kNoSocket) return nullptr;  // a stale file: nobody listens there
  auto channel = std::make_unique<TcpChannel>(socket);
  const std::vector<uint8_t> mine = simtcp::EncodeClientHello(announce.clientToken);
  if (channel->Send(mine.data(), static_cast<uint32_t>(mine.size())) != SimChannel::Result::Done) {
    return nullptr;
  }
  std::vector<uint8_t> answer;
  const int left = loopback::MillisecondsLeft(deadline);
  if (channel->ReceiveMessage(&answer, left) != SimChannel::Result::Done ||
      answer.size() < simtcp::kTokenSize ||
      !simtcp::SameToken({answer.data(), simtcp::kTokenSize}, announce.serverToken) ||
      !simsock::DecodeHello(
          {answer.data() + simtcp::kTokenSize, answer.size() - simtcp::kTokenSize}, hello)) {
    return nullptr;
  }
  return channel;
}

}  // namespace kp
