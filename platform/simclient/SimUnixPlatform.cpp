#include "platform/simclient/SimUnixPlatform.h"

#include "simwire/PacketSocket.h"

namespace kp {

namespace {

class UnixChannel : public SimChannel {
 public:
  explicit UnixChannel(packet::SocketHandle fd) : fd_(fd) {}
  ~UnixChannel() override { loopback::Close(fd_); }
  UnixChannel(const UnixChannel&) = delete;
  UnixChannel& operator=(const UnixChannel&) = delete;

  Result Send(const uint8_t* bytes, uint32_t length) override {
    return packet::SendWithin(fd_, {bytes, length}, kSendLimitMs) == loopback::Io::Done
               ? Result::Done
               : Result::Gone;
  }

  Result Receive(uint8_t* buffer, uint32_t capacity, uint32_t* received, int timeoutMs) override {
    // A hang-up counts as readable: the receive then tells that the server has gone.
    switch (loopback::WaitFor(fd_, false, timeoutMs)) {
      case loopback::Wait::Ready: break;
      case loopback::Wait::TimedOut: return Result::TimedOut;
      case loopback::Wait::Failed: return Result::Gone;
    }
    size_t n = 0;
    bool truncated = false;  // a longer message loses its tail
    if (packet::Receive(fd_, buffer, capacity, &n, &truncated) != loopback::Io::Done) {
      return Result::Gone;  // Closed: orderly shutdown by the server
    }
    *received = static_cast<uint32_t>(n);
    return Result::Done;
  }

 private:
  packet::SocketHandle fd_;
};

}  // namespace

bool SimUnixPlatform::IsDeviceFile(const std::string& fileName, const Guid& interfaceClass) const {
  return simsock::SocketNameIsOfClass(fileName, interfaceClass);
}

std::unique_ptr<SimChannel> SimUnixPlatform::Connect(const std::string& path,
                                                     simsock::Hello* hello) {
  // Blocking: a transfer waits as long as the pipe's time-out says, by a wait before it.
  const packet::SocketHandle fd = packet::Connect(path, false);
  if (fd == loopback::kNoSocket) return nullptr;  // a stale socket file: nobody listens
  auto channel = std::make_unique<UnixChannel>(fd);
  uint8_t message[simsock::kMaxMessage];
  uint32_t n = 0;
  if (channel->Receive(message, sizeof message, &n, simsock::kHelloTimeoutMs) !=
          SimChannel::Result::Done ||
      !simsock::DecodeHello({message, n}, hello)) {
    return nullptr;
  }
  return channel;
}

}  // namespace kp
