#include "cli/Records.h"

#include "programmer/KpR50.h"

#include <chrono>
#include <ctime>

namespace kp {

const char* ResultWord(int32_t resultCode) {
  static constexpr const char* kWords[] = {
      "ok",          "no-card",        "other-type",   "empty",        "holds-data",
      "uid-changed", "prepare-failed", "write-failed", "erase-failed", "read-failed",
  };
  if (resultCode < kCardOk || resultCode > kCardReadFailed) return "error";
  return kWords[resultCode];
}

std::string UtcTimestamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

void RecordWriter::Begin() {
  if (json_) return;
  out_ << "department,index,uid,result,time\n";
  out_.flush();
}

void RecordWriter::Write(const CardRecord& r) {
  // The fields are digits, hexadecimal digits, fixed words and a time stamp: nothing in them
  // needs quoting or escaping in either form.
  auto number = [](const std::optional<int32_t>& n, const char* none) {
    return n ? std::to_string(*n) : std::string(none);
  };
  if (json_) {
    out_ << "{\"department\":" << number(r.department, "null")
         << ",\"index\":" << number(r.index, "null")
         << ",\"uid\":" << (r.uid.empty() ? std::string("null") : "\"" + r.uid + "\"")
         << ",\"result\":\"" << r.result << "\",\"time\":\"" << r.time << "\"}\n";
  } else {
    out_ << number(r.department, "") << ',' << number(r.index, "") << ',' << r.uid << ','
         << r.result << ',' << r.time << '\n';
  }
  out_.flush();
}

}  // namespace kp
