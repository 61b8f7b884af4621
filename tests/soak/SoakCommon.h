// What both fronts of the soak share: the simulator's state as its lines tell it, the
// time-outs the tool gives each command, the dice, the faults drawn for an action, the options
// and the watchdog that ends a run in which an action never ends.
#pragma once

#include "SimProcess.h"

#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kp::test {

using kp::test::SimProcess;

// --- What the simulator says ---------------------------------------------------------------

// The time-out the tool gives each command's exchange, by the simulator's command names.
inline int TimeoutMs(const QString& name) {
  static const std::map<QString, int> table = {
      {QStringLiteral("status"), 20},
      {QStringLiteral("key-signature"), 50},
      {QStringLiteral("logout"), 50},
      {QStringLiteral("challenge"), 50},
      {QStringLiteral("card-info"), 2000},
      {QStringLiteral("login"), 500},
      {QStringLiteral("change-password"), 1000},
      {QStringLiteral("prepare-card"), 2000},
      {QStringLiteral("write-file"), 2000},
      {QStringLiteral("read-file"), 2000},
      {QStringLiteral("erase-card"), 1000},
  };
  const auto found = table.find(name);
  return found == table.end() ? 0 : found->second;
}

struct SimState {
  QString card = QStringLiteral("none");  // none, empty, prepared, programmed, foreign
  QString uid;
  int dep = 0;
  int idx = 0;
  bool loggedIn = false;
  QString password;  // "admin PASS", "user PASS" or "user" when the tool chose it
  QString Text() const {
    QString text = card;
    if (!uid.isEmpty()) text += u' ' + uid;
    if (card == QLatin1String("programmed")) text += QStringLiteral(" %1/%2").arg(dep).arg(idx);
    return text + (loggedIn ? QStringLiteral(", logged in") : QString());
  }
};

// The state after everything the simulator printed so far, and what those lines tell of the
// requests that came since the last look.
struct Settled {
  SimState state;
  int64_t budgetMs = 0;  // the time-out budget of the requests seen
  int requests = 0;
  QStringList fired;            // faults that fired
  std::vector<SimState> cards;  // what the cards came to hold meanwhile, in turn
};

// Asks for the state and reads up to its last line; nullopt when the simulator is gone. The
// state command's block opens with the keys line (the soak never changes the keys) and its
// other four lines follow at once.
inline std::optional<Settled> Settle(SimProcess& sim) {
  if (!sim.Send(QStringLiteral("state"))) return std::nullopt;
  static const QRegularExpression interesting(QStringLiteral(
      "^(cmd \\d+ \\S+ (\\S+).*|fault 1 fired (.*)|client \\d+ connected|card 1 .*|keys 1 .*)$"));
  static const QRegularExpression card(
      QStringLiteral("^card 1 (\\S+)(?: (\\S+))?(?: dep (-?\\d+) idx (-?\\d+))?$"));
  static const QRegularExpression any(QStringLiteral("^"));
  Settled out;
  while (true) {
    const auto line = sim.Await(interesting);
    if (!line) return std::nullopt;
    const QRegularExpressionMatch m = interesting.match(*line);
    if (line->startsWith(QLatin1String("cmd "))) {
      const QString name = m.captured(2);
      ++out.requests;
      // Each request may wait its time-out, and once more for the resend.
      out.budgetMs += 2 * TimeoutMs(name);
      if (name == QLatin1String("challenge")) out.budgetMs += 1100;  // the pause before a retry
    } else if (line->startsWith(QLatin1String("fault 1 fired"))) {
      out.fired << m.captured(3);
    } else if (line->startsWith(QLatin1String("card 1 "))) {
      const QRegularExpressionMatch c = card.match(*line);
      SimState held;
      held.card = c.captured(1);
      held.uid = c.captured(2);
      held.dep = c.captured(3).toInt();
      held.idx = c.captured(4).toInt();
      out.cards.push_back(held);
    } else if (line->startsWith(QLatin1String("client "))) {
      out.budgetMs += 50;  // a fresh link drains the IN pipe for one time-out
    } else {
      break;  // the state block
    }
  }
  const auto password = sim.Await(any);
  const auto login = sim.Await(any);
  const auto cardLine = sim.Await(any);
  const auto fault = sim.Await(any);
  if (!password || !login || !cardLine || !fault) return std::nullopt;
  out.state.password = password->section(u' ', 2, -1);
  out.state.loggedIn = *login == QLatin1String("login 1 yes");
  const QRegularExpressionMatch c = card.match(*cardLine);
  out.state.card = c.captured(1);
  out.state.uid = c.captured(2);
  out.state.dep = c.captured(3).toInt();
  out.state.idx = c.captured(4).toInt();
  sim.Forget();
  return out;
}

