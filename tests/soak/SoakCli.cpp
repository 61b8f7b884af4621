// The soak's second front: kpnox-cli as a script runs it (batches from a list, single
// commands, logins and password changes), against a kpr50-sim --headless process under the
// same faults as the window. The soak lays the cards down as an operator would: the next one
// after each progress line, another when the field is empty, and it plugs the programmer in
// again after a drop, sooner or later than the program waits for it. What it holds against
// the simulator's own lines after every run:
//   1. an `ok` record: the card with that UID holds exactly the row (`prepared`: the card is
//      prepared; `blank`: it is blank; a refusal: it does not hold the row); a read that ended
//      well: its numbers are the card's; "erased": the card is blank;  2. every card sent a prepare
//      or a write has exactly one record;  3. no row is on more cards than the list holds it;  4.
//      the programmer is logged out when the program has ended (unless it was unplugged then: the
//      next connection starts logged out);  5. nothing hangs, nothing crashes, the exit code is one
//      the program documents, and a wrong password never logs in;  6. each record is in the
//      file before its progress line, and so before the next card is asked for.
#include "SoakCommon.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>

#include <deque>
#include <set>
#include <thread>

namespace kp::test {

namespace {

using kp::test::ChildProcess;
using kp::test::RuntimeFolder;

// kpnox-cli as a child, its messages and progress lines read as lines (its records go to a
// file).
class CliProcess : public ChildProcess {
 public:
  CliProcess(const RuntimeFolder& runtime, const QStringList& args)
      : ChildProcess(runtime, QStringLiteral(KPNOX_CLI_PATH), args, {}, QProcess::MergedChannels) {}
  bool Input(const QString& line) { return WriteLine(line); }
  void EndInput() { Process().closeWriteChannel(); }
  bool Running() { return Process().state() != QProcess::NotRunning; }
};

enum class Cmd { Batch, Program, Read, Erase, Status, LoginRight, LoginWrong, Passwd };

const char* CmdName(Cmd cmd) {
  switch (cmd) {
    case Cmd::Batch: return "batch";
    case Cmd::Program: return "program";
    case Cmd::Read: return "read";
    case Cmd::Erase: return "erase";
    case Cmd::Status: return "status";
    case Cmd::LoginRight: return "login";
    case Cmd::LoginWrong: return "login-wrong";
    case Cmd::Passwd: return "passwd";
  }
  return "?";
}

struct Card {
  QString state;  // empty, prepared, programmed, foreign
  int dep = 0;
  int idx = 0;
  QString Text() const {
    return state == QLatin1String("programmed")
               ? QStringLiteral("programmed %1/%2").arg(dep).arg(idx)
               : state;
  }
};

struct Row {
  int dep = 0;
  int idx = 0;
  int line = 0;
};

struct Record {
  int dep = -1;
  int idx = -1;
  QString uid;
  QString result;
  int line = 0;
};

// A record file, department,index,uid,result,time,line after the header.
std::vector<Record> ReadRecords(const QString& path) {
  std::vector<Record> records;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return records;
  for (const QByteArray& raw : file.readAll().split('\n')) {
    const QStringList f = QString::fromUtf8(raw.trimmed()).split(u',');
    if (f.size() < 6 || f[0] == QLatin1String("department")) continue;
    records.push_back({f[0].isEmpty() ? -1 : f[0].toInt(), f[1].isEmpty() ? -1 : f[1].toInt(), f[2],
                       f[3], f[5].toInt()});
  }
  return records;
}

class CliSoak : private Dice {
 public:
  explicit CliSoak(const Options& options) : Dice(options.seed), o_(options) {}

