// Helpers for the link tests: frames, a recording trace sink, a device with scripted replies.
#pragma once

#include "link/Crc16.h"
#include "link/KpWUsbBulkD.h"
#include "link/Tracecom.h"
#include "platform/virtual/VirtualBus.h"

#include <string>
#include <vector>

namespace kp::test {

using Bytes = std::vector<uint8_t>;

// A whole frame: length, command byte, payload, CRC.
inline Bytes Frame(uint8_t command, const Bytes& payload) {
  Bytes f;
  const size_t total = payload.size() + 5;
  f.push_back(static_cast<uint8_t>(total));
  f.push_back(static_cast<uint8_t>(total >> 8));
  f.push_back(command);
  f.insert(f.end(), payload.begin(), payload.end());
  const uint16_t crc = Crc16(f.data(), static_cast<int32_t>(f.size()), 0xFFFF);
  f.push_back(static_cast<uint8_t>(crc));
  f.push_back(static_cast<uint8_t>(crc >> 8));
  return f;
}

inline Bytes Reply(uint8_t command, const Bytes& payload) { return Frame(command | 0x80, payload); }

struct TraceCall {
  std::string kind;  // "transfer" or "message"
  int32_t direction = 0;
  int32_t count = 0;
  Bytes bytes;
  uint32_t serial = 0;
  int32_t tag = 0;
  std::string text;
};

class RecordingTrace : public TraceSet {
 public:
  void TraceTransfer(int32_t direction, int32_t count, const uint8_t* bytes, uint32_t serial,
                     int32_t tag) override {
    TraceCall c;
    c.kind = "transfer";
    c.direction = direction;
    c.count = count;
    if (count > 0) c.bytes.assign(bytes, bytes + count);
    c.serial = serial;
    c.tag = tag;
    calls.push_back(c);
  }
  void TraceMessage(const char* text) override {
    TraceCall c;
    c.kind = "message";
    c.text = text;
    calls.push_back(c);
  }
  std::vector<TraceCall> calls;
};

// A device of the programmer's class whose firmware answers each request with the next
// entry of `script` (an entry may hold several transfers, or none).
inline Firmware Scripted(std::vector<std::vector<InTransfer>> script) {
  auto shared = std::make_shared<std::vector<std::vector<InTransfer>>>(std::move(script));
  auto next = std::make_shared<size_t>(0);
  return [shared, next](std::span<const uint8_t>) {
    if (*next >= shared->size()) return std::vector<InTransfer>{};
    return (*shared)[(*next)++];
  };
}

inline VirtualDeviceConfig ProgrammerConfig() {
  VirtualDeviceConfig c;
  c.interfaceClass = kKpR50InterfaceGuid;
  return c;
}

}  // namespace kp::test
