#include "cli/common/CommandLine.h"

#include <cstdio>
#include <optional>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>
#endif

namespace kp {

const char* const kTraceOptionsHelp =
    "  --trace PLIK/FILE           zapis transferów USB do pliku (bez haseł i kluczy) /\n"
    "                              the USB transfers written to FILE (no passwords, no keys)\n"
    "  --trace-format text|pcap    tekst (domyślnie) albo pcap dla Wireshark /\n"
    "                              text (the default) or pcap for Wireshark\n";

TraceOptionTaken TakeTraceOption(const std::vector<std::string>& args, size_t& i,
                                 TraceOptions& trace, std::string* error) {
  std::string name = args[i];
  std::optional<std::string> value;
  if (const size_t equals = name.find('='); equals != std::string::npos) {
    value = name.substr(equals + 1);
    name.resize(equals);
  }
  const bool path = name == "--trace";
  if (!path && name != "--trace-format") return TraceOptionTaken::No;
  if (path ? !trace.path.empty() : trace.formatGiven) {
    *error = "powtórzona opcja / repeated option: " + name;
    return TraceOptionTaken::Bad;
  }
  if (!value && i + 1 < args.size()) value = args[++i];
  if (!value || value->empty()) {
    *error = "brak wartości / missing value: " + name;
    return TraceOptionTaken::Bad;
  }
  if (path) {
    trace.path = *value;
    return TraceOptionTaken::Yes;
  }
  if (*value != "text" && *value != "pcap") {
    *error = "zła wartość / bad value: --trace-format " + *value + " (text, pcap)";
    return TraceOptionTaken::Bad;
  }
  trace.pcap = *value == "pcap";
  trace.formatGiven = true;
  return TraceOptionTaken::Yes;
}

std::string CheckTraceOptions(const TraceOptions& trace) {
  if (trace.formatGiven && trace.path.empty()) {
    return "--trace-format wymaga / needs --trace FILE";
  }
  return {};
}

CliRequest ParseCli(const std::vector<std::string>& args, TraceOptions* trace, std::string* error) {
  if (args.empty()) return CliRequest::Run;
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) return CliRequest::Help;
  if (args.size() == 1 && args[0] == "--version") return CliRequest::Version;
  // Nothing but the trace options.
  TraceOptions taken;
  std::string reason;
  for (size_t i = 0; i < args.size(); ++i) {
    const TraceOptionTaken t = TakeTraceOption(args, i, taken, &reason);
    if (t == TraceOptionTaken::Yes) continue;
    if (error != nullptr) *error = reason;
    return CliRequest::Unknown;
  }
  reason = CheckTraceOptions(taken);
  if (!reason.empty() || trace == nullptr) {
    if (error != nullptr) *error = reason;
    return CliRequest::Unknown;
  }
  *trace = taken;
  return CliRequest::Run;
}

std::vector<std::string> ProgramArguments(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wide != nullptr && i < count; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), size, nullptr, nullptr);
    text.resize(text.size() - 1);
    args.push_back(std::move(text));
  }
  LocalFree(wide);
  return args;
#else
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
#endif
}

const char* ProgramVersion() { return KP_VERSION; }

const char* ProgramLicence() { return "MIT"; }

std::string KoderUsage() {
  return std::string(
             "Użycie / usage: kpnox-koder [--help | --version]\n"
             "       kpnox-koder [--trace PLIK/FILE [--trace-format text|pcap]]\n"
             "\n"
             "KpNOX Koder: programowanie kart dostępu DESFire programatorem KP-R50.\n"
             "KpNOX Koder: encodes DESFire access cards through a KP-R50 card programmer.\n"
             "\n"
             "  -h, --help                  ta pomoc / this help\n"
             "  --version                   wersja programu / the program's version\n") +
         kTraceOptionsHelp +
         "\n"
         "Bez --help i --version otwiera okno programu; potrzebny jest ekran (bez niego:\n"
         "xvfb-run -a kpnox-koder).\n"
         "Without --help or --version it opens its window; it needs a display (without one:\n"
         "xvfb-run -a kpnox-koder).\n";
}

int AnswerKoderCli(const std::vector<std::string>& args, TraceOptions* trace) {
  std::string error;
  switch (ParseCli(args, trace, &error)) {
    case CliRequest::Run: return -1;
    case CliRequest::Help: std::fputs(KoderUsage().c_str(), stdout); return 0;
    case CliRequest::Version: std::printf("KpNOX Koder %s\n", ProgramVersion()); return 0;
    case CliRequest::Unknown: break;
  }
  if (error.empty()) {
    std::string given;
    for (const std::string& arg : args) given += (given.empty() ? "" : " ") + arg;
    error = "nieznana opcja / unknown option: " + given;
  }
  std::fprintf(stderr, "kpnox-koder: %s\n\n%s", error.c_str(), KoderUsage().c_str());
  return 2;
}

}  // namespace kp
