#include "link/Tracecom.h"

namespace kp {

void TraceSet::TraceTransfer(int32_t, int32_t, const uint8_t*, uint32_t, int32_t) {}
void TraceSet::TraceMessage(const char*) {}
void TraceSet::TraceOther() {}
void TraceSet::TraceLink(const char*, uint32_t, uint8_t, uint8_t) {}

// Constant-initialised: ready before any other unit's start-up code runs.
constinit TraceSet defaultTrace;
constinit TraceSet* traceSink = &defaultTrace;

}  // namespace kp
