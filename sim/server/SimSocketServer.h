// SimSocketServer: one virtual programmer on one listening socket, the way kpr50-sim serves
// it to SimUnixPlatform (transport unix, see simwire/SimSocketProtocol.h) or to
// SimTcpPlatform (transport tcp, see simwire/SimTcpProtocol.h and sim/server/ServerTransport.h).
//
// - Plug listens and makes the device's file in its folder: the socket
//   "<GUID>.<our pid>.<index>.sock" in simsock::SocketDirectory(), or the announce file
//   "<GUID>.<our pid>.<index>.port" in simtcp::AnnounceDirectory() (the folder is made 0700
//   when missing). Unplug closes it and removes the file. A socket file of that name that
//   nobody listens on is a leftover of a dead process that had our pid and is replaced; one
//   somebody listens on is left alone and Plug fails. Files of other names are never touched.
// - Over tcp a connection becomes a client only once it presented the announce file's client
//   token in time; any other is closed and reported as refused.
// - One client at a time, as a device opened exclusively: the next client gets a busy hello
//   and is closed at once. The serving client gets a ready hello with the descriptors.
// - Every message from the client is one OUT transfer for the firmware; every IN transfer the
//   firmware answers with is one message back, sent after its delay. Replies still pending
//   when the client goes are thrown away, never sent to the next client. A new client is told
//   to the firmware (Opened), and what it offers then goes out the same way.
// - The client is dropped when it closes, sends an empty message, a message larger than
//   simsock::kMaxMessage, or when the socket fails. Malformed requests are the firmware's
//   business (it does not answer them); the client stays, as on a real bus. A client that
//   sends nothing keeps the device, as an open handle does; Unplug frees it.
// - Runs on the Qt event loop of the calling thread (QSocketNotifier, QTimer), so the same
//   object serves the control window and the headless mode.
#pragma once

#include "platform/virtual/VirtualBus.h"
#include "sim/firmware/ServedFirmware.h"
#include "sim/server/ServerTransport.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

class QObject;
class QSocketNotifier;

namespace kp {

enum class ServerEvent {
  Plugged,             // detail: the socket's or announce file's path
  Unplugged,           //
  ClientConnected,     //
  ClientBusy,          // a second client was turned away
  ClientDisconnected,  // the client closed its end (or sent an empty message)
  ClientDropped,       // detail: why the server let the client go
  ClientRefused,       // detail: why a connection was closed before it became a client
};

class SimSocketServer {
 public:
  using StateObserver = std::function<void(ServerEvent event, const std::string& detail)>;
  // One request handed to the firmware and what it answered.
  using RequestObserver =
      std::function<void(std::span<const uint8_t> request, const std::vector<InTransfer>& replies)>;

  // `index` names the socket; `serial` is the serial-number string. The firmware must
  // outlive the server.
  SimSocketServer(ServedFirmware& firmware, int index, std::u16string serial,
                  SimTransport transport = kDefaultSimTransport);
  ~SimSocketServer();
  SimSocketServer(const SimSocketServer&) = delete;
  SimSocketServer& operator=(const SimSocketServer&) = delete;

  void SetStateObserver(StateObserver observer) { onState_ = std::move(observer); }
  void SetRequestObserver(RequestObserver observer) { onRequest_ = std::move(observer); }

  // Creates the listening socket. False, with the reason in *error, when it cannot.
  bool Plug(std::string* error = nullptr);
  // Drops the client, closes the socket and removes its file. Harmless when unplugged.
  void Unplug();

  bool Plugged() const { return listener_ != nullptr; }
  bool HasClient() const { return client_ != nullptr; }
  int Index() const { return index_; }
  SimTransport Transport() const { return transport_; }
  const std::u16string& Serial() const { return serial_; }
  // Where the socket (or announce file) is while plugged, and where Plug puts it.
  std::string SocketPath() const;

  static constexpr uint16_t kVendorId = 0x1209;
  static constexpr uint16_t kProductId = 0x5250;
  static constexpr uint8_t kSerialIndex = 3;

 private:
  void AcceptClient(std::unique_ptr<ClientLink> link);
  void ReadClient();
  void HandleMessage(std::span<const uint8_t> message);
  // Each transfer to the client after its delay, as long as it is the one served.
  void Answer(const std::vector<InTransfer>& replies, uint64_t generation);
  void SendToClient(const std::vector<uint8_t>& message, uint64_t generation);
  void DropClient(ServerEvent why, const std::string& detail);
  void Report(ServerEvent event, const std::string& detail = {});
  std::vector<uint8_t> ReadyHello() const;

  ServedFirmware& firmware_;
  int index_;
  std::u16string serial_;
  SimTransport transport_;
  std::unique_ptr<QObject> context_;  // parent of the notifiers, context of the reply timers
  std::unique_ptr<ServerListener> listener_;
  std::unique_ptr<ClientLink> client_;
  QSocketNotifier* clientNotifier_ = nullptr;
  // Counts clients, so that a late reply knows whether its client is still the one served.
  uint64_t clientGeneration_ = 0;
  bool vanishRequested_ = false;
  StateObserver onState_;
  RequestObserver onRequest_;
};

// "0012AB01": eight upper-case hexadecimal digits from the process id and the index, so that
// programmers of simulators side by side tell apart by their serial numbers too.
std::u16string SimSerialNumber(long pid, int index);

}  // namespace kp
