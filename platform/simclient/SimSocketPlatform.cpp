#include "platform/simclient/SimSocketPlatform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kp {

namespace {

// Waits for the socket to become readable; false on time-out or error. A negative time-out
// waits without limit.
bool WaitReadable(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int wait = timeoutMs;
    if (timeoutMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      wait = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    const int r = ::poll(&p, 1, wait);
    if (r > 0) return (p.revents & POLLIN) != 0;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

int ConnectTo(const char* path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address.sun_path) return -1;
  std::strcpy(address.sun_path, path);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int r;
  do {
    r = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {  // a stale socket file: nobody listens behind it
    ::close(fd);
    return -1;
  }
  return fd;
}

class UnixChannel : public SimChannel {
 public:
  explicit UnixChannel(int fd) : fd_(fd) {}
  ~UnixChannel() override { ::close(fd_); }
  UnixChannel(const UnixChannel&) = delete;
  UnixChannel& operator=(const UnixChannel&) = delete;

  Result Send(const uint8_t* bytes, uint32_t length) override {
    ssize_t n;
    do {
      n = ::send(fd_, bytes, length, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(length) ? Result::Done : Result::Gone;
  }

  Result Receive(uint8_t* buffer, uint32_t capacity, uint32_t* received,
                 int timeoutMs) override {
    if (!WaitReadable(fd_, timeoutMs)) {
      // Time-out, or the server hung up: poll reports POLLHUP without POLLIN once it is gone.
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR)) != 0) return Result::Gone;
      return Result::TimedOut;
    }
    ssize_t n;
    do {
      n = ::recv(fd_, buffer, capacity, 0);  // a longer message loses its tail
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return Result::Gone;  // 0: orderly shutdown by the server
    *received = static_cast<uint32_t>(n);
    return Result::Done;
  }

  int Fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

bool SimSocketPlatform::IsDeviceFile(const std::string& fileName,
                                     const Guid& interfaceClass) const {
  return simsock::SocketNameIsOfClass(fileName, interfaceClass);
}

std::unique_ptr<SimChannel> SimSocketPlatform::Connect(const std::string& path,
                                                       simsock::Hello* hello) {
  const int fd = ConnectTo(path.c_str());
  if (fd < 0) return nullptr;
  auto channel = std::make_unique<UnixChannel>(fd);
  uint8_t message[simsock::kMaxMessage];
  ssize_t n = -1;
  if (WaitReadable(fd, simsock::kHelloTimeoutMs)) n = ::recv(fd, message, sizeof message, 0);
  if (n <= 0 || !simsock::DecodeHello({message, static_cast<size_t>(n)}, hello)) return nullptr;
  return channel;
}

}  // namespace kp
