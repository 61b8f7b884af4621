#include "cli/CliOptions.h"

#include "base/NumberText.h"

#include <array>
#include <cstddef>

namespace kp {

namespace {

struct CommandName {
  const char* name;
  CliCommand command;
};

constexpr std::array<CommandName, 8> kCommands = {{
    {"status", CliCommand::Status},
    {"login", CliCommand::Login},
    {"passwd", CliCommand::Passwd},
    {"program", CliCommand::Program},
    {"read", CliCommand::Read},
    {"erase", CliCommand::Erase},
    {"batch", CliCommand::Batch},
    {"doctor", CliCommand::Doctor},
}};

// The options that take a value, each with the commands it belongs to.
enum class ValueOption { Department, Index, FirstIndex, Count, List, Output, Resume, kCount };

ParsedCli Fail(std::string error) { return {std::nullopt, std::move(error)}; }

bool Takes(CliCommand command, std::initializer_list<CliCommand> commands) {
  for (const CliCommand c : commands) {
    if (c == command) return true;
  }
  return false;
}

// The commands that link the programmer, whose transfers --trace writes.
bool Traces(CliCommand command) { return command != CliCommand::Doctor; }

// The commands that write a record for each card.
bool WritesRecords(CliCommand command) {
  return Takes(command,
               {CliCommand::Program, CliCommand::Read, CliCommand::Erase, CliCommand::Batch});
}

}  // namespace

std::optional<int32_t> ParseCardNumber(std::string_view text) {
  // Digits only: no sign, as in the window's boxes.
  if (text.empty() || text.size() > 5 || text[0] < '0' || text[0] > '9') return std::nullopt;
  return ParseNumber<int32_t>(text);
}

namespace {

// What the options so far have set, and which of the value options were given.
struct OptionScan {
  CliOptions options;
  bool seen[static_cast<int>(ValueOption::kCount)] = {};
  bool Seen(ValueOption which) const { return seen[static_cast<int>(which)]; }
};

// The first argument: a command, or --help or --version alone. Nullopt when a command was
// named and its options follow.
std::optional<ParsedCli> ParseFirst(const std::vector<std::string>& args, CliOptions& options) {
  if (args.empty()) return Fail("brak polecenia / no command");
  const std::string& first = args[0];
  if (first == "--help" || first == "-h") {
    if (args.size() > 1) return Fail("--help bez innych argumentów / --help takes nothing else");
    options.command = CliCommand::Help;
    return ParsedCli{options, {}};
  }
  if (first == "--version") {
    if (args.size() > 1) {
      return Fail("--version bez innych argumentów / --version takes nothing else");
    }
    options.command = CliCommand::Version;
    return ParsedCli{options, {}};
  }
  for (const CommandName& c : kCommands) {
    if (first != c.name) continue;
    options.command = c.command;
    // `kpnox-cli batch --help`: that command's usage.
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] != "--help" && args[i] != "-h") continue;
      if (args.size() > 2) {
        return Fail("--help bez innych argumentów / --help takes nothing else");
      }
      options.command = CliCommand::Help;
      options.helpFor = c.command;
      return ParsedCli{options, {}};
    }
    return std::nullopt;
  }
  return Fail("nieznane polecenie / unknown command: " + first);
}

// The flag `name`, when it is one, for `command`: nullopt when it is not a flag.
std::optional<bool*> FlagOf(const std::string& name, CliOptions& options, bool* allowed) {
  const CliCommand command = options.command;
  if (name == "--json") {
    *allowed = command != CliCommand::Login && command != CliCommand::Passwd;
    return &options.json;
  }
  if (name == "--password-stdin") {
    *allowed = command != CliCommand::Status && command != CliCommand::Doctor;
    return &options.passwordStdin;
  }
  if (name == "--wait") {
    *allowed = command == CliCommand::Read;
    return &options.wait;
  }
  if (name == "--quiet") {
    *allowed = WritesRecords(command);
    return &options.quiet;
  }
  if (name == "--allow-duplicates") {
    *allowed = command == CliCommand::Batch;
    return &options.allowDuplicates;
  }
  return std::nullopt;
}

std::optional<ValueOption> ValueOptionOf(const std::string& name, CliCommand command) {
  if (name == "--department" && Takes(command, {CliCommand::Program, CliCommand::Batch})) {
    return ValueOption::Department;
  }
  if (name == "--index" && command == CliCommand::Program) return ValueOption::Index;
  if (name == "--first-index" && command == CliCommand::Batch) return ValueOption::FirstIndex;
  if (name == "--count" && command == CliCommand::Batch) return ValueOption::Count;
  if (name == "--list" && command == CliCommand::Batch) return ValueOption::List;
  if (name == "--output" && WritesRecords(command)) return ValueOption::Output;
  if (name == "--resume" && command == CliCommand::Batch) return ValueOption::Resume;
  return std::nullopt;
}

