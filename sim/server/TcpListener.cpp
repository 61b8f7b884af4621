// The tcp transport: a port on 127.0.0.1 and an announce file per programmer, frames on a
// stream, and a connection becomes a client only once it showed the client token in time.
#include "sim/server/ServerTransport.h"
#include "sim/server/SimSocketServer.h"

#include "link/WUsbBulkD.h"
#include "simwire/LoopbackSocket.h"
#include "simwire/SimSocketProtocol.h"
#include "simwire/AnnounceFile.h"
#include "simwire/SimTcpProtocol.h"

#include <QDir>
#include <QFile>
#include <QObject>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kp {

namespace {

constexpr int kAcceptRetryMs = 100;
// Connections that have not shown their token yet. When the room is full, the one that has
// waited longest makes way for the newcomer: silent connections cannot keep the token holder
// out, they can only push each other out.
constexpr size_t kMaxWaiting = 8;
// Replies a client has not read yet; beyond this a reply is lost, as in a device's full buffer.
constexpr size_t kMaxOutgoing = 64 * 1024;

using loopback::SocketHandle;

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

simtcp::Token RandomToken() {
  std::array<quint32, simtcp::kTokenSize / 4> words{};
  QRandomGenerator::system()->generate(words.begin(), words.end());
  simtcp::Token token;
  std::memcpy(token.data(), words.data(), token.size());
  return token;
}

// The notifier goes after the event that may be running on it, and wakes nobody meanwhile.
void Retire(QObject* object) {
  if (object == nullptr) return;
  if (auto* notifier = qobject_cast<QSocketNotifier*>(object)) notifier->setEnabled(false);
  if (auto* timer = qobject_cast<QTimer*>(object)) timer->stop();
  QObject::disconnect(object, nullptr, nullptr, nullptr);
  object->deleteLater();
}

// Whole or not at all: the client never reads half a file.
bool WriteAnnounce(const std::string& path, const std::string& text, std::string* error) {
#if defined(_WIN32)
  // The folder is the user's own LocalAppData: other users cannot read it.
  QSaveFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::WriteOnly) ||
      file.write(text.data(), static_cast<qint64>(text.size())) !=
          static_cast<qint64>(text.size()) ||
      !file.commit()) {
    SetError(error, path + ": " + file.errorString().toStdString());
    return false;
  }
  return true;
#else
  const std::string temporary = path + ".new";
  (void)unlink(temporary.c_str());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
  bool ok = fd >= 0;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  if (fd >= 0 && close(fd) != 0) ok = false;
  ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    SetError(error, path + ": " + std::strerror(errno));
    (void)unlink(temporary.c_str());
  }
  return ok;
#endif
}

bool EnsureAnnounceFolder(const std::string& folder, std::string* error) {
  if (folder.empty()) {
    SetError(error, "no folder for announce files (LOCALAPPDATA is not set)");
    return false;
  }
#if defined(_WIN32)
  if (!QDir().mkpath(QString::fromStdString(folder))) {
    SetError(error, "cannot create " + folder);
    return false;
  }
  return true;
#else
  return EnsurePrivateFolder(folder, error);
#endif
}

class TcpLink : public ClientLink {
 public:
  TcpLink(SocketHandle socket, simtcp::FrameReader reader, const simtcp::Token& serverToken,
          QObject* context)
      : socket_(socket), reader_(std::move(reader)), serverToken_(serverToken),
        context_(context) {}
  ~TcpLink() override {
    Retire(writer_);
    loopback::Close(socket_);
  }
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;

  Read Take(std::vector<uint8_t>* message) override {
    if (!reader_.Ready()) {
      uint8_t chunk[simsock::kMaxMessage + simtcp::kFrameHeader];
      size_t n = 0;
      switch (loopback::ReceiveSome(socket_, chunk, sizeof chunk, &n)) {
        case loopback::Io::Done: reader_.Append({chunk, n}); break;
        case loopback::Io::WouldBlock: break;
        case loopback::Io::Closed: return Read::Closed;
        case loopback::Io::Failed: return Read::Failed;
      }
    }
    switch (reader_.Take(message)) {
      case simtcp::FrameReader::Next::None: return Read::Nothing;
      case simtcp::FrameReader::Next::TooLarge: return Read::TooLarge;
      case simtcp::FrameReader::Next::Message: break;
    }
    return message->empty() ? Read::Closed : Read::Message;  // an empty frame: it is leaving
  }

