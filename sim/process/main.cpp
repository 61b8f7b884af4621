// kpr50-sim: virtual KP-R50 programmers on sockets, for the demo and the end-to-end tests.
//
// With a display it shows a control window; with --headless it needs none and is driven by
// standard input. Either way each programmer is one socket in the runtime folder that
// SimSocketPlatform lists as a plugged-in programmer (--transport=unix, the default on Linux),
// or one port on 127.0.0.1 with an announce file that SimTcpPlatform lists
// (--transport=tcp, the default on Windows), and the files are removed on the way out (quit,
// end of input, SIGINT, SIGTERM, SIGHUP).
//
// The headless commands and the event lines are listed once, in the help text (--help).
#include "cli/common/CommandLine.h"
#include "cli/qt/Display.h"
#include "sim/window/ControlWindow.h"
#include "sim/process/Headless.h"
#include "sim/process/SignalQuit.h"
#include "sim/rack/SimOptions.h"

#if defined(_WIN32)
#include "sim/process/WinConsole.h"
#endif

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

uint64_t RandomSeed() {
  std::random_device device;
  return static_cast<uint64_t>(device()) << 32 | device();
}

}  // namespace

int main(int argc, char* argv[]) {
#if defined(_WIN32)
  kp::UseParentConsole();
#endif
  const std::vector<std::string> args(argv + 1, argv + argc);
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
  const uint64_t seed = options.seed ? *options.seed : RandomSeed();
  if (options.headless) return kp::RunHeadless(argc, argv, options, seed);

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
    for (int i = 0; i < options.programmers; ++i) rack.Add(options.setup);
    kp::QuitOnSignals(&window);
    window.show();
    status = QApplication::exec();
  }
  rack.UnplugAll();
  return status;
}
