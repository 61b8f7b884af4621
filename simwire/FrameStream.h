// A TCP connection of the simulator's link as both ends use it: the socket, the frames that
// have arrived on it (SimTcpProtocol.h) and the frames not yet sent. It owns the socket and
// closes it. The client waits on it with time-outs; the server never waits, it takes what
// has come and sends what fits whenever its event loop says so.
#pragma once

#include "simwire/LoopbackSocket.h"
#include "simwire/SimTcpProtocol.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kp {

class FrameStream {
 public:
  FrameStream() = default;
  explicit FrameStream(loopback::SocketHandle socket) : socket_(socket) {}
  ~FrameStream();
  FrameStream(FrameStream&& other) noexcept;
  FrameStream& operator=(FrameStream&& other) noexcept;
  FrameStream(const FrameStream&) = delete;
  FrameStream& operator=(const FrameStream&) = delete;

  loopback::SocketHandle Handle() const { return socket_; }

  enum class Got { Nothing, Message, TimedOut, Closed, TooLarge, Failed };
  // One whole message without waiting: what has arrived is received first when no whole one
  // is buffered yet. Nothing while it is incomplete; an empty message is a Message. TooLarge:
  // the stream cannot be trusted after that.
  Got Take(std::vector<uint8_t>* message);
  // The same, waiting at most timeoutMs (negative: no limit) for it; TimedOut when it did not
  // come. What arrived of a later message stays for the next call.
  Got Receive(std::vector<uint8_t>* message, int timeoutMs);
  // Whether a whole message (or a too-large header) waits in the stream already.
  bool Buffered() const { return reader_.Ready(); }
  // Whether a message, or the peer's leaving, waits to be taken.
  bool HasInput() const;

  // Queues the message's frame, whole or not at all: false when the queue would then hold
  // more than `limit` bytes.
  bool Queue(std::span<const uint8_t> message, size_t limit);
  // Sends what the socket takes of the queue: Done when it is empty, WouldBlock while some
  // waits for room. Closed or Failed drop the queue.
  loopback::Io Flush();
  // Queues the message and sends the queue, waiting at most timeoutMs for room. False when
  // the peer has gone or the time ran out: half a frame cannot be taken back, so the stream
  // is lost then.
  bool SendWithin(std::span<const uint8_t> message, int timeoutMs);

 private:
  loopback::SocketHandle socket_ = loopback::kNoSocket;
  simtcp::FrameReader reader_;
  std::vector<uint8_t> out_;
};

}  // namespace kp
