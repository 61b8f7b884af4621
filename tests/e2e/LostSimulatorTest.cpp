// The programmer's process killed in the middle of the operator's work: while a dialog of
// the login or the password change is open, or just before a card operation. The operator
// gets "no connection" once, the panel shows no programmer, the socket the dead process left
// behind is passed over, and a simulator started afresh in its place is linked again.
#include "WindowOnSim.h"

#include <QDir>
#include <QTest>

#include <utility>
#include <vector>

using kp::test::ModalCloser;
using kp::test::RuntimeFolder;
using kp::test::SimProcess;
using kp::test::WindowOnSim;

namespace {

enum class KillPoint { LoginDialog, ForcedChangeDialog, ChangeDialog, Program, Read, Erase };

// Answers a dialog as the operator does: types into its boxes, presses its button.
ModalCloser::Answer TypeAndPress(std::vector<std::pair<const char*, QString>> boxes,
                                 const char* button) {
  return [boxes = std::move(boxes), button](QWidget* window, kp::test::ModalRecord& record) {
    for (const auto& [name, text] : boxes) {
      if (auto* edit = window->findChild<QLineEdit*>(QLatin1String(name))) {
        edit->clear();
        kp::test::TypeText(edit, text);
      }
    }
    if (auto* pressed = window->findChild<QPushButton*>(QLatin1String(button))) {
      record.buttonEnabled = pressed->isEnabled();
      QTest::mouseClick(pressed, Qt::LeftButton);
    }
  };
}

}  // namespace

Q_DECLARE_METATYPE(KillPoint)

class LostSimulatorTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { RegisterApplicationFonts(); }

  void cleanup() {
    const QStringList visible = kp::test::VisibleWindows();
    QVERIFY2(visible.isEmpty(), qPrintable(visible.join(u',')));
  }

  void killedMidOperation_data() {
    QTest::addColumn<KillPoint>("point");
    QTest::addColumn<QStringList>("seen");
    const QString noConnection = kp::test::Error(kp::test::kNoConnection);
    QTest::newRow("in the login dialog")
        << KillPoint::LoginDialog << QStringList{QStringLiteral("TLoginDlg"), noConnection};
    QTest::newRow("in the forced change after the login")
        << KillPoint::ForcedChangeDialog
        << QStringList{QStringLiteral("TLoginDlg"), kp::test::Info(kp::test::kLoggedIn),
                       QStringLiteral("TChngPassDlg: Wymagana zmiana hasła"), noConnection};
    QTest::newRow("in the password change")
        << KillPoint::ChangeDialog
        << QStringList{QStringLiteral("TChngPassDlg: Zmiana hasła Użytkownika"), noConnection};
    QTest::newRow("before programming") << KillPoint::Program << QStringList{noConnection};
    QTest::newRow("before reading") << KillPoint::Read << QStringList{noConnection};
    QTest::newRow("before erasing") << KillPoint::Erase << QStringList{noConnection};
  }

  void killedMidOperation() {
    QFETCH(KillPoint, point);
    QFETCH(QStringList, seen);
    RuntimeFolder runtime;
    QVERIFY(runtime.Ok());
    // The forced change needs the administrator's password; the rest start from the user's.
    const bool userPassword =
        point != KillPoint::LoginDialog && point != KillPoint::ForcedChangeDialog;
    const QStringList args =
        userPassword ? QStringList{QStringLiteral("--password"), QStringLiteral("user:koder2024")}
                     : QStringList{};
    auto sim = std::make_unique<SimProcess>(runtime, args);
    QVERIFY2(sim->Await(u"^ready$"), sim->Story());

    WindowOnSim w(runtime);
    QVERIFY(w.TickUntilLinked());
    if (userPassword) {
      // As if the user had logged in earlier: the status read and the panel say so.
      QVERIFY(sim->Send(QStringLiteral("login yes")));
      QVERIFY2(sim->Await(u"^login 1 yes$"), sim->Story());
      w.Tick();
      w.win->RefreshStatusPanel();
      QCOMPARE(w.Text("LoginBtn"), QStringLiteral("Zmień hasło"));
    }
    w.Type("PrDepEdit", QStringLiteral("12"));
    w.Type("PrIdxEdit", QStringLiteral("7"));

    const auto kill = [&sim] { sim->Kill(); };
    const auto loginAnswer = TypeAndPress({{"PassEdit", QStringLiteral("admin123")}}, "LoginBtn");
    const auto changeAnswer = [](const char* oldPassword) {
      return TypeAndPress({{"OldPassEdit", QString::fromLatin1(oldPassword)},
                           {"NewPass1Edit", QStringLiteral("koder2025")},
                           {"NewPass2Edit", QStringLiteral("koder2025")}},
                          "ChngPassBtn");
    };
    ModalCloser closer;
    const char* button = "LoginBtn";
    switch (point) {
      case KillPoint::LoginDialog: closer.While(kill, loginAnswer); break;
      case KillPoint::ForcedChangeDialog:
        closer.Then(loginAnswer).PressOk().While(kill, changeAnswer("admin123"));
        break;
      case KillPoint::ChangeDialog: closer.While(kill, changeAnswer("koder2024")); break;
      case KillPoint::Program:
      case KillPoint::Read:
      case KillPoint::Erase:
        kill();
        button = point == KillPoint::Program ? "ProgrTagBtn"
                 : point == KillPoint::Read  ? "ReadTagBtn"
                                             : "ClearTagBtn";
        break;
    }
    closer.PressOk();
    QVERIFY(w.Click(button));
    QCOMPARE(kp::test::Seen(closer), seen);
    for (const kp::test::ModalRecord& record : closer.Records()) {
      if (record.className != QLatin1String("QMessageBox")) QVERIFY(record.buttonEnabled);
    }
    QCOMPARE(sim->Process().state(), QProcess::NotRunning);
    QVERIFY(!w.Linked());
    QCOMPARE(w.Text("PrgrLbl"), QString::fromUtf8(kp::test::kNoProgrammer));
    QVERIFY(!w.W<QPushButton>("LoginBtn")->isEnabled());
    QVERIFY(!w.W<QPushButton>("ProgrTagBtn")->isEnabled());

    // Its socket is still there, with nobody behind it: the poll passes over it in silence.
    const QDir sockets(QString::fromStdString(runtime.SocketFolder()));
    QVERIFY(!sockets.entryList(QDir::System).isEmpty());
    {
      ModalCloser quiet;
      for (int tick = 0; tick < 3; ++tick) w.Tick();
      QCOMPARE(kp::test::Seen(quiet), QStringList());
    }
    QVERIFY(!w.Linked());

    // A simulator started afresh is linked at the next ticks, and starts logged out.
    sim = std::make_unique<SimProcess>(runtime, args);
    QVERIFY2(sim->Await(u"^ready$"), sim->Story());
    {
      ModalCloser quiet;
      QVERIFY(w.TickUntilLinked());
      QCOMPARE(kp::test::Seen(quiet), QStringList());
    }
    const QString missing = sim->AwaitInTurn({QStringLiteral("^client 1 connected$"),
                                              QStringLiteral("^cmd 1 l logout -> ok$"),
                                              QStringLiteral("^cmd 1 M status -> ")});
    QVERIFY2(missing.isEmpty(), sim->Story(missing));
    QCOMPARE(sim->Quit(), std::optional<int>(0));
  }
};

QTEST_MAIN(LostSimulatorTest)

#include "LostSimulatorTest.moc"
