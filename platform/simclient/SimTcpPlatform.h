// Virtual programmers served by kpr50-sim over TCP on 127.0.0.1, the transport for Windows
// (see simwire/SimTcpProtocol.h for the announce files, the framing and the tokens). The
// device path is the announce file's path. Open reads that file (a small regular file of
// ours, nothing else), connects to 127.0.0.1 on its port and never to any other address,
// presents the client token and checks the server's; every wait is bounded as in
// SimUnixPlatform. A malformed or foreign announce file, or a peer that is not the
// simulator, only makes the open fail. The announce file of a simulator that has ended (the
// pid in its name is gone) is not listed: a refused connect on Windows takes long enough to
// stall every search for a programmer.
#pragma once

#include "platform/simclient/SimClientPlatform.h"
#include "simwire/SimTcpProtocol.h"

#include <string>

namespace kp {

class SimTcpPlatform : public SimClientPlatform {
 public:
  explicit SimTcpPlatform(std::string directory = simtcp::AnnounceDirectory());

 protected:
  bool IsDeviceFile(const std::string& fileName, const Guid& interfaceClass) const override;
  std::unique_ptr<SimChannel> Connect(const std::string& path, simsock::Hello* hello) override;
};

}  // namespace kp
