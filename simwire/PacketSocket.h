// The AF_UNIX SOCK_SEQPACKET sockets of the Unix transport (SimSocketProtocol.h), as both
// ends use them: one message per packet, so no framing. A socket's own blocking mode decides
// whether a call waits: the client's do, the server's never. Unix only.
#pragma once

#if !defined(_WIN32)

#include "simwire/LoopbackSocket.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kp::packet {

using loopback::SocketHandle;

// Connects to the socket file at `path`: kNoSocket, with errno telling why, when nobody
// listens there (ECONNREFUSED: a file left by a process that has ended).
SocketHandle Connect(const std::string& path, bool nonBlocking);
// A non-blocking socket bound to `path`, not yet listening: kNoSocket, with errno telling
// why, when it cannot be (ENAMETOOLONG for a path a socket address cannot hold).
SocketHandle Bind(const std::string& path);

// Sends `message` as one packet.
loopback::Io Send(SocketHandle socket, std::span<const uint8_t> message);
// The same, waiting at most `timeoutMs` for room, whatever the socket's blocking mode:
// WouldBlock when the peer has read nothing for that long and its queue stayed full.
loopback::Io SendWithin(SocketHandle socket, std::span<const uint8_t> message, int timeoutMs);
// Receives one packet into `buffer`; a longer one loses its tail and sets *truncated. Closed
// on the peer's end, and on an empty packet, which a packet socket cannot tell from it.
loopback::Io Receive(SocketHandle socket, uint8_t* buffer, size_t capacity, size_t* received,
                     bool* truncated);

}  // namespace kp::packet

#endif
