// Virtual programmers served by kpr50-sim over AF_UNIX SOCK_SEQPACKET sockets (Linux and other
// Unix systems). The device path is the socket's path; one message is one bulk transfer each
// way, so no framing is needed; the IN time-out is a poll on the socket.
#pragma once

#include "platform/simclient/SimClientPlatform.h"

#include <string>

namespace kp {

class SimUnixPlatform : public SimClientPlatform {
 public:
  explicit SimUnixPlatform(std::string directory = simsock::SocketDirectory())
      : SimClientPlatform(std::move(directory)) {}

 protected:
  bool IsDeviceFile(const std::string& fileName, const Guid& interfaceClass) const override;
  std::unique_ptr<SimChannel> Connect(const std::string& path, simsock::Hello* hello) override;
};

}  // namespace kp
