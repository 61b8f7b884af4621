// The command line of a program that otherwise takes none: --help, --version, and nothing
// else. Anything else is a usage error.
#pragma once

#include <string>
#include <vector>

namespace kp {

enum class CliRequest { Run, Help, Version, Unknown };

// `args` without the program name.
CliRequest ParseCli(const std::vector<std::string>& args);

// The project's version, "1.0.0".
const char* ProgramVersion();

// The licence the programs come under, as its short name: "MIT".
const char* ProgramLicence();

// kpnox-koder's usage, Polish and English.
std::string KoderUsage();

// Answers the request as kpnox-koder does: the usage or "KpNOX Koder 1.0.0" on standard output
// (0), the usage on standard error (2). -1 when the program is to run.
int AnswerKoderCli(const std::vector<std::string>& args);

}  // namespace kp
