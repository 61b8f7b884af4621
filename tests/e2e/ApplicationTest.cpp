// The programs themselves: kpnox-koder started as the operator starts it, beside a kpr50-sim
// process in the same runtime folder, links to the programmer, keeps polling it, and on a
// stop request from outside closes its window, lets the programmer go and exits with 0.
// Then the same close in this process with boxes open: they go first.
#include "app/QuitOnSignal.h"
#include "SimProcess.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <csignal>

using kp::test::ChildProcess;
using kp::test::RuntimeFolder;
using kp::test::SimProcess;

class ApplicationTest : public QObject {
  Q_OBJECT

 private slots:
  void linksPollsAndClosesOnAStopSignal_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("transport");
    QTest::newRow("SIGTERM") << int{SIGTERM} << QStringLiteral("unix");
    QTest::newRow("SIGINT") << int{SIGINT} << QStringLiteral("unix");
    // The application also finds the simulator's programmers over TCP, as on Windows.
    QTest::newRow("SIGHUP, tcp") << int{SIGHUP} << QStringLiteral("tcp");
  }

  void linksPollsAndClosesOnAStopSignal() {
    QFETCH(int, signal);
    QFETCH(QString, transport);
    RuntimeFolder runtime;
    QVERIFY(runtime.Ok());
    SimProcess sim(runtime, {QStringLiteral("--transport"), transport});
    QVERIFY2(sim.Await(u"^ready$"), sim.Story());

    ChildProcess app(runtime, QStringLiteral(KPNOX_KODER_PATH), {},
                     {QStringLiteral("QT_QPA_PLATFORM=offscreen")});
    QVERIFY2(app.Started(), app.Story());
    // Linked: a fresh connection is logged out, then its status and signature are read; the
    // poll goes on reading the status.
    const QString missing = sim.AwaitInTurn(
        {QStringLiteral("^client 1 connected$"), QStringLiteral("^cmd 1 l logout -> ok$"),
         QStringLiteral("^cmd 1 M status -> word "), QStringLiteral("^cmd 1 s key-signature -> "),
         QStringLiteral("^cmd 1 M status -> word ")});
    QVERIFY2(missing.isEmpty(), sim.Story(missing));
    QCOMPARE(app.Process().state(), QProcess::Running);

    QCOMPARE(app.SignalAndWait(signal), std::optional<int>(0));
    QVERIFY2(sim.Await(u"^client 1 disconnected$"), sim.Story());
    // The close sends no logout: the one logout is the link's.
    const QStringList logouts = sim.Lines().filter(QRegularExpression(QStringLiteral("^cmd 1 l ")));
    QCOMPARE(logouts.size(), 1);
    QCOMPARE(sim.Quit(), std::optional<int>(0));
  }

  // A stop request while a box is up: the box is closed, then the one its caller opens on the
  // way out, then the window; nothing waits for the operator.
  void quitSignalClosesTheOpenBoxesFirst() {
    QApplication::setQuitOnLastWindowClosed(false);  // the test goes on after the close
    QWidget window;
    window.show();
    QVERIFY(CloseOnQuitSignal(&window));
    QVERIFY(!CloseOnQuitSignal(&window));  // once per process

    int boxesClosed = 0;
    bool rescued = false;
    QTimer::singleShot(0, &window, [&] {
      for (const char* text : {"pierwszy", "drugi"}) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), QString::fromLatin1(text),
                        QMessageBox::Ok, &window);
        if (boxesClosed == 0) QTimer::singleShot(0, &box, [] { raise(SIGTERM); });
        // Bounds a failing test only: a box still up this late is closed here instead.
        QTimer::singleShot(kp::test::kWaitLimitMs, &box, [&box, &rescued] {
          rescued = true;
          box.close();
        });
        box.exec();
        ++boxesClosed;
      }
    });
    QTRY_VERIFY_WITH_TIMEOUT(boxesClosed == 2 && !window.isVisible(), 2 * kp::test::kWaitLimitMs);
    QVERIFY(!rescued);
  }
};

QTEST_MAIN(ApplicationTest)

#include "ApplicationTest.moc"
