// The announce files of the TCP transport: a file the server leaves in the user's folder for
// each programmer, which the client reads, and whether the server that wrote it still runs.
#pragma once

#include "simwire/SimTcpProtocol.h"

#include <string>

namespace kp {

// Whether process `pid` has surely ended (false when it runs or that cannot be told).
bool ProcessHasEnded(long pid);

// The announce file at `path` when it is one we may trust: a regular file (no link, no pipe)
// of at most simtcp::kMaxAnnounceSize bytes; on Unix also owned by us and hidden from others.
bool ReadAnnounceFile(const std::string& path, simtcp::Announce* announce);

// The server's side. The announce folder made private (see simtcp::AnnounceDirectory); false,
// with the reason in *error, when there is none or it cannot be.
bool EnsureAnnounceFolder(const std::string& folder, std::string* error);
// Writes the file whole or not at all (a temporary file renamed over it): a client never
// reads half of one. Readable by us only.
bool WriteAnnounceFile(const std::string& path, const simtcp::Announce& announce,
                       std::string* error);
// Removes the file only while it still says what `announce` says: ours, not a successor's.
void RemoveAnnounceFile(const std::string& path, const simtcp::Announce& announce);

}  // namespace kp
