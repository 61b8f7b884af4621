#include "sim/server/SimSocketServer.h"

#include "link/WUsbBulkD.h"
#include "base/ByteOrder.h"
#include "platform/Descriptors.h"
#include "simwire/ErrorText.h"
#include "simwire/SimSocketProtocol.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kp {

namespace {

// At most this many messages of the held client are taken before a new connection is answered.
constexpr int kMaxPendingBeforeAccept = 64;

}  // namespace

std::u16string SimSerialNumber(long pid, int index) {
  char text[16];
  const auto value = (static_cast<unsigned long>(pid) & 0xFFFFFFul) << 8 |
                     (static_cast<unsigned long>(index) & 0xFFul);
  std::snprintf(text, sizeof text, "%08lX", value & 0xFFFFFFFFul);
  return std::u16string(text, text + std::strlen(text));
}

SimSocketServer::SimSocketServer(ServedFirmware& firmware, int index, std::u16string serial,
                                 SimTransport transport)
    : firmware_(firmware),
      index_(index),
      serial_(std::move(serial)),
      transport_(transport),
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
  return listener_ != nullptr ? listener_->Path() : ListenerPath(transport_, index_);
}

bool SimSocketServer::Plug(std::string* error) {
  if (Plugged()) return true;
  auto listener = MakeListener(
      transport_, index_, context_.get(),
      [this](std::unique_ptr<ClientLink> link) { AcceptClient(std::move(link)); },
      [this](const std::string& reason) { Report(ServerEvent::ClientRefused, reason); });
  if (listener == nullptr) {
    SetError(error, "this transport is not available here");
    return false;
  }
  if (!listener->Open(error)) return false;
  listener_ = std::move(listener);
  Report(ServerEvent::Plugged, listener_->Path());
  return true;
}

void SimSocketServer::Unplug() {
  if (!Plugged()) return;
  if (HasClient()) DropClient(ServerEvent::ClientDropped, "unplugged");
  // Safe from inside the listener's own handlers: they hand a client over as their last step,
  // and the listener lets its notifiers and timers go later.
  listener_.reset();
  Report(ServerEvent::Unplugged);
}

void SimSocketServer::AcceptClient(std::unique_ptr<ClientLink> link) {
  // The held client may have closed a moment ago with its hang-up still queued behind our
  // notifier: take what it left first, so a quick reconnect is not turned away as busy.
  for (int pending = 0; HasClient() && pending < kMaxPendingBeforeAccept; ++pending) {
    if (!client_->HasInput()) break;
    ReadClient();
  }
  if (HasClient()) {
    simsock::Hello busy;
    busy.status = simsock::kBusy;
    (void)link->SendHello(simsock::EncodeHello(busy));
    link.reset();
    Report(ServerEvent::ClientBusy);
    return;
  }
  if (!link->SendHello(ReadyHello())) return;
  client_ = std::move(link);
  ++clientGeneration_;
  clientNotifier_ = WatchReadable(client_->Handle(), context_.get(), [this] { ReadClient(); });
  const uint64_t served = clientGeneration_;
  const std::vector<InTransfer> offered = firmware_.Opened();
  Report(ServerEvent::ClientConnected);
  Answer(offered, served);
  if (HasClient() && served == clientGeneration_ && client_->Buffered()) {
    const uint64_t generation = clientGeneration_;
    QTimer::singleShot(0, context_.get(), [this, generation] {
      if (generation == clientGeneration_) ReadClient();
    });
  }
}

// One message per activation: the notifier fires again while more are queued, so a client
// that floods the socket cannot keep the event loop to itself. Messages a stream brought in
// one piece are taken one per turn of the event loop as well.
void SimSocketServer::ReadClient() {
  if (!HasClient()) return;
  std::vector<uint8_t> message;
  switch (client_->Take(&message)) {
    case ClientLink::Read::Nothing: return;
    case ClientLink::Read::Message: break;
    case ClientLink::Read::Closed: DropClient(ServerEvent::ClientDisconnected, {}); return;
    case ClientLink::Read::TooLarge: DropClient(ServerEvent::ClientDropped, "too-large"); return;
    case ClientLink::Read::Failed: DropClient(ServerEvent::ClientDropped, "error"); return;
  }
  const uint64_t generation = clientGeneration_;
  HandleMessage(message);
  if (HasClient() && generation == clientGeneration_ && client_->Buffered()) {
    QTimer::singleShot(0, context_.get(), [this, generation] {
      if (generation == clientGeneration_) ReadClient();
    });
  }
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
  Answer(replies, generation);
}

void SimSocketServer::Answer(const std::vector<InTransfer>& replies, uint64_t generation) {
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
  // A client that reads nothing fills its queue; like a device's IN buffer, what does not fit
  // is lost. Anything else means the client is gone.
  switch (client_->Send(message)) {
    case ClientLink::Sent::Sent:
    case ClientLink::Sent::Lost: return;
    case ClientLink::Sent::Closed: DropClient(ServerEvent::ClientDisconnected, "error"); return;
    case ClientLink::Sent::Failed: DropClient(ServerEvent::ClientDropped, "error"); return;
  }
}

void SimSocketServer::DropClient(ServerEvent why, const std::string& detail) {
  if (!HasClient()) return;
  clientNotifier_->setEnabled(false);
  clientNotifier_->deleteLater();  // may be the notifier whose signal runs right now
  clientNotifier_ = nullptr;
  client_.reset();
  ++clientGeneration_;  // replies still on their timers belong to nobody now
  Report(why, why == ServerEvent::ClientDisconnected ? std::string() : detail);
}

void SimSocketServer::Report(ServerEvent event, const std::string& detail) {
  if (onState_) onState_(event, detail);
}

std::vector<uint8_t> SimSocketServer::ReadyHello() const {
  simsock::Hello hello;
  hello.status = simsock::kReady;
  DeviceDescriptorFields device;
  device.idVendor = kVendorId;
  device.idProduct = kProductId;
  device.iSerialNumber = kSerialIndex;
  hello.deviceDescriptor = DeviceDescriptor(device);
  hello.serialDescriptor = StringDescriptor(serial_);
  hello.pipes = {{PipeType::Bulk, 0x81, 64, 0}, {PipeType::Bulk, 0x02, 64, 0}};
  return simsock::EncodeHello(hello);
}

}  // namespace kp
