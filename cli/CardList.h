// The list of a batch: CSV text, one card per line as department,index (comma or
// semicolon), an optional header line, UTF-8 with or without a byte-order mark, LF or CRLF.
// Every bad line is reported, so that nothing is programmed from a list that is only
// partly right.
#pragma once

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

struct CardList {
  std::vector<CardRow> rows;
  std::vector<std::string> errors;  // "line 3: ...", one per bad line; empty when all is well
};

CardList ParseCardList(std::string_view text);

}  // namespace kp
