// The unix transport: an AF_UNIX SOCK_SEQPACKET socket per programmer, one message per
// packet, so a link needs no framing.
#include "sim/server/ServerTransport.h"
#include "sim/server/SimSocketServer.h"

#include "link/WUsbBulkD.h"
#include "simwire/ErrorText.h"
#include "simwire/PacketSocket.h"
#include "simwire/RuntimeFolder.h"
#include "simwire/SimSocketProtocol.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kp {

namespace {

constexpr int kListenBacklog = 4;

// A socket file somebody listens on answers a connect; a leftover of a dead process refuses.
bool SomebodyListens(const std::string& path) {
  const int probe = packet::Connect(path, true);
  if (probe >= 0) {
    close(probe);
    return true;
  }
  return errno != ECONNREFUSED;  // anything else: cannot tell, leave the file alone
}

class UnixLink : public ClientLink {
 public:
  explicit UnixLink(int fd) : fd_(fd) {}
  ~UnixLink() override { close(fd_); }
  UnixLink(const UnixLink&) = delete;
  UnixLink& operator=(const UnixLink&) = delete;

  Read Take(std::vector<uint8_t>* message) override {
    message->resize(simsock::kMaxMessage);
    size_t n = 0;
    bool truncated = false;
    switch (packet::Receive(fd_, message->data(), message->size(), &n, &truncated)) {
      case loopback::Io::Done: break;
      case loopback::Io::WouldBlock: return Read::Nothing;
      // A client that closes with a reply still unread leaves us ECONNRESET: it simply left.
      // An empty message is the same to a packet socket.
      case loopback::Io::Closed: return Read::Closed;
      case loopback::Io::Failed: return Read::Failed;
    }
    if (truncated) return Read::TooLarge;
    message->resize(n);
    return Read::Message;
  }

  bool HasInput() override { return loopback::WaitFor(fd_, false, 0) != loopback::Wait::TimedOut; }

  bool Buffered() const override { return false; }

  Sent Send(std::span<const uint8_t> message) override {
    switch (packet::Send(fd_, message)) {
      case loopback::Io::Done: return Sent::Sent;
      case loopback::Io::WouldBlock: return Sent::Lost;
      case loopback::Io::Closed: return Sent::Closed;
      case loopback::Io::Failed: break;
    }
    return Sent::Failed;
  }

  bool SendHello(const std::vector<uint8_t>& hello) override {
    return packet::Send(fd_, hello) == loopback::Io::Done;
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
    Retire(notifier_);
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
    const int fd = BindReplacingLeftover(path);
    if (fd < 0 && errno == ENAMETOOLONG) {
      SetError(error, "socket path too long: " + path);
      return false;
    }
    if (fd < 0 || listen(fd, kListenBacklog) != 0) {
      SetError(error, ErrnoText(path));
      if (fd >= 0) {
        close(fd);
        unlink(path.c_str());
      }
      return false;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
      device_ = static_cast<uint64_t>(st.st_dev);
      inode_ = static_cast<uint64_t>(st.st_ino);
    }
    fd_ = fd;
    path_ = path;
    notifier_ = WatchReadable(fd, context_, [this] { Accept(); });
    return true;
  }

 private:
  // Our pid is in the name, so only a dead process that had our pid, or another server of
  // ours with the same index, can have left a file there. Replace the former, never the latter.
  static int BindReplacingLeftover(const std::string& path) {
    int fd = packet::Bind(path);
    if (fd >= 0 || errno != EADDRINUSE) return fd;
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == geteuid() &&
        !SomebodyListens(path) && unlink(path.c_str()) == 0) {
      return packet::Bind(path);
    }
    errno = EADDRINUSE;
    return -1;
  }

  void Accept() {
    const int fd = TakeConnection(fd_, notifier_, loopback::AcceptConnection);
    if (fd < 0) return;
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

std::unique_ptr<ServerListener> MakeUnixListener(int index, QObject* context,
                                                 ServerListener::ClientSink onClient) {
  return std::make_unique<UnixListener>(index, context, std::move(onClient));
}

std::string UnixListenerPath(int index) {
  return simsock::SocketDirectory() + "/" +
         simsock::SocketName(kKpR50InterfaceGuid, SimProcessId(), index);
}

}  // namespace kp
