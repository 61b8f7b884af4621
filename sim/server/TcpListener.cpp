// The tcp transport: a port on 127.0.0.1 and an announce file per programmer, frames on a
// stream, and a connection becomes a client only once it showed the client token in time.
#include "sim/server/ServerTransport.h"
#include "sim/server/SimSocketServer.h"

#include "link/WUsbBulkD.h"
#include "simwire/AnnounceFile.h"
#include "simwire/ErrorText.h"
#include "simwire/FrameStream.h"
#include "simwire/LoopbackSocket.h"
#include "simwire/SimSocketProtocol.h"
#include "simwire/SimTcpProtocol.h"

#include <QObject>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>

#include <array>
#include <cstring>
#include <map>

namespace kp {

namespace {

// Connections that have not shown their token yet. When the room is full, the one that has
// waited longest makes way for the newcomer: silent connections cannot keep the token holder
// out, they can only push each other out.
constexpr size_t kMaxWaiting = 8;
// Replies a client has not read yet; beyond this a reply is lost, as in a device's full buffer.
constexpr size_t kMaxOutgoing = 64 * 1024;

using loopback::SocketHandle;

simtcp::Token RandomToken() {
  std::array<quint32, simtcp::kTokenSize / 4> words{};
  QRandomGenerator::system()->generate(words.begin(), words.end());
  simtcp::Token token;
  std::memcpy(token.data(), words.data(), token.size());
  return token;
}

class TcpLink : public ClientLink {
 public:
  TcpLink(FrameStream stream, const simtcp::Token& serverToken, QObject* context)
      : stream_(std::move(stream)), serverToken_(serverToken), context_(context) {}
  ~TcpLink() override { Retire(writer_); }
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;

  Read Take(std::vector<uint8_t>* message) override {
    switch (stream_.Take(message)) {
      case FrameStream::Got::Nothing:
      case FrameStream::Got::TimedOut: return Read::Nothing;
      case FrameStream::Got::Closed: return Read::Closed;
      case FrameStream::Got::TooLarge: return Read::TooLarge;
      case FrameStream::Got::Failed: return Read::Failed;
      case FrameStream::Got::Message: break;
    }
    return message->empty() ? Read::Closed : Read::Message;  // an empty frame: it is leaving
  }

  bool HasInput() override { return stream_.HasInput(); }

  bool Buffered() const override { return stream_.Buffered(); }

  Sent Send(std::span<const uint8_t> message) override {
    // A frame goes whole or not at all: half of one would garble the stream.
    if (!stream_.Queue(message, kMaxOutgoing)) return Sent::Lost;
    return Flush();
  }

  bool SendHello(const std::vector<uint8_t>& hello) override {
    std::vector<uint8_t> message(serverToken_.begin(), serverToken_.end());
    message.insert(message.end(), hello.begin(), hello.end());
    return Send(message) == Sent::Sent;
  }

  intptr_t Handle() const override { return static_cast<intptr_t>(stream_.Handle()); }

 private:
  // Sends what the socket takes; the rest waits for the write notifier.
  Sent Flush() {
    switch (stream_.Flush()) {
      case loopback::Io::Done: WaitToWrite(false); return Sent::Sent;
      case loopback::Io::WouldBlock: WaitToWrite(true); return Sent::Sent;
      case loopback::Io::Closed: return Sent::Closed;
      case loopback::Io::Failed: break;
    }
    return Sent::Failed;
  }

  void WaitToWrite(bool on) {
    if (writer_ == nullptr) {
      if (!on) return;
      writer_ = new QSocketNotifier(static_cast<qintptr>(stream_.Handle()), QSocketNotifier::Write,
                                    context_);
      // A failure here shows on the read side too, where the server notices it.
      QObject::connect(writer_, &QSocketNotifier::activated, context_, [this] { (void)Flush(); });
    }
    writer_->setEnabled(on);
  }

  FrameStream stream_;
  simtcp::Token serverToken_;
  QObject* context_;
  QSocketNotifier* writer_ = nullptr;
};

class TcpListener : public ServerListener {
 public:
  TcpListener(int index, QObject* context, ClientSink onClient, RefusalSink onRefused)
      : index_(index),
        context_(context),
        onClient_(std::move(onClient)),
        onRefused_(std::move(onRefused)) {}

  ~TcpListener() override {
    while (!waiting_.empty()) Drop(waiting_.begin()->first);
    if (socket_ == loopback::kNoSocket) return;
    Retire(notifier_);
    loopback::Close(socket_);
    RemoveAnnounceFile(path_, announce_);
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
    if (!WriteAnnounceFile(path, announce_, error)) {
      loopback::Close(socket);
      return false;
    }
    socket_ = socket;
    path_ = path;
    notifier_ = WatchReadable(static_cast<intptr_t>(socket_), context_, [this] { Accept(); });
    return true;
  }

 private:
  struct Waiting {
    FrameStream stream;
    QSocketNotifier* notifier = nullptr;
    QTimer* timer = nullptr;
  };

  void Accept() {
    const SocketHandle socket = TakeConnection(socket_, notifier_, loopback::Accept);
    if (socket == loopback::kNoSocket) return;
    // Ids grow with every accept, so the first entry is the one that has waited longest.
    while (waiting_.size() >= kMaxWaiting) Refuse(waiting_.begin()->first, "too-many");
    const uint64_t id = nextId_++;
    Waiting& w = waiting_[id];
    w.stream = FrameStream(socket);
    w.notifier =
        WatchReadable(static_cast<intptr_t>(socket), context_, [this, id] { ReadWaiting(id); });
    w.timer = new QTimer(context_);
    w.timer->setSingleShot(true);
    QObject::connect(w.timer, &QTimer::timeout, context_, [this, id] { Refuse(id, "time-out"); });
    w.timer->start(simsock::kHelloTimeoutMs);
  }

  void ReadWaiting(uint64_t id) {
    auto it = waiting_.find(id);
    if (it == waiting_.end()) return;
    Waiting& w = it->second;
    std::vector<uint8_t> message;
    switch (w.stream.Take(&message)) {
      case FrameStream::Got::Nothing:
      case FrameStream::Got::TimedOut: return;
      case FrameStream::Got::Message: break;
      case FrameStream::Got::Closed:
      case FrameStream::Got::TooLarge:
      case FrameStream::Got::Failed: Refuse(id, "token"); return;
    }
    simtcp::Token token;
    if (!simtcp::DecodeClientHello(message, &token) ||
        !simtcp::SameToken(token, announce_.clientToken)) {
      Refuse(id, "token");
      return;
    }
    auto link = std::make_unique<TcpLink>(std::move(w.stream), announce_.serverToken, context_);
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
    waiting_.erase(it);  // closes its socket, unless a link has taken it
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
