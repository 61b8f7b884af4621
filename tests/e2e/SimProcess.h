// What the end-to-end tests share: a private runtime folder per test, and child processes
// (kpr50-sim --headless, kpnox-koder) started in it with pipes on their standard streams. A
// child never outlives the test: the destructor kills it, and the system kills it should the
// test process itself die first.
//
//   RuntimeFolder runtime;
//   SimProcess sim(runtime, {"--programmers", "2"});
//   QVERIFY2(sim.Await(u"^ready$"), sim.Story());
//   sim.Send("unplug 2");
//
// Every wait is for a line the simulator prints, bounded by a deadline that only ends a
// failing test; nothing here asserts how long anything takes.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>
#include <optional>
#include <sys/prctl.h>
#include <unistd.h>

namespace kpe2e {

// Bounds every wait; generous, so that a loaded machine never turns a pass into a failure.
inline constexpr int kLineLimitMs = 20000;

// A fresh folder for the simulator's sockets, removed with everything in it afterwards. Short
// and under /tmp: a socket path must fit in 108 bytes.
class RuntimeFolder {
 public:
  RuntimeFolder() : dir_(QStringLiteral("/tmp/kpe2e-XXXXXX")) {}
  bool Ok() const { return dir_.isValid(); }
  QString Path() const { return dir_.path(); }
  // Where kpr50-sim puts its sockets, and so where SimSocketPlatform must look.
  QString SocketFolder() const { return QDir(dir_.path()).filePath(QStringLiteral("kpr50-sim")); }
  // Where kpr50-sim --transport tcp puts its announce files, for SimTcpPlatform.
  QString AnnounceFolder() const {
    return QDir(dir_.path()).filePath(QStringLiteral("kpr50-sim-tcp"));
  }

 private:
  QTemporaryDir dir_;
};

// One child process with its output read as lines.
class ChildProcess {
 public:
  ChildProcess(const RuntimeFolder& runtime, const QString& program, const QStringList& args,
               const QStringList& extraEnvironment = {}) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.Path());
    for (const QString& entry : extraEnvironment) {
      const qsizetype equals = entry.indexOf(u'=');
      environment.insert(entry.left(equals), entry.mid(equals + 1));
    }
    process_.setProcessEnvironment(environment);
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    // Should the test die, the child goes too; a parent that died before the request was
    // made is caught by the pid check.
    const pid_t parent = getpid();
    process_.setChildProcessModifier([parent] {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
    });
    process_.start(program, args);
    started_ = process_.waitForStarted(kLineLimitMs);
  }
  ~ChildProcess() { Kill(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return started_; }
  qint64 Pid() const { return process_.processId(); }
  QProcess& Process() { return process_; }

  // Kills the process and waits for it; harmless when it has ended.
  void Kill() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.kill();
    process_.waitForFinished(kLineLimitMs);
  }

  // Sends a signal and waits for the end; the exit code, or nullopt when the process did not
  // exit by itself (it crashed, was killed or is still running at the deadline).
  std::optional<int> SignalAndWait(int signal) {
    if (process_.state() == QProcess::NotRunning) return std::nullopt;
    ::kill(static_cast<pid_t>(process_.processId()), signal);
    return WaitForExit();
  }

  std::optional<int> WaitForExit() {
    if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(kLineLimitMs)) {
      return std::nullopt;
    }
    Collect();
    if (process_.exitStatus() != QProcess::NormalExit) return std::nullopt;
    return process_.exitCode();
  }

  // Reads lines until one matches `pattern`; that line, or nullopt when the output ends or
  // the deadline passes. The lines before it are passed over (and kept in Story()).
  std::optional<QString> Await(const QRegularExpression& pattern, int limitMs = kLineLimitMs) {
    const QDeadlineTimer deadline(limitMs);
    while (true) {
      while (next_ < lines_.size()) {
        const QString& line = lines_[next_++];
        if (pattern.match(line).hasMatch()) return line;
      }
      if (!ReadMore(deadline)) return std::nullopt;
    }
  }
  std::optional<QString> Await(QStringView pattern, int limitMs = kLineLimitMs) {
    return Await(QRegularExpression(pattern.toString()), limitMs);
  }

  // Awaits each pattern in turn; the first that did not come, or an empty text.
  QString AwaitInTurn(const QStringList& patterns) {
    for (const QString& pattern : patterns) {
      if (!Await(QRegularExpression(pattern))) return pattern;
    }
    return QString();
  }

  // Lets the lines already passed over go, so that a long run keeps only what it still awaits.
  void Forget() {
    lines_.remove(0, next_);
    next_ = 0;
  }

  // Every line read so far, after taking in what has arrived.
  QStringList Lines() {
    Collect();
    return lines_;
  }

  // Everything the process printed so far, for a failure message; `waitedFor` heads it.
  const char* Story(const QString& waitedFor = QString()) {
    Collect();
    const QString head = waitedFor.isEmpty() ? QString() : QStringLiteral("no line ") + waitedFor;
    story_ = (head + QStringLiteral("\n--- standard output:\n") + lines_.join(u'\n') +
              QStringLiteral("\n--- standard error:\n") + QString::fromLocal8Bit(errors_))
                 .toLocal8Bit();
    return story_.constData();
  }

 protected:
  bool WriteLine(const QString& line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    if (process_.write(bytes) != bytes.size()) return false;
    return process_.waitForBytesWritten(kLineLimitMs);
  }

 private:
  // Takes in whatever output has arrived; false once the deadline passed or nothing more
  // can come.
  bool ReadMore(const QDeadlineTimer& deadline) {
    const qsizetype before = lines_.size();
    Collect();
    while (lines_.size() == before) {
      if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
        Collect();
        return lines_.size() != before;
      }
      process_.waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
      Collect();
    }
    return true;
  }

  void Collect() {
    // What sits in the pipes reaches QProcess's buffers only when it looks.
    while (process_.state() == QProcess::Running && process_.waitForReadyRead(0)) {
    }
    pending_ += process_.readAllStandardOutput();
    errors_ += process_.readAllStandardError();
    qsizetype end;
    while ((end = pending_.indexOf('\n')) >= 0) {
      lines_ << QString::fromUtf8(pending_.left(end));
      pending_.remove(0, end + 1);
    }
  }

  QProcess process_;
  bool started_ = false;
  QByteArray pending_;
  QByteArray errors_;
  QByteArray story_;
  QStringList lines_;
  qsizetype next_ = 0;
};

// kpr50-sim --headless: commands on its standard input, one event line per event.
class SimProcess : public ChildProcess {
 public:
  SimProcess(const RuntimeFolder& runtime, const QStringList& args = {})
      : ChildProcess(runtime, QStringLiteral(KPR50_SIM_PATH),
                     QStringList{QStringLiteral("--headless")} + args) {}

  bool Send(const QString& command) { return WriteLine(command); }

  // "quit", then the end; the exit code, or nullopt.
  std::optional<int> Quit() {
    if (!Send(QStringLiteral("quit"))) return std::nullopt;
    Process().closeWriteChannel();
    return WaitForExit();
  }
};

}  // namespace kpe2e
