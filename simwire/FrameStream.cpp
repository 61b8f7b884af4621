#include "simwire/FrameStream.h"

#include "simwire/SimSocketProtocol.h"

#include <limits>
#include <utility>

namespace kp {

FrameStream::~FrameStream() { loopback::Close(socket_); }

FrameStream::FrameStream(FrameStream&& other) noexcept
    : socket_(std::exchange(other.socket_, loopback::kNoSocket)),
      reader_(std::move(other.reader_)),
      out_(std::move(other.out_)) {}

FrameStream& FrameStream::operator=(FrameStream&& other) noexcept {
  if (this != &other) {
    loopback::Close(socket_);
    socket_ = std::exchange(other.socket_, loopback::kNoSocket);
    reader_ = std::move(other.reader_);
    out_ = std::move(other.out_);
  }
  return *this;
}

FrameStream::Got FrameStream::Take(std::vector<uint8_t>* message) {
  if (!reader_.Ready()) {
    uint8_t chunk[simsock::kMaxMessage + simtcp::kFrameHeader];
    size_t n = 0;
    switch (loopback::ReceiveSome(socket_, chunk, sizeof chunk, &n)) {
      case loopback::Io::Done: reader_.Append({chunk, n}); break;
      case loopback::Io::WouldBlock: break;
      case loopback::Io::Closed: return Got::Closed;
      case loopback::Io::Failed: return Got::Failed;
    }
  }
  switch (reader_.Take(message)) {
    case simtcp::FrameReader::Next::None: return Got::Nothing;
    case simtcp::FrameReader::Next::TooLarge: return Got::TooLarge;
    case simtcp::FrameReader::Next::Message: break;
  }
  return Got::Message;
}

FrameStream::Got FrameStream::Receive(std::vector<uint8_t>* message, int timeoutMs) {
  const loopback::Deadline deadline = loopback::DeadlineIn(timeoutMs);
  for (;;) {
    const Got got = Take(message);
    if (got != Got::Nothing) return got;
    const int wait = timeoutMs < 0 ? -1 : loopback::MillisecondsLeft(deadline);
    switch (loopback::WaitFor(socket_, false, wait)) {
      case loopback::Wait::Ready: break;
      case loopback::Wait::TimedOut: return Got::TimedOut;
      case loopback::Wait::Failed: return Got::Failed;
    }
  }
}

bool FrameStream::HasInput() const {
  return reader_.Ready() || loopback::WaitFor(socket_, false, 0) == loopback::Wait::Ready;
}

bool FrameStream::Queue(std::span<const uint8_t> message, size_t limit) {
  const std::vector<uint8_t> frame = simtcp::Frame(message);
  if (out_.size() + frame.size() > limit) return false;
  out_.insert(out_.end(), frame.begin(), frame.end());
  return true;
}

loopback::Io FrameStream::Flush() {
  size_t done = 0;
  const loopback::Io r = loopback::SendWhatFits(socket_, out_, &done);
  if (r == loopback::Io::Closed || r == loopback::Io::Failed) {
    out_.clear();
  } else {
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(done));
  }
  return r;
}

bool FrameStream::SendWithin(std::span<const uint8_t> message, int timeoutMs) {
  const loopback::Deadline deadline = loopback::DeadlineIn(timeoutMs);
  if (!Queue(message, std::numeric_limits<size_t>::max())) return false;
  for (;;) {
    switch (Flush()) {
      case loopback::Io::Done: return true;
      case loopback::Io::WouldBlock: break;
      case loopback::Io::Closed:
      case loopback::Io::Failed: return false;
    }
    if (loopback::WaitFor(socket_, true, loopback::MillisecondsLeft(deadline)) !=
        loopback::Wait::Ready) {
      return false;
    }
  }
}

}  // namespace kp
