// kpnox-cli's command line and its batch list: what is taken, and what is refused with
// which reason (a list: with the line numbers of all its bad lines).
#include "cli/CardList.h"
#include "cli/CliOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kp::test {
namespace {

// What the options hold, in one line: the command, then every option that is not as it
// starts out.
std::string Described(const CliOptions& o) {
  static const char* const kNames[] = {"status", "login", "passwd", "program", "read",
                                       "erase",  "batch", "help",   "version", "doctor"};
  std::string text = kNames[static_cast<int>(o.command)];
  auto add = [&](bool set, const std::string& what) {
    if (set) text += " " + what;
  };
  add(o.helpFor != CliCommand::Help, std::string("for=") + kNames[static_cast<int>(o.helpFor)]);
  add(o.department != 0, "department=" + std::to_string(o.department));
  add(o.index != 0, "index=" + std::to_string(o.index));
  add(o.firstIndex != 0, "first=" + std::to_string(o.firstIndex));
  add(o.count != 0, "count=" + std::to_string(o.count));
  add(!o.listPath.empty(), "list=" + o.listPath);
  add(!o.outputPath.empty(), "output=" + o.outputPath);
  add(!o.resumePath.empty(), "resume=" + o.resumePath);
  add(o.json, "json");
  add(o.passwordStdin, "password-stdin");
  add(o.wait, "wait");
  add(o.quiet, "quiet");
  add(o.allowDuplicates, "allow-duplicates");
  add(!o.trace.path.empty(), "trace=" + o.trace.path);
  add(o.trace.pcap, "pcap");
  return text;
}

struct OptionRow {
  std::vector<std::string> args;
  std::string expected;  // Described(options), or "!" and a part of the reason of a refusal
};

TEST(CliArguments, CommandsAndOptions) {
  const OptionRow rows[] = {
      {{"--help"}, "help"},
      {{"-h"}, "help"},
      {{"--version"}, "version"},
      {{"status", "--json"}, "status json"},
      {{"login", "--password-stdin"}, "login password-stdin"},
      {{"program", "--department", "99999", "--index=0"}, "program department=99999"},
      {{"program", "--index", "7", "--department", "12", "--json", "--output", "r.csv", "--quiet"},
       "program department=12 index=7 output=r.csv json quiet"},
      {{"read", "--wait", "--output=ż.csv"}, "read output=ż.csv wait"},
      {{"erase", "--quiet"}, "erase quiet"},
      {{"batch", "--list", "cards.csv", "--resume", "r.csv", "--output", "r.csv",
        "--allow-duplicates"},
       "batch list=cards.csv output=r.csv resume=r.csv allow-duplicates"},
      {{"batch", "--department", "3", "--first-index", "99995", "--count", "5", "--resume=r"},
       "batch department=3 first=99995 count=5 resume=r"},
      {{"batch", "--department", "3", "--first-index", "0", "--count", "100000"},
       "batch department=3 count=100000"},
      // The trace, before the command or among its options.
      {{"--trace", "t.txt", "status"}, "status trace=t.txt"},
      {{"--trace-format", "pcap", "--trace=ż.pcap", "read", "--wait"},
       "read wait trace=ż.pcap pcap"},
      {{"erase", "--trace-format=text", "--trace", "t"}, "erase trace=t"},
      {{"--trace", "t", "--help"}, "!take nothing else"},
      {{"--trace", "t"}, "!no command"},
      {{"status", "--trace-format", "pcap"}, "!needs --trace FILE"},
      {{"status", "--trace"}, "!missing value: --trace"},
      {{"--trace", "a", "status", "--trace", "b"}, "!repeated option: --trace"},
      {{"status", "--trace", "a", "--trace-format", "wire"}, "!bad value: --trace-format wire"},
      {{"--trace", "t", "doctor"}, "!unknown option: --trace"},
      {{"doctor", "--trace-format", "pcap"}, "!unknown option: --trace-format"},
      {{"doctor", "--json"}, "doctor json"},
      // A command's own help.
      {{"batch", "--help"}, "help for=batch"},
      {{"status", "-h"}, "help for=status"},
      // Refused.
      {{}, "!no command"},
      {{"format"}, "!unknown command: format"},
      {{"--help", "status"}, "!--help takes nothing else"},
      {{"batch", "--list", "a.csv", "--help"}, "!--help takes nothing else"},
      {{"status", "--password-stdin"}, "!unknown option: --password-stdin"},
      {{"doctor", "--password-stdin"}, "!unknown option: --password-stdin"},
      {{"login", "--json"}, "!unknown option: --json"},
      {{"program", "--wait"}, "!unknown option: --wait"},
      {{"login", "--password", "secret"}, "!unknown option: --password"},
      {{"status", "--output", "r.csv"}, "!unknown option: --output"},
      {{"passwd", "--quiet"}, "!unknown option: --quiet"},
      {{"read", "--resume", "r.csv"}, "!unknown option: --resume"},
      {{"program", "--allow-duplicates"}, "!unknown option: --allow-duplicates"},
      {{"batch", "--quiet=yes", "--list", "a"}, "!unknown option: --quiet=yes"},
      {{"program", "--department", "1"}, "!needs --department D --index I"},
      {{"program", "--department", "1", "--index"}, "!missing value: --index"},
      {{"program", "--department", "100000", "--index", "1"}, "!bad value: --department 100000"},
      {{"program", "--department", "-1", "--index", "1"}, "!bad value: --department -1"},
      {{"program", "--department", "1x", "--index", "1"}, "!bad value"},
      {{"program", "--department", "", "--index", "1"}, "!bad value"},
      {{"program", "--department", "1", "--department", "2", "--index", "1"}, "!repeated option"},
      {{"erase", "--output", "a", "--output", "b"}, "!repeated option: --output"},
      {{"erase", "--index", "1"}, "!unknown option: --index"},
      {{"batch"}, "!needs --list FILE"},
      {{"batch", "--list", "a.csv", "--department", "1"}, "!needs --list FILE"},
      {{"batch", "--department", "1", "--count", "2"}, "!needs --list FILE"},
      {{"batch", "--department", "1", "--first-index", "1", "--count", "0"},
       "!bad value: --count 0"},
      {{"batch", "--department", "1", "--first-index", "99999", "--count", "2"},
       "!beyond 0..99999"},
      {{"batch", "--department", "1", "--first-index", "1", "--count", "2", "--allow-duplicates"},
       "!--allow-duplicates only with --list"},
      {{"batch", "--list="}, "!missing value"},
      {{"batch", "--list", "a", "--resume="}, "!missing value: --resume"},
      {{"erase", "--output"}, "!missing value: --output"},
  };
  for (const OptionRow& row : rows) {
    std::string line;
    for (const std::string& arg : row.args) line += arg + " ";
    SCOPED_TRACE(line);
    const ParsedCli parsed = ParseCliOptions(row.args);
    if (row.expected.front() == '!') {
      EXPECT_FALSE(parsed.options);
      EXPECT_NE(parsed.error.find(row.expected.substr(1)), std::string::npos) << parsed.error;
    } else {
      ASSERT_TRUE(parsed.options) << parsed.error;
      EXPECT_EQ(Described(*parsed.options), row.expected);
    }
  }
}

// Each command's help lists exactly the options the command takes; the whole usage lists
// them all.
TEST(CliArguments, CommandHelp) {
  const std::pair<const char*, CliCommand> commands[] = {
      {"status", CliCommand::Status}, {"login", CliCommand::Login},
      {"passwd", CliCommand::Passwd}, {"program", CliCommand::Program},
      {"read", CliCommand::Read},     {"erase", CliCommand::Erase},
      {"batch", CliCommand::Batch},   {"doctor", CliCommand::Doctor}};
  for (const auto& [name, command] : commands) {
    const std::string usage = CommandUsage(command);
    EXPECT_EQ(usage.find(std::string("usage: kpnox-cli ") + name), usage.find("usage:"));
    for (const std::string option : {"--json", "--password-stdin", "--wait", "--output", "--quiet",
                                     "--resume", "--allow-duplicates", "--trace"}) {
      SCOPED_TRACE(std::string(name) + " " + option);
      std::vector<std::string> args = {name, option};
      if (option == "--output" || option == "--resume" || option == "--trace") args.push_back("x");
      // Refused only for want of the command's other options: taken.
      const ParsedCli parsed = ParseCliOptions(args);
      const bool taken = parsed.error.find("unknown option") == std::string::npos;
      EXPECT_EQ(usage.find("  " + option) != std::string::npos, taken) << usage;
      EXPECT_NE(CliUsage().find(option), std::string::npos);
    }
  }
  EXPECT_EQ(CommandUsage(CliCommand::Help), CliUsage());
}

struct ListRow {
  const char* name;
  std::string text;
  std::vector<std::pair<int32_t, int32_t>> cards;
  std::vector<int> lines;           // of the cards
  std::vector<std::string> errors;  // "line N:|reason", in order
};

std::string BadLines(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "x;1\n";
  return text;
}

TEST(CliArguments, BatchLists) {
  std::vector<std::string> capped;
  for (int line = 1; line <= 20; ++line) {
    capped.push_back("line " + std::to_string(line) + ":|\"x\"");
  }
  capped.push_back("more errors: 5");
  const ListRow rows[] = {
      {"comma, no header", "12,1\n12,2\n", {{12, 1}, {12, 2}}, {1, 2}, {}},
      {"semicolon, Polish header, CRLF, BOM",
       "\xEF\xBB\xBF"
       "Wydzia\xC5\x81;INDEKS\r\n7;99999\r\n0;0\r\n",
       {{7, 99999}, {0, 0}},
       {2, 3},
       {}},
      {"blank lines, spaces and quotes, no final line end",
       "\n \"Department\" , index \n\n \"5\", 6\n  \n8,9",
       {{5, 6}, {8, 9}},
       {4, 6},
       {}},
      {"every bad line, with its number",
       "department,index\n1,2\nx,3\n4\n5,100000\n6,-1\n7,8,9\n,3\n",
       {{1, 2}},
       {2},
       {"line 3:|not a number in 0..99999: \"x\"", "line 4:|missing field",
        "line 5:|not a number in 0..99999: \"100000\"", "line 6:|not a number",
        "line 7:|too many fields", "line 8:|missing field"}},
      // A first line is a header only by its names: anything else there is a row.
      {"a first line of bad numbers",
       "-1;-1\n1;2\n",
       {{1, 2}},
       {2},
       {"line 1:|not a number in 0..99999: \"-1\""}},
      {"a first line of look-alike letters",
       "\n O12;l5\n1;2\n",
       {{1, 2}},
       {3},
       {"line 2:|\"O12\""}},
      {"a header of other names", "dept,idx\n1,2\n", {{1, 2}}, {2}, {"line 1:|\"dept\""}},
      {"a header of three columns", "department,index,name\n", {}, {}, {"line 1:|too many fields"}},
      {"a second header is a bad line",
       "wydzial,index\nwydzial,index\n",
       {},
       {},
       {"line 2:|not a number"}},
      {"a header only", "department,index\n", {}, {}, {"the list has no rows"}},
      {"empty", "", {}, {}, {"the list has no rows"}},
      {"errors stop after 20, then their count", BadLines(25), {}, {}, capped},
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

// A row the list holds twice is one error naming all its lines, each such row once, in the
// order of the list; the errors stop after 20 as the list's do.
TEST(CliArguments, RepeatedRows) {
  const CardList list = ParseCardList("department;index\n1;2\n3;4\n1;2\n\n3;5\n1;2\n3;4\n");
  const std::vector<std::string> errors = RepeatedRows(list.rows);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("lines 2, 4, 7: powtórzony wiersz / repeated row 1;2"),
            std::string::npos)
      << errors[0];
  EXPECT_NE(errors[1].find("lines 3, 8:"), std::string::npos) << errors[1];
  EXPECT_NE(errors[1].find("3;4"), std::string::npos) << errors[1];

  std::vector<CardRow> many;
  for (int i = 0; i < 60; ++i) many.push_back({7, i % 30, i + 1});
  const std::vector<std::string> cappedErrors = RepeatedRows(many);
  ASSERT_EQ(cappedErrors.size(), kMaxListErrors + 1);
  EXPECT_NE(cappedErrors.back().find("more errors: 10"), std::string::npos);
  EXPECT_TRUE(RepeatedRows(ParseCardList("1;2\n2;1\n").rows).empty());
}

}  // namespace
}  // namespace kp::test
