// What kpnox-cli writes on standard output for each card it worked on: one record, CSV under
// the header department,index,uid,result,time or one JSON object per line. Each record is
// flushed at once, so that a pipeline sees the card as soon as it is done.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace kp {

struct CardRecord {
  std::optional<int32_t> department;  // none: not known (erase, a refused read)
  std::optional<int32_t> index;
  std::string uid;     // 16 upper-case hexadecimal digits; empty when no card answered
  std::string result;  // ResultWord of the card operation's result code
  std::string time;    // UTC, 2026-12-07T17:30:05Z
};

// "ok", or one word for each refusal: no-card, other-type, empty, holds-data, uid-changed,
// prepare-failed, write-failed, erase-failed, read-failed; "error" for anything else.
const char* ResultWord(int32_t resultCode);

// The present time as records carry it.
std::string UtcTimestamp();

class RecordWriter {
 public:
  RecordWriter(std::ostream& out, bool json) : out_(out), json_(json) {}
  // The CSV header; nothing for JSON Lines.
  void Begin();
  void Write(const CardRecord& record);

 private:
  std::ostream& out_;
  bool json_;
};

}  // namespace kp
