#include "cli/Records.h"

#include "base/NumberText.h"
#include "programmer/KpR50.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

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

namespace {

constexpr std::string_view kCsvHeader = "department,index,uid,result,time,line";

// The descriptor calls the writer needs, under the names each system gives them: std::ostream
// would hide the system's reason for a failed write.
#ifdef _WIN32
int OpenAppending(const std::filesystem::path& name) {
  return _wopen(name.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
}
int WriteSome(int fd, const char* data, size_t size) {
  return _write(fd, data, static_cast<unsigned>(size));
}
int SyncToDisk(int fd) { return _commit(fd); }
void CloseFile(int fd) { _close(fd); }
// A regular file, and how much it holds.
bool RegularFile(int fd, int64_t* size) {
  struct _stat64 st {};
  if (_fstat64(fd, &st) != 0) return false;
  *size = st.st_size;
  return (st.st_mode & _S_IFMT) == _S_IFREG;
}
#else
int OpenAppending(const std::filesystem::path& name) {
  return open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}
ssize_t WriteSome(int fd, const char* data, size_t size) { return write(fd, data, size); }
int SyncToDisk(int fd) { return fsync(fd); }
void CloseFile(int fd) { close(fd); }
bool RegularFile(int fd, int64_t* size) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return false;
  *size = st.st_size;
  return S_ISREG(st.st_mode);
}
#endif

// A file that already holds records takes more only in its own form and after a whole record:
// a mixed or glued file could not be read back for --resume. Empty when all is well.
std::string CheckHeldRecords(const std::filesystem::path& name, bool json) {
  std::ifstream in(name, std::ios::binary);
  if (!in) return {};  // written to but not readable: nothing to compare
  std::string first;
  std::getline(in, first);
  if (!first.empty() && first.back() == '\r') first.pop_back();
  in.clear();
  in.seekg(-1, std::ios::end);
  char last = 0;
  if (in.get(last) && last != '\n') {
    return "ostatni rekord w pliku niepełny / the file's last record is cut off";
  }
  const bool jsonFile = !first.empty() && first.front() == '{';
  if (json ? !jsonFile : first != kCsvHeader) {
    return "plik ma rekordy innej postaci / the file holds records of another form";
  }
  return {};
}

}  // namespace

struct RecordWriter::File {
  int fd = -1;
  bool owned = false;  // opened here: closed here
  bool sync = false;   // a regular file: synced to disk after each record
  bool held = false;   // held records before: no second CSV header
};

RecordWriter::~RecordWriter() {
  if (file_ != nullptr && file_->owned) CloseFile(file_->fd);
  delete file_;
}

