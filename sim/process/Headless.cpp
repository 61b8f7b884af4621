#include "sim/process/Headless.h"

#include "sim/process/QuitOnSignal.h"
#include "sim/rack/SimScript.h"
#include "sim/process/StdinReader.h"

#include <QCoreApplication>

#include <cstdio>
#include <string>
#include <string_view>

namespace kp {

namespace {

// A line longer than this is no command; it is thrown away up to its end.
constexpr size_t kMaxLine = 4096;

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Standard input cut into lines for the rack.
class StdinCommands {
 public:
  StdinCommands(SimRack& rack, QObject* context) : rack_(rack) {
    // No input at all: run until a quit signal.
    ReadStdin(context, {[this](std::string_view chunk) { return Take(chunk); }, [this] { End(); }});
  }

 private:
  // False on "quit".
  bool Take(std::string_view chunk) {
    for (const char c : chunk) {
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
      if (RunScriptLine(rack_, Trimmed(line)) == ScriptOutcome::Quit) {
        Finish();
        return false;
      }
    }
    return true;
  }

  void End() {
    if (!pending_.empty() && !skipping_) RunScriptLine(rack_, Trimmed(pending_));
    Finish();
  }

  // A Windows console or pipe ends its lines with CR LF.
  static std::string Trimmed(const std::string& line) {
    if (!line.empty() && line.back() == '\r') return line.substr(0, line.size() - 1);
    return line;
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

int RunHeadless(int& argc, char** argv, const SimOptions& options, uint64_t seed,
                std::unique_ptr<ReplayFirmware> replay) {
  QCoreApplication application(argc, argv);
  int status = 0;
  {
    SimRack rack(seed, options.transport);
    rack.SetLineSink(PrintLine);
    if (replay) {
      rack.AddReplay(std::move(replay), options.setup.plugged);
    } else {
      for (int i = 0; i < options.programmers; ++i) rack.Add(options.setup);
    }
    QObject context;
    if (!QuitOnSignal(&context)) rack.Error("cannot catch the quit signals");
    StdinCommands commands(rack, &context);
    PrintLine("ready");
    status = QCoreApplication::exec();
    rack.UnplugAll();
  }
  return status;
}

}  // namespace kp
