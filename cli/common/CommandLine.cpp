#include "cli/common/CommandLine.h"

#include <cstdio>

namespace kp {

CliRequest ParseCli(const std::vector<std::string>& args) {
  if (args.empty()) return CliRequest::Run;
  if (args.size() > 1) return CliRequest::Unknown;
  if (args[0] == "--help" || args[0] == "-h") return CliRequest::Help;
  if (args[0] == "--version") return CliRequest::Version;
  return CliRequest::Unknown;
}

const char* ProgramVersion() { return KP_VERSION; }

const char* ProgramLicence() { return "MIT"; }

std::string KoderUsage() {
  return "Użycie / usage: kpnox-koder [--help | --version]\n"
         "\n"
         "KpNOX Koder: programowanie kart dostępu DESFire programatorem KP-R50.\n"
         "KpNOX Koder: encodes DESFire access cards through a KP-R50 card programmer.\n"
         "\n"
         "  -h, --help   ta pomoc / this help\n"
         "  --version    wersja programu / the program's version\n"
         "\n"
         "Bez opcji otwiera okno programu; potrzebny jest ekran (bez niego: xvfb-run -a kpnox-koder).\n"
         "With no option it opens its window; it needs a display (without one: xvfb-run -a kpnox-koder).\n";
}

int AnswerKoderCli(const std::vector<std::string>& args) {
  switch (ParseCli(args)) {
    case CliRequest::Run:
      return -1;
    case CliRequest::Help:
      std::fputs(KoderUsage().c_str(), stdout);
      return 0;
    case CliRequest::Version:
      std::printf("KpNOX Koder %s\n", ProgramVersion());
      return 0;
    case CliRequest::Unknown:
      break;
  }
  std::string given;
  for (const std::string& arg : args) given += (given.empty() ? "" : " ") + arg;
  std::fprintf(stderr, "kpnox-koder: nieznana opcja / unknown option: %s\n\n%s", given.c_str(),
               KoderUsage().c_str());
  return 2;
}

}  // namespace kp