bool RecordWriter::OpenFile(const std::string& path) {
  // The path is UTF-8 on every system; a path of char8_t says so to Windows too.
  const std::filesystem::path name(std::u8string(path.begin(), path.end()));
  const int fd = OpenAppending(name);
  if (fd < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  int64_t size = 0;
  const bool regular = RegularFile(fd, &size);
  if (regular && size > 0) {
    if (std::string wrong = CheckHeldRecords(name, json_); !wrong.empty()) {
      CloseFile(fd);
      error_ = std::move(wrong);
      return false;
    }
  }
  delete file_;
  file_ = new File{fd, true, regular, regular && size > 0};
  return true;
}

void RecordWriter::UseStandardOutput() {
  if (file_ != nullptr || &out_ != &std::cout) return;
  // Standard output through its descriptor, where the system's reason for a failure is seen;
  // what was put into std::cout before goes first.
  std::cout.flush();
  // Its CSV header comes always: what it holds already may be messages of standard error.
  int64_t size = 0;
  file_ = new File{1, false, RegularFile(1, &size), false};
}

bool RecordWriter::Put(const std::string& text) {
  if (!error_.empty()) return false;  // one lost record stops the command: nothing after it
  UseStandardOutput();
  if (file_ == nullptr) {
    out_ << text;
    out_.flush();
    if (!out_) error_ = "strumień wyjścia zawiódł / the output stream failed";
    return error_.empty();
  }
  // One write for the whole record where the system allows it; the rest of a short write, or
  // of one cut by a signal, follows.
  size_t done = 0;
  while (done < text.size()) {
    const auto n = WriteSome(file_->fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? std::strerror(errno) : std::strerror(EIO);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (file_->sync && SyncToDisk(file_->fd) != 0) {
    error_ = std::strerror(errno);
    return false;
  }
  return true;
}

bool RecordWriter::Begin() {
  if (begun_) return error_.empty();
  begun_ = true;
  if (json_) return true;
  UseStandardOutput();
  if (file_ != nullptr && file_->held) return true;  // a file already holding records
  return Put(std::string(kCsvHeader) + '\n');
}

bool RecordWriter::Write(const CardRecord& r) {
  // The fields are digits, hexadecimal digits, fixed words and a time stamp: nothing in them
  // needs quoting or escaping in either form.
  auto number = [](const std::optional<int32_t>& n, const char* none) {
    return n ? std::to_string(*n) : std::string(none);
  };
  std::string text;
  if (json_) {
    text = "{\"department\":" + number(r.department, "null") +
           ",\"index\":" + number(r.index, "null") +
           ",\"uid\":" + (r.uid.empty() ? std::string("null") : "\"" + r.uid + "\"") +
           ",\"result\":\"" + r.result + "\",\"time\":\"" + r.time +
           "\",\"line\":" + (r.line > 0 ? std::to_string(r.line) : std::string("null")) + "}\n";
  } else {
    text = number(r.department, "") + ',' + number(r.index, "") + ',' + r.uid + ',' + r.result +
           ',' + r.time + ',' + std::to_string(r.line) + '\n';
  }
  return Put(text);
}

namespace {

// One value of a record: the text of a string, or a number or null as written.
struct Value {
  bool string = false;
  std::string text;
};
using Fields = std::map<std::string, Value, std::less<>>;

// A JSON string at `at` (on its opening quote); the records hold no escapes but a reader may
// meet the simple ones.
std::optional<std::string> JsonString(std::string_view line, size_t& at) {
  std::string text;
  for (++at; at < line.size(); ++at) {
    char c = line[at];
    if (c == '"') {
      ++at;
      return text;
    }
    if (c == '\\') {
      if (++at >= line.size()) return std::nullopt;
      c = line[at];
      if (c != '"' && c != '\\' && c != '/') return std::nullopt;
    }
    text += c;
  }
  return std::nullopt;
}

// One flat JSON object, as a record line holds it.
std::optional<Fields> JsonObject(std::string_view line) {
  size_t at = 0;
  auto skip = [&] {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
  };
  auto take = [&](char c) {
    skip();
    if (at >= line.size() || line[at] != c) return false;
    ++at;
    return true;
  };
  Fields fields;
  if (!take('{')) return std::nullopt;
  skip();
  bool more = at >= line.size() || line[at] != '}';
  if (!more) ++at;
  while (more) {
    skip();
    if (at >= line.size() || line[at] != '"') return std::nullopt;
    std::optional<std::string> key = JsonString(line, at);
    if (!key || !take(':')) return std::nullopt;
    skip();
    Value value;
    if (at < line.size() && line[at] == '"') {
      std::optional<std::string> text = JsonString(line, at);
      if (!text) return std::nullopt;
      value = {true, std::move(*text)};
    } else {
      const size_t start = at;
      // A number, null, true or false: checked as the field it is.
      auto bare = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               c == '+' || c == '-' || c == '.';
      };
      while (at < line.size() && bare(line[at])) ++at;
      if (at == start) return std::nullopt;
      value.text = std::string(line.substr(start, at - start));
    }
    fields[std::move(*key)] = std::move(value);
    if (take('}')) break;
    if (!take(',')) return std::nullopt;
  }
  skip();
  if (at != line.size()) return std::nullopt;
  return fields;
}

std::vector<std::string_view> CsvFields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (true) {
    const size_t comma = line.find(',');
    fields.push_back(line.substr(0, comma));
    if (comma == std::string_view::npos) return fields;
    line.remove_prefix(comma + 1);
  }
}

// The record of one line's fields; nullopt when a field is missing or not of its kind.
std::optional<CardRecord> RecordOf(const Fields& fields) {
  CardRecord record;
  auto number = [&](const char* key, std::optional<int32_t>* out, bool nullable) {
    const auto found = fields.find(key);
    if (found == fields.end() || found->second.string) return false;
    const std::string& text = found->second.text;
    if ((text.empty() || text == "null") && nullable) return true;
    *out = ParseNumber<int32_t>(text);
    return out->has_value() && **out >= 0;
  };
  auto text = [&](const char* key, std::string* out) {
    const auto found = fields.find(key);
    if (found == fields.end() || (!found->second.string && found->second.text != "null")) {
      return false;
    }
    if (found->second.string) *out = found->second.text;
    return true;
  };
  std::optional<int32_t> line;
  if (!number("department", &record.department, true) || !number("index", &record.index, true) ||
      !number("line", &line, true) || !text("uid", &record.uid) ||
      !text("result", &record.result) || !text("time", &record.time) || record.result.empty()) {
    return std::nullopt;
  }
  record.line = line.value_or(0);
  return record;
}

}  // namespace

std::optional<std::vector<CardRecord>> ParseRecords(std::string_view text, std::string* error) {
  std::vector<CardRecord> records;
  std::vector<std::string> columns;  // of the CSV header; none for JSON Lines
  bool json = false;
  bool first = true;
  for (int lineNumber = 1; !text.empty(); ++lineNumber) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::string where = "wiersz / line " + std::to_string(lineNumber) + ": ";
    if (end == std::string_view::npos) {
      *error = where + "rekord urwany / the record is cut off";
      return std::nullopt;
    }
    if (line.empty()) continue;
    if (first) {
      first = false;
      json = line.front() == '{';
      if (!json) {
        for (const std::string_view column : CsvFields(line)) columns.emplace_back(column);
        if (line != kCsvHeader) {
          *error = where + "nie nagłówek rekordów / not the records' header: " + std::string(line);
          return std::nullopt;
        }
        continue;
      }
    }
    // Records appended to standard output by a later run carry the header again.
    if (!json && line == kCsvHeader) continue;
    std::optional<Fields> fields;
    if (json) {
      fields = JsonObject(line);
    } else if (const std::vector<std::string_view> values = CsvFields(line);
               values.size() == columns.size()) {
      fields.emplace();
      for (size_t i = 0; i < values.size(); ++i) {
        (*fields)[columns[i]] =
            Value{columns[i] == "uid" || columns[i] == "result" || columns[i] == "time",
                  std::string(values[i])};
      }
    }
    std::optional<CardRecord> record = fields ? RecordOf(*fields) : std::nullopt;
    if (!record) {
      *error = where + "zły rekord / bad record: " + std::string(line);
      return std::nullopt;
    }
    records.push_back(std::move(*record));
  }
  return records;
}

std::optional<std::set<int>> OkLinesOfRecords(std::string_view text, std::string* error) {
  const std::optional<std::vector<CardRecord>> records = ParseRecords(text, error);
  if (!records) return std::nullopt;
  std::set<int> lines;
  for (const CardRecord& record : *records) {
    if (record.result == "ok" && record.line > 0) lines.insert(record.line);
  }
  return lines;
}

}  // namespace kp
