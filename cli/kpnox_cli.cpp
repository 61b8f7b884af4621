// kpnox-cli: the KP-R50 programmer from scripts. Reads its arguments, its list and its
// passwords here; the commands themselves are CliRun's.
#include "cli/CardList.h"
#include "cli/CliOptions.h"
#include "cli/CliRun.h"
#include "cli/Doctor.h"
#include "cli/common/CommandLine.h"
#include "cli/PasswordInput.h"
#include "cli/Records.h"
#include "cli/StopRequest.h"
#include "platform/MonotonicClock.h"
#include "platform/system/SystemPlatform.h"
#include "trace/TraceFile.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <streambuf>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32

// A standard stream that is not there (the program was started without it) is opened on NUL,
// so that no file the program opens later takes its place.
void OpenOnNull(std::FILE* stream, int fd, const char* mode, DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) return;
  if (std::freopen("NUL", mode, stream) == nullptr) return;
  if (_fileno(stream) != fd) _dup2(_fileno(stream), fd);
  SetStdHandle(which, reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
}

void OpenMissingStandardStreams() {
  OpenOnNull(stdin, 0, "rb", STD_INPUT_HANDLE);
  OpenOnNull(stdout, 1, "wb", STD_OUTPUT_HANDLE);
  OpenOnNull(stderr, 2, "wb", STD_ERROR_HANDLE);
}

// Text for a console, written as UTF-16: the console shows the Polish letters whatever its
// code page, where UTF-8 bytes written one by one come out as "HasA?o". A sequence cut by the
// end of the buffer waits for its last bytes.
class ConsoleBuffer : public std::streambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) {
    setp(bytes_, bytes_ + sizeof bytes_);
  }

 protected:
  int_type overflow(int_type c) override {
    if (Drain() != 0) return traits_type::eof();
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
  }
  int sync() override { return Drain(); }

 private:
  int Drain() {
    const int size = static_cast<int>(pptr() - pbase());
    // Where the last sequence starts, and whether all its bytes are here.
    int whole = size;
    for (int back = 1; back <= 3 && back <= size; ++back) {
      const auto byte = static_cast<unsigned char>(bytes_[size - back]);
      if ((byte & 0xC0) == 0x80) continue;  // a continuation byte
      const int length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
      if (length > back) whole = size - back;
      break;
    }
    if (whole > 0) {
      wchar_t wide[sizeof bytes_];
      const int count = MultiByteToWideChar(CP_UTF8, 0, bytes_, whole, wide, sizeof bytes_);
      DWORD written = 0;
      const DWORD length = count > 0 ? static_cast<DWORD>(count) : 0;
      if (length > 0 && !WriteConsoleW(console_, wide, length, &written, nullptr)) return -1;
    }
    const int tail = size - whole;
    std::memmove(bytes_, bytes_ + whole, static_cast<size_t>(tail));
    setp(bytes_, bytes_ + sizeof bytes_);
    pbump(tail);
    return 0;
  }

  HANDLE console_;
  char bytes_[1024];
};

// std::cout and std::cerr write through a ConsoleBuffer where they are a console; a pipe or
// a file keeps the UTF-8 bytes. The buffers live as long as the streams, which are flushed
// after every static of this file is gone: they are never freed.
void WriteConsolesWide() {
  DWORD mode = 0;
  if (const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE); GetConsoleMode(handle, &mode)) {
    std::cout.rdbuf(new ConsoleBuffer(handle));
  }
  if (const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE); GetConsoleMode(handle, &mode)) {
    std::cerr.rdbuf(new ConsoleBuffer(handle));
  }
}

#endif

#ifndef _WIN32
// A standard stream closed at the start (`<&-`) is opened on /dev/null: else the first file
// or socket the program opens would take its number, to be read as a password or written to
// as records.
void OpenMissingStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}
#endif

