// How SimSocketServer reaches its clients, one implementation per transport: a listener that
// announces the device and hands over each client that may talk to it, and that client's
// link, which carries whole messages. Both run on the Qt event loop of the calling thread.
//
//   unix: an AF_UNIX SOCK_SEQPACKET socket per programmer (simwire/SimSocketProtocol.h)
//   tcp:  a port on 127.0.0.1 and an announce file per programmer (simwire/SimTcpProtocol.h)
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

class QObject;

namespace kp {

enum class SimTransport { Unix, Tcp };

#if defined(_WIN32)
inline constexpr SimTransport kDefaultSimTransport = SimTransport::Tcp;
#else
inline constexpr SimTransport kDefaultSimTransport = SimTransport::Unix;
#endif

// One client that may talk to the device.
class ClientLink {
 public:
  virtual ~ClientLink() = default;

  enum class Read { Nothing, Message, Closed, TooLarge, Failed };
  // One message that has arrived, without waiting. Closed: the client left (an empty message
  // says so too).
  virtual Read Take(std::vector<uint8_t>* message) = 0;
  // Whether a message, or the client's leaving, waits to be taken.
  virtual bool HasInput() = 0;
  // Whether a message already waits inside the link, which no notifier announces.
  virtual bool Buffered() const = 0;

  enum class Sent { Sent, Lost, Closed, Failed };
  // One message to the client; Lost when it does not fit (as a device's full IN buffer).
  virtual Sent Send(std::span<const uint8_t> message) = 0;
  // The server's hello, in whatever wrapping the transport gives it. False when it failed.
  virtual bool SendHello(const std::vector<uint8_t>& hello) = 0;

  // The socket, for the read notifier.
  virtual intptr_t Handle() const = 0;
};

class ServerListener {
 public:
  using ClientSink = std::function<void(std::unique_ptr<ClientLink>)>;
  using RefusalSink = std::function<void(const std::string& reason)>;

  // Stops listening, closes waiting connections and removes the file it made.
  virtual ~ServerListener() = default;
  // Listens and announces. False, with the reason in *error, when it cannot.
  virtual bool Open(std::string* error) = 0;
  // The file a client finds the device by.
  virtual std::string Path() const = 0;
};

// A listener for programmer `index`: clients go to `onClient`, connections turned away before
// they could become clients are reported to `onRefused` (tcp only: "token", "time-out",
// "too-many"). `context` parents the notifiers and timers.
std::unique_ptr<ServerListener> MakeListener(SimTransport transport, int index, QObject* context,
                                             ServerListener::ClientSink onClient,
                                             ServerListener::RefusalSink onRefused);
// Where such a listener puts its file.
std::string ListenerPath(SimTransport transport, int index);

// The process id, as the file names carry it.
long SimProcessId();

// The two transports, which MakeListener and ListenerPath choose between.
#if !defined(_WIN32)
std::unique_ptr<ServerListener> MakeUnixListener(int index, QObject* context,
                                                 ServerListener::ClientSink onClient);
std::string UnixListenerPath(int index);
#endif
std::unique_ptr<ServerListener> MakeTcpListener(int index, QObject* context,
                                                ServerListener::ClientSink onClient,
                                                ServerListener::RefusalSink onRefused);
std::string TcpListenerPath(int index);

}  // namespace kp
