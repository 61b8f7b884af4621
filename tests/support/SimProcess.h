// Child processes for the tests (kpr50-sim --headless, kpnox-koder, kpr50-sim --help) started
// in a private runtime folder with pipes on their standard streams, their output read as
// lines. A child never outlives the test: the destructor kills it, and the system kills it
// should the test process itself die first.
//
//   kp::test::RuntimeFolder runtime;
//   kp::test::SimProcess sim(runtime, {"--programmers", "2"});
//   QVERIFY2(sim.Await(u"^ready$"), sim.Story());
//   sim.Send("unplug 2");
//
// Every wait is for a line the child prints, bounded by kWaitLimitMs, which only ends a
// failing test; nothing here asserts how long anything takes. The user defines
// KPR50_SIM_PATH, the simulator's path in the build.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include "RuntimeFolder.h"

#include <csignal>
#include <optional>
#include <sys/prctl.h>
#include <unistd.h>

namespace kp::test {

// One child process with its output read as lines.
class ChildProcess {
 public:
  ChildProcess(const RuntimeFolder& runtime, const QString& program, const QStringList& args,
               const QStringList& extraEnvironment = {},
               QProcess::ProcessChannelMode channels = QProcess::SeparateChannels) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(runtime.Path()));
    for (const QString& entry : extraEnvironment) {
      const qsizetype equals = entry.indexOf(u'=');
      environment.insert(entry.left(equals), entry.mid(equals + 1));
    }
    process_.setProcessEnvironment(environment);
    process_.setProcessChannelMode(channels);
    // Should the test die, the child goes too; a parent that died before the request was
    // made is caught by the pid check.
    const pid_t parent = getpid();
    process_.setChildProcessModifier([parent] {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(1);
    });
    process_.start(program, args);
    started_ = process_.waitForStarted(kWaitLimitMs);
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
    process_.waitForFinished(kWaitLimitMs);
  }

  // Sends a signal and waits for the end; the exit code, or nullopt when the process did not
  // exit by itself (it crashed, was killed or is still running at the deadline).
  std::optional<int> SignalAndWait(int signal) {
    if (process_.state() == QProcess::NotRunning) return std::nullopt;
    ::kill(static_cast<pid_t>(process_.processId()), signal);
    return WaitForExit();
  }

  std::optional<int> WaitForExit() {
    if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(kWaitLimitMs)) {
      return std::nullopt;
    }
    Collect();
    if (process_.exitStatus() != QProcess::NormalExit) return std::nullopt;
    return process_.exitCode();
  }

  // Reads lines until one matches `pattern`; that line, or nullopt when the output ends or
  // the deadline passes. The lines before it are passed over (and kept in Story()).
  std::optional<QString> Await(const QRegularExpression& pattern, int limitMs = kWaitLimitMs) {
    const QDeadlineTimer deadline(limitMs);
    while (true) {
      while (next_ < lines_.size()) {
        const QString& line = lines_[next_++];
        if (pattern.match(line).hasMatch()) return line;
      }
      if (!ReadMore(deadline)) return std::nullopt;
    }
  }
  std::optional<QString> Await(QStringView pattern, int limitMs = kWaitLimitMs) {
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

  // The lines passed over or awaited so far, in order.
  QStringList Seen() const { return lines_.mid(0, next_); }

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
    return process_.waitForBytesWritten(kWaitLimitMs);
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
    if (process_.processChannelMode() == QProcess::SeparateChannels) {
      errors_ += process_.readAllStandardError();
    }
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

  // Ends the input: the simulator ends as on "quit".
  void CloseInput() { Process().closeWriteChannel(); }

  // "quit", then the end; the exit code, or nullopt.
  std::optional<int> Quit() {
    if (!Send(QStringLiteral("quit"))) return std::nullopt;
    CloseInput();
    return WaitForExit();
  }
};

}  // namespace kp::test