std::optional<ParsedCli> StoreValue(ValueOption which, const std::string& name,
                                    const std::string& value, CliOptions& options) {
  if (which == ValueOption::List || which == ValueOption::Output || which == ValueOption::Resume) {
    if (value.empty()) return Fail("brak wartości / missing value: " + name);
    std::string& path = which == ValueOption::List     ? options.listPath
                        : which == ValueOption::Output ? options.outputPath
                                                       : options.resumePath;
    path = value;
    return std::nullopt;
  }
  std::optional<int32_t> number = ParseCardNumber(value);
  if (which == ValueOption::Count) {
    // As many cards as there are indexes; a count of none does nothing worth asking for.
    if (!number && value.size() == 6 && value == "100000") number = 100000;
    if (number && *number == 0) number.reset();
  }
  if (!number) {
    return Fail("zła wartość / bad value: " + name + " " + value +
                (which == ValueOption::Count ? " (1..100000)" : " (0..99999)"));
  }
  switch (which) {
    case ValueOption::Department: options.department = *number; break;
    case ValueOption::Index: options.index = *number; break;
    case ValueOption::FirstIndex: options.firstIndex = *number; break;
    case ValueOption::Count: options.count = *number; break;
    default: break;  // the paths, above
  }
  return std::nullopt;
}

// The option at args[i], and its value when it takes one (then i moves past the value).
std::optional<ParsedCli> ParseOption(const std::vector<std::string>& args, size_t& i,
                                     OptionScan& scan) {
  std::string name = args[i];
  std::optional<std::string> value;
  if (const size_t equals = name.find('=');
      name.rfind("--", 0) == 0 && equals != std::string::npos) {
    value = name.substr(equals + 1);
    name.resize(equals);
  }
  std::string traceError;
  const TraceOptionTaken trace = Traces(scan.options.command)
                                     ? TakeTraceOption(args, i, scan.options.trace, &traceError)
                                     : TraceOptionTaken::No;
  if (trace == TraceOptionTaken::Yes) return std::nullopt;
  if (trace == TraceOptionTaken::Bad) return Fail(traceError);
  bool allowed = false;
  if (const std::optional<bool*> flag = FlagOf(name, scan.options, &allowed)) {
    if (!allowed || value) return Fail("nieznana opcja / unknown option: " + args[i]);
    **flag = true;
    return std::nullopt;
  }
  const std::optional<ValueOption> which = ValueOptionOf(name, scan.options.command);
  if (!which) return Fail("nieznana opcja / unknown option: " + args[i]);
  if (scan.Seen(*which)) return Fail("powtórzona opcja / repeated option: " + name);
  scan.seen[static_cast<int>(*which)] = true;
  if (!value) {
    if (i + 1 >= args.size()) return Fail("brak wartości / missing value: " + name);
    value = args[++i];
  }
  return StoreValue(*which, name, *value, scan.options);
}

// The options that only make sense together.
std::optional<ParsedCli> CheckTogether(const OptionScan& scan) {
  const CliCommand command = scan.options.command;
  if (std::string wrong = CheckTraceOptions(scan.options.trace); !wrong.empty()) {
    return Fail(std::move(wrong));
  }
  if (!Traces(command) && (!scan.options.trace.path.empty() || scan.options.trace.formatGiven)) {
    return Fail(
        "nieznana opcja / unknown option: --trace (bez łącza z programatorem / no link "
        "to the programmer)");
  }
  const bool department = scan.Seen(ValueOption::Department);
  if (command == CliCommand::Program && (!department || !scan.Seen(ValueOption::Index))) {
    return Fail("program wymaga / needs --department D --index I");
  }
  if (command != CliCommand::Batch) return std::nullopt;
  const bool list = scan.Seen(ValueOption::List);
  const bool firstIndex = scan.Seen(ValueOption::FirstIndex);
  const bool count = scan.Seen(ValueOption::Count);
  const bool range = department || firstIndex || count;
  const bool wholeRange = department && firstIndex && count;
  if (list == range || (range && !wholeRange)) {
    return Fail("batch wymaga / needs --list FILE or --department D --first-index I --count N");
  }
  if (range && int64_t{scan.options.firstIndex} + scan.options.count - 1 > kMaxCardNumber) {
    return Fail("indeksy poza 0..99999 / indexes beyond 0..99999");
  }
  // A range holds each index once.
  if (range && scan.options.allowDuplicates) {
    return Fail("--allow-duplicates tylko z --list / --allow-duplicates only with --list");
  }
  return std::nullopt;
}

}  // namespace

