// What the trace tests share: frames made as the link makes them, a sink that hands every call
// to several, and a clock the test sets.
#pragma once

#include "link/KpFrame.h"
#include "link/Tracecom.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kp::test {

using Bytes = std::vector<uint8_t>;

inline Bytes FrameOf(uint8_t command, const Bytes& payload) {
  return EncodeFrame(command, payload);
}

inline std::string AsString(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

// Every call to each of `sinks`, in order.
class TeeTrace : public TraceSet {
 public:
  explicit TeeTrace(std::vector<TraceSet*> sinks) : sinks_(std::move(sinks)) {}
  void TraceTransfer(int32_t direction, int32_t count, const uint8_t* bytes, uint32_t serial,
                     int32_t tag) override {
    for (TraceSet* s : sinks_) s->TraceTransfer(direction, count, bytes, serial, tag);
  }
  void TraceMessage(const char* text) override {
    for (TraceSet* s : sinks_) s->TraceMessage(text);
  }
  void TraceLink(const char* path, uint32_t serial, uint8_t pipeOut, uint8_t pipeIn) override {
    for (TraceSet* s : sinks_) s->TraceLink(path, serial, pipeOut, pipeIn);
  }

 private:
  std::vector<TraceSet*> sinks_;
};

}  // namespace kp::test
