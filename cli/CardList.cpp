#include "cli/CardList.h"

#include "cli/CliOptions.h"

#include <map>
#include <optional>
#include <utility>

namespace kp {

namespace {

std::string_view Trim(std::string_view field) {
  while (!field.empty() && (field.front() == ' ' || field.front() == '\t')) field.remove_prefix(1);
  while (!field.empty() && (field.back() == ' ' || field.back() == '\t')) field.remove_suffix(1);
  if (field.size() >= 2 && field.front() == '"' && field.back() == '"') {
    field = field.substr(1, field.size() - 2);
  }
  return field;
}

std::vector<std::string_view> Fields(std::string_view line) {
  const char separator = line.find(';') != std::string_view::npos ? ';' : ',';
  std::vector<std::string_view> fields;
  while (true) {
    const size_t at = line.find(separator);
    fields.push_back(Trim(line.substr(0, at)));
    if (at == std::string_view::npos) return fields;
    line.remove_prefix(at + 1);
  }
}

// A column name in lower case: ASCII letters, and the one Polish capital the names have (Ł).
std::string Lower(std::string_view name) {
  std::string lower;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name.substr(i, 2) == "\xC5\x81") {
      lower += "\xC5\x82";
      ++i;
    } else {
      const char c = name[i];
      lower += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
  }
  return lower;
}

// A header names the two columns; a line of anything else is a row, good or bad.
bool IsHeader(const std::vector<std::string_view>& fields) {
  if (fields.size() != 2) return false;
  const std::string department = Lower(fields[0]);
  const std::string index = Lower(fields[1]);
  const bool departmentName = department == "department" || department == "wydzia\xC5\x82" ||
                              department == "wydzial" || department == "dzia\xC5\x82" ||
                              department == "dzial";
  return departmentName && (index == "index" || index == "indeks");
}

std::string Quoted(std::string_view field) {
  std::string quoted(1, '"');
  quoted.append(field);
  quoted += '"';
  return quoted;
}

// Errors up to kMaxListErrors, then a count of the rest: a list of thousands of bad lines (a
// wrong file, say) gives a screenful, not thousands.
class ErrorLines {
 public:
  void Add(std::string error) {
    if (kept_.size() < kMaxListErrors) {
      kept_.push_back(std::move(error));
    } else {
      ++rest_;
    }
  }
  std::vector<std::string> Take() {
    if (rest_ > 0) {
      kept_.push_back("dalsze błędy / more errors: " + std::to_string(rest_));
    }
    return std::move(kept_);
  }

 private:
  std::vector<std::string> kept_;
  size_t rest_ = 0;
};

std::string Where(int line) { return "wiersz / line " + std::to_string(line) + ": "; }

std::string RowText(int32_t department, int32_t index) {
  return std::to_string(department) + ";" + std::to_string(index);
}

}  // namespace

CardList ParseCardList(std::string_view text) {
  CardList list;
  ErrorLines errors;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  bool first = true;
  int lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (Trim(line).empty()) continue;
    const std::vector<std::string_view> fields = Fields(line);
    const bool header = first && IsHeader(fields);
    first = false;
    if (header) continue;
    const std::string where = Where(lineNumber);
    if (fields.size() < 2 || fields[1].empty() || fields[0].empty()) {
      errors.Add(where + "brak pola / missing field");
      continue;
    }
    if (fields.size() > 2) {
      errors.Add(where + "za dużo pól / too many fields");
      continue;
    }
    const std::optional<int32_t> department = ParseCardNumber(fields[0]);
    const std::optional<int32_t> index = ParseCardNumber(fields[1]);
    if (!department || !index) {
      const std::string_view bad = department ? fields[1] : fields[0];
      errors.Add(where + "nie liczba 0..99999 / not a number in 0..99999: " + Quoted(bad));
      continue;
    }
    list.rows.push_back({*department, *index, lineNumber});
  }
  list.errors = errors.Take();
  if (list.rows.empty() && list.errors.empty()) {
    list.errors.push_back("lista bez wierszy / the list has no rows");
  }
  return list;
}

std::vector<std::string> RepeatedRows(const std::vector<CardRow>& rows) {
  // The lines of each row, in the order the rows first appear.
  std::map<std::pair<int32_t, int32_t>, std::vector<int>> lines;
  std::vector<std::pair<int32_t, int32_t>> order;
  for (const CardRow& row : rows) {
    std::vector<int>& of = lines[{row.department, row.index}];
    if (of.empty()) order.emplace_back(row.department, row.index);
    of.push_back(row.line);
  }
  ErrorLines errors;
  for (const auto& key : order) {
    const std::vector<int>& of = lines[key];
    if (of.size() < 2) continue;
    std::string numbers;
    for (const int line : of) numbers += (numbers.empty() ? "" : ", ") + std::to_string(line);
    errors.Add("wiersze / lines " + numbers + ": powtórzony wiersz / repeated row " +
               RowText(key.first, key.second));
  }
  return errors.Take();
}

RowsLeft RowsNotDone(const std::vector<CardRow>& rows, const std::vector<CardRecord>& records) {
  std::map<int, const CardRow*> rowOfLine;
  for (const CardRow& row : rows) rowOfLine[row.line] = &row;
  std::map<int, bool> done;  // the lines with an `ok` record, and whether it is their row's
  ErrorLines errors;
  for (const CardRecord& record : records) {
    if (record.result != "ok" || record.line <= 0 || done.contains(record.line)) continue;
    const auto found = rowOfLine.find(record.line);
    const CardRow* row = found == rowOfLine.end() ? nullptr : found->second;
    const bool same =
        row != nullptr && record.department == row->department && record.index == row->index;
    done[record.line] = same;
    if (same) continue;
    const std::string recorded = RowText(record.department.value_or(-1), record.index.value_or(-1));
    const std::string listed =
        row == nullptr ? ", lista nie ma tego wiersza / the list has no such row"
                       : ", na liście / the list has " + RowText(row->department, row->index);
    errors.Add(Where(record.line) + "rekord ok dla / the ok record is for " + recorded + listed);
  }
  RowsLeft left;
  left.errors = errors.Take();
  for (const CardRow& row : rows) {
    if (const auto found = done.find(row.line); found != done.end() && found->second) {
      ++left.skipped;
    } else {
      left.rows.push_back(row);
    }
  }
  return left;
}

}  // namespace kp