  int Run() {
    RuntimeFolder runtime;
    runtime_ = &runtime;
    SimProcess sim(runtime, {QStringLiteral("--seed"), QString::number(o_.seed),
                             QStringLiteral("--card"), QStringLiteral("none")});
    sim_ = &sim;
    if (!sim.Started()) return 2;
    while (true) {  // the programmer's first state lines come before "ready"
      const auto line = sim.Await(QRegularExpression(QStringLiteral("^")));
      if (!line) {
        std::fprintf(stderr, "soak: the simulator did not start\n%s\n", sim.Story());
        return 2;
      }
      Take(*line);
      if (*line == QLatin1String("ready")) break;
    }
    candidates_ = {QStringLiteral("admin123")};
    if (const QString text = password_.section(u' ', 1); !text.isEmpty()) candidates_ = {text};

    QElapsedTimer clock;
    clock.start();
    const int64_t limitMs = static_cast<int64_t>(o_.minutes * 60000);
    std::printf("soak (kpnox-cli): seed %llu, %s mix, %s\n",
                static_cast<unsigned long long>(o_.seed), o_.light ? "light" : "full",
                o_.actions > 0 ? qPrintable(QStringLiteral("%1 runs").arg(o_.actions))
                               : qPrintable(QStringLiteral("%1 minutes").arg(o_.minutes)));
    std::fflush(stdout);
    while ((o_.actions <= 0 || runs_ < o_.actions) && (limitMs <= 0 || clock.elapsed() < limitMs)) {
      if (!Step()) break;
    }
    const auto quit = sim.Quit();
    if (quit != std::optional<int>(0))
      Violation(QStringLiteral("5: the simulator did not end well"));
    std::printf(
        "soak (kpnox-cli): seed %llu, %ld runs of kpnox-cli, %ld cards laid down, %ld "
        "records, %ld faults fired, in %.1f min\n",
        static_cast<unsigned long long>(o_.seed), runs_, cardsLaid_, records_, firedTotal_,
        static_cast<double>(clock.elapsed()) / 60000.0);
    PrintTally("faults armed by kind", faultsArmed_);
    PrintTally("faults fired by kind", faultsFired_);
    PrintTally("other events", events_);
    PrintTally("exit codes by command", outcomes_);
    PrintTally("records by result", results_);
    std::printf("violations: %ld\n", violations_);
    return violations_ == 0 ? 0 : 1;
  }

 private:
  // --- What the simulator says -------------------------------------------------------------

  // Takes in one line of the simulator's.
  void Take(const QString& line) {
    static const QRegularExpression card(
        QStringLiteral("^card 1 (\\S+)(?: ([0-9A-F]{16}))?(?: dep (-?\\d+) idx (-?\\d+))?$"));
    static const QRegularExpression written(
        QStringLiteral("^cmd 1 \\S+ (?:prepare-card|write-file) card ([0-9A-F]{16})"));
    static const QRegularExpression fired(QStringLiteral("^fault 1 fired (\\S+)"));
    lastActivity_.start();
    if (const auto m = card.match(line); m.hasMatch()) {
      field_ = m.captured(2);
      if (!field_.isEmpty()) {
        cards_[field_] = {m.captured(1), m.captured(3).toInt(), m.captured(4).toInt()};
      }
    } else if (const auto w = written.match(line); w.hasMatch()) {
      written_.insert(w.captured(1));
    } else if (const auto f = fired.match(line); f.hasMatch()) {
      ++firedTotal_;
      ++faultsFired_[f.captured(1)];
      log_ += QStringLiteral("{fired %1} ").arg(line.section(u' ', 3));
      if (f.captured(1).startsWith(QLatin1String("drop"))) {
        // Plugged in again sooner or later than the program waits for it.
        Later(Uniform(100, 6000), QStringLiteral("plug"));
      }
    } else if (line.startsWith(QLatin1String("login 1 "))) {
      loggedIn_ = line == QLatin1String("login 1 yes");
    } else if (line.startsWith(QLatin1String("cmd 1 L login "))) {
      // kpnox-cli's own login, also one to a programmer logged in already ("login 1 yes" is
      // a change, or the state the soak asks for at each run's start).
      loggedInHere_ = true;
    } else if (line.startsWith(QLatin1String("password 1 "))) {
      password_ = line.section(u' ', 2, -1);
    } else if (line.startsWith(QLatin1String("unplugged 1"))) {
      plugged_ = false;
    } else if (line.startsWith(QLatin1String("plugged 1"))) {
      plugged_ = true;
    }
  }

  // Takes in whatever both programs printed; true when there was anything.
  bool Pump(CliProcess* cli) {
    static const QRegularExpression any(QStringLiteral("^"));
    bool anyLine = false;
    while (const auto line = sim_->Await(any, 0)) {
      Take(*line);
      anyLine = true;
    }
    if (cli != nullptr) {
      while (const auto line = cli->Await(any, 0)) {
        TakeCli(*line);
        anyLine = true;
      }
    }
    return anyLine;
  }

