// kpnox-cli: the KP-R50 programmer from scripts. Reads its arguments, its list and its
// passwords here; the commands themselves are CliRun's.
#include "cli/CardList.h"
#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "cli/common/CommandLine.h"
#include "cli/PasswordInput.h"
#include "cli/Records.h"
#include "cli/StopRequest.h"
#include "platform/system/SystemPlatform.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>
#endif

namespace {

#ifdef _WIN32
std::string Utf8Of(const wchar_t* wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string text(size > 0 ? static_cast<size_t>(size) : 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr);
  text.resize(text.size() - 1);
  return text;
}
#endif

// The arguments as UTF-8 on every system (Windows hands main its ANSI code page).
std::vector<std::string> Arguments(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) args.push_back(Utf8Of(wide[i]));
  LocalFree(wide);
  return args;
#else
  return std::vector<std::string>(argv + 1, argv + argc);
#endif
}

std::optional<std::string> ReadFile(const std::string& path) {
  // The path is UTF-8 on every system; a path of char8_t says so to Windows too.
  const std::filesystem::path name(std::u8string(path.begin(), path.end()));
  std::ifstream file(name, std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream content;
  content << file.rdbuf();
  if (file.bad()) return std::nullopt;
  return content.str();
}

// --help and --version: what they print and the exit code; nullopt for the other commands.
std::optional<int> RunInfoCommand(const kp::CliOptions& options) {
  if (options.command == kp::CliCommand::Help) {
    std::cout << kp::CliUsage();
    return kp::kExitDone;
  }
  if (options.command == kp::CliCommand::Version) {
    std::cout << "kpnox-cli (KpNOX Koder) " << kp::ProgramVersion() << '\n';
    return kp::kExitDone;
  }
  return std::nullopt;
}

// The rows of a batch, from its range or its list; false when the list cannot be used (the
// reasons are on standard error).
bool BatchRows(const kp::CliOptions& options, std::vector<kp::CardRow>& rows) {
  if (options.listPath.empty()) {
    rows = kp::RangeRows(options);
    return true;
  }
  const std::optional<std::string> text = ReadFile(options.listPath);
  if (!text) {
    std::cerr << "kpnox-cli: nie można czytać / cannot read: " << options.listPath << '\n';
    return false;
  }
  kp::CardList list = kp::ParseCardList(*text);
  for (const std::string& error : list.errors) {
    std::cerr << options.listPath << ": " << error << '\n';
  }
  if (!list.errors.empty()) {
    std::cerr << "kpnox-cli: nic nie zaprogramowano / nothing was programmed\n";
    return false;
  }
  rows = std::move(list.rows);
  return true;
}

kp::PasswordSource PasswordSourceFor(const kp::CliOptions& options) {
  if (options.passwordStdin) {
    return [](const char*) { return kp::ReadStdinPassword(); };
  }
  return [terminalError = std::string()](const char* prompt) mutable {
    std::optional<std::u16string> typed = kp::ReadTerminalPassword(prompt, &terminalError);
    if (!terminalError.empty()) {
      std::cerr << "kpnox-cli: " << terminalError << '\n';
      terminalError.clear();
    }
    return typed;
  };
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Polish messages on the console; records with LF line ends, as on Linux.
  SetConsoleOutputCP(CP_UTF8);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  const std::vector<std::string> args = Arguments(argc, argv);
  const kp::ParsedCli parsed = kp::ParseCliOptions(args);
  if (!parsed.options) {
    std::cerr << "kpnox-cli: " << parsed.error << "\n\n" << kp::CliUsage();
    return kp::kExitUsage;
  }
  const kp::CliOptions& options = *parsed.options;
  if (const std::optional<int> exitCode = RunInfoCommand(options)) return *exitCode;
  std::vector<kp::CardRow> rows;
  if (options.command == kp::CliCommand::Batch && !BatchRows(options, rows)) {
    return kp::kExitUsage;
  }

  const std::atomic<bool>& stop = kp::InstallStopHandlers();
  const kp::PasswordSource password = PasswordSourceFor(options);
  const std::unique_ptr<kp::UsbPlatform> platform = kp::MakeSystemPlatform();
  kp::CliContext context{*platform, std::cout,       std::cerr, password, !options.passwordStdin,
                         stop,      kp::UtcTimestamp};
  const int exitCode = kp::RunCliCommand(options, rows, context);
  kp::StopHandled();
  return exitCode;
}