ParsedCli ParseCliOptions(const std::vector<std::string>& all) {
  OptionScan scan;
  // The trace options may also come before the command.
  size_t first = 0;
  for (std::string error; first < all.size(); ++first) {
    const TraceOptionTaken taken = TakeTraceOption(all, first, scan.options.trace, &error);
    if (taken == TraceOptionTaken::Bad) return Fail(error);
    if (taken == TraceOptionTaken::No) break;
  }
  const std::vector<std::string> args(all.begin() + static_cast<std::ptrdiff_t>(first), all.end());
  if (std::optional<ParsedCli> done = ParseFirst(args, scan.options)) {
    if (done->options && (first > 0)) {
      return Fail(
          "--help i --version bez innych argumentów / --help and --version take nothing else");
    }
    return *done;
  }
  for (size_t i = 1; i < args.size(); ++i) {
    if (std::optional<ParsedCli> failed = ParseOption(args, i, scan)) return *failed;
  }
  if (std::optional<ParsedCli> failed = CheckTogether(scan)) return *failed;
  return {scan.options, {}};
}

namespace {

// The lines of one option in the usage.
constexpr const char* kJsonHelp =
    "  --json                      rekordy jako JSON Lines / records as JSON Lines\n";
constexpr const char* kPasswordHelp =
    "  --password-stdin            hasła jako wiersze wejścia (passwd: stare, nowe) /\n"
    "                              passwords as lines of standard input (passwd: old, new)\n";
constexpr const char* kOutputHelp =
    "  --output PLIK/FILE          rekordy dopisywane do pliku, nie na wyjście /\n"
    "                              records appended to FILE, not standard output\n";
constexpr const char* kQuietHelp =
    "  --quiet                     bez wierszy postępu / no progress lines\n";
constexpr const char* kResumeHelp =
    "  --resume REKORDY/RECORDS    pomija wiersze z rekordem ok z poprzedniego przebiegu /\n"
    "                              skips the rows that have an ok record in RECORDS\n";
constexpr const char* kDuplicatesHelp =
    "  --allow-duplicates          lista może powtarzać wiersz / the list may repeat a row\n";
constexpr const char* kHelpHelp = "  -h, --help                  ta pomoc / this help\n";

struct CommandHelp {
  CliCommand command;
  const char* synopsis;    // after "kpnox-cli "
  const char* what;        // Polish, then English
  const char* options[6];  // their lines, in order; the rest null
};

const CommandHelp kCommandHelp[] = {
    {CliCommand::Status,
     "status [--json]",
     "Programator i karta w polu: numer, firmware, klucze, hasło, zalogowanie, karta i UID.\n"
     "The programmer and the card in the field: number, firmware, keys, password, login,\n"
     "the card and its UID.\n",
     {"  --json                      jako obiekt JSON / as a JSON object\n"}},
    {CliCommand::Login,
     "login [--password-stdin]",
     "Sprawdza hasło użytkownika. / Checks the user password.\n",
     {kPasswordHelp}},
    {CliCommand::Passwd,
     "passwd [--password-stdin]",
     "Zmienia hasło użytkownika (8..20 znaków; z terminala nowe dwa razy).\n"
     "Changes the user password (8..20 characters; at a terminal the new one twice).\n",
     {kPasswordHelp}},
    {CliCommand::Program,
     "program --department D --index I [--output PLIK/FILE] [--json] [--quiet]\n"
     "                  [--password-stdin]",
     "Programuje pustą kartę w polu numerami D i I (0..99999), jeden rekord.\n"
     "Programs the blank card in the field with D and I (0..99999); one record.\n",
     {kOutputHelp, kJsonHelp, kQuietHelp, kPasswordHelp}},
    {CliCommand::Read,
     "read [--wait] [--output PLIK/FILE] [--json] [--quiet] [--password-stdin]",
     "Czyta kartę w polu, jeden rekord; z --wait karta po karcie do Ctrl+C.\n"
     "Reads the card in the field, one record; with --wait card after card until Ctrl+C.\n",
     {"  --wait                      kolejne karty / card after card\n", kOutputHelp, kJsonHelp,
      kQuietHelp, kPasswordHelp}},
    {CliCommand::Erase,
     "erase [--output PLIK/FILE] [--json] [--quiet] [--password-stdin]",
     "Kasuje kartę w polu, jeden rekord. / Erases the card in the field; one record.\n",
     {kOutputHelp, kJsonHelp, kQuietHelp, kPasswordHelp}},
    {CliCommand::Batch,
     "batch --list PLIK/FILE [--allow-duplicates] [OPCJE / OPTIONS]\n"
     "       kpnox-cli batch --department D --first-index I --count N [OPCJE / OPTIONS]",
     "Programuje karty z listy (CSV: department,index w wierszu; przecinek lub średnik;\n"
     "nagłówek department,index albo wydział,indeks) lub z zakresu indeksów;\n"
     "rekord na kartę.\n"
     "Programs cards from a list (CSV: department,index a line; comma or semicolon; an\n"
     "optional header department,index) or from a range of indexes; a record per card.\n"
     "Wiersz listy powtórzony to błąd / a row repeated in the list is an error.\n",
     {kResumeHelp, kDuplicatesHelp, kOutputHelp, kJsonHelp, kQuietHelp, kPasswordHelp}},
    {CliCommand::Doctor,
     "doctor [--json]",
     "Dlaczego programatora nie widać: urządzenia USB, reguła udev, uprawnienia, kto go\n"
     "trzyma, sterownik WinUSB, symulator; i jeden następny krok. Kod 0 tylko wtedy, gdy\n"
     "prawdziwy KP-R50 jest gotowy, inaczej 7.\n"
     "Why no programmer is seen: the USB devices, the udev rule, permissions, who holds it,\n"
     "the WinUSB driver, the simulator; and the one next step. Exit code 0 only when a real\n"
     "KP-R50 is ready, else 7.\n",
     {"  --json                      jako obiekt JSON / as a JSON object\n"}},
};

}  // namespace

