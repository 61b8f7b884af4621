#include "sim/server/ServerTransport.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

namespace kp {

namespace {

// How long a listener that could not take a waiting connection rests before it looks again.
constexpr int kAcceptRetryMs = 100;

}  // namespace

std::unique_ptr<ServerListener> MakeListener(SimTransport transport, int index, QObject* context,
                                             ServerListener::ClientSink onClient,
                                             ServerListener::RefusalSink onRefused) {
  switch (transport) {
    case SimTransport::Unix:
#if !defined(_WIN32)
      return MakeUnixListener(index, context, std::move(onClient));
#else
      return nullptr;  // no sequenced-packet sockets here
#endif
    case SimTransport::Tcp:
      return MakeTcpListener(index, context, std::move(onClient), std::move(onRefused));
  }
  return nullptr;
}

std::string ListenerPath(SimTransport transport, int index) {
#if !defined(_WIN32)
  if (transport == SimTransport::Unix) return UnixListenerPath(index);
#endif
  (void)transport;
  return TcpListenerPath(index);
}

long SimProcessId() { return static_cast<long>(QCoreApplication::applicationPid()); }

QSocketNotifier* WatchReadable(intptr_t socket, QObject* context,
                               std::function<void()> onReadable) {
  auto* notifier =
      new QSocketNotifier(static_cast<qintptr>(socket), QSocketNotifier::Read, context);
  QObject::connect(notifier, &QSocketNotifier::activated, context, std::move(onReadable));
  return notifier;
}

void Retire(QObject* object) {
  if (object == nullptr) return;
  if (auto* notifier = qobject_cast<QSocketNotifier*>(object)) notifier->setEnabled(false);
  if (auto* timer = qobject_cast<QTimer*>(object)) timer->stop();
  QObject::disconnect(object, nullptr, nullptr, nullptr);  // a retry timer may wake it
  object->deleteLater();  // may be the notifier whose signal runs right now
}

loopback::SocketHandle TakeConnection(loopback::SocketHandle listener, QSocketNotifier* notifier,
                                      AcceptCall take) {
  bool retryLater = false;
  const loopback::SocketHandle socket = take(listener, &retryLater);
  if (socket == loopback::kNoSocket && retryLater) {
    // Out of descriptors or the like: the connection stays queued.
    notifier->setEnabled(false);
    QTimer::singleShot(kAcceptRetryMs, notifier, [notifier] { notifier->setEnabled(true); });
  }
  return socket;
}

}  // namespace kp
