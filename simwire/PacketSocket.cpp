#include "simwire/PacketSocket.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace kp::packet {

namespace {

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

const sockaddr* AsSockaddr(const sockaddr_un* address) {
  return reinterpret_cast<const sockaddr*>(address);
}

// Closes `fd` and keeps the errno that made us give it up.
SocketHandle GiveUp(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
  return loopback::kNoSocket;
}

}  // namespace

SocketHandle Connect(const std::string& path, bool nonBlocking) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) return loopback::kNoSocket;
  const int fd =
      socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
  if (fd < 0) return loopback::kNoSocket;
  int r;
  do {
    r = connect(fd, AsSockaddr(&address), sizeof address);
  } while (r != 0 && errno == EINTR);
  return r == 0 ? fd : GiveUp(fd);
}

SocketHandle Bind(const std::string& path) {
  sockaddr_un address;
  if (!FillAddress(path, &address)) return loopback::kNoSocket;
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return loopback::kNoSocket;
  return bind(fd, AsSockaddr(&address), sizeof address) == 0 ? fd : GiveUp(fd);
}

loopback::Io Send(SocketHandle socket, std::span<const uint8_t> message) {
  for (;;) {
    const ssize_t n = send(socket, message.data(), message.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      return static_cast<size_t>(n) == message.size() ? loopback::Io::Done : loopback::Io::Failed;
    }
    if (errno != EINTR) return loopback::LastFailure();
  }
}

loopback::Io SendWithin(SocketHandle socket, std::span<const uint8_t> message, int timeoutMs) {
  const loopback::Deadline deadline = loopback::DeadlineIn(timeoutMs);
  for (;;) {
    const ssize_t n = send(socket, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      return static_cast<size_t>(n) == message.size() ? loopback::Io::Done : loopback::Io::Failed;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return loopback::LastFailure();
    switch (loopback::WaitFor(socket, true, loopback::MillisecondsLeft(deadline))) {
      case loopback::Wait::Ready: break;
      case loopback::Wait::TimedOut: return loopback::Io::WouldBlock;
      case loopback::Wait::Failed: return loopback::Io::Failed;
    }
  }
}

loopback::Io Receive(SocketHandle socket, uint8_t* buffer, size_t capacity, size_t* received,
                     bool* truncated) {
  *received = 0;
  *truncated = false;
  for (;;) {
    iovec part{buffer, capacity};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    const ssize_t n = recvmsg(socket, &header, 0);
    if (n > 0) {
      *received = static_cast<size_t>(n);
      *truncated = (header.msg_flags & MSG_TRUNC) != 0;
      return loopback::Io::Done;
    }
    if (n == 0) return loopback::Io::Closed;
    if (errno != EINTR) return loopback::LastFailure();
  }
}

}  // namespace kp::packet
