// How kpr50-sim serves virtual programmers to SimUnixPlatform.
//
// Each virtual programmer is one AF_UNIX SOCK_SEQPACKET socket in SocketDirectory(), named
// "<interface GUID>.<server pid>.<n>.sock", so that a listing finds the devices of a class
// without talking to them. A client connects and receives one hello message: the magic, the
// protocol version, a status (ready, or busy when another client holds the device, after
// which the server closes), the device descriptor, the serial-number string descriptor and
// the pipes of alternate setting 0. After that every message from the client is one OUT
// transfer and every message from the server one IN transfer.
#pragma once

#include "base/UsbTypes.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kp::simsock {

inline constexpr uint8_t kVersion = 1;
inline constexpr uint8_t kReady = 0;
inline constexpr uint8_t kBusy = 1;
inline constexpr size_t kMaxPipes = 30;
// Largest message either side sends; a bulk transfer of the programmer is at most 1032 bytes.
inline constexpr size_t kMaxMessage = 4096;
// How long a client waits for the hello after connecting.
inline constexpr int kHelloTimeoutMs = 2000;

struct Hello {
  uint8_t status = kReady;
  std::array<uint8_t, 18> deviceDescriptor{};
  std::vector<uint8_t> serialDescriptor;  // the whole string descriptor, header included
  std::vector<PipeInformation> pipes;
};

std::vector<uint8_t> EncodeHello(const Hello& hello);
// Strict: every length must agree with the message; false on anything malformed.
bool DecodeHello(std::span<const uint8_t> message, Hello* hello);

#if !defined(_WIN32)
// "$XDG_RUNTIME_DIR/kpr50-sim", or "/tmp/kpr50-sim-<uid>" when that variable is unset or empty.
std::string SocketDirectory();
#endif

// "5B6638C7-B7EA-4BF3-8A83-3EAF326C4F73": upper-case, no braces.
std::string GuidText(const Guid& guid);
// "<GUID>.<pid>.<n><suffix>": how a simulator names the file of each device it serves.
std::string DeviceFileName(const Guid& interfaceClass, long serverPid, int index,
                           const std::string& suffix);
bool DeviceFileIsOfClass(const std::string& fileName, const Guid& interfaceClass,
                         const std::string& suffix);
// The server's pid in such a name; 0 when the name has none.
long DeviceFileServerPid(const std::string& fileName);
std::string SocketName(const Guid& interfaceClass, long serverPid, int index);
bool SocketNameIsOfClass(const std::string& fileName, const Guid& interfaceClass);

}  // namespace kp::simsock
