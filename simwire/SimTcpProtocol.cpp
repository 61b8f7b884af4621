#include "simwire/SimTcpProtocol.h"

#include "crypto/SecureWipe.h"
#include "base/ByteOrder.h"
#include "base/NumberText.h"
#include "simwire/RuntimeFolder.h"
#include "simwire/SimSocketProtocol.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kp::simtcp {

namespace {

constexpr uint8_t kClientMagic[8] = {'K', 'P', 'R', '5', '0', 'C', 'L', 'I'};
constexpr std::string_view kFirstLine = "kpr50-sim tcp 1";
constexpr std::string_view kLoopback = "127.0.0.1";

std::string Hex(const Token& token) { return HexText(token, HexCase::Lower); }

bool ParseHex(std::string_view text, Token* token) {
  if (text.size() != 2 * kTokenSize) return false;
  for (size_t i = 0; i < kTokenSize; ++i) {
    const int high = HexDigitValue(text[2 * i]);
    const int low = HexDigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*token)[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

// Takes "<key> <value>\n" off the front of `text`; the value, or false.
bool TakeLine(std::string_view* text, std::string_view key, std::string_view* value) {
  const size_t end = text->find('\n');
  if (end == std::string_view::npos) return false;
  const std::string_view line = text->substr(0, end);
  text->remove_prefix(end + 1);
  if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 ||
      line[key.size()] != ' ') {
    return false;
  }
  *value = line.substr(key.size() + 1);
  return true;
}

}  // namespace

std::string EncodeAnnounce(const Announce& a) {
  return std::string(kFirstLine) + "\naddress " + std::string(kLoopback) + "\nport " +
         std::to_string(a.port) + "\nclient-token " + Hex(a.clientToken) + "\nserver-token " +
         Hex(a.serverToken) + "\n";
}

bool DecodeAnnounce(std::string_view text, Announce* announce) {
  if (text.size() > kMaxAnnounceSize) return false;
  if (text.substr(0, kFirstLine.size() + 1) != std::string(kFirstLine) + "\n") return false;
  text.remove_prefix(kFirstLine.size() + 1);
  std::string_view address, port, client, server;
  if (!TakeLine(&text, "address", &address) || !TakeLine(&text, "port", &port) ||
      !TakeLine(&text, "client-token", &client) || !TakeLine(&text, "server-token", &server) ||
      !text.empty()) {
    return false;
  }
  // Only the loopback interface: the application never connects anywhere else.
  if (address != kLoopback) return false;
  const std::optional<uint16_t> value = ParseNumber<uint16_t>(port);
  if (!value || port[0] == '0') return false;
  Announce a;
  a.port = *value;
  if (!ParseHex(client, &a.clientToken) || !ParseHex(server, &a.serverToken)) return false;
  *announce = a;
  return true;
}

std::string AnnounceDirectory() {
#if defined(_WIN32)
  return UserRuntimeFolder("kpr50-sim");
#else
  return UserRuntimeFolder("kpr50-sim-tcp");  // beside the Unix sockets' folder, not in it
#endif
}

std::string AnnounceName(const Guid& interfaceClass, long serverPid, int index) {
  return simsock::DeviceFileName(interfaceClass, serverPid, index, ".port");
}

bool AnnounceNameIsOfClass(const std::string& fileName, const Guid& interfaceClass) {
  return simsock::DeviceFileIsOfClass(fileName, interfaceClass, ".port");
}

std::vector<uint8_t> Frame(std::span<const uint8_t> message) {
  const size_t n = std::min(message.size(), simsock::kMaxMessage);
  // Sized once: GCC 12 at -O3 misreads an insert after a two-byte start as out of bounds.
  std::vector<uint8_t> frame(kFrameHeader + n);
  PutLe16(frame.data(), static_cast<uint16_t>(n));
  std::copy_n(message.begin(), n, frame.begin() + kFrameHeader);
  return frame;
}

void FrameReader::Append(std::span<const uint8_t> bytes) {
  // Taken messages are dropped from the front now and then, not on every take.
  if (start_ > 0 && start_ >= bytes_.size() / 2) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

size_t FrameReader::AnnouncedLength() const { return GetLe16(bytes_.data() + start_); }

bool FrameReader::Ready() const {
  if (Buffered() < kFrameHeader) return false;
  const size_t length = AnnouncedLength();
  return length > simsock::kMaxMessage || Buffered() >= kFrameHeader + length;
}

FrameReader::Next FrameReader::Take(std::vector<uint8_t>* message) {
  if (!Ready()) return Next::None;
  const size_t length = AnnouncedLength();
  if (length > simsock::kMaxMessage) return Next::TooLarge;
  const auto first = bytes_.begin() + static_cast<std::ptrdiff_t>(start_ + kFrameHeader);
  message->assign(first, first + static_cast<std::ptrdiff_t>(length));
  start_ += kFrameHeader + length;
  return Next::Message;
}

std::vector<uint8_t> EncodeClientHello(const Token& clientToken) {
  std::vector<uint8_t> m(kClientMagic, kClientMagic + sizeof kClientMagic);
  m.push_back(simsock::kVersion);
  m.insert(m.end(), clientToken.begin(), clientToken.end());
  return m;
}

bool DecodeClientHello(std::span<const uint8_t> m, Token* clientToken) {
  if (m.size() != sizeof kClientMagic + 1 + kTokenSize ||
      std::memcmp(m.data(), kClientMagic, sizeof kClientMagic) != 0 ||
      m[sizeof kClientMagic] != simsock::kVersion) {
    return false;
  }
  std::memcpy(clientToken->data(), m.data() + sizeof kClientMagic + 1, kTokenSize);
  return true;
}

bool SameToken(std::span<const uint8_t> a, const Token& b) {
  return a.size() == b.size() && SameBytes(a.data(), b.data(), b.size());
}

}  // namespace kp::simtcp
