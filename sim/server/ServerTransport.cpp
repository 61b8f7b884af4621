#include "sim/server/ServerTransport.h"

#include <QCoreApplication>

namespace kp {

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

}  // namespace kp