// The whole file at `path` (UTF-8), or false with the system's reason in `error`.
bool ReadWholeFile(const std::string& path, std::string* text, std::string* error) {
#ifdef _WIN32
  // A path of char8_t says UTF-8 to Windows too.
  const std::filesystem::path name(std::u8string(path.begin(), path.end()));
  std::FILE* file = _wfopen(name.c_str(), L"rb");
#else
  std::FILE* file = std::fopen(path.c_str(), "rb");
#endif
  if (file == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  char buffer[1 << 16];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, n);
  const int reason = errno;
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) *error = std::strerror(reason);
  return !failed;
}

bool ReadOrSay(const std::string& path, std::string* text) {
  std::string error;
  if (ReadWholeFile(path, text, &error)) return true;
  std::cerr << "kpnox-cli: nie można czytać / cannot read: " << path << ": " << error << '\n';
  return false;
}

// --help and --version: what they print and the exit code; nullopt for the other commands.
std::optional<int> RunInfoCommand(const kp::CliOptions& options) {
  if (options.command == kp::CliCommand::Help) {
    std::cout << kp::CommandUsage(options.helpFor);
    return kp::kExitDone;
  }
  if (options.command == kp::CliCommand::Version) {
    std::cout << "kpnox-cli (KpNOX Koder) " << kp::ProgramVersion() << '\n'
              << "Licencja / licence: " << kp::ProgramLicence() << '\n';
    return kp::kExitDone;
  }
  return std::nullopt;
}

// Nothing of a list is programmed while it has bad lines: each is named, with its file.
bool ListUsable(const std::vector<std::string>& errors, const std::string& file) {
  for (const std::string& error : errors) std::cerr << file << ": " << error << '\n';
  if (errors.empty()) return true;
  std::cerr << "kpnox-cli: nic nie zaprogramowano / nothing was programmed\n";
  return false;
}

// The rows of a batch, from its range or its list, less those done by an earlier run (with
// --resume); false when they cannot be had (the reasons are on standard error).
bool BatchRows(const kp::CliOptions& options, std::vector<kp::CardRow>& rows) {
  if (options.listPath.empty()) {
    rows = kp::RangeRows(options);  // row k on line k, as a list of the range would have it
  } else {
    std::string text;
    if (!ReadOrSay(options.listPath, &text)) return false;
    kp::CardList list = kp::ParseCardList(text);
    if (!ListUsable(list.errors, options.listPath)) return false;
    if (!options.allowDuplicates && !ListUsable(kp::RepeatedRows(list.rows), options.listPath)) {
      return false;
    }
    rows = std::move(list.rows);
  }
  if (options.resumePath.empty()) return true;
  std::string text;
  if (!ReadOrSay(options.resumePath, &text)) return false;
  std::string error;
  const std::optional<std::vector<kp::CardRecord>> records = kp::ParseRecords(text, &error);
  if (!records) return ListUsable({error}, options.resumePath);
  kp::RowsLeft left = kp::RowsNotDone(rows, *records);
  if (!ListUsable(left.errors, options.resumePath)) return false;
  std::cerr << "kpnox-cli: pominięte wiersze z rekordem ok / rows skipped, with an ok record: "
            << left.skipped << '\n';
  rows = std::move(left.rows);
  return true;
}

// Whether two paths (UTF-8) name one file, or would once it is made.
bool SameFile(const std::string& a, const std::string& b) {
  const std::filesystem::path first(std::u8string(a.begin(), a.end()));
  const std::filesystem::path second(std::u8string(b.begin(), b.end()));
  std::error_code error;
  if (std::filesystem::equivalent(first, second, error)) return true;
  const std::filesystem::path firstFull = std::filesystem::weakly_canonical(first, error);
  return !error && firstFull == std::filesystem::weakly_canonical(second, error) && !error;
}

