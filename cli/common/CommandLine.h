// The command line the programs share: --help and --version, and the trace options of
// kpnox-cli and kpnox-koder. kpnox-koder takes nothing else: anything else is a usage error.
#pragma once

#include <string>
#include <vector>

namespace kp {

enum class CliRequest { Run, Help, Version, Unknown };

// --trace FILE and --trace-format text|pcap: where the link's transfers are written.
struct TraceOptions {
  std::string path;  // empty: no trace
  bool pcap = false;
  bool formatGiven = false;
};

enum class TraceOptionTaken { No, Yes, Bad };

// Takes the trace option at args[i] ("--trace FILE", "--trace=FILE", "--trace-format pcap")
// and its value, leaving i on the last argument taken. No when args[i] is neither option;
// Bad, with the reason in `error`, for a missing or wrong value or a repeated option.
TraceOptionTaken TakeTraceOption(const std::vector<std::string>& args, size_t& i,
                                 TraceOptions& trace, std::string* error);

// After all options: "" when the trace options go together, else why not.
std::string CheckTraceOptions(const TraceOptions& trace);

// The usage lines of the trace options.
extern const char* const kTraceOptionsHelp;

// `args` without the program name. The trace options go to `trace`; a wrong one is Unknown
// with its reason in `error`.
CliRequest ParseCli(const std::vector<std::string>& args, TraceOptions* trace = nullptr,
                    std::string* error = nullptr);

// The arguments as UTF-8, without the program name, on every system (Windows hands main its
// ANSI code page).
std::vector<std::string> ProgramArguments(int argc, char** argv);

// The project's version, "1.0.0".
const char* ProgramVersion();

// The licence the programs come under, as its short name: "MIT".
const char* ProgramLicence();

// kpnox-koder's usage, Polish and English.
std::string KoderUsage();

// Answers the request as kpnox-koder does: the usage or "KpNOX Koder 1.0.0" on standard output
// (0), the usage on standard error (2). -1 when the program is to run, with the trace options
// in `trace`.
int AnswerKoderCli(const std::vector<std::string>& args, TraceOptions* trace = nullptr);

}  // namespace kp
