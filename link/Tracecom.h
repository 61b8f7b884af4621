// The trace sink: every bulk transfer and every link remark is reported to one. The only
// sink of the application is the do-nothing defaultTrace; tests install recording sinks.
#pragma once

#include <cstdint>

namespace kp {

inline constexpr int32_t kTraceToDevice = 1;
inline constexpr int32_t kTraceFromDevice = 0;
inline constexpr int32_t kTraceTag = 63;  // the final argument of every TraceTransfer call

class TraceSet {
 public:
  constexpr TraceSet() = default;

  // direction: kTraceToDevice or kTraceFromDevice; count: bytes handed to the write, or
  // bytes received (0 when nothing arrived); bytes are valid during the call only.
  virtual void TraceTransfer(int32_t direction, int32_t count, const uint8_t* bytes,
                             uint32_t serialNumber, int32_t tag);
  // A zero-terminated remark of the link.
  virtual void TraceMessage(const char* text);
  // Reserved; nothing calls it.
  virtual void TraceOther();

  virtual ~TraceSet() = default;

 protected:
  TraceSet(const TraceSet&) = default;
  TraceSet& operator=(const TraceSet&) = default;
};

// The process-wide do-nothing sink; it lives for the whole process.
extern TraceSet defaultTrace;
// The sink that device objects are given; points at defaultTrace from the start.
extern TraceSet* traceSink;

}  // namespace kp
