// The announce files of the TCP transport, as the client reads them: a file the server left
// in the user's folder for each programmer, and whether the server that wrote it still runs.
#pragma once

#include "simwire/SimTcpProtocol.h"

#include <string>

namespace kp {

// Whether process `pid` has surely ended (false when it runs or that cannot be told).
bool ProcessHasEnded(long pid);

// The announce file at `path` when it is one we may trust: a regular file (no link, no pipe)
// of at most simtcp::kMaxAnnounceSize bytes; on Unix also owned by us and hidden from others.
bool ReadAnnounceFile(const std::string& path, simtcp::Announce* announce);

}  // namespace kp
