#include "simwire/LoopbackSocket.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kp::loopback {

namespace {

#if defined(_WIN32)
using Native = SOCKET;
using Length = int;
constexpr int kSendFlags = 0;
Native ToNative(SocketHandle s) { return static_cast<Native>(s); }
int LastError() { return WSAGetLastError(); }
bool WouldBlock(int e) { return e == WSAEWOULDBLOCK; }
bool Interrupted(int e) { return e == WSAEINTR; }
bool PeerLeft(int e) { return e == WSAECONNRESET || e == WSAECONNABORTED || e == WSAESHUTDOWN; }
int PollNative(pollfd* p, int timeoutMs) { return WSAPoll(p, 1, timeoutMs); }
bool MakeNonBlocking(Native s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}
#else
using Native = int;
using Length = socklen_t;
constexpr int kSendFlags = MSG_NOSIGNAL;
Native ToNative(SocketHandle s) { return s; }
int LastError() { return errno; }
bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }
bool Interrupted(int e) { return e == EINTR; }
bool PeerLeft(int e) { return e == ECONNRESET || e == EPIPE || e == ENOTCONN; }
int PollNative(pollfd* p, int timeoutMs) { return ::poll(p, 1, timeoutMs); }
bool MakeNonBlocking(Native s) {
  const int flags = fcntl(s, F_GETFL, 0);
  return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
#endif

SocketHandle FromNative(Native s) {
#if defined(_WIN32)
  return s == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(s);
#else
  return s < 0 ? kNoSocket : s;
#endif
}

Native NewTcpSocket() {
#if defined(_WIN32)
  // Not inherited by child processes, as SOCK_CLOEXEC below.
  return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
#else
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
}

// Waits for a connect under way to end; true when it succeeded.
bool ConnectEnded(Native s, int timeoutMs) {
#if defined(_WIN32)
  // select, not WSAPoll: older Windows never reports a refused connect to WSAPoll.
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (select(0, nullptr, &writable, &failed, &limit) <= 0 || FD_ISSET(s, &failed)) return false;
#else
  if (WaitFor(s, true, timeoutMs) != Wait::Ready) return false;
#endif
  int error = 0;
  Length size = sizeof error;
  return getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) == 0 &&
         error == 0;
}

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

// Requests go one small message at a time and wait for their answer: no Nagle delay.
void NoDelay(Native s) {
  int on = 1;
  (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

}  // namespace

bool StartSockets() {
#if defined(_WIN32)
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
#else
  return true;
#endif
}

SocketHandle Connect(uint16_t port, int timeoutMs) {
  if (!StartSockets() || port == 0) return kNoSocket;
  const Native s = NewTcpSocket();
  if (FromNative(s) == kNoSocket) return kNoSocket;
  if (!MakeNonBlocking(s)) {
    Close(FromNative(s));
    return kNoSocket;
  }
  NoDelay(s);
  // Only ever the loopback address: the port is all an announce file can choose.
  const sockaddr_in address = LoopbackAddress(port);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int e = LastError();
#if defined(_WIN32)
    const bool pending = e == WSAEWOULDBLOCK;
#else
    const bool pending = e == EINPROGRESS || e == EINTR;
#endif
    if (!pending || !ConnectEnded(s, std::max(timeoutMs, 0))) {
      Close(FromNative(s));
      return kNoSocket;
    }
  }
  return FromNative(s);
}

SocketHandle Listen(uint16_t* port, std::string* error) {
  auto fail = [&](SocketHandle s) {
    if (error != nullptr) *error = LastErrorText();
    Close(s);
    return kNoSocket;
  };
  if (!StartSockets()) return fail(kNoSocket);
  const Native s = NewTcpSocket();
  if (FromNative(s) == kNoSocket) return fail(kNoSocket);
#if defined(_WIN32)
  int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on) != 0) {
    return fail(FromNative(s));
  }
#endif
  const sockaddr_in address = LoopbackAddress(0);
  if (::bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(s, 8) != 0 || !MakeNonBlocking(s)) {
    return fail(FromNative(s));
  }
  uint32_t host = 0;
  if (!LocalAddress(FromNative(s), &host, port)) return fail(FromNative(s));
  return FromNative(s);
}

