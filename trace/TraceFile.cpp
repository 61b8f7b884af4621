#include "trace/TraceFile.h"

#include "trace/PcapTrace.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kp {

namespace {

std::FILE* OpenForWriting(const std::string& path) {
#ifdef _WIN32
  // A path of char8_t says UTF-8 to Windows too; N: not inherited by child processes.
  const std::filesystem::path name(std::u8string(path.begin(), path.end()));
  return _wfopen(name.c_str(), L"wbN");
#else
  // e: closed on exec.
  return std::fopen(path.c_str(), "wbe");
#endif
}

}  // namespace

TraceFile::~TraceFile() {
  sink_.reset();
  if (file_ != nullptr) std::fclose(file_);
}

std::unique_ptr<TraceFile> TraceFile::Open(const std::string& path, TraceFormat format,
                                           const TraceHeader& header, TraceClock clock,
                                           std::string* error) {
  std::unique_ptr<TraceFile> trace(new TraceFile());
  if (path.empty()) {
    *error = std::strerror(ENOENT);
    return nullptr;
  }
  trace->file_ = OpenForWriting(path);
  if (trace->file_ == nullptr) {
    *error = std::strerror(errno);
    return nullptr;
  }
  TraceFile* self = trace.get();
  TraceWrite write = [self](std::string_view bytes) { return self->Write(bytes); };
  if (format == TraceFormat::Pcap) {
    trace->sink_ = std::make_unique<PcapTrace>(std::move(write), std::move(clock));
  } else {
    trace->sink_ = std::make_unique<TextTrace>(std::move(write), std::move(clock), header);
  }
  // A header that does not reach the file (a full disk, /dev/full) fails the start too.
  if (!trace->error_.empty()) {
    *error = trace->error_;
    return nullptr;
  }
  return trace;
}

bool TraceFile::Write(std::string_view bytes) {
  errno = 0;
  const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), file_);
  if (written == bytes.size() && std::fflush(file_) == 0) return true;
  if (error_.empty()) error_ = std::strerror(errno != 0 ? errno : EIO);
  // A later write starts afresh instead of after a half-written line.
  std::clearerr(file_);
  return false;
}

std::string TraceFile::Error() const { return error_; }

ScopedTraceSink::ScopedTraceSink(TraceSet* sink) : earlier_(traceSink) {
  if (sink != nullptr) traceSink = sink;
}

ScopedTraceSink::~ScopedTraceSink() { traceSink = earlier_; }

}  // namespace kp