  bool HasInput() override {
    return reader_.Ready() || loopback::WaitFor(socket_, false, 0) == loopback::Wait::Ready;
  }

  bool Buffered() const override { return reader_.Ready(); }

  Sent Send(std::span<const uint8_t> message) override {
    const std::vector<uint8_t> frame = simtcp::Frame(message);
    // A frame goes whole or not at all: half of one would garble the stream.
    if (out_.size() + frame.size() > kMaxOutgoing) return Sent::Lost;
    out_.insert(out_.end(), frame.begin(), frame.end());
    return Flush();
  }

  bool SendHello(const std::vector<uint8_t>& hello) override {
    std::vector<uint8_t> message(serverToken_.begin(), serverToken_.end());
    message.insert(message.end(), hello.begin(), hello.end());
    return Send(message) == Sent::Sent;
  }

  intptr_t Handle() const override { return static_cast<intptr_t>(socket_); }

 private:
  // Sends what the socket takes; the rest waits for the write notifier.
  Sent Flush() {
    while (!out_.empty()) {
      size_t sent = 0;
      switch (loopback::SendSome(socket_, out_.data(), out_.size(), &sent)) {
        case loopback::Io::Done:
          out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(sent));
          continue;
        case loopback::Io::WouldBlock: WaitToWrite(true); return Sent::Sent;
        case loopback::Io::Closed: out_.clear(); return Sent::Closed;
        case loopback::Io::Failed: out_.clear(); return Sent::Failed;
      }
    }
    WaitToWrite(false);
    return Sent::Sent;
  }

  void WaitToWrite(bool on) {
    if (writer_ == nullptr) {
      if (!on) return;
      writer_ = new QSocketNotifier(static_cast<qintptr>(socket_), QSocketNotifier::Write,
                                    context_);
      // A failure here shows on the read side too, where the server notices it.
      QObject::connect(writer_, &QSocketNotifier::activated, context_, [this] { (void)Flush(); });
    }
    writer_->setEnabled(on);
  }

  SocketHandle socket_;
  simtcp::FrameReader reader_;
  simtcp::Token serverToken_;
  QObject* context_;
  QSocketNotifier* writer_ = nullptr;
  std::vector<uint8_t> out_;
};

class TcpListener : public ServerListener {
 public:
  TcpListener(int index, QObject* context, ClientSink onClient, RefusalSink onRefused)
      : index_(index), context_(context), onClient_(std::move(onClient)),
        onRefused_(std::move(onRefused)) {}

  ~TcpListener() override {
    while (!waiting_.empty()) Drop(waiting_.begin()->first);
    if (socket_ == loopback::kNoSocket) return;
    Retire(notifier_);
    loopback::Close(socket_);
    // Remove the file only while it is still the one we wrote.
    simtcp::Announce there;
    if (ReadAnnounceFile(path_, &there) && there.port == announce_.port &&
        there.clientToken == announce_.clientToken) {
      QFile::remove(QString::fromStdString(path_));
    }
  }
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  std::string Path() const override { return TcpListenerPath(index_); }

  bool Open(std::string* error) override {
    if (!EnsureAnnounceFolder(simtcp::AnnounceDirectory(), error)) return false;
    std::string why;
    const SocketHandle socket = loopback::Listen(&announce_.port, &why);
    if (socket == loopback::kNoSocket) {
      SetError(error, "cannot listen on 127.0.0.1: " + why);
      return false;
    }
    announce_.clientToken = RandomToken();
    announce_.serverToken = RandomToken();
    const std::string path = Path();
    if (!WriteAnnounce(path, simtcp::EncodeAnnounce(announce_), error)) {
      loopback::Close(socket);
      return false;
    }
    socket_ = socket;
    path_ = path;
    notifier_ = new QSocketNotifier(static_cast<qintptr>(socket_), QSocketNotifier::Read,
                                    context_);
    QObject::connect(notifier_, &QSocketNotifier::activated, context_, [this] { Accept(); });
    return true;
  }