SocketHandle AcceptConnection(SocketHandle listener, bool* retryLater) {
  *retryLater = false;
  for (;;) {
#if defined(__linux__)
    const Native s = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    const Native s = ::accept(ToNative(listener), nullptr, nullptr);
    if (FromNative(s) != kNoSocket) {
#if !defined(_WIN32)
      (void)fcntl(s, F_SETFD, FD_CLOEXEC);
#endif
      if (!MakeNonBlocking(s)) {
        Close(FromNative(s));
        return kNoSocket;
      }
    }
#endif
    if (FromNative(s) != kNoSocket) return FromNative(s);
    const int e = LastError();
    if (Interrupted(e)) continue;
#if defined(_WIN32)
    const bool gaveUp = e == WSAECONNRESET;
#else
    const bool gaveUp = e == ECONNABORTED;
#endif
    // Nothing waiting, or the caller gave up meanwhile; anything else may pass.
    if (!WouldBlock(e) && !gaveUp) *retryLater = true;
    return kNoSocket;
  }
}

SocketHandle Accept(SocketHandle listener, bool* retryLater) {
  const SocketHandle s = AcceptConnection(listener, retryLater);
  if (s != kNoSocket) NoDelay(ToNative(s));
  return s;
}

void Close(SocketHandle socket) {
  if (socket == kNoSocket) return;
#if defined(_WIN32)
  closesocket(ToNative(socket));
#else
  ::close(socket);
#endif
}

Io SendSome(SocketHandle socket, const uint8_t* bytes, size_t length, size_t* sent) {
  *sent = 0;
  for (;;) {
    const auto n = ::send(ToNative(socket), reinterpret_cast<const char*>(bytes),
                          static_cast<Length>(std::min<size_t>(length, 1 << 20)), kSendFlags);
    if (n >= 0) {
      *sent = static_cast<size_t>(n);
      return Io::Done;
    }
    if (Interrupted(LastError())) continue;
    return LastFailure();
  }
}

Io ReceiveSome(SocketHandle socket, uint8_t* buffer, size_t capacity, size_t* received) {
  *received = 0;
  for (;;) {
    const auto n = ::recv(ToNative(socket), reinterpret_cast<char*>(buffer),
                          static_cast<Length>(std::min<size_t>(capacity, 1 << 20)), 0);
    if (n > 0) {
      *received = static_cast<size_t>(n);
      return Io::Done;
    }
    if (n == 0) return Io::Closed;
    if (Interrupted(LastError())) continue;
    return LastFailure();
  }
}

Io SendWhatFits(SocketHandle socket, std::span<const uint8_t> bytes, size_t* done) {
  while (*done < bytes.size()) {
    size_t sent = 0;
    const Io r = SendSome(socket, bytes.data() + *done, bytes.size() - *done, &sent);
    if (r != Io::Done) return r;
    *done += sent;
  }
  return Io::Done;
}

Io LastFailure() {
  const int e = LastError();
  if (WouldBlock(e)) return Io::WouldBlock;
  return PeerLeft(e) ? Io::Closed : Io::Failed;
}

Deadline DeadlineIn(int timeoutMs) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
}

int MillisecondsLeft(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<int64_t>(0, left.count()));
}

Wait WaitFor(SocketHandle socket, bool forWriting, int timeoutMs) {
  const Deadline deadline = DeadlineIn(timeoutMs);
  for (;;) {
    const int wait = timeoutMs < 0 ? -1 : MillisecondsLeft(deadline);
    pollfd p{};
    p.fd = ToNative(socket);
    p.events = forWriting ? POLLOUT : POLLIN;
    const int r = PollNative(&p, wait);
    if (r > 0) {
      const short wanted = forWriting ? POLLOUT : static_cast<short>(POLLIN | POLLHUP);
      if ((p.revents & wanted) != 0) return Wait::Ready;
      return Wait::Failed;  // POLLERR, POLLNVAL, or a hang-up while waiting to write
    }
    if (r == 0) return Wait::TimedOut;
    if (!Interrupted(LastError())) return Wait::Failed;
  }
}

bool LocalAddress(SocketHandle socket, uint32_t* hostOrderAddress, uint16_t* port) {
  sockaddr_in a{};
  Length size = sizeof a;
  if (getsockname(ToNative(socket), reinterpret_cast<sockaddr*>(&a), &size) != 0 ||
      a.sin_family != AF_INET) {
    return false;
  }
  *hostOrderAddress = ntohl(a.sin_addr.s_addr);
  *port = ntohs(a.sin_port);
  return true;
}

std::string LastErrorText() {
#if defined(_WIN32)
  return "socket error " + std::to_string(WSAGetLastError());
#else
  return std::strerror(errno);
#endif
}

}  // namespace kp::loopback
