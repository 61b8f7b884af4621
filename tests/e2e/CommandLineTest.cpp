// Both programs as command-line citizens: --help and --version answer without a window, an
// unknown option is a usage error, and with no display there is one line and exit status 1,
// not Qt's abort.
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTest>

namespace {

const QString kKoder = QStringLiteral(KPNOX_KODER_PATH);
const QString kSim = QStringLiteral(KPR50_SIM_PATH);

enum Screen { kOffscreen, kNone, kUnreachable };

struct Run {
  int exitCode = -1;
  QString out;
  QString err;
};

Run Start(const QString& program, const QStringList& args, Screen screen) {
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    environment.remove(QLatin1String(name));
  }
  if (screen == kOffscreen)
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  if (screen == kUnreachable) {
    // An X display nobody serves: Qt's xcb plugin cannot connect to it.
    environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":4711"));
    environment.insert(QStringLiteral("XAUTHORITY"), QStringLiteral("/dev/null"));
  }
  QProcess process;
  process.setProcessEnvironment(environment);
  process.start(program, args);
  Run run;
  // A program that opened a window instead would not end by itself: kill it.
  if (!process.waitForFinished(20000)) {
    process.kill();
    process.waitForFinished();
    run.err = QStringLiteral("did not end");
    return run;
  }
  run.exitCode =
      process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -process.exitCode();
  run.out = QString::fromUtf8(process.readAllStandardOutput());
  run.err = QString::fromUtf8(process.readAllStandardError());
  return run;
}

}  // namespace

class CommandLineTest : public QObject {
  Q_OBJECT

 private slots:
  void answers_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("display");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");  // a pattern; empty: nothing at all
    QTest::addColumn<QString>("err");
    const QString version = QRegularExpression::escape(QStringLiteral(KP_VERSION));
    const QString usage =
        QStringLiteral("^Użycie / usage: kpnox-koder \\[--help \\| --version\\]\n(.*\n)+$");
    QTest::newRow("koder --help") << kKoder << QStringList{"--help"} << int{kNone} << 0 << usage
                                  << "";
    QTest::newRow("koder -h") << kKoder << QStringList{"-h"} << int{kNone} << 0 << usage << "";
    QTest::newRow("koder --version") << kKoder << QStringList{"--version"} << int{kNone} << 0
                                     << "^KpNOX Koder " + version + "\n$"
                                     << "";
    QTest::newRow("koder unknown option")
        << kKoder << QStringList{"--bogus"} << int{kOffscreen} << 2 << ""
        << "^kpnox-koder: nieznana opcja / unknown option: --bogus\n\nUżycie / usage: (.*\n)+$";
    QTest::newRow("koder an option too many")
        << kKoder << QStringList{"--help", "--version"} << int{kOffscreen} << 2 << ""
        << "unknown option: --help --version\n";
    QTest::newRow("koder Qt's own options are not taken")
        << kKoder << QStringList{"-platform", "offscreen"} << int{kOffscreen} << 2 << ""
        << "unknown option";
    const QString noDisplay =
        QStringLiteral("^%1: brak ekranu / no display \\(%2\\); .*xvfb-run -a %1\n$");
    QTest::newRow("koder without a display") << kKoder << QStringList{} << int{kNone} << 1 << ""
                                             << noDisplay.arg("kpnox-koder", "DISPLAY is not set");
    QTest::newRow("koder with a display nobody serves")
        << kKoder << QStringList{} << int{kUnreachable} << 1 << ""
        << noDisplay.arg("kpnox-koder", ".*display.*:4711.*");
    QTest::newRow("sim --version")
        << kSim << QStringList{"--version"} << int{kNone} << 0 << "^kpr50-sim " + version + "\n$"
        << "";
    QTest::newRow("sim unknown option") << kSim << QStringList{"--bogus"} << int{kNone} << 2 << ""
                                        << "^kpr50-sim: unknown option --bogus\n";
    QTest::newRow("sim without a display")
        << kSim << QStringList{} << int{kNone} << 1 << ""
        << noDisplay.arg("kpr50-sim", "DISPLAY is not set; --headless needs none");
    QTest::newRow("sim with a display nobody serves")
        << kSim << QStringList{} << int{kUnreachable} << 1 << ""
        << noDisplay.arg("kpr50-sim", ".*:4711.*");
  }

  void answers() {
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(int, display);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    const Run run = Start(program, args, static_cast<Screen>(display));
    const QString story =
        QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(run.exitCode).arg(run.out, run.err);
    QVERIFY2(run.exitCode == exitCode, qPrintable(story));
    for (const auto& [text, pattern] : {std::pair{run.out, out}, std::pair{run.err, err}}) {
      if (pattern.isEmpty()) {
        QVERIFY2(text.isEmpty(), qPrintable(story));
      } else {
        QVERIFY2(QRegularExpression(pattern).match(text).hasMatch(),
                 qPrintable(pattern + u'\n' + story));
      }
    }
  }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "CommandLineTest.moc"
