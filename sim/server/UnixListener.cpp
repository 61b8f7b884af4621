// The unix transport: an AF_UNIX SOCK_SEQPACKET socket per programmer, one message per
// packet, so a link needs no framing.
#include "sim/server/ServerTransport.h"
#include "sim/server/SimSocketServer.h"

#include "link/WUsbBulkD.h"
#include "simwire/SimSocketProtocol.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
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

class UnixLink : public ClientLink {
 public:
  explicit UnixLink(int fd) : fd_(fd) {}
  ~UnixLink() override { close(fd_); }
  UnixLink(const UnixLink&) = delete;
  UnixLink& operator=(const UnixLink&) = delete;

  Read Take(std::vector<uint8_t>* message) override {
    message->resize(simsock::kMaxMessage);
    iovec part{message->data(), message->size()};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    const ssize_t n = recvmsg(fd_, &header, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Read::Nothing;
      // A client that closes with a reply still unread leaves us ECONNRESET: it simply left.
      return PeerLeft(errno) ? Read::Closed : Read::Failed;
    }
    if (n == 0) return Read::Closed;  // its end, or an empty message: the same to a packet
    if ((header.msg_flags & MSG_TRUNC) != 0) return Read::TooLarge;
    message->resize(static_cast<size_t>(n));
    return Read::Message;
  }

  bool HasInput() override {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  }

  bool Buffered() const override { return false; }

  Sent Send(std::span<const uint8_t> message) override {
    const ssize_t n = send(fd_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return Sent::Sent;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Sent::Lost;
    return PeerLeft(errno) ? Sent::Closed : Sent::Failed;
  }

  bool SendHello(const std::vector<uint8_t>& hello) override {
    return send(fd_, hello.data(), hello.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
           static_cast<ssize_t>(hello.size());
  }

  intptr_t Handle() const override { return fd_; }

 private:
  int fd_;
};

class UnixListener : public ServerListener {
 public:
  UnixListener(int index, QObject* context, ClientSink onClient)
      : index_(index), context_(context), onClient_(std::move(onClient)) {}

  ~UnixListener() override {
    if (fd_ < 0) return;
    notifier_->setEnabled(false);
    QObject::disconnect(notifier_, nullptr, nullptr, nullptr);  // a retry timer may wake it
    notifier_->deleteLater();  // may be the notifier whose signal runs right now
    close(fd_);
    // Remove the file only while it is still the one we bound.
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == device_ &&
        static_cast<uint64_t>(st.st_ino) == inode_) {
      unlink(path_.c_str());
    }
  }
  UnixListener(const UnixListener&) = delete;
  UnixListener& operator=(const UnixListener&) = delete;

  std::string Path() const override { return UnixListenerPath(index_); }

  bool Open(std::string* error) override {
    if (!EnsurePrivateFolder(simsock::SocketDirectory(), error)) return false;
    const std::string path = Path();
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
      device_ = static_cast<uint64_t>(st.st_dev);
      inode_ = static_cast<uint64_t>(st.st_ino);
    }
    fd_ = fd;
    path_ = path;
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, context_);
    QObject::connect(notifier_, &QSocketNotifier::activated, context_, [this] { Accept(); });
    return true;
  }

 private:
  void Accept() {
    const int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) {
        return;  // the caller gave up meanwhile
      }
      // Out of descriptors or the like: the connection stays queued and the notifier would
      // fire at once again, so look again a little later instead of spinning.
      notifier_->setEnabled(false);
      QTimer::singleShot(kAcceptRetryMs, notifier_, [notifier = notifier_] {
        notifier->setEnabled(true);
      });
      return;
    }
    onClient_(std::make_unique<UnixLink>(fd));  // last: it may unplug us
  }

  int index_;
  QObject* context_;
  ClientSink onClient_;
  int fd_ = -1;
  QSocketNotifier* notifier_ = nullptr;
  std::string path_;
  // Identity of the file we bound, so that we remove ours and nothing else.
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
};

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

std::unique_ptr<ServerListener> MakeUnixListener(int index, QObject* context,
                                                 ServerListener::ClientSink onClient) {
  return std::make_unique<UnixListener>(index, context, std::move(onClient));
}

std::string UnixListenerPath(int index) {
  return simsock::SocketDirectory() + "/" +
         simsock::SocketName(kKpR50InterfaceGuid, SimProcessId(), index);
}

}  // namespace kp