// The schedule's random draws, all from the seed.
class Dice {
 public:
  explicit Dice(uint64_t seed) : random_(seed) {}

  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(random_) < p; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {  // `items` must outlive the reference
    return items[static_cast<size_t>(Uniform(0, static_cast<int>(items.size()) - 1))];
  }

  // A password the change takes: 8 to 12 characters, now and then a Polish letter.
  QString NewPassword() {
    static const QString letters = QStringLiteral("abcdefghkmnpqrstuvwxyz23456789");
    QString password;
    const int length = Uniform(8, 12);
    for (int i = 0; i < length; ++i) password += letters[Uniform(0, int(letters.size()) - 1)];
    if (Chance(0.2)) password[Uniform(0, length - 1)] = QChar(0x017C);  // ż
    return password;
  }

  // The faults for one action, as simulator commands, aimed at one of `commands`: one fault,
  // or a chain: the first answer late by one to two time-outs, and a second fault at the
  // resend (the card leaves or is swapped, the programmer stalls or the link drops). The
  // light mix keeps what costs whole time-outs mostly to the commands with short ones.
  QStringList Faults(const QStringList& commands, bool light) {
    const QString command = commands[Uniform(0, static_cast<int>(commands.size()) - 1)];
    const int timeout = TimeoutMs(command);
    const bool cheap = timeout <= 50 && command != QLatin1String("challenge");
    // Some commands come more than once in a flow: the status read, the login's proof.
    const int nth = Chance(0.1) ? 2 : 1;
    const QString aim = QStringLiteral("%1:%2").arg(command).arg(nth);
    if (Chance(0.25) && (!light || cheap || Chance(0.05))) {
      static const std::vector<QString> atResend = {
          QStringLiteral("card-leave"), QStringLiteral("card-swap"), QStringLiteral("stall"),
          QStringLiteral("drop-before"), QStringLiteral("drop-after")};
      return {
          QStringLiteral("fault delay %1 %2").arg(Uniform(timeout + 1, 2 * timeout - 1)).arg(aim),
          QStringLiteral("fault also %1 %2:%3").arg(Pick(atResend), command).arg(nth + 1)};
    }
    std::vector<QString> kinds = {QStringLiteral("drop-before"), QStringLiteral("drop-after"),
                                  QStringLiteral("card-leave"),  QStringLiteral("card-swap"),
                                  QStringLiteral("delay"),       QStringLiteral("twice")};
    // A stall, or an answer the link cannot take, costs the command's whole time-out.
    if (!light || cheap) {
      kinds.insert(kinds.end(), {QStringLiteral("stall"), QStringLiteral("wrong-length"),
                                 QStringLiteral("garbage")});
    }
    const QString kind = Pick(kinds);
    if (kind == QLatin1String("delay")) {
      const int ms = light ? Uniform(1, 15) : Uniform(0, timeout * 5 / 2);
      return {QStringLiteral("fault delay %1 %2").arg(ms).arg(aim)};
    }
    return {QStringLiteral("fault ") + kind + u' ' + aim};
  }

