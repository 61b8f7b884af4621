#include "cli/CliOptions.h"

#include "platform/NumberText.h"

#include <array>

namespace kp {

namespace {

struct CommandName {
  const char* name;
  CliCommand command;
};

constexpr std::array<CommandName, 7> kCommands = {{
    {"status", CliCommand::Status},
    {"login", CliCommand::Login},
    {"passwd", CliCommand::Passwd},
    {"program", CliCommand::Program},
    {"read", CliCommand::Read},
    {"erase", CliCommand::Erase},
    {"batch", CliCommand::Batch},
}};

// The options that take a value, each with the commands it belongs to.
enum class ValueOption { Department, Index, FirstIndex, Count, List };

ParsedCli Fail(std::string error) { return {std::nullopt, std::move(error)}; }

bool Takes(CliCommand command, std::initializer_list<CliCommand> commands) {
  for (const CliCommand c : commands) {
    if (c == command) return true;
  }
  return false;
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
  bool seen[5] = {};
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
    if (first == c.name) {
      options.command = c.command;
      return std::nullopt;
    }
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
    *allowed = command != CliCommand::Status;
    return &options.passwordStdin;
  }
  if (name == "--wait") {
    *allowed = command == CliCommand::Read;
    return &options.wait;
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
  return std::nullopt;
}

std::optional<ParsedCli> StoreValue(ValueOption which, const std::string& name,
                                    const std::string& value, CliOptions& options) {
  if (which == ValueOption::List) {
    if (value.empty()) return Fail("brak wartości / missing value: " + name);
    options.listPath = value;
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
    case ValueOption::List: break;
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
  return std::nullopt;
}

}  // namespace

ParsedCli ParseCliOptions(const std::vector<std::string>& args) {
  OptionScan scan;
  if (std::optional<ParsedCli> done = ParseFirst(args, scan.options)) return *done;
  for (size_t i = 1; i < args.size(); ++i) {
    if (std::optional<ParsedCli> failed = ParseOption(args, i, scan)) return *failed;
  }
  if (std::optional<ParsedCli> failed = CheckTogether(scan)) return *failed;
  return {scan.options, {}};
}

std::string CliUsage() {
  return "Użycie / usage: kpnox-cli POLECENIE / COMMAND [OPCJE / OPTIONS]\n"
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
         "  batch --list PLIK/FILE\n"
         "  batch --department D --first-index I --count N\n"
         "                              programuje karty z listy / programs cards from a list\n"
         "  -h, --help                  ta pomoc / this help\n"
         "  --version                   wersja programu / the program's version\n"
         "\n"
         "  --json                      rekordy jako JSON Lines / records as JSON Lines\n"
         "  --password-stdin            hasła jako wiersze wejścia (passwd: stare, nowe) /\n"
         "                              passwords as lines of standard input (passwd: old, new)\n"
         "\n"
         "Hasło nigdy z wiersza poleceń: z terminala bez echa albo ze standardowego wejścia.\n"
         "A password never comes from the command line: from the terminal without echo, or\n"
         "from standard input. D and I: 0..99999. The list: CSV, department,index per line\n"
         "(comma or semicolon, optional header). Records on standard output:\n"
         "department,index,uid,result,time.\n"
         "\n"
         "Kody wyjścia / exit codes: 0 wykonane / done; 1 odmowa karty, wiersz niewykonany /\n"
         "card refused, a row not done; 2 użycie / usage; 3 brak programatora, błąd łącza /\n"
         "no programmer, link failed; 4 logowanie odrzucone / login refused; 5 wymagana zmiana\n"
         "hasła / the password must be changed first.\n";
}

}  // namespace kp
