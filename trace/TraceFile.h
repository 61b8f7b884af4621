// A program's trace file (--trace FILE [--trace-format text|pcap]): opened, emptied and given
// its header at the start, so that a file that cannot be written is told before anything is
// done; then every line or packet is flushed as it is written, so that a crash or a kill
// keeps what was traced.
#pragma once

#include "link/Tracecom.h"
#include "trace/TraceText.h"

#include <cstdio>
#include <memory>
#include <string>

namespace kp {

enum class TraceFormat { Text, Pcap };

class TraceFile {
 public:
  ~TraceFile();
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  // Opens (creating or emptying) the file at `path` (UTF-8 on every system) and writes the
  // format's header; nullptr, with the system's reason in `error`, when either fails.
  static std::unique_ptr<TraceFile> Open(const std::string& path, TraceFormat format,
                                         const TraceHeader& header, TraceClock clock,
                                         std::string* error);

  // The sink to give the link.
  TraceSet& Sink() { return *sink_; }
  // The reason the first write after the start failed; empty while all went in.
  std::string Error() const;

 private:
  TraceFile() = default;
  bool Write(std::string_view bytes);

  std::FILE* file_ = nullptr;
  std::unique_ptr<TraceSet> sink_;
  std::string error_;
};

// Makes `sink` the process's trace sink (traceSink) for as long as it lives, and puts the
// earlier one back after; a null sink leaves traceSink as it is. Device objects take the sink
// when they are made: this must come before them and go after them.
class ScopedTraceSink {
 public:
  explicit ScopedTraceSink(TraceSet* sink);
  ~ScopedTraceSink();
  ScopedTraceSink(const ScopedTraceSink&) = delete;
  ScopedTraceSink& operator=(const ScopedTraceSink&) = delete;

 private:
  TraceSet* earlier_;
};

}  // namespace kp
