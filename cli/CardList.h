// The list of a batch: CSV text, one card per line as department,index (comma or
// semicolon), an optional header line naming those two columns, UTF-8 with or without a
// byte-order mark, LF or CRLF. Every bad line is reported, so that nothing is programmed from
// a list that is only partly right.
#pragma once

#include "cli/Records.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kp {

struct CardRow {
  int32_t department = 0;
  int32_t index = 0;
  int line = 0;  // 1-based line of the file
};

// Errors are reported one a line up to this many; one more line counts the rest.
inline constexpr size_t kMaxListErrors = 20;

struct CardList {
  std::vector<CardRow> rows;
  std::vector<std::string> errors;  // "line 3: ...", one per bad line; empty when all is well
};

// The rows and the bad lines of `text`. A header is only a first line whose two fields name
// the columns: department or wydział (wydzial, dział, dzial), then index or indeks, in any
// case, quoted or not. Any other first line is a row, and a bad one is an error.
CardList ParseCardList(std::string_view text);

// One error for each row that the list holds more than once (same department and index),
// naming all its lines; kept to kMaxListErrors as ParseCardList's are.
std::vector<std::string> RepeatedRows(const std::vector<CardRow>& rows);

// The rows an earlier run has not done: those without an `ok` record for their line among
// `records`. An `ok` record for a line whose row now has other numbers means that the list
// changed since: each such line is an error, and nothing may be skipped by its number.
struct RowsLeft {
  std::vector<CardRow> rows;
  size_t skipped = 0;
  std::vector<std::string> errors;
};
RowsLeft RowsNotDone(const std::vector<CardRow>& rows, const std::vector<CardRecord>& records);

}  // namespace kp
