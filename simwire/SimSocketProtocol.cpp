#include "simwire/SimSocketProtocol.h"

#include "base/ByteOrder.h"
#include "simwire/RuntimeFolder.h"

#include <cstdio>
#include <cstring>

namespace kp::simsock {

namespace {
constexpr uint8_t kMagic[8] = {'K', 'P', 'R', '5', '0', 'S', 'I', 'M'};
constexpr size_t kPipeRecord = 5;  // type, id, max packet (LE 16), interval
}  // namespace

std::vector<uint8_t> EncodeHello(const Hello& hello) {
  std::vector<uint8_t> m(kMagic, kMagic + sizeof kMagic);
  m.push_back(kVersion);
  m.push_back(hello.status);
  m.insert(m.end(), hello.deviceDescriptor.begin(), hello.deviceDescriptor.end());
  const size_t serial = std::min<size_t>(hello.serialDescriptor.size(), 255);
  m.push_back(static_cast<uint8_t>(serial));
  m.insert(m.end(), hello.serialDescriptor.begin(), hello.serialDescriptor.begin() + serial);
  const size_t pipes = std::min(hello.pipes.size(), kMaxPipes);
  m.push_back(static_cast<uint8_t>(pipes));
  for (size_t i = 0; i < pipes; ++i) {
    const PipeInformation& p = hello.pipes[i];
    m.push_back(static_cast<uint8_t>(p.pipeType));
    m.push_back(p.pipeId);
    AppendLe16(m, p.maximumPacketSize);
    m.push_back(p.interval);
  }
  return m;
}

bool DecodeHello(std::span<const uint8_t> m, Hello* hello) {
  size_t at = 0;
  auto take = [&](size_t n) -> const uint8_t* {
    if (m.size() - at < n) return nullptr;
    const uint8_t* p = m.data() + at;
    at += n;
    return p;
  };
  const uint8_t* magic = take(sizeof kMagic);
  if (magic == nullptr || std::memcmp(magic, kMagic, sizeof kMagic) != 0) return false;
  const uint8_t* head = take(2);
  if (head == nullptr || head[0] != kVersion || head[1] > kBusy) return false;
  Hello h;
  h.status = head[1];
  const uint8_t* device = take(h.deviceDescriptor.size());
  if (device == nullptr) return false;
  std::memcpy(h.deviceDescriptor.data(), device, h.deviceDescriptor.size());
  const uint8_t* serialLength = take(1);
  if (serialLength == nullptr) return false;
  const uint8_t* serial = take(*serialLength);
  if (serial == nullptr) return false;
  h.serialDescriptor.assign(serial, serial + *serialLength);
  const uint8_t* pipeCount = take(1);
  if (pipeCount == nullptr || *pipeCount > kMaxPipes) return false;
  for (uint8_t i = 0; i < *pipeCount; ++i) {
    const uint8_t* p = take(kPipeRecord);
    if (p == nullptr || p[0] > static_cast<uint8_t>(PipeType::Interrupt)) return false;
    h.pipes.push_back({static_cast<PipeType>(p[0]), p[1], GetLe16(&p[2]), p[4]});
  }
  if (at != m.size()) return false;
  *hello = std::move(h);
  return true;
}

#if !defined(_WIN32)
std::string SocketDirectory() { return UserRuntimeFolder("kpr50-sim"); }
#endif

std::string GuidText(const Guid& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(g.data1), g.data2, g.data3, g.data4[0], g.data4[1],
                g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
  return text;
}

std::string DeviceFileName(const Guid& interfaceClass, long serverPid, int index,
                           const std::string& suffix) {
  return GuidText(interfaceClass) + "." + std::to_string(serverPid) + "." + std::to_string(index) +
         suffix;
}

bool DeviceFileIsOfClass(const std::string& fileName, const Guid& interfaceClass,
                         const std::string& suffix) {
  const std::string prefix = GuidText(interfaceClass) + ".";
  return fileName.size() > prefix.size() + suffix.size() &&
         fileName.compare(0, prefix.size(), prefix) == 0 &&
         fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) == 0;
}

long DeviceFileServerPid(const std::string& fileName) {
  const size_t first = fileName.find('.');
  const size_t second = first == std::string::npos ? first : fileName.find('.', first + 1);
  if (second == std::string::npos || second == first + 1 || second - first > 10) return 0;
  long pid = 0;
  for (size_t i = first + 1; i < second; ++i) {
    if (fileName[i] < '0' || fileName[i] > '9') return 0;
    pid = pid * 10 + (fileName[i] - '0');
  }
  return pid;
}

std::string SocketName(const Guid& interfaceClass, long serverPid, int index) {
  return DeviceFileName(interfaceClass, serverPid, index, ".sock");
}

bool SocketNameIsOfClass(const std::string& fileName, const Guid& interfaceClass) {
  return DeviceFileIsOfClass(fileName, interfaceClass, ".sock");
}

}  // namespace kp::simsock
