// Two programmers at once, from one simulator hosting two or from two simulators side by
// side: the poll says so once, holds neither, and links to the one left when the other goes.
#include "WindowOnSim.h"

#include <QTest>

#include <memory>
#include <vector>

using kp::test::ModalCloser;
using kp::test::RuntimeFolder;
using kp::test::SimProcess;
using kp::test::WindowOnSim;

class TwoProgrammersTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { RegisterApplicationFonts(); }

  void cleanup() {
    const QStringList visible = kp::test::VisibleWindows();
    QVERIFY2(visible.isEmpty(), qPrintable(visible.join(u',')));
  }

  void toldOnceThenTheOneLeftIsLinked_data() {
    QTest::addColumn<bool>("twoProcesses");
    QTest::newRow("one simulator with two programmers") << false;
    QTest::newRow("two simulators") << true;
  }

  void toldOnceThenTheOneLeftIsLinked() {
    QFETCH(bool, twoProcesses);
    RuntimeFolder runtime;
    QVERIFY(runtime.Ok());
    std::vector<std::unique_ptr<SimProcess>> sims;
    if (twoProcesses) {
      sims.push_back(std::make_unique<SimProcess>(runtime));
      sims.push_back(std::make_unique<SimProcess>(runtime));
    } else {
      sims.push_back(std::make_unique<SimProcess>(
          runtime, QStringList{QStringLiteral("--programmers"), QStringLiteral("2")}));
    }
    for (auto& sim : sims) QVERIFY2(sim->Await(u"^ready$"), sim->Story());
    // The second programmer: the other process's first, or this one's second.
    SimProcess& other = *sims.back();
    const QString otherNumber = twoProcesses ? QStringLiteral("1") : QStringLiteral("2");

    WindowOnSim w(runtime);
    // Every tick opens both programmers to count them and closes both again. A real device is
    // free again once its handle is closed; a simulator notices the close a moment later, so
    // each tick waits until both have seen it.
    const int hostedEach = twoProcesses ? 1 : 2;
    const auto tickAndAwaitRelease = [&] {
      w.Tick();
      for (auto& sim : sims) {
        for (int i = 0; i < hostedEach; ++i) {
          if (!sim->Await(u"^client \\d+ disconnected$")) return false;
        }
      }
      return true;
    };
    {
      ModalCloser closer;
      closer.PressOk();
      for (int tick = 0; tick < 4; ++tick) {
        QVERIFY2(tickAndAwaitRelease(), qPrintable(QString::fromLocal8Bit(sims.front()->Story()) +
                                                   QString::fromLocal8Bit(other.Story())));
      }
      QCOMPARE(kp::test::Seen(closer), QStringList{kp::test::Error(kp::test::kTwoProgrammers)});
    }
    QVERIFY(!w.Linked());
    // Nothing was asked of either.
    for (auto& sim : sims) {
      const QStringList commands = sim->Lines().filter(QRegularExpression(QStringLiteral("^cmd ")));
      QVERIFY2(commands.isEmpty(), sim->Story());
    }

    // The second one goes: the next tick links to the first, with no box.
    QVERIFY(other.Send(QStringLiteral("unplug %1").arg(otherNumber)));
    QString missing = other.AwaitInTurn({QStringLiteral("^unplugged %1$").arg(otherNumber)});
    QVERIFY2(missing.isEmpty(), other.Story(missing));
    {
      ModalCloser closer;
      QVERIFY(w.TickUntilLinked());
      QCOMPARE(kp::test::Seen(closer), QStringList());
    }
    QVERIFY2(w.Text("PrgrLbl").startsWith(QStringLiteral("Programator KP-R50 Nr: 1, Soft: ")),
             qPrintable(w.Text("PrgrLbl")));
    SimProcess& first = *sims.front();
    missing = first.AwaitInTurn({QStringLiteral("^client 1 connected$"),
                                 QStringLiteral("^cmd 1 l logout -> ok$"),
                                 QStringLiteral("^cmd 1 M status -> ")});
    QVERIFY2(missing.isEmpty(), first.Story(missing));

    // Plugged in again while one is held, it is not looked at.
    QVERIFY(other.Send(QStringLiteral("plug %1").arg(otherNumber)));
    missing = other.AwaitInTurn({QStringLiteral("^plugged %1 ").arg(otherNumber)});
    QVERIFY2(missing.isEmpty(), other.Story(missing));
    {
      ModalCloser closer;
      for (int tick = 0; tick < 2; ++tick) w.Tick();
      QCOMPARE(kp::test::Seen(closer), QStringList());
    }
    QVERIFY(w.Linked());
    for (auto& sim : sims) QCOMPARE(sim->Quit(), std::optional<int>(0));
  }
};

QTEST_MAIN(TwoProgrammersTest)

#include "TwoProgrammersTest.moc"
