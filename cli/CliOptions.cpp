#include "cli/CliOptions.h"

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
  if (text.empty() || text.size() > 5) return std::nullopt;
  int32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

ParsedCli ParseCliOptions(const std::vector<std::string>& args) {
  if (args.empty()) return Fail("brak polecenia / no command");
  CliOptions options;
  const std::string& first = args[0];
  if (first == "--help" || first == "-h") {
    if (args.size() > 1) return Fail("--help bez innych argumentów / --help takes nothing else");
    options.command = CliCommand::Help;
    return {options, {}};
  }
  if (first == "--version") {
    if (args.size() > 1) {
      return Fail("--version bez innych argumentów / --version takes nothing else");
    }
    options.command = CliCommand::Version;
    return {options, {}};
  }
  bool known = false;
  for (const CommandName& c : kCommands) {
    if (first == c.name) {
      options.command = c.command;
      known = true;
    }
  }
  if (!known) return Fail("nieznane polecenie / unknown command: " + first);

  const CliCommand command = options.command;
  bool seen[5] = {};
  for (size_t i = 1; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    if (const size_t equals = arg.find('=');
        arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      inlineValue = arg.substr(equals + 1);
      arg.resize(equals);
    }
    auto flag = [&](bool& target, bool allowed) -> std::optional<ParsedCli> {
      if (!allowed || inlineValue) return Fail("nieznana opcja / unknown option: " + args[i]);
      target = true;
      return std::nullopt;
    };
    std::optional<ParsedCli> failed;
    if (arg == "--json") {
      failed = flag(options.json, command != CliCommand::Login && command != CliCommand::Passwd);
    } else if (arg == "--password-stdin") {
      failed = flag(options.passwordStdin, command != CliCommand::Status);
    } else if (arg == "--wait") {
      failed = flag(options.wait, command == CliCommand::Read);
    } else {
      ValueOption which;
      if (arg == "--department" && Takes(command, {CliCommand::Program, CliCommand::Batch})) {
        which = ValueOption::Department;
      } else if (arg == "--index" && command == CliCommand::Program) {
        which = ValueOption::Index;
      } else if (arg == "--first-index" && command == CliCommand::Batch) {
        which = ValueOption::FirstIndex;
      } else if (arg == "--count" && command == CliCommand::Batch) {
        which = ValueOption::Count;
      } else if (arg == "--list" && command == CliCommand::Batch) {
        which = ValueOption::List;
      } else {
        return Fail("nieznana opcja / unknown option: " + args[i]);
      }
      if (seen[static_cast<int>(which)]) return Fail("powtórzona opcja / repeated option: " + arg);
      seen[static_cast<int>(which)] = true;
      if (!inlineValue) {
        if (i + 1 >= args.size()) return Fail("brak wartości / missing value: " + arg);
        inlineValue = args[++i];
      }
      const std::string& value = *inlineValue;
      if (which == ValueOption::List) {
        if (value.empty()) return Fail("brak wartości / missing value: " + arg);
        options.listPath = value;
        continue;
      }
      std::optional<int32_t> number = ParseCardNumber(value);
      if (which == ValueOption::Count) {
        // As many cards as there are indexes; a count of none does nothing worth asking for.
        if (!number && value.size() == 6 && value == "100000") number = 100000;
        if (number && *number == 0) number.reset();
      }
      if (!number) {
        return Fail("zła wartość / bad value: " + arg + " " + value +
                    (which == ValueOption::Count ? " (1..100000)" : " (0..99999)"));
      }
      switch (which) {
        case ValueOption::Department:
          options.department = *number;
          break;
        case ValueOption::Index:
          options.index = *number;
          break;
        case ValueOption::FirstIndex:
          options.firstIndex = *number;
          break;
        case ValueOption::Count:
          options.count = *number;
          break;
        case ValueOption::List:
          break;
      }
    }
    if (failed) return *failed;
  }

  const bool department = seen[static_cast<int>(ValueOption::Department)];
  if (command == CliCommand::Program &&
      (!department || !seen[static_cast<int>(ValueOption::Index)])) {
    return Fail("program wymaga / needs --department D --index I");
  }
  if (command == CliCommand::Batch) {
    const bool list = seen[static_cast<int>(ValueOption::List)];
    const bool range = department || seen[static_cast<int>(ValueOption::FirstIndex)] ||
                       seen[static_cast<int>(ValueOption::Count)];
    const bool wholeRange = department && seen[static_cast<int>(ValueOption::FirstIndex)] &&
                            seen[static_cast<int>(ValueOption::Count)];
    if (list == range || (range && !wholeRange)) {
      return Fail("batch wymaga / needs --list FILE or --department D --first-index I --count N");
    }
    if (range && int64_t{options.firstIndex} + options.count - 1 > kMaxCardNumber) {
      return Fail("indeksy poza 0..99999 / indexes beyond 0..99999");
    }
  }
  return {options, {}};
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
