// Plain TCP sockets on 127.0.0.1, the same calls over POSIX sockets and Winsock: what the
// simulator's TCP transport needs on both ends. Every socket made here is non-blocking; the
// waits are explicit and bounded by the caller. The waits, the accept and the reading of
// errors serve the Unix sockets of PacketSocket.h as well.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kp::loopback {

#if defined(_WIN32)
using SocketHandle = uintptr_t;  // SOCKET
inline constexpr SocketHandle kNoSocket = ~uintptr_t{0};
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
#endif

// Starts Winsock (once per process; nothing to do elsewhere). False when it cannot.
bool StartSockets();

// Connects to 127.0.0.1:port, waiting at most timeoutMs. kNoSocket when nobody answers.
SocketHandle Connect(uint16_t port, int timeoutMs);

// Listens on 127.0.0.1 on a port the system picks, which lands in *port. On Windows the port
// is held exclusively, so that nobody can bind it beside us. kNoSocket, with the reason in
// *error, when it cannot.
SocketHandle Listen(uint16_t* port, std::string* error);

// Takes one waiting connection of any listening socket, non-blocking and not inherited by
// child processes. kNoSocket when there is none; *retryLater is set when one is waiting but
// cannot be taken now (out of descriptors and the like).
SocketHandle AcceptConnection(SocketHandle listener, bool* retryLater);
// The same for a TCP listener, with Nagle's delay off.
SocketHandle Accept(SocketHandle listener, bool* retryLater);

void Close(SocketHandle socket);

enum class Io { Done, WouldBlock, Closed, Failed };

// Sends what the socket takes now, at most `length` bytes; *sent holds the count.
Io SendSome(SocketHandle socket, const uint8_t* bytes, size_t length, size_t* sent);
// Receives what has arrived, at most `capacity` bytes. Closed on the peer's orderly end.
Io ReceiveSome(SocketHandle socket, uint8_t* buffer, size_t capacity, size_t* received);
// Sends bytes from *done on for as long as the socket takes them, moving *done: Done once
// all are sent, WouldBlock when the socket is full with some left.
Io SendWhatFits(SocketHandle socket, std::span<const uint8_t> bytes, size_t* done);
// What the error of the send or receive that just failed means: WouldBlock, Closed when the
// peer has left, or Failed.
Io LastFailure();

enum class Wait { Ready, TimedOut, Failed };
// Waits until the socket can be read (or written); a negative time-out waits without limit.
// A hang-up counts as readable: the next receive tells it.
Wait WaitFor(SocketHandle socket, bool forWriting, int timeoutMs);

using Deadline = std::chrono::steady_clock::time_point;
// The deadline timeoutMs from now (a negative time-out counts as 0).
Deadline DeadlineIn(int timeoutMs);
// What is left until the deadline, for WaitFor: 0 once it has passed.
int MillisecondsLeft(Deadline deadline);

// The address and port of this end: for checking that a listener is on the loopback only.
bool LocalAddress(SocketHandle socket, uint32_t* hostOrderAddress, uint16_t* port);

// The last socket error as text, for messages.
std::string LastErrorText();

}  // namespace kp::loopback