// The trace file of --trace, emptied and begun; nullptr without --trace, and also when it
// cannot be written: then `failed` is set and the reason is on standard error.
std::unique_ptr<kp::TraceFile> OpenTrace(const kp::CliOptions& all, bool* failed) {
  const kp::TraceOptions& options = all.trace;
  *failed = false;
  if (options.path.empty()) return nullptr;
  // Emptied for the trace, the records or the list would be lost.
  for (const std::string* other : {&all.outputPath, &all.listPath, &all.resumePath}) {
    if (other->empty() || !SameFile(options.path, *other)) continue;
    std::cerr << "kpnox-cli: plik śladu to plik rekordów lub listy / the trace file is the "
                 "records' or the list's file: "
              << options.path << '\n';
    *failed = true;
    return nullptr;
  }
  std::string error;
  std::unique_ptr<kp::TraceFile> trace = kp::TraceFile::Open(
      options.path, options.pcap ? kp::TraceFormat::Pcap : kp::TraceFormat::Text,
      {std::string("kpnox-cli ") + kp::ProgramVersion(), kp::SystemText(),
       kp::SystemBackendsText()},
      kp::MonotonicMicroseconds, &error);
  if (!trace) {
    std::cerr << "kpnox-cli: nie można zapisać śladu / cannot write the trace: " << options.path
              << ": " << error << '\n';
    *failed = true;
  }
  return trace;
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
  OpenMissingStandardStreams();
#ifdef _WIN32
  // Records with LF line ends, as on Linux.
  _setmode(_fileno(stdout), _O_BINARY);
  WriteConsolesWide();
#else
  // A reader gone from the pipe is a failed write of a record, reported and stopped on.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  const std::vector<std::string> args = kp::ProgramArguments(argc, argv);
  const kp::ParsedCli parsed = kp::ParseCliOptions(args);
  if (!parsed.options) {
    std::cerr << "kpnox-cli: " << parsed.error << "\n\n" << kp::CliUsage();
    return kp::kExitUsage;
  }
  const kp::CliOptions& options = *parsed.options;
  if (const std::optional<int> exitCode = RunInfoCommand(options)) return *exitCode;
  // The doctor looks at the machine itself: it links no programmer.
  if (options.command == kp::CliCommand::Doctor)
    return kp::doctor::RunDoctor(std::cout, options.json);
  std::vector<kp::CardRow> rows;
  if (options.command == kp::CliCommand::Batch && !BatchRows(options, rows)) {
    return kp::kExitUsage;
  }
  if (options.command == kp::CliCommand::Batch && rows.empty()) {
    std::cerr << "kpnox-cli: nic do zrobienia / nothing left to do\n";
    return kp::kExitDone;
  }
  // Where the trace and the records go is settled before the programmer is touched.
  bool traceFailed = false;
  const std::unique_ptr<kp::TraceFile> trace = OpenTrace(options, &traceFailed);
  if (traceFailed) return kp::kExitUsage;
  const kp::ScopedTraceSink traceSink(trace ? &trace->Sink() : nullptr);
  kp::RecordWriter records(std::cout, options.json);
  if (!options.outputPath.empty() && !records.OpenFile(options.outputPath)) {
    std::cerr << "kpnox-cli: nie można zapisać / cannot write: " << options.outputPath << ": "
              << records.Error() << '\n';
    return kp::kExitUsage;
  }

  const std::atomic<bool>& stop = kp::InstallStopHandlers();
  const kp::PasswordSource password = PasswordSourceFor(options);
  const std::unique_ptr<kp::UsbPlatform> platform = kp::MakeSystemPlatform();
  kp::CliContext context{.platform = *platform,
                         .out = std::cout,
                         .records = records,
                         .err = std::cerr,
                         .password = password,
                         .confirmNewPassword = !options.passwordStdin,
                         .stop = stop,
                         .clock = kp::UtcTimestamp,
                         .quiet = options.quiet};
  const int exitCode = kp::RunCliCommand(options, rows, context);
  kp::StopHandled();
  if (trace && !trace->Error().empty()) {
    std::cerr << "kpnox-cli: ślad niepełny / the trace is incomplete: " << trace->Error() << '\n';
  }
  // A stopped command says how it was stopped, as a shell would; a record that could not be
  // written says so even then, since a card may be without its record.
  if (const int stopCode = kp::StopExitCode(); stopCode != 0 && exitCode != kp::kExitRecordLost) {
    return stopCode;
  }
  return exitCode;
}
