// How kpr50-sim serves virtual programmers over TCP on the loopback interface, for systems
// without AF_UNIX sequenced-packet sockets (Windows, and Wine). Names to know:
//
//   kpr50-sim --transport=tcp|unix   (default: unix on Linux, tcp on Windows)
//   announce folder   Windows: %LOCALAPPDATA%\kpr50-sim
//                     Linux:   $XDG_RUNTIME_DIR/kpr50-sim-tcp, else /tmp/kpr50-sim-tcp-<uid>
//
// Each programmer listens on its own ephemeral port bound to 127.0.0.1 and announces itself
// with a file "<interface GUID>.<server pid>.<n>.port" in the announce folder, readable only
// by its user. The file is five lines of ASCII, each ending in "\n", nothing else:
//
//   kpr50-sim tcp 1
//   address 127.0.0.1
//   port 40123
//   client-token <64 hexadecimal digits>
//   server-token <64 hexadecimal digits>
//
// Both tokens are 32 random bytes, fresh for every listening socket. Any other local user can
// reach a loopback port, so the client proves it read the file by sending the client token,
// and the server proves the same with the server token (a process that took the port of a
// dead simulator cannot pose as a programmer).
//
// The connection is a stream, so every message travels as a frame: its length in two bytes,
// little-endian, then the message. The client sends its hello first (magic "KPR50CLI",
// version, client token). The server closes a connection whose hello does not come in time
// or is wrong, without a word; otherwise it answers with one message: the server token
// followed by the hello of SimSocketProtocol.h (ready or busy). From then on, as over the
// Unix socket, one frame from the client is one OUT transfer and one frame from the server
// one IN transfer. An empty frame from the client means it is leaving.
#pragma once

#include "base/UsbTypes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kp::simtcp {

inline constexpr size_t kTokenSize = 32;
using Token = std::array<uint8_t, kTokenSize>;

// What an announce file says. The address is always 127.0.0.1: nothing else is accepted.
struct Announce {
  uint16_t port = 0;
  Token clientToken{};
  Token serverToken{};
};

// An announce file is never larger; a larger one is not ours.
inline constexpr size_t kMaxAnnounceSize = 256;

std::string EncodeAnnounce(const Announce& announce);
// Strict: the exact five lines, port 1 to 65535, address 127.0.0.1; false otherwise.
bool DecodeAnnounce(std::string_view text, Announce* announce);

// The announce folder for this user (see the top of this file). UTF-8.
std::string AnnounceDirectory();
// "<GUID>.<pid>.<n>.port".
std::string AnnounceName(const Guid& interfaceClass, long serverPid, int index);
bool AnnounceNameIsOfClass(const std::string& fileName, const Guid& interfaceClass);

// Frames: two-byte little-endian length, then the message (at most simsock::kMaxMessage).
inline constexpr size_t kFrameHeader = 2;
std::vector<uint8_t> Frame(std::span<const uint8_t> message);

// Collects the bytes of a stream and takes whole frames out of it.
class FrameReader {
 public:
  enum class Next { None, Message, TooLarge };

  void Append(std::span<const uint8_t> bytes);
  // The next whole message, or None while it is incomplete. TooLarge when the frame announces
  // more than simsock::kMaxMessage: the stream cannot be trusted after that.
  Next Take(std::vector<uint8_t>* message);
  // True when a whole message (or a too-large header) is waiting.
  bool Ready() const;
  size_t Buffered() const { return bytes_.size() - start_; }

 private:
  // The length the first buffered frame announces; needs kFrameHeader bytes buffered.
  size_t AnnouncedLength() const;

  std::vector<uint8_t> bytes_;
  size_t start_ = 0;
};

// The client's hello: magic, version, client token.
std::vector<uint8_t> EncodeClientHello(const Token& clientToken);
bool DecodeClientHello(std::span<const uint8_t> message, Token* clientToken);

// Compares in constant time, so that timing tells nothing about a guessed token.
bool SameToken(std::span<const uint8_t> a, const Token& b);

}  // namespace kp::simtcp