  // A command for the simulator in `ms`.
  void Later(int ms, const QString& command) { pending_.push_back({now_.elapsed() + ms, command}); }

  bool Send(const QString& command) {
    log_ += QStringLiteral("[%1] ").arg(command);
    if (command.startsWith(QLatin1String("card "))) ++cardsLaid_;
    return sim_->Send(command);
  }

  bool SendDue() {
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->first > now_.elapsed()) {
        ++it;
        continue;
      }
      const QString command = it->second;
      it = pending_.erase(it);
      if (command == QLatin1String("next-card")) {
        if (!LayCard()) return false;
      } else if (!Send(command)) {
        return false;
      }
    }
    return true;
  }

  // After "fault clear" the state block ends with "fault 1 none": everything before it has
  // been taken in.
  bool Sync() {
    if (!Send(QStringLiteral("state"))) return false;
    static const QRegularExpression any(QStringLiteral("^"));
    while (true) {
      const auto line = sim_->Await(any);
      if (!line) return false;
      Take(*line);
      if (*line == QLatin1String("fault 1 none")) break;
    }
    sim_->Forget();
    return true;
  }

  // The next card of a batch: mostly blank, now and then one with data or a foreign one,
  // with the faults for its programming.
  bool LayCard() {
    QStringList commands = {QStringLiteral("card-info"), QStringLiteral("status"),
                            QStringLiteral("prepare-card"), QStringLiteral("write-file")};
    if (!ArmFaults(commands)) return false;
    return Send(RandomCard());
  }

  QString RandomCard() {
    const int kind = Uniform(0, 19);
    // Data of no list: the soak's rows never use department 99999.
    return kind < 14   ? QStringLiteral("card empty")
           : kind < 17 ? QStringLiteral("card programmed 99999 %1").arg(Uniform(0, 99999))
                       : QStringLiteral("card foreign");
  }

  bool ArmFaults(const QStringList& commands) {
    if (!Chance(0.4)) return true;
    for (const QString& fault : Faults(commands, o_.light)) {
      ++faultsArmed_[FaultKind(fault)];
      if (!Send(fault)) return false;
    }
    return true;
  }

  // --- What kpnox-cli says ----------------------------------------------------------------

  void TakeCli(const QString& line) {
    static const QRegularExpression progress(
        QStringLiteral("^wiersz / line (\\d+): (\\S+) (\\S+)$"));
    lastActivity_.start();
    cliLines_ << line;
    const auto m = progress.match(line);
    if (!m.hasMatch()) return;
    ++progressLines_;
    // 6: the record is in the file before its progress line.
    const std::vector<Record> records = ReadRecords(recordsPath_);
    const size_t at = recordsBefore_ + static_cast<size_t>(progressLines_) - 1;
    const QString uid = m.captured(2) == QLatin1String("-") ? QString() : m.captured(2);
    if (at >= records.size() || records[at].uid != uid || records[at].result != m.captured(3)) {
      Violation(QStringLiteral("6: progress line \"%1\" before its record").arg(line));
    }
    if (cmd_ != Cmd::Batch) return;
    // The operator takes the card away and lays down the next one.
    std::erase_if(pending_, [](const auto& p) { return p.second == QLatin1String("next-card"); });
    Send(QStringLiteral("fault clear"));
    Send(QStringLiteral("card none"));
    Later(Uniform(0, 400), QStringLiteral("next-card"));
    // Only to a program still running: the pid of one that has ended is 0, and kill(0) would
    // stop the soak's own process group.
    if (termAfter_ > 0 && progressLines_ == termAfter_ && cli_->Running() && cli_->Pid() > 0) {
      ::kill(static_cast<pid_t>(cli_->Pid()), SIGTERM);
      log_ += QStringLiteral("{SIGTERM} ");
      termSent_ = true;
    }
  }

  // --- One run of kpnox-cli ----------------------------------------------------------------