std::string CliUsage() {
  return "Użycie / usage: kpnox-cli [--trace PLIK/FILE [--trace-format text|pcap]]\n"
         "                 POLECENIE / COMMAND [OPCJE / OPTIONS]\n"
         "\n"
         "KpNOX Koder z wiersza poleceń: programator KP-R50 ze skryptów.\n"
         "KpNOX Koder from the command line: the KP-R50 programmer from scripts.\n"
         "\n"
         "  status                      programator i karta w polu / the programmer and the card\n"
         "  login                       sprawdza hasło / checks the password\n"
         "  passwd                      zmienia hasło / changes the password\n"
         "  program --department D --index I\n"
         "                              programuje kartę / programs a card\n"
         "  read [--wait]               czyta kartę (--wait: kolejne karty) / reads a card\n"
         "                              (--wait: card after card until Ctrl+C)\n"
         "  erase                       kasuje kartę / erases a card\n"
         "  doctor [--json]             dlaczego programatora nie widać / why no programmer\n"
         "                              is seen\n"
         "  batch --list PLIK/FILE\n"
         "  batch --department D --first-index I --count N\n"
         "                              programuje karty z listy / programs cards from a list\n"
         "  -h, --help                  ta pomoc / this help\n"
         "  POLECENIE/COMMAND --help    pomoc polecenia / the command's help\n"
         "  --version                   wersja programu / the program's version\n"
         "\n" +
         std::string(kJsonHelp) + kPasswordHelp + kOutputHelp + kQuietHelp + kResumeHelp +
         kDuplicatesHelp + kTraceOptionsHelp +
         "\n"
         "Hasło nigdy z wiersza poleceń: z terminala bez echa albo ze standardowego wejścia.\n"
         "A password never comes from the command line: from the terminal without echo, or\n"
         "from standard input. D and I: 0..99999. The list: CSV, department,index per line\n"
         "(comma or semicolon, optional header). Records on standard output or in --output:\n"
         "department,index,uid,result,time,line (line: the row's line in the list, 0 for none).\n"
         "\n"
         "Kody wyjścia / exit codes: 0 wykonane / done; 1 odmowa karty, wiersz niewykonany /\n"
         "card refused, a row not done; 2 użycie / usage; 3 brak programatora, błąd łącza /\n"
         "no programmer, link failed; 4 logowanie odrzucone / login refused; 5 wymagana zmiana\n"
         "hasła / the password must be changed first; 6 rekordu nie zapisano / a record could\n"
         "not be written; 7 doctor: brak gotowego KP-R50 / doctor: no KP-R50 ready;\n"
         "130 Ctrl+C; 143 SIGTERM.\n";
}

std::string CommandUsage(CliCommand command) {
  for (const CommandHelp& help : kCommandHelp) {
    if (help.command != command) continue;
    std::string usage =
        std::string("Użycie / usage: kpnox-cli ") + help.synopsis + "\n\n" + help.what + "\n";
    for (const char* option : help.options) {
      if (option != nullptr) usage += option;
    }
    if (Traces(command)) usage += kTraceOptionsHelp;
    usage += kHelpHelp;
    return usage;
  }
  return CliUsage();
}

}  // namespace kp
