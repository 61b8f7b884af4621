// kpr50-sim --replay as a support case uses it: the traces in tests/trace/data, recorded with
// kpnox-cli --trace against kpr50-sim (record.sh there), replayed to the same command, which
// must end as it did then; another command, stopped where it leaves the trace; and files that
// are no trace.
#include "SimProcess.h"
#include "SocketTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

namespace kp::test {
namespace {

using kp::test::ChildProcess;
using kp::test::SimProcess;

const QString kData = QStringLiteral(KP_TRACE_DATA_DIR);

QStringList FileLines(const QString& path) {
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
  return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

// A record's time is the day's, not the trace's.
QStringList WithoutTimes(QStringList lines) {
  static const QRegularExpression time(QStringLiteral("\\d{4}-\\d\\d-\\d\\dT[\\d:]{8}Z"));
  return lines.replaceInStrings(time, QStringLiteral("TIME"));
}

// kpnox-cli, its standard input given at the start.
class Cli : public ChildProcess {
 public:
  Cli(const RuntimeFolder& runtime, const QStringList& args, const QString& input)
      : ChildProcess(runtime, QStringLiteral(KPNOX_CLI_PATH), args) {
    WriteLine(input);
    Process().closeWriteChannel();
  }
  // Its standard output, then "err: " and each line of its standard error.
  QStringList Said() {
    const QString story = QString::fromLocal8Bit(Story());
    const QString head = QStringLiteral("--- standard error:\n");
    QStringList said = Lines();
    for (const QString& line : story.mid(story.indexOf(head) + head.size()).split(u'\n')) {
      if (!line.isEmpty()) said << QStringLiteral("err: ") + line;
    }
    return said;
  }
};

// A trace's exchanges: no header, no times, no socket path.
QStringList Exchanges(const QString& path) {
  QStringList out;
  for (QString line : FileLines(path)) {
    if (line.startsWith(u'#')) continue;
    line = line.mid(line.indexOf(u' ') + 1);
    if (line.startsWith(QLatin1String("LINK "))) {
      line.truncate(line.indexOf(QLatin1String(" path ")));
    }
    out << line;
  }
  return out;
}

class SimReplay : public ::testing::Test {
 protected:
  SimReplay() { EnsureCoreApplication(); }
  RuntimeFolder runtime_;
  const QString folder_ = QString::fromStdString(runtime_.Path());
};

TEST_F(SimReplay, RecordedCommandsEndAsTheyEndedWhenRecorded) {
  const QStringList outcomes = QDir(kData).entryList({QStringLiteral("*.outcome")});
  ASSERT_GE(outcomes.size(), 4);
  for (const QString& name : outcomes) {
    SCOPED_TRACE(name.toStdString());
    // NAME.outcome (record.sh): "args: ...", "stdin: ...", "exit: N", "stdout: ..." and
    // "stderr: ..." lines.
    QStringList args;
    QString input;
    int exit = -1;
    QStringList said;
    for (const QString& line : FileLines(kData + u'/' + name)) {
      const QString value = line.mid(line.indexOf(u':') + 2);
      if (line.startsWith(QLatin1String("args: "))) args = value.split(u' ');
      if (line.startsWith(QLatin1String("stdin: "))) input = value;
      if (line.startsWith(QLatin1String("exit: "))) exit = value.toInt();
      if (line.startsWith(QLatin1String("stdout: "))) said << value;
      if (line.startsWith(QLatin1String("stderr: "))) said << QStringLiteral("err: ") + value;
    }
    const QString trace = kData + u'/' + name.chopped(8) + QStringLiteral(".trace");
    SimProcess sim(runtime_,
                   {QStringLiteral("--replay"), trace, QStringLiteral("--replay-speed=0")});
    ASSERT_TRUE(sim.Await(u"^ready$")) << sim.Story();
    const QString replayed = folder_ + QStringLiteral("/replayed.trace");
    Cli cli(runtime_, QStringList{QStringLiteral("--trace"), replayed} + args, input);
    EXPECT_EQ(cli.WaitForExit(), exit) << cli.Story();
    EXPECT_EQ(WithoutTimes(cli.Said()), WithoutTimes(said));
    ASSERT_TRUE(sim.Await(u"^replay 1 (finished|mismatch)")) << sim.Story();
    EXPECT_EQ(sim.Seen().back(), QStringLiteral("replay 1 finished"));
    // The client went through the exchanges it traced then, answers and silences alike.
    EXPECT_EQ(Exchanges(replayed), Exchanges(trace));
    EXPECT_EQ(sim.Quit(), 0);
  }
}

TEST_F(SimReplay, AnotherCommandStopsItWhereItLeavesTheTrace) {
  const QString trace = kData + QStringLiteral("/program.trace");
  // program.trace prepares the card where an erase erases it.
  const QRegularExpression prepare(QStringLiteral(".* request 'p' prepare,.*"));
  const QString line = QString::number(FileLines(trace).indexOf(prepare) + 1);
  SimProcess sim(runtime_, {QStringLiteral("--replay"), trace});
  ASSERT_TRUE(sim.Await(u"^ready$")) << sim.Story();
  Cli cli(runtime_, {QStringLiteral("erase"), QStringLiteral("--password-stdin")},
          QStringLiteral("haslo123"));
  const QString expected =
      QStringLiteral(
          "^replay 1 mismatch at line %1: expected OUT 14 bytes: 0E 00 70 01 .* \\(request 'p' "
          "prepare, payload 9, CRC ok\\), came OUT 13 bytes: 0D 00 43 .* \\(request 'C' "
          "erase-card, "
          "payload 8, CRC ok\\); 13 bytes, not 14$")
          .arg(line);
  EXPECT_TRUE(sim.Await(QRegularExpression(expected))) << sim.Story();
  EXPECT_TRUE(sim.Await(u"^cmd 1 C erase-card .* -> no reply$")) << sim.Story();
  // Its state is the trace's: nothing else changes it.
  ASSERT_TRUE(sim.Send(QStringLiteral("card none")) && sim.Send(QStringLiteral("state")));
  EXPECT_EQ(sim.AwaitInTurn({QStringLiteral("^error programmer 1 replays a trace"),
                             QStringLiteral("^replay 1 stopped at line ") + line + u'$'}),
            QString())
      << sim.Story();
  cli.Kill();
  EXPECT_EQ(sim.Quit(), 0);
}

TEST_F(SimReplay, AFileThatIsNoTraceStopsTheStart) {
  const QString broken = folder_ + QStringLiteral("/broken.trace");
  QFile file(broken);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("# format: kpnox-trace 1\n# program: x\n0.000412 OUT 5 bytes: 05 00 4D | y\n");
  file.close();
  const std::pair<QStringList, const char*> cases[] = {
      {{QStringLiteral("--replay"), broken}, "broken.trace: line 3: fewer bytes than the count"},
      {{QStringLiteral("--replay"), folder_ + QStringLiteral("/none.trace")}, "none.trace: "},
      {{QStringLiteral("--replay"), folder_}, "kpr50-sim: --replay "},
      {{QStringLiteral("--replay"), broken, QStringLiteral("--card=none")}, "--card does not go"},
  };
  for (const auto& [args, says] : cases) {
    SCOPED_TRACE(says);
    SimProcess sim(runtime_, args);
    EXPECT_EQ(sim.WaitForExit(), 2);
    EXPECT_TRUE(sim.Lines().isEmpty());
    EXPECT_NE(std::string(sim.Story()).find(says), std::string::npos) << sim.Story();
  }
}

}  // namespace
}  // namespace kp::test
