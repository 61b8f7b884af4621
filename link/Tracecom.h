// The trace sink: every bulk transfer, every link remark and every opened device is reported
// to one. Unless a program is asked for a trace file (trace/), its sink is the do-nothing
// defaultTrace; tests install recording sinks.
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
  // A zero-terminated remark of the link: Windows-1250 text, or UTF-8 (the link's own).
  virtual void TraceMessage(const char* text);
  // Reserved; nothing calls it.
  virtual void TraceOther();

  virtual ~TraceSet() = default;

  // A device was opened: its zero-terminated path, the serial number the link read, and the
  // bulk pipes its transfers go through. After the slots above, which stay where they are.
  virtual void TraceLink(const char* devicePath, uint32_t serialNumber, uint8_t pipeOut,
                         uint8_t pipeIn);

 protected:
  TraceSet(const TraceSet&) = default;
  TraceSet& operator=(const TraceSet&) = default;
};

// The process-wide do-nothing sink; it lives for the whole process.
extern TraceSet defaultTrace;
// The sink that device objects are given; points at defaultTrace from the start.
extern TraceSet* traceSink;

}  // namespace kp
