#include "sim/SimSocketServer.h"

#include "link/WUsbBulkD.h"
#include "platform/SimSocketProtocol.h"
#include "sim/VirtualKpR50.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kp {

namespace {

constexpr int kListenBacklog = 4;
constexpr int kAcceptRetryMs = 100;
// At most this many messages of the held client are taken before a new connection is answered.
constexpr int kMaxPendingBeforeAccept = 64;

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

const sockaddr* AsSockaddr(const sockaddr_un* address) {
  return reinterpret_cast<const sockaddr*>(address);
}

// A socket file somebody listens on answers a connect; a leftover of a dead process refuses.
bool SomebodyListens(const sockaddr_un& address) {
  const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) return true;  // cannot tell: leave the file alone
  const int rc = connect(probe, AsSockaddr(&address), sizeof address);
  const bool refused = rc != 0 && errno == ECONNREFUSED;
  close(probe);
  return !refused;
}

bool PeerLeft(int error) { return error == EPIPE || error == ECONNRESET || error == ENOTCONN; }

void CloseQuietly(int fd) {
  if (fd >= 0) close(fd);
}

}  // namespace

bool EnsurePrivateFolder(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0700) == 0) return true;
  if (errno != EEXIST) {
    SetError(error, ErrnoText(("cannot create " + path).c_str()));
    return false;
  }
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    SetError(error, ErrnoText(path.c_str()));
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    SetError(error, path + " is not a folder of ours");
    return false;
  }
  if ((st.st_mode & 0077) != 0 && chmod(path.c_str(), 0700) != 0) {
    SetError(error, ErrnoText(("cannot narrow " + path).c_str()));
    return false;
  }
  return true;
}

std::u16string SimSerialNumber(long pid, int index) {
  char text[16];
  const auto value = (static_cast<unsigned long>(pid) & 0xFFFFFFul) << 8 |
                     (static_cast<unsigned long>(index) & 0xFFul);
  std::snprintf(text, sizeof text, "%08lX", value & 0xFFFFFFFFul);
  return std::u16string(text, text + std::strlen(text));
}

SimSocketServer::SimSocketServer(VirtualKpR50& firmware, int index, std::u16string serial)
    : firmware_(firmware), index_(index), serial_(std::move(serial)),
      context_(std::make_unique<QObject>()) {
  // A firmware told to vanish takes the device off the bus, as pulling the cable would.
  firmware_.SetVanishHandler([this] { vanishRequested_ = true; });
}

SimSocketServer::~SimSocketServer() {
  onState_ = nullptr;
  onRequest_ = nullptr;
  Unplug();
  firmware_.SetVanishHandler(nullptr);
}

std::string SimSocketServer::SocketPath() const {
  if (!boundPath_.empty()) return boundPath_;
  return simsock::SocketDirectory() + "/" +
         simsock::SocketName(kKpR50InterfaceGuid, static_cast<long>(getpid()), index_);
}

bool SimSocketServer::Plug(std::string* error) {
  if (Plugged()) return true;
  const std::string folder = simsock::SocketDirectory();
  if (!EnsurePrivateFolder(folder, error)) return false;
  const std::string path = SocketPath();
  sockaddr_un address;
  if (!FillAddress(path, &address)) {
    SetError(error, "socket path too long: " + path);
    return false;
  }
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetError(error, ErrnoText("socket"));
    return false;
  }
  int rc = bind(fd, AsSockaddr(&address), sizeof address);
  if (rc != 0 && errno == EADDRINUSE) {
    // Our pid is in the name, so only a dead process that had our pid, or another server of
    // ours with the same index, can have left it. Replace the former, never the latter.
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == geteuid() &&
        !SomebodyListens(address) && unlink(path.c_str()) == 0) {
      rc = bind(fd, AsSockaddr(&address), sizeof address);
    } else {
      errno = EADDRINUSE;
    }
  }
  if (rc != 0 || listen(fd, kListenBacklog) != 0) {
    SetError(error, ErrnoText(path.c_str()));
    const bool bound = rc == 0;
    close(fd);
    if (bound) unlink(path.c_str());
    return false;
  }
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    socketDevice_ = static_cast<uint64_t>(st.st_dev);
    socketInode_ = static_cast<uint64_t>(st.st_ino);
  }
  listenFd_ = fd;
  boundPath_ = path;
  listenNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, context_.get());
  QObject::connect(listenNotifier_, &QSocketNotifier::activated, context_.get(),
                   [this] { AcceptClient(); });
  Report(ServerEvent::Plugged, path);
  return true;
}