 private:
  struct Waiting {
    SocketHandle socket = loopback::kNoSocket;
    simtcp::FrameReader reader;
    QSocketNotifier* notifier = nullptr;
    QTimer* timer = nullptr;
  };

  void Accept() {
    bool retryLater = false;
    const SocketHandle socket = loopback::Accept(socket_, &retryLater);
    if (socket == loopback::kNoSocket) {
      if (retryLater) {
        // Out of descriptors or the like: look again a little later instead of spinning.
        notifier_->setEnabled(false);
        QTimer::singleShot(kAcceptRetryMs, notifier_, [n = notifier_] { n->setEnabled(true); });
      }
      return;
    }
    // Ids grow with every accept, so the first entry is the one that has waited longest.
    while (waiting_.size() >= kMaxWaiting) Refuse(waiting_.begin()->first, "too-many");
    const uint64_t id = nextId_++;
    Waiting& w = waiting_[id];
    w.socket = socket;
    w.notifier = new QSocketNotifier(static_cast<qintptr>(socket), QSocketNotifier::Read,
                                     context_);
    QObject::connect(w.notifier, &QSocketNotifier::activated, context_,
                     [this, id] { ReadWaiting(id); });
    w.timer = new QTimer(context_);
    w.timer->setSingleShot(true);
    QObject::connect(w.timer, &QTimer::timeout, context_, [this, id] { Refuse(id, "time-out"); });
    w.timer->start(simsock::kHelloTimeoutMs);
  }

  void ReadWaiting(uint64_t id) {
    auto it = waiting_.find(id);
    if (it == waiting_.end()) return;
    Waiting& w = it->second;
    uint8_t chunk[256];
    size_t n = 0;
    switch (loopback::ReceiveSome(w.socket, chunk, sizeof chunk, &n)) {
      case loopback::Io::Done: w.reader.Append({chunk, n}); break;
      case loopback::Io::WouldBlock: return;
      case loopback::Io::Closed:
      case loopback::Io::Failed: Refuse(id, "token"); return;
    }
    std::vector<uint8_t> message;
    switch (w.reader.Take(&message)) {
      case simtcp::FrameReader::Next::None: return;
      case simtcp::FrameReader::Next::TooLarge: Refuse(id, "token"); return;
      case simtcp::FrameReader::Next::Message: break;
    }
    simtcp::Token token;
    if (!simtcp::DecodeClientHello(message, &token) ||
        !simtcp::SameToken(token, announce_.clientToken)) {
      Refuse(id, "token");
      return;
    }
    auto link = std::make_unique<TcpLink>(w.socket, std::move(w.reader), announce_.serverToken,
                                          context_);
    w.socket = loopback::kNoSocket;  // the link has it now
    Drop(id);
    onClient_(std::move(link));  // last: it may unplug us
  }

  void Refuse(uint64_t id, const char* reason) {
    Drop(id);
    onRefused_(reason);
  }

  void Drop(uint64_t id) {
    auto it = waiting_.find(id);
    if (it == waiting_.end()) return;
    Retire(it->second.notifier);
    Retire(it->second.timer);
    loopback::Close(it->second.socket);
    waiting_.erase(it);
  }

  int index_;
  QObject* context_;
  ClientSink onClient_;
  RefusalSink onRefused_;
  SocketHandle socket_ = loopback::kNoSocket;
  QSocketNotifier* notifier_ = nullptr;
  simtcp::Announce announce_;
  std::string path_;
  std::map<uint64_t, Waiting> waiting_;
  uint64_t nextId_ = 0;
};

}  // namespace

std::unique_ptr<ServerListener> MakeTcpListener(int index, QObject* context,
                                                ServerListener::ClientSink onClient,
                                                ServerListener::RefusalSink onRefused) {
  return std::make_unique<TcpListener>(index, context, std::move(onClient), std::move(onRefused));
}

std::string TcpListenerPath(int index) {
#if defined(_WIN32)
  const char* separator = "\\";
#else
  const char* separator = "/";
#endif
  return simtcp::AnnounceDirectory() + separator +
         simtcp::AnnounceName(kKpR50InterfaceGuid, SimProcessId(), index);
}

}  // namespace kp