  bool Step() {
    log_ = QStringLiteral("#%1 ").arg(runs_ + 1);
    written_.clear();
    cliLines_.clear();
    pending_.clear();
    progressLines_ = 0;
    termAfter_ = 0;
    termSent_ = false;
    loggedInHere_ = false;

    // The world behind the program's back.
    if (Chance(0.015)) {
      const bool admin = Chance(0.7);
      ++events_[admin ? QStringLiteral("administrator's password")
                      : QStringLiteral("user's password set by the administrator")];
      if (!Send(QStringLiteral("password %1 %2").arg(admin ? "admin" : "user", NewPassword()))) {
        return Gone();
      }
    }
    const bool second = Chance(0.015);
    if (second) {
      ++events_[QStringLiteral("second programmer")];
      if (!Send(QStringLiteral("add"))) return Gone();
    }
    if (!Sync()) return Gone();
    if (const QString text = password_.section(u' ', 1); !text.isEmpty()) candidates_ = {text};
    const bool forced = password_.startsWith(QLatin1String("admin"));

    const int roll = Uniform(0, 99);
    Cmd cmd = roll < 50   ? Cmd::Batch
              : roll < 62 ? Cmd::Program
              : roll < 72 ? Cmd::Read
              : roll < 82 ? Cmd::Erase
              : roll < 86 ? Cmd::Status
              : roll < 93 ? Cmd::LoginRight
              : roll < 96 ? Cmd::LoginWrong
                          : Cmd::Passwd;
    if (forced && Chance(0.7)) cmd = Cmd::Passwd;
    cmd_ = cmd;

    const QString folder = QString::fromStdString(runtime_->Path());
    recordsPath_ = folder + QStringLiteral("/records-%1.csv").arg(runs_);
    QStringList args = {QString::fromLatin1(CmdName(cmd)).section(u'-', 0, 0),
                        QStringLiteral("--password-stdin")};
    if (cmd == Cmd::LoginWrong) args[0] = QStringLiteral("login");
    if (cmd == Cmd::Status) args.pop_back();  // it needs no password
    std::vector<Row> rows;
    std::multiset<std::pair<int, int>> asked;
    const QString login =
        cmd == Cmd::LoginWrong ? QStringLiteral("zle") + NewPassword() : candidates_.front();
    const QString newPassword = NewPassword();
    QStringList input = {login};
    QStringList faultPool = {QStringLiteral("status"), QStringLiteral("key-signature"),
                             QStringLiteral("challenge"), QStringLiteral("login"),
                             QStringLiteral("logout")};

    if (cmd == Cmd::Batch) {
      const bool resume = !lastList_.isEmpty() && Chance(0.5);
      if (resume) {
        args << QStringLiteral("--list") << lastList_ << QStringLiteral("--resume") << lastRecords_
             << QStringLiteral("--output") << lastRecords_;
        if (lastRepeat_) args << QStringLiteral("--allow-duplicates");
        rows = lastRows_;
        recordsPath_ = lastRecords_;
        log_ += QStringLiteral("batch --resume of %1 rows: ").arg(rows.size());
      } else {
        const int count = Uniform(1, 5);
        const int dep = Uniform(0, 9999);
        QString list = Chance(0.5) ? QStringLiteral("department;index\n") : QString();
        const int firstLine = list.isEmpty() ? 1 : 2;
        for (int i = 0; i < count; ++i) rows.push_back({dep, nextIndex_++, firstLine + i});
        const bool repeat = count > 1 && Chance(0.1);
        if (repeat) rows.push_back({dep, rows.front().idx, firstLine + count});
        for (const Row& row : rows) list += QStringLiteral("%1;%2\n").arg(row.dep).arg(row.idx);
        lastList_ = folder + QStringLiteral("/list-%1.csv").arg(runs_);
        QFile file(lastList_);
        if (!file.open(QIODevice::WriteOnly) || file.write(list.toUtf8()) < 0) return Fail("list");
        file.close();
        args << QStringLiteral("--list") << lastList_ << QStringLiteral("--output") << recordsPath_;
        if (repeat) args << QStringLiteral("--allow-duplicates");
        lastRows_ = rows;
        lastRecords_ = recordsPath_;
        lastRepeat_ = repeat;
        log_ += QStringLiteral("batch of %1 rows%2: ")
                    .arg(rows.size())
                    .arg(repeat ? " (one twice)" : "");
      }
      for (const Row& row : rows) asked.insert({row.dep, row.idx});
      if (Chance(0.03)) termAfter_ = Uniform(1, static_cast<int>(rows.size()));
      if (!Send(QStringLiteral("card none"))) return Gone();
      Later(Uniform(0, 600), QStringLiteral("next-card"));
      if (!ArmFaults(faultPool)) return Gone();  // the login's, before the first card's
    } else {
      if (cmd == Cmd::Program || cmd == Cmd::Read || cmd == Cmd::Erase) {
        args << QStringLiteral("--output") << recordsPath_;
        if (Chance(0.5) || field_.isEmpty()) {
          if (!Send(Chance(0.15) ? QStringLiteral("card none") : RandomCard())) return Gone();
        }
        faultPool << QStringLiteral("card-info");
        if (cmd == Cmd::Program)
          faultPool << QStringLiteral("prepare-card") << QStringLiteral("write-file");
        if (cmd == Cmd::Read) faultPool << QStringLiteral("read-file");
        if (cmd == Cmd::Erase) faultPool << QStringLiteral("erase-card");
      }
      if (cmd == Cmd::Program) {
        const Row row{Uniform(0, 9999), nextIndex_++, 0};
        rows.push_back(row);
        asked.insert({row.dep, row.idx});
        args << QStringLiteral("--department") << QString::number(row.dep)
             << QStringLiteral("--index") << QString::number(row.idx);
      }
      if (cmd == Cmd::Passwd) {
        input = {candidates_.front(), newPassword};
        faultPool << QStringLiteral("change-password");
      }
      if (!ArmFaults(faultPool)) return Gone();
      log_ += QStringLiteral("%1: ").arg(QLatin1String(CmdName(cmd)));
    }

    // The run.
    recordsBefore_ = ReadRecords(recordsPath_).size();
    now_.start();
    lastActivity_.start();
    CliProcess cli(*runtime_, args);
    cli_ = &cli;
    if (!cli.Started()) return Fail("kpnox-cli did not start");
    for (const QString& line : input) cli.Input(line);
    cli.EndInput();
    const int64_t limitMs = 60000 + 15000 * static_cast<int64_t>(rows.size());
    bool hung = false;
    while (cli.Running()) {
      const bool busy = Pump(&cli);
      if (!SendDue()) return Gone();
      // An empty field during a batch gets a card, as an operator brings the next one.
      if (cmd == Cmd::Batch && field_.isEmpty() && pending_.empty()) {
        Later(Uniform(200, 1500), QStringLiteral("next-card"));
      }
      if (lastActivity_.elapsed() > 20000 || now_.elapsed() > limitMs) {
        hung = true;
        break;
      }
      if (!busy) std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    const int64_t tookMs = now_.elapsed();
    const bool pluggedAtEnd = plugged_;
    if (hung) Violation(QStringLiteral("5: kpnox-cli hangs (%1 ms)").arg(tookMs));
    std::optional<int> rc;
    if (!hung) rc = cli.WaitForExit();
    Pump(&cli);
    cli_ = nullptr;

    // The faults stop; the second programmer goes; the first is plugged in again.
    pending_.clear();
    if (!Send(QStringLiteral("fault clear"))) return Gone();
    if (second && !Send(QStringLiteral("remove 2"))) return Gone();
    if (!Send(QStringLiteral("plug"))) return Gone();
    if (!Sync()) return Gone();

    ++runs_;
    const QString rcText = rc ? QString::number(*rc) : QStringLiteral("crashed or killed");
    ++outcomes_[QStringLiteral("%1: exit %2").arg(QLatin1String(CmdName(cmd)), rcText)];
    log_ += QStringLiteral("exit %1 in %2 ms; says: %3")
                .arg(rcText)
                .arg(tookMs)
                .arg(cliLines_.join(u'|'));
    steps_.Remember(log_);
    if (!rc && !hung) Violation(QStringLiteral("5: kpnox-cli crashed"));
    if (rc.has_value()) Check(cmd, rc.value_or(-1), rows, asked, login, newPassword, pluggedAtEnd);
    return true;
  }

  void Check(Cmd cmd, int rc, const std::vector<Row>& rows,
             const std::multiset<std::pair<int, int>>& asked, const QString& login,
             const QString& newPassword, bool pluggedAtEnd) {
    // 5: the exit codes the program documents; a wrong password never logs in.
    static const std::set<int> documented = {0, 1, 3, 4, 5};
    if (!(documented.count(rc) != 0 || (termSent_ && rc == 143))) {
      Violation(QStringLiteral("5: exit code %1").arg(rc));
    }
    if (cmd == Cmd::LoginWrong && rc == 0) Violation(QStringLiteral("5: logged in with ") + login);
    // 4: a run that logged the programmer in leaves it logged out. What an earlier run, cut
    // off by an unplugging, left logged in is not this one's to end: with nothing to do, or
    // refused at the link, it never gets that far.
    if (pluggedAtEnd && loggedInHere_ && loggedIn_)
      Violation(QStringLiteral("4: the programmer is still logged in"));

    const std::vector<Record> all = ReadRecords(recordsPath_);
    // This run's records: a resumed list's file holds the earlier runs' too.
    const std::vector<Record> records(
        all.begin() + static_cast<std::ptrdiff_t>(std::min(recordsBefore_, all.size())), all.end());
    std::map<QString, int> byUid;
    for (const Record& r : records) {
      ++results_[r.result];
      ++records_;
      if (!r.uid.isEmpty()) ++byUid[r.uid];
      const Card card = cards_.value(r.uid);
      const QString what = QStringLiteral("%1 %2/%3 %4, but the card is %5")
                               .arg(r.uid)
                               .arg(r.dep)
                               .arg(r.idx)
                               .arg(r.result, card.Text());
      // 1: what a record says is what the card holds.
      if (r.result == QLatin1String("ok") &&
          (cmd == Cmd::Program || cmd == Cmd::Batch || cmd == Cmd::Read) &&
          !(card.state == QLatin1String("programmed") && card.dep == r.dep && card.idx == r.idx)) {
        Violation(QStringLiteral("1: record ") + what);
      }
      // ... and a refusal is recorded only for what did not happen.
      const bool holdsRow =
          card.state == QLatin1String("programmed") && card.dep == r.dep && card.idx == r.idx;
      if ((cmd == Cmd::Program || cmd == Cmd::Batch) && r.result != QLatin1String("ok") &&
          r.result != QLatin1String("unknown") && holdsRow) {
        Violation(QStringLiteral("1: record ") + what);
      }
      if (r.result == QLatin1String("prepared") && card.state != QLatin1String("prepared")) {
        Violation(QStringLiteral("1: record ") + what);
      }
      if (r.result == QLatin1String("blank") && card.state != QLatin1String("empty")) {
        Violation(QStringLiteral("1: record ") + what);
      }
    }
    if (cmd == Cmd::Erase) {
      for (const Record& r : records) {
        if (r.result == QLatin1String("ok") &&
            cards_.value(r.uid).state != QLatin1String("empty")) {
          Violation(QStringLiteral("1: erase record ok for %1, but the card is %2")
                        .arg(r.uid, cards_.value(r.uid).Text()));
        }
      }
    }
    if (cmd == Cmd::Erase && rc == 0) {
      const Record r = records.empty() ? Record{} : records.back();
      if (cards_.value(r.uid).state != QLatin1String("empty")) {
        Violation(QStringLiteral("1: erased %1, but the card is %2")
                      .arg(r.uid, cards_.value(r.uid).Text()));
      }
    }
    if (cmd == Cmd::Read && rc == 0 && records.empty())
      Violation(QStringLiteral("1: a read without a record"));
    // 2: every card that got a prepare or a write has exactly one record.
    for (const QString& uid : written_) {
      if (byUid[uid] != 1) {
        Violation(QStringLiteral("2: card %1 was written to and has %2 records")
                      .arg(uid)
                      .arg(byUid[uid]));
      }
    }
    if (cmd == Cmd::Batch) {
      for (const auto& [uid, count] : byUid) {
        if (count > 1) Violation(QStringLiteral("2: card %1 has %2 records").arg(uid).arg(count));
      }
      // A batch that ended well did every row.
      if (rc == 0) {
        std::multiset<int> okLines;
        for (const Record& r : all) {
          if (r.result == QLatin1String("ok")) okLines.insert(r.line);
        }
        for (const Row& row : rows) {
          if (okLines.count(row.line) == 0)
            Violation(QStringLiteral("1: exit 0, row of line %1 not done").arg(row.line));
        }
      }
    }
    // 3: no row on more cards than the list holds it.
    for (const auto& [dep, idx] : std::set<std::pair<int, int>>(asked.begin(), asked.end())) {
      int holding = 0;
      for (const Card& card : cards_) {
        holding += card.state == QLatin1String("programmed") && card.dep == dep && card.idx == idx;
      }
      if (holding > static_cast<int>(asked.count({dep, idx}))) {
        Violation(QStringLiteral("3: %1/%2 is on %3 cards").arg(dep).arg(idx).arg(holding));
      }
    }
    // An unknown card may hold its row: its list is not resumed, as the guide tells.
    for (const Record& r : records) {
      if (r.result == QLatin1String("unknown")) lastList_.clear();
    }
    if (termSent_) lastList_.clear();

    // The passwords the operator now believes in.
    const bool tookPassword = password_ == QLatin1String("user");
    if (cmd == Cmd::Passwd) {
      if (rc == 0) {
        if (!tookPassword)
          Violation(QStringLiteral("\"password changed\", but the programmer holds ") + password_);
        candidates_ = {newPassword};
      } else if (rc == 3) {
        candidates_ = {candidates_.front(), newPassword};  // changed or not: either
      } else if (rc == 4 && candidates_.size() > 1) {
        candidates_.push_back(candidates_.front());
        candidates_.pop_front();
      }
    } else if (cmd != Cmd::LoginWrong && rc == 4 && candidates_.size() > 1) {
      candidates_.push_back(candidates_.front());
      candidates_.pop_front();
    } else if (cmd != Cmd::LoginWrong && rc != 4 && rc != 3 && candidates_.size() > 1) {
      candidates_ = {login};
    }
  }

  // --- Reporting ---------------------------------------------------------------------------

  void Violation(const QString& what) {
    ++violations_;
    if (violations_ > 10) return;
    std::fprintf(stderr, "VIOLATION (seed %llu, run %ld): %s\nnow: %s\nlast runs:\n%s\n",
                 static_cast<unsigned long long>(o_.seed), runs_, qPrintable(what),
                 qPrintable(log_), steps_.Story().c_str());
    std::fflush(stderr);
  }

  bool Gone() {
    Violation(QStringLiteral("5: the simulator is gone\n") + QString::fromLocal8Bit(sim_->Story()));
    return false;
  }

  bool Fail(const char* what) {
    Violation(QStringLiteral("the soak itself failed: ") + QLatin1String(what));
    return false;
  }

  Options o_;
  const RuntimeFolder* runtime_ = nullptr;
  SimProcess* sim_ = nullptr;
  CliProcess* cli_ = nullptr;
  Cmd cmd_ = Cmd::Status;

  // The simulator's programmer 1, from its lines.
  QMap<QString, Card> cards_;  // every card ever laid down, by UID: what it holds now
  QString field_;              // the UID in the field, empty for none
  bool loggedIn_ = false;
  bool plugged_ = true;
  QString password_;
  QSet<QString> written_;  // this run: the cards sent a prepare or a write

  // This run.
  QElapsedTimer now_;
  QElapsedTimer lastActivity_;
  std::vector<std::pair<int64_t, QString>> pending_;  // simulator commands at their times
  QStringList cliLines_;
  QString recordsPath_;
  size_t recordsBefore_ = 0;
  int progressLines_ = 0;
  int termAfter_ = 0;
  bool termSent_ = false;
  bool loggedInHere_ = false;  // the programmer was logged in during this run
  QString log_;

  // The last list, for a resumed run.
  QString lastList_;
  QString lastRecords_;
  std::vector<Row> lastRows_;
  bool lastRepeat_ = false;

  std::deque<QString> candidates_;
  StepLog steps_{o_.trace};
  int nextIndex_ = 0;
  long runs_ = 0;
  long cardsLaid_ = 0;
  long records_ = 0;
  long firedTotal_ = 0;
  long violations_ = 0;
  Tally faultsArmed_;
  Tally faultsFired_;
  Tally events_;
  Tally outcomes_;
  Tally results_;
};

}  // namespace

int RunCliSoak(const Options& options) { return CliSoak(options).Run(); }

}  // namespace kp::test
