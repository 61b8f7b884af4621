// A KP-R50 on a VirtualBus whose firmware is a script: each request frame is parsed and
// answered with the next reply queued for its command, or not at all when none is queued.
#pragma once

#include "link/Crc16.h"
#include "../link/LinkTestSupport.h"
#include "platform/virtual/VirtualBus.h"
#include "programmer/KpR50.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kp::test {

using Bytes = std::vector<uint8_t>;

// A reply frame: length, command OR 0x80, payload, CRC-16 low byte first.
inline Bytes ReplyFrame(uint8_t command, const Bytes& payload) { return Reply(command, payload); }

struct Request {
  uint8_t command = 0;
  Bytes payload;
};

// A request frame as the programmer checks it: length field and CRC must agree.
inline std::optional<Request> ParseRequest(std::span<const uint8_t> frame) {
  if (frame.size() < kFrameOverhead) return std::nullopt;
  if (frame[0] + frame[1] * 256u != frame.size()) return std::nullopt;
  if (Crc16(frame.data(), static_cast<int32_t>(frame.size()), kCrc16Initial) != 0) {
    return std::nullopt;
  }
  return Request{frame[2], Bytes(frame.begin() + 3, frame.end() - 2)};
}

inline Bytes StatusPayload(uint16_t number, uint16_t model, uint16_t firmware, uint16_t word) {
  Bytes payload;
  for (uint16_t value : {number, model, firmware, word}) {
    payload.push_back(static_cast<uint8_t>(value));
    payload.push_back(static_cast<uint8_t>(value >> 8));
  }
  return payload;
}

inline const Bytes kUid{0x04, 0x51, 0x3C, 0x92, 0x6A, 0x1F, 0x80, 0x07};
inline const Bytes kOtherUid{0x04, 0x51, 0x3C, 0x92, 0x6A, 0x1F, 0x80, 0x08};

// Card-info reply: UID, type and content state in byte 8, two further bytes, five unread.
inline Bytes CardInfoPayload(uint8_t typeAndContent, const Bytes& uid = kUid,
                             uint8_t further1 = 0x21, uint8_t further2 = 0x42) {
  Bytes payload = uid;
  payload.insert(payload.end(), {typeAndContent, further1, further2, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5});
  return payload;
}

inline constexpr uint8_t kDesfireEmpty = 0x10;     // type 4, content 0
inline constexpr uint8_t kDesfireWithData = 0x11;  // type 4, content 1
inline constexpr uint8_t kInPipe = 0x81;

// Names table rows after their `name` field.
struct CaseName {
  template <class Row>
  std::string operator()(const testing::TestParamInfo<Row>& row) const {
    return row.param.name;
  }
};

class ScriptedDevice {
 public:
  ScriptedDevice() : programmer(bus, &kKpR50InterfaceGuid, traceSink) {
    device = bus.Plug(VirtualDeviceConfig{.interfaceClass = kKpR50InterfaceGuid},
                      [this](std::span<const uint8_t> out) { return Serve(out); });
    if (!programmer.Link()) throw std::runtime_error("the scripted programmer did not link");
  }
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  // The next request with `command` is answered with `payload`.
  void Answer(uint8_t command, Bytes payload) { script_[command].push_back(std::move(payload)); }

  Bytes Commands() const {
    Bytes commands;
    for (const Request& r : requests) commands.push_back(r.command);
    return commands;
  }
  // The payload of the only request with `command`.
  Bytes PayloadOf(uint8_t command) const {
    std::optional<Bytes> found;
    for (const Request& r : requests) {
      if (r.command != command) continue;
      if (found) throw std::runtime_error("the command was sent more than once");
      found = r.payload;
    }
    if (!found) throw std::runtime_error("the command was not sent");
    return *found;
  }

  VirtualBus bus;
  VirtualBus::DeviceId device = 0;
  KpR50 programmer;
  std::vector<Request> requests;  // every request the device received
  int badRequests = 0;            // frames with a wrong length field or CRC

 private:
  std::vector<InTransfer> Serve(std::span<const uint8_t> out) {
    const std::optional<Request> request = ParseRequest(out);
    if (!request) {
      ++badRequests;
      return {};
    }
    requests.push_back(*request);
    std::deque<Bytes>& queue = script_[request->command];
    if (queue.empty()) return {};  // silence
    InTransfer reply{ReplyFrame(request->command, queue.front()), 0};
    queue.pop_front();
    return {reply};
  }

  std::map<uint8_t, std::deque<Bytes>> script_;
};

}  // namespace kp::test
