// kpr50-sim: virtual KP-R50 programmers on sockets, for the demo and the end-to-end tests.
//
// With a display it shows a control window; with --headless it needs none and is driven by
// standard input. Either way each programmer is one socket in the runtime folder that
// SimUnixPlatform lists as a plugged-in programmer (--transport=unix, the default on Linux),
// or one port on 127.0.0.1 with an announce file that SimTcpPlatform lists
// (--transport=tcp, the default on Windows), and the files are removed on the way out (quit,
// end of input, SIGINT, SIGTERM, SIGHUP).
//
// With --replay FILE the one programmer answers as the text trace FILE has it (ReplayFirmware);
// a file that cannot be read or is no trace ends the start with exit code 2.
//
// The headless commands and the event lines are listed once, in the help text (--help).
#include "cli/common/CommandLine.h"
#include "cli/qt/Display.h"
#include "sim/window/ControlWindow.h"
#include "sim/process/Headless.h"
#include "sim/process/QuitOnSignal.h"
#include "sim/rack/SimOptions.h"

#if defined(_WIN32)
#include "sim/process/WinConsole.h"
#endif

#include <QApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// A trace longer than this is refused rather than read: days of a window's polling fit.
constexpr size_t kMaxTraceBytes = size_t{256} << 20;

uint64_t RandomSeed() {
  std::random_device device;
  return static_cast<uint64_t>(device()) << 32 | device();
}

// The whole file at `path` (UTF-8), or false with the reason in `error`.
bool ReadTraceFile(const std::string& path, std::string* text, std::string* error) {
#ifdef _WIN32
  // A path of char8_t says UTF-8 to Windows too.
  const std::filesystem::path name(std::u8string(path.begin(), path.end()));
  std::FILE* file = _wfopen(name.c_str(), L"rb");
#else
  std::FILE* file = std::fopen(path.c_str(), "rbe");
#endif
  if (file == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  char buffer[1 << 16];
  size_t n = 0;
  errno = 0;
  while (text->size() <= kMaxTraceBytes && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text->append(buffer, n);
  }
  const int reason = errno;
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *error = std::strerror(reason != 0 ? reason : EIO);
  } else if (text->size() > kMaxTraceBytes) {
    *error = "larger than " + std::to_string(kMaxTraceBytes >> 20) + " MiB";
  }
  return !failed && text->size() <= kMaxTraceBytes;
}

// The replay --replay asks for, or nullptr after saying why there is none.
std::unique_ptr<kp::ReplayFirmware> LoadReplay(const kp::SimOptions& options) {
  std::string text;
  std::string error;
  std::unique_ptr<kp::ReplayFirmware> replay;
  if (ReadTraceFile(options.replay, &text, &error)) {
    replay = kp::ReplayFirmware::FromText(text, options.replaySpeed, &error);
  }
  if (!replay) {
    std::fprintf(stderr, "kpr50-sim: --replay %s: %s\n", options.replay.c_str(), error.c_str());
  }
  return replay;
}

}  // namespace

int main(int argc, char* argv[]) {
#if defined(_WIN32)
  kp::UseParentConsole();
#endif
  const std::vector<std::string> args = kp::ProgramArguments(argc, argv);
  kp::SimOptions options;
  std::string error;
  if (!kp::ParseSimOptions(args, &options, &error)) {
    std::fprintf(stderr, "kpr50-sim: %s\nkpr50-sim --help lists the options.\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(kp::SimHelpText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("kpr50-sim %s\n", kp::ProgramVersion());
    return 0;
  }
#if defined(SIGPIPE)
  // A client or a reader of our output that goes away must not end us before the cleanup.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  std::unique_ptr<kp::ReplayFirmware> replay;
  if (!options.replay.empty() && !(replay = LoadReplay(options))) return 2;
  const uint64_t seed = options.seed ? *options.seed : RandomSeed();
  if (options.headless) return kp::RunHeadless(argc, argv, options, seed, std::move(replay));

  if (!kp::DisplayNamed()) {
    std::fputs(kp::NoDisplayLine("kpr50-sim", "DISPLAY is not set; --headless needs none").c_str(),
               stderr);
    return 1;
  }
  kp::DisplayGuard displayGuard("kpr50-sim");
  QApplication application(argc, argv);
  displayGuard.Release();
  kp::SimRack rack(seed, options.transport);
  int status = 0;
  {
    kp::ControlWindow window(rack, options.setup);
    if (replay) {
      rack.AddReplay(std::move(replay), options.setup.plugged);
    } else {
      for (int i = 0; i < options.programmers; ++i) rack.Add(options.setup);
    }
    kp::QuitOnSignal(&window);
    window.show();
    status = QApplication::exec();
  }
  rack.UnplugAll();
  return status;
}
