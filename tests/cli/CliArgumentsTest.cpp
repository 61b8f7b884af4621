// kpnox-cli's command line and its batch list: what is taken, and what is refused with
// which reason (a list: with the line numbers of all its bad lines).
#include "cli/CardList.h"
#include "cli/CliOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kp {
namespace {

struct OptionRow {
  std::vector<std::string> args;
  std::string error;  // a part of the reason; empty when the line is taken
  CliCommand command = CliCommand::Help;
  int32_t department = 0;
  int32_t index = 0;
  int32_t count = 0;
  bool json = false;
  bool passwordStdin = false;
};

TEST(CliArguments, CommandsAndOptions) {
  const OptionRow rows[] = {
      {{"--help"}, "", CliCommand::Help},
      {{"-h"}, "", CliCommand::Help},
      {{"--version"}, "", CliCommand::Version},
      {{"status", "--json"}, "", CliCommand::Status, 0, 0, 0, true},
      {{"login", "--password-stdin"}, "", CliCommand::Login, 0, 0, 0, false, true},
      {{"program", "--department", "99999", "--index=0"}, "", CliCommand::Program, 99999, 0},
      {{"program", "--index", "7", "--department", "12", "--json"}, "", CliCommand::Program,
       12, 7, 0, true},
      {{"read", "--wait"}, "", CliCommand::Read},
      {{"batch", "--list", "cards.csv"}, "", CliCommand::Batch},
      {{"batch", "--department", "3", "--first-index", "99995", "--count", "5"}, "",
       CliCommand::Batch, 3, 99995, 5},
      {{"batch", "--department", "3", "--first-index", "0", "--count", "100000"}, "",
       CliCommand::Batch, 3, 0, 100000},
      // Refused.
      {{}, "no command"},
      {{"format"}, "unknown command: format"},
      {{"--help", "status"}, "--help takes nothing else"},
      {{"status", "--password-stdin"}, "unknown option: --password-stdin"},
      {{"login", "--json"}, "unknown option: --json"},
      {{"program", "--wait"}, "unknown option: --wait"},
      {{"login", "--password", "secret"}, "unknown option: --password"},
      {{"program", "--department", "1"}, "needs --department D --index I"},
      {{"program", "--department", "1", "--index"}, "missing value: --index"},
      {{"program", "--department", "100000", "--index", "1"}, "bad value: --department 100000"},
      {{"program", "--department", "-1", "--index", "1"}, "bad value: --department -1"},
      {{"program", "--department", "1x", "--index", "1"}, "bad value"},
      {{"program", "--department", "", "--index", "1"}, "bad value"},
      {{"program", "--department", "1", "--department", "2", "--index", "1"},
       "repeated option"},
      {{"erase", "--index", "1"}, "unknown option: --index"},
      {{"batch"}, "needs --list FILE"},
      {{"batch", "--list", "a.csv", "--department", "1"}, "needs --list FILE"},
      {{"batch", "--department", "1", "--count", "2"}, "needs --list FILE"},
      {{"batch", "--department", "1", "--first-index", "1", "--count", "0"},
       "bad value: --count 0"},
      {{"batch", "--department", "1", "--first-index", "99999", "--count", "2"},
       "beyond 0..99999"},
      {{"batch", "--list="}, "missing value"},
  };
  for (const OptionRow& row : rows) {
    std::string line;
    for (const std::string& arg : row.args) line += arg + " ";
    SCOPED_TRACE(line);
    const ParsedCli parsed = ParseCliOptions(row.args);
    if (!row.error.empty()) {
      EXPECT_FALSE(parsed.options);
      EXPECT_NE(parsed.error.find(row.error), std::string::npos) << parsed.error;
      continue;
    }
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->command, row.command);
    EXPECT_EQ(parsed.options->department, row.department);
    if (row.command == CliCommand::Batch) {
      EXPECT_EQ(parsed.options->firstIndex, row.index);
      EXPECT_EQ(parsed.options->count, row.count);
    } else {
      EXPECT_EQ(parsed.options->index, row.index);
    }
    EXPECT_EQ(parsed.options->json, row.json);
    EXPECT_EQ(parsed.options->passwordStdin, row.passwordStdin);
  }
}

struct ListRow {
  const char* name;
  std::string text;
  std::vector<std::pair<int32_t, int32_t>> cards;
  std::vector<int> lines;            // of the cards
  std::vector<std::string> errors;   // "line N:|reason", in order
};

TEST(CliArguments, BatchLists) {
  const ListRow rows[] = {
      {"comma, no header", "12,1\n12,2\n", {{12, 1}, {12, 2}}, {1, 2}, {}},
      {"semicolon, header, CRLF, BOM", "\xEF\xBB\xBF" "dzial;indeks\r\n7;99999\r\n0;0\r\n",
       {{7, 99999}, {0, 0}}, {2, 3}, {}},
      {"blank lines, spaces and quotes, no final line end",
       "\n department , index \n\n \"5\", 6\n  \n8,9",
       {{5, 6}, {8, 9}}, {4, 6}, {}},
      {"every bad line, with its number",
       "department,index\n1,2\nx,3\n4\n5,100000\n6,-1\n7,8,9\n,3\n",
       {{1, 2}}, {2},
       {"line 3:|not a number in 0..99999: \"x\"", "line 4:|missing field",
        "line 5:|not a number in 0..99999: \"100000\"", "line 6:|not a number",
        "line 7:|too many fields", "line 8:|missing field"}},
      {"a header only", "department,index\n", {}, {}, {"the list has no rows"}},
      {"empty", "", {}, {}, {"the list has no rows"}},
      {"a second header is a bad line", "a,b\nc,d\n", {}, {}, {"line 2:|not a number"}},
  };
  for (const ListRow& row : rows) {
    SCOPED_TRACE(row.name);
    const CardList list = ParseCardList(row.text);
    ASSERT_EQ(list.rows.size(), row.cards.size());
    for (size_t i = 0; i < list.rows.size(); ++i) {
      EXPECT_EQ(list.rows[i].department, row.cards[i].first);
      EXPECT_EQ(list.rows[i].index, row.cards[i].second);
      EXPECT_EQ(list.rows[i].line, row.lines[i]);
    }
    ASSERT_EQ(list.errors.size(), row.errors.size());
    for (size_t i = 0; i < list.errors.size(); ++i) {
      const std::string& expected = row.errors[i];
      const size_t bar = expected.find('|');
      const std::string line = bar == std::string::npos ? "" : expected.substr(0, bar);
      const std::string reason = bar == std::string::npos ? expected : expected.substr(bar + 1);
      EXPECT_NE(list.errors[i].find(line), std::string::npos) << list.errors[i];
      EXPECT_NE(list.errors[i].find(reason), std::string::npos) << list.errors[i];
    }
  }
}

}  // namespace
}  // namespace kp
