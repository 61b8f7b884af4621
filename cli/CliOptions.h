// kpnox-cli's command line: one command, its options, nothing else. A password is never
// among them: it comes from the terminal or, with --password-stdin, from standard input.
#pragma once

#include "cli/common/CommandLine.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kp {

enum class CliCommand { Status, Login, Passwd, Program, Read, Erase, Batch, Help, Version, Doctor };

struct CliOptions {
  CliCommand command = CliCommand::Help;
  CliCommand helpFor = CliCommand::Help;  // Help: the command whose usage is asked for (Help: all)
  bool json = false;           // records as JSON Lines instead of CSV; status, doctor: JSON
  bool passwordStdin = false;  // passwords as lines of standard input
  bool wait = false;           // read: card after card until stopped
  int32_t department = 0;      // program; batch without --list
  int32_t index = 0;           // program
  int32_t firstIndex = 0;      // batch without --list
  int32_t count = 0;           // batch without --list
  std::string listPath;        // batch --list
  std::string outputPath;      // records appended to this file instead of standard output
  std::string resumePath;      // batch: the records of an earlier run, whose `ok` rows are skipped
  bool allowDuplicates = false;  // batch: a list may hold a row more than once
  bool quiet = false;            // no progress line per card
  TraceOptions trace;            // --trace, --trace-format: before the command or among its options
};

// The options, or the reason they make no sense ("nieznana opcja / unknown option: --x").
struct ParsedCli {
  std::optional<CliOptions> options;
  std::string error;
};

// `args` without the program name.
ParsedCli ParseCliOptions(const std::vector<std::string>& args);

// The numbers a card takes here, as the window's five-digit boxes do: decimal digits only,
// 0..99999; nullopt for anything else.
inline constexpr int32_t kMaxCardNumber = 99999;
std::optional<int32_t> ParseCardNumber(std::string_view text);

// kpnox-cli's usage, Polish and English.
std::string CliUsage();

// One command's usage (`kpnox-cli batch --help`); CliUsage for CliCommand::Help.
std::string CommandUsage(CliCommand command);

}  // namespace kp