 private:
  std::mt19937_64 random_;
};

// The kind of a fault command: "delay" for "fault also delay 30 status:2".
inline QString FaultKind(const QString& command) {
  const QStringList words = command.split(u' ');
  return words.value(words.value(1) == QLatin1String("also") ? 2 : 1);
}

// The last 20 steps of a run, told with a violation; with --trace every step on standard output.
class StepLog {
 public:
  explicit StepLog(bool trace) : trace_(trace) {}
  void Remember(const QString& step) {
    if (trace_) std::printf("%s\n", qPrintable(step));
    steps_.push_back(step);
    if (steps_.size() > 20) steps_.pop_front();
  }
  std::string Story() const {
    std::string story;
    for (const QString& step : steps_) story += "  " + step.toStdString() + '\n';
    return story;
  }

 private:
  bool trace_;
  std::deque<QString> steps_;
};

// Counts by name, printed at the end of a run.
using Tally = std::map<QString, long>;
inline void PrintTally(const char* title, const Tally& tally) {
  std::printf("%s:\n", title);
  for (const auto& [kind, count] : tally) std::printf("  %6ld %s\n", count, qPrintable(kind));
}

inline long ResidentKb() {
  std::FILE* file = std::fopen("/proc/self/statm", "r");
  if (file == nullptr) return 0;
  long size = 0;
  long resident = 0;
  const int read = std::fscanf(file, "%ld %ld", &size, &resident);
  std::fclose(file);
  return read == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : 0;
}

struct Options {
  bool cli = false;  // --front cli: kpnox-cli instead of the window
  uint64_t seed = 0;
  double minutes = 0;
  long actions = 0;
  bool light = false;
  bool trace = false;  // every step on standard output
};

inline std::optional<Options> ParseOptions(const QStringList& args) {
  Options o;
  bool seeded = false;
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    const QString value = i + 1 < args.size() ? args[i + 1] : QString();
    bool ok = true;
    if (a == QLatin1String("--seed")) {
      o.seed = value.toULongLong(&ok);
      seeded = true;
      ++i;
    } else if (a == QLatin1String("--minutes")) {
      o.minutes = value.toDouble(&ok);
      ++i;
    } else if (a == QLatin1String("--actions")) {
      o.actions = value.toLong(&ok);
      ++i;
    } else if (a == QLatin1String("--front")) {
      ok = value == QLatin1String("window") || value == QLatin1String("cli");
      o.cli = value == QLatin1String("cli");
      ++i;
    } else if (a == QLatin1String("--light")) {
      o.light = true;
    } else if (a == QLatin1String("--trace")) {
      o.trace = true;
    } else {
      ok = false;
    }
    if (!ok) return std::nullopt;
  }
  if (!seeded) o.seed = std::random_device()() % 1000000;
  if (o.minutes <= 0 && o.actions <= 0) o.actions = 2000;
  return o;
}

// Aborts the run, with the steps so far, when one action does not end at all.
class Watchdog {
 public:
  Watchdog() : thread_([this] { Run(); }) {}
  ~Watchdog() {
    stop_ = true;
    thread_.join();
  }
  void Arm(int64_t limitMs, std::string story) {
    std::lock_guard<std::mutex> lock(mutex_);
    story_ = std::move(story);
    deadline_ = Now() + limitMs;
  }
  void Disarm() { deadline_ = 0; }

 private:
  static int64_t Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void Run() {
    while (!stop_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const int64_t deadline = deadline_;
      if (deadline != 0 && Now() > deadline) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(stderr, "VIOLATION: an action hangs (5)\n%s\n", story_.c_str());
        std::fflush(stderr);
        std::_Exit(3);
      }
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> deadline_{0};
  std::mutex mutex_;
  std::string story_;
  std::thread thread_;
};

// The CLI front: kpnox-cli runs under the same faults (SoakCli.cpp).
int RunCliSoak(const Options& options);

}  // namespace kp::test
