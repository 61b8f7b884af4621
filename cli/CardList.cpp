#include "cli/CardList.h"

#include "cli/CliOptions.h"

#include <optional>

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

// A header names its columns: no field of it starts with a digit.
bool IsHeader(const std::vector<std::string_view>& fields) {
  for (const std::string_view field : fields) {
    if (!field.empty() && field.front() >= '0' && field.front() <= '9') return false;
  }
  return true;
}

std::string Quoted(std::string_view field) {
  std::string quoted(1, '"');
  quoted.append(field);
  quoted += '"';
  return quoted;
}

}  // namespace

CardList ParseCardList(std::string_view text) {
  CardList list;
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
    if (first && IsHeader(fields)) {
      first = false;
      continue;
    }
    first = false;
    const std::string where = "wiersz / line " + std::to_string(lineNumber) + ": ";
    if (fields.size() < 2 || fields[1].empty() || fields[0].empty()) {
      list.errors.push_back(where + "brak pola / missing field");
      continue;
    }
    if (fields.size() > 2) {
      list.errors.push_back(where + "za dużo pól / too many fields");
      continue;
    }
    const std::optional<int32_t> department = ParseCardNumber(fields[0]);
    const std::optional<int32_t> index = ParseCardNumber(fields[1]);
    if (!department || !index) {
      const std::string_view bad = department ? fields[1] : fields[0];
      list.errors.push_back(where +
                            "nie liczba 0..99999 / not a number in 0..99999: " + Quoted(bad));
      continue;
    }
    list.rows.push_back({*department, *index, lineNumber});
  }
  if (list.rows.empty() && list.errors.empty()) {
    list.errors.push_back("lista bez wierszy / the list has no rows");
  }
  return list;
}

}  // namespace kp
