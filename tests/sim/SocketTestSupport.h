// What the simulator's socket tests share: a private runtime folder per test (through
// XDG_RUNTIME_DIR, tests/support), the Qt event loop the servers run on, and a raw SEQPACKET
// client. No test framework: the GoogleTest and the Qt Test suites both use it.
#pragma once

#include "RuntimeFolder.h"
#include "simwire/SimSocketProtocol.h"

#include <QCoreApplication>

#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace kp::test {

using Bytes = std::vector<uint8_t>;
using kp::test::RuntimeFolder;

// The servers need an application object for their notifiers and timers; one per process.
inline void EnsureCoreApplication() {
  static int argc = 1;
  static char name[] = "kp_simserver_tests";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* application =
      QCoreApplication::instance() != nullptr ? nullptr : new QCoreApplication(argc, argv);
  (void)application;
}

// Runs the event loop until `done` holds or about `limitMs` passed; returns `done()`. The
// limit only bounds a failing test; nothing here asserts how long anything takes.
inline bool PumpUntil(const std::function<bool()>& done, int limitMs = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    usleep(1000);
  }
  return true;
}

// Lets the event loop run for a while, for "nothing arrives" checks.
inline void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

// One end of a SEQPACKET connection, read without blocking while the event loop runs.
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return;
    path.copy(address.sun_path, path.size());
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      connectError_ = errno;
      close(fd_);
      fd_ = -1;
    }
  }
  ~RawClient() { Close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const { return fd_ >= 0; }
  int ConnectError() const { return connectError_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  bool Send(const Bytes& message) {
    const uint8_t none = 0;  // an empty message still needs a buffer to point at
    return fd_ >= 0 && send(fd_, message.empty() ? &none : message.data(), message.size(),
                            MSG_NOSIGNAL) == static_cast<ssize_t>(message.size());
  }

  // The next message; nullopt when none came in time. closed() tells an end of the stream.
  std::optional<Bytes> Receive(int limitMs = 3000) {
    std::optional<Bytes> got;
    PumpUntil(
        [&] {
          if (fd_ < 0) return true;
          Bytes buffer(simsock::kMaxMessage);
          const ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
          if (n > 0) {
            buffer.resize(static_cast<size_t>(n));
            got = std::move(buffer);
            return true;
          }
          if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            closed_ = true;
            return true;
          }
          return false;
        },
        limitMs);
    return got;
  }

  // True once the server has closed its end (after everything it sent was read).
  bool WaitClosed(int limitMs = 3000) {
    while (!closed_) {
      if (!Receive(limitMs) && !closed_) return false;
    }
    return true;
  }

  std::optional<simsock::Hello> ReceiveHello() {
    const auto message = Receive();
    simsock::Hello hello;
    if (!message || !simsock::DecodeHello(*message, &hello)) return std::nullopt;
    return hello;
  }

  bool closed() const { return closed_; }

 private:
  int fd_ = -1;
  int connectError_ = 0;
  bool closed_ = false;
};

}  // namespace kp::test