void SimSocketServer::Unplug() {
  if (!Plugged()) return;
  if (HasClient()) DropClient(ServerEvent::ClientDropped, "unplugged");
  listenNotifier_->setEnabled(false);
  listenNotifier_->deleteLater();  // may be the notifier whose signal runs right now
  listenNotifier_ = nullptr;
  close(listenFd_);
  listenFd_ = -1;
  // Remove the file only while it is still the one we bound.
  struct stat st {};
  if (lstat(boundPath_.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == socketDevice_ &&
      static_cast<uint64_t>(st.st_ino) == socketInode_) {
    unlink(boundPath_.c_str());
  }
  boundPath_.clear();
  Report(ServerEvent::Unplugged);
}

void SimSocketServer::AcceptClient() {
  const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
      return;  // the caller gave up meanwhile
    }
    // Out of descriptors or the like: the connection stays queued and the notifier would fire
    // at once again, so look again a little later instead of spinning.
    listenNotifier_->setEnabled(false);
    QTimer::singleShot(kAcceptRetryMs, listenNotifier_, [notifier = listenNotifier_] {
      notifier->setEnabled(true);
    });
    return;
  }
  // The held client may have closed a moment ago with its hang-up still queued behind our
  // notifier: take what it left first, so a quick reconnect is not turned away as busy.
  for (int pending = 0; HasClient() && pending < kMaxPendingBeforeAccept; ++pending) {
    pollfd p{clientFd_, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) break;
    ReadClient();
  }
  if (HasClient()) {
    simsock::Hello busy;
    busy.status = simsock::kBusy;
    const std::vector<uint8_t> hello = simsock::EncodeHello(busy);
    (void)send(fd, hello.data(), hello.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    close(fd);
    Report(ServerEvent::ClientBusy);
    return;
  }
  const std::vector<uint8_t> hello = ReadyHello();
  if (send(fd, hello.data(), hello.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
      static_cast<ssize_t>(hello.size())) {
    close(fd);
    return;
  }
  clientFd_ = fd;
  ++clientGeneration_;
  clientNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, context_.get());
  QObject::connect(clientNotifier_, &QSocketNotifier::activated, context_.get(),
                   [this] { ReadClient(); });
  Report(ServerEvent::ClientConnected);
}

// One message per activation: the notifier fires again while more are queued, so a client
// that floods the socket cannot keep the event loop to itself.
void SimSocketServer::ReadClient() {
  if (!HasClient()) return;
  std::vector<uint8_t> buffer(simsock::kMaxMessage);
  iovec part{buffer.data(), buffer.size()};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  const ssize_t n = recvmsg(clientFd_, &message, MSG_DONTWAIT);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    // A client that closes with a reply still unread leaves us ECONNRESET: it simply left.
    if (PeerLeft(errno)) {
      DropClient(ServerEvent::ClientDisconnected, {});
    } else {
      DropClient(ServerEvent::ClientDropped, "error");
    }
    return;
  }
  if (n == 0) {
    DropClient(ServerEvent::ClientDisconnected, {});
    return;
  }
  if ((message.msg_flags & MSG_TRUNC) != 0) {
    DropClient(ServerEvent::ClientDropped, "too-large");
    return;
  }
  HandleMessage(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
}

void SimSocketServer::HandleMessage(std::span<const uint8_t> message) {
  const std::vector<InTransfer> replies = firmware_.HandleRequest(message);
  const uint64_t generation = clientGeneration_;
  if (onRequest_) onRequest_(message, replies);
  if (vanishRequested_) {
    vanishRequested_ = false;
    Unplug();
    return;
  }
  for (const InTransfer& reply : replies) {
    if (reply.delayMs == 0) {
      SendToClient(reply.bytes, generation);
    } else {
      const int delay = static_cast<int>(std::min<uint64_t>(reply.delayMs, 60'000));
      QTimer::singleShot(delay, context_.get(), [this, bytes = reply.bytes, generation] {
        SendToClient(bytes, generation);
      });
    }
  }
}

void SimSocketServer::SendToClient(const std::vector<uint8_t>& message, uint64_t generation) {
  if (!HasClient() || generation != clientGeneration_) return;
  const ssize_t n = send(clientFd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) return;
  // A client that reads nothing fills its queue; like a device's IN buffer, what does not fit
  // is lost. Anything else means the client is gone.
  if (errno == EAGAIN || errno == EWOULDBLOCK) return;
  DropClient(PeerLeft(errno) ? ServerEvent::ClientDisconnected : ServerEvent::ClientDropped,
             "error");
}

void SimSocketServer::DropClient(ServerEvent why, const std::string& detail) {
  if (!HasClient()) return;
  clientNotifier_->setEnabled(false);
  clientNotifier_->deleteLater();  // may be the notifier whose signal runs right now
  clientNotifier_ = nullptr;
  CloseQuietly(clientFd_);
  clientFd_ = -1;
  ++clientGeneration_;  // replies still on their timers belong to nobody now
  Report(why, why == ServerEvent::ClientDisconnected ? std::string() : detail);
}

void SimSocketServer::Report(ServerEvent event, const std::string& detail) {
  if (onState_) onState_(event, detail);
}

std::vector<uint8_t> SimSocketServer::ReadyHello() const {
  simsock::Hello hello;
  hello.status = simsock::kReady;
  hello.deviceDescriptor = {18, kUsbDeviceDescriptorType, 0x00, 0x02,  // USB 2.0
                            0, 0, 0, 64,                               // class in the interface
                            static_cast<uint8_t>(kVendorId), static_cast<uint8_t>(kVendorId >> 8),
                            static_cast<uint8_t>(kProductId), static_cast<uint8_t>(kProductId >> 8),
                            0x00, 0x01,                                // device release 1.00
                            1, 2, kSerialIndex,                        // string indexes
                            1};                                        // configurations
  // A string descriptor holds at most 126 UTF-16 code units.
  const size_t units = std::min<size_t>(serial_.size(), 126);
  hello.serialDescriptor.push_back(static_cast<uint8_t>(2 + 2 * units));
  hello.serialDescriptor.push_back(kUsbStringDescriptorType);
  for (size_t i = 0; i < units; ++i) {
    hello.serialDescriptor.push_back(static_cast<uint8_t>(serial_[i]));
    hello.serialDescriptor.push_back(static_cast<uint8_t>(serial_[i] >> 8));
  }
  hello.pipes = {{PipeType::Bulk, 0x81, 64, 0}, {PipeType::Bulk, 0x02, 64, 0}};
  return simsock::EncodeHello(hello);
}

}  // namespace kp
