#include "sim/Headless.h"

#include "sim/SignalQuit.h"
#include "sim/SimScript.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace kp {

namespace {

// A line longer than this is no command; it is thrown away up to its end.
constexpr size_t kMaxLine = 4096;

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Standard input, read as it becomes readable (it stays blocking: it may be shared with
// the shell), cut into lines for the rack.
class StdinCommands {
 public:
  StdinCommands(SimRack& rack, QObject* context) : rack_(rack) {
    if (fcntl(STDIN_FILENO, F_GETFD) == -1) return;  // no input at all: run until a signal
    auto* notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [this, notifier] {
      if (!ReadSome()) {
        notifier->setEnabled(false);
        Finish();
      }
    });
  }

 private:
  // False at the end of the input or on "quit".
  bool ReadSome() {
    char chunk[4096];
    const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
      if (!pending_.empty() && !skipping_) RunScriptLine(rack_, pending_);
      return false;
    }
    for (ssize_t i = 0; i < n; ++i) {
      const char c = chunk[i];
      if (c != '\n') {
        if (!skipping_) pending_ += c;
        if (pending_.size() > kMaxLine) {
          rack_.Error("line too long");
          pending_.clear();
          skipping_ = true;
        }
        continue;
      }
      const std::string line = std::move(pending_);
      pending_.clear();
      if (skipping_) {
        skipping_ = false;
        continue;
      }
      if (RunScriptLine(rack_, line) == ScriptOutcome::Quit) return false;
    }
    return true;
  }

  void Finish() {
    if (finished_) return;
    finished_ = true;
    QCoreApplication::quit();
  }

  SimRack& rack_;
  std::string pending_;
  bool skipping_ = false;
  bool finished_ = false;
};

}  // namespace

int RunHeadless(int& argc, char** argv, const SimOptions& options, uint64_t seed) {
  QCoreApplication application(argc, argv);
  int status = 0;
  {
    SimRack rack(seed, options.transport);
    rack.SetLineSink(PrintLine);
    for (int i = 0; i < options.programmers; ++i) rack.Add(options.setup);
    QObject context;
    if (!QuitOnSignals(&context)) rack.Error("cannot catch the quit signals");
    StdinCommands commands(rack, &context);
    PrintLine("ready");
    status = QCoreApplication::exec();
    rack.UnplugAll();
  }
  return status;
}

}  // namespace kp
