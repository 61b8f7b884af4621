// What kpnox-cli writes for each card it worked on: one record, CSV under the header
// department,index,uid,result,time,line or one JSON object per line. Each record is written,
// flushed (and, in a file, synced to disk) before the next card is asked for, so that a card
// in hand is never without its record; a record that cannot be written stops the command.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kp {

struct CardRecord {
  std::optional<int32_t> department;  // none: not known (erase, a refused read)
  std::optional<int32_t> index;
  std::string uid;     // 16 upper-case hexadecimal digits; empty when no card answered
  std::string result;  // ResultWord of the card operation's result code, or one of the below
  std::string time;    // UTC, 2026-12-07T17:30:05Z
  int line = 0;        // the list's line of the row; 0 when the card came from no list line
};

// Result words of a card whose outcome the programmer did not answer for: the card was then
// read back, where it could be, and holds none of the row (blank), is only prepared, or could
// not be read at all (unknown).
inline constexpr const char* kResultUnknown = "unknown";
inline constexpr const char* kResultPrepared = "prepared";
inline constexpr const char* kResultBlank = "blank";

// "ok", or one word for each refusal: no-card, other-type, empty, holds-data, uid-changed,
// prepare-failed, write-failed, erase-failed, read-failed; "error" for anything else.
const char* ResultWord(int32_t resultCode);

// The present time as records carry it.
std::string UtcTimestamp();

class RecordWriter {
 public:
  RecordWriter(std::ostream& out, bool json) : out_(out), json_(json) {}
  ~RecordWriter();
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Records go to the file at `path` (UTF-8) instead of `out`: appended, and synced to disk
  // after each record. False, with Error() saying why, when it cannot be opened.
  bool OpenFile(const std::string& path);
  // The CSV header (nothing for JSON Lines, nor for a file that already holds records).
  // False on a write error.
  bool Begin();
  // One record, flushed (and synced); false on any write error, Error() saying why.
  bool Write(const CardRecord& record);
  // The system's reason for the last failure, e.g. "No space left on device".
  const std::string& Error() const { return error_; }

 private:
  // Writes `text` whole to the destination (and syncs a file); false with error_ set.
  bool Put(const std::string& text);
  // std::cout is written through descriptor 1, which reports why a write failed.
  void UseStandardOutput();

  std::ostream& out_;
  bool json_;
  bool begun_ = false;
  std::string error_;
  struct File;
  File* file_ = nullptr;
};

// Every record of a records file written here (CSV under its header, or JSON Lines); nullopt,
// with `error` naming the broken line, when it is not one. A last line without its line end
// is broken too: that record was cut off.
std::optional<std::vector<CardRecord>> ParseRecords(std::string_view text, std::string* error);

// The list lines of the rows that have an `ok` record in a records file (CSV with its header,
// or JSON Lines); nullopt, with `error` saying which line is broken, when it is not one.
std::optional<std::set<int>> OkLinesOfRecords(std::string_view text, std::string* error);

}  // namespace kp
