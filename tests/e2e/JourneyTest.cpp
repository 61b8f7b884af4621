// The operator's whole first session with a programmer fresh from the administrator, the
// main window in this process and the programmer a kpr50-sim process on its socket: linking,
// the login with the administrator's password and the forced change, then programming,
// reading back and erasing a card. Each step is checked on screen and in the requests and
// state changes the simulator reports, in the order they must come. Once over the simulator's
// Unix sockets, once over TCP on 127.0.0.1, the transport of Windows.
#include "WindowOnSim.h"

#include <QTest>

using kp::test::ModalCloser;
using kp::test::RuntimeFolder;
using kp::test::SimProcess;
using kp::test::WindowOnSim;

namespace {

// The first capture of `pattern` in `line`.
QString Captured(const QString& line, const QString& pattern) {
  return QRegularExpression(pattern).match(line).captured(1);
}

}  // namespace

class JourneyTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    RegisterApplicationFonts();
    // The window is closed as the operator closes it, and the test goes on after that.
    QApplication::setQuitOnLastWindowClosed(false);
  }

  void cleanup() {
    const QStringList visible = kp::test::VisibleWindows();
    QVERIFY2(visible.isEmpty(), qPrintable(visible.join(u',')));
  }

  void firstSessionFromLinkToErase_data() {
    QTest::addColumn<QString>("transport");
    QTest::newRow("unix") << QStringLiteral("unix");
    QTest::newRow("tcp") << QStringLiteral("tcp");
  }

  void firstSessionFromLinkToErase() {
    QFETCH(QString, transport);
    RuntimeFolder runtime;
    QVERIFY(runtime.Ok());
    SimProcess sim(runtime, {QStringLiteral("--transport"), transport});
    QVERIFY2(sim.Started(), sim.Story());
    const auto plugged = sim.Await(u"^plugged \\d+ ");
    QVERIFY2(plugged, sim.Story());
    const QString n = Captured(*plugged, QStringLiteral("^plugged (\\d+) "));
    const QString folder = QString::fromStdString(
        transport == QStringLiteral("tcp") ? runtime.AnnounceFolder() : runtime.SocketFolder());
    QVERIFY2(plugged->startsWith(QStringLiteral("plugged %1 %2/").arg(n, folder)),
             qPrintable(*plugged));
    QVERIFY2(sim.Await(u"^ready$"), sim.Story());
    // As the administrator hands it over: the password to be changed, a blank card.
    const QStringList start = sim.Lines();
    QVERIFY2(start.contains(QStringLiteral("password %1 admin admin123").arg(n)), sim.Story());
    const QString uid = Captured(
        start.filter(QRegularExpression(QStringLiteral("^card %1 empty ").arg(n))).value(0),
        QStringLiteral(" ([0-9A-F]{16})$"));
    QVERIFY2(!uid.isEmpty(), sim.Story());
    // Patterns of the simulator's lines about this programmer.
    const auto cmd = [&n](const QString& request) {
      return QStringLiteral("^cmd %1 %2$").arg(n, request);
    };
    const auto state = [&n](const QString& what, const QString& value) {
      return QStringLiteral("^%1 %2 %3$").arg(what, n, value);
    };

    WindowOnSim w(runtime);

    // Linking: the fresh connection starts logged out, and the panel shows the programmer.
    QVERIFY(w.TickUntilLinked());
    QString missing = sim.AwaitInTurn({QStringLiteral("^client %1 connected$").arg(n),
                                       cmd(QStringLiteral("l logout -> ok")),
                                       cmd(QStringLiteral("M status -> word 0x[0-9A-F]{4}"))});
    QVERIFY2(missing.isEmpty(), sim.Story(missing));
    const auto signatureLine = sim.Await(cmd(QStringLiteral("s key-signature -> [0-9A-F]{8}")));
    QVERIFY2(signatureLine, sim.Story());
    const kp::VirtualKpR50 asShipped;  // the firmware version every simulated programmer has
    QCOMPARE(w.Text("PrgrLbl"), QStringLiteral("Programator KP-R50 Nr: %1, Soft: %2")
                                    .arg(n)
                                    .arg(asShipped.FirmwareVersion()));
    QCOMPARE(w.Text("KeyLbl"), QStringLiteral("docelowe"));
    QCOMPARE(w.Text("SygnLbl"), signatureLine->right(8));
    QCOMPARE(w.Text("LoginBtn"), QStringLiteral("Zaloguj"));

    // The login with the administrator's password leads straight into the forced change.
    {
      ModalCloser closer;
      closer.AnswerLogin(QStringLiteral("admin123"))
          .PressOk()
          .AnswerChangePassword(QStringLiteral("admin123"), QStringLiteral("koder2024"),
                                QStringLiteral("koder2024"))
          .PressOk();
      QVERIFY(w.Click("LoginBtn"));
      const QStringList expected = {QStringLiteral("TLoginDlg"),
                                    kp::test::Info(kp::test::kLoggedIn),
                                    QStringLiteral("TChngPassDlg: Wymagana zmiana hasła"),
                                    kp::test::Info(kp::test::kPasswordChanged)};
      QCOMPARE(kp::test::Seen(closer), expected);
      QVERIFY(closer.Records()[0].buttonEnabled);
      QVERIFY(closer.Records()[2].buttonEnabled);
    }
    QCOMPARE(w.Text("LoginBtn"), QStringLiteral("Zmień hasło"));
    // The login: a challenge and the proof. The change: logged out, the old password's proof,
    // the change, the new password's proof. Only the new key reached the programmer.
    const QString challenge = cmd(QStringLiteral("n challenge -> challenge"));
    const QString accepted = cmd(QStringLiteral("L login -> accepted"));
    missing = sim.AwaitInTurn(
        {challenge, accepted, state(QStringLiteral("login"), QStringLiteral("yes")),
         cmd(QStringLiteral("l logout -> ok")),
         state(QStringLiteral("login"), QStringLiteral("no")), challenge, accepted,
         state(QStringLiteral("login"), QStringLiteral("yes")),
         cmd(QStringLiteral("H change-password -> ok")),
         state(QStringLiteral("password"), QStringLiteral("user")), challenge, accepted});
    QVERIFY2(missing.isEmpty(), sim.Story(missing));

    // Programming department 12, index 7 onto the blank card; the index moves on.
    w.Type("PrDepEdit", QStringLiteral("12"));
    w.Type("PrIdxEdit", QStringLiteral("7"));
    w.W<QCheckBox>("PrIdxChkBx")->setChecked(true);
    {
      ModalCloser closer;
      QVERIFY(w.Click("ProgrTagBtn"));
      QCOMPARE(kp::test::Seen(closer), QStringList());
    }
    QCOMPARE(w.Text("PrUidLbl"), uid);
    QCOMPARE(w.Text("PrDepEdit"), QStringLiteral("12"));
    QCOMPARE(w.Text("PrIdxEdit"), QStringLiteral("8"));
    missing = sim.AwaitInTurn(
        {cmd(QStringLiteral("R card-info -> card %1 desfire empty").arg(uid)),
         cmd(QStringLiteral("p prepare-card card %1 -> ok").arg(uid)),
         cmd(QStringLiteral("P write-file card %1 dep 12 idx 7 -> ok").arg(uid)),
         state(QStringLiteral("card"), QStringLiteral("programmed %1 dep 12 idx 7").arg(uid))});
    QVERIFY2(missing.isEmpty(), sim.Story(missing));

    // Reading it back: the boxes are filled from the card.
    w.Type("RdDepEdit", QStringLiteral("12"));
    w.Type("RdIdxEdit", QStringLiteral("7"));
    {
      ModalCloser closer;
      QVERIFY(w.Click("ReadTagBtn"));
      QCOMPARE(kp::test::Seen(closer), QStringList());
    }
    QCOMPARE(w.Text("RdUidLbl"), uid);
    QCOMPARE(w.Text("RdDepEdit"), QStringLiteral("12"));
    QCOMPARE(w.Text("RdIdxEdit"), QStringLiteral("7"));
    missing =
        sim.AwaitInTurn({cmd(QStringLiteral("r read-file -> card %1 dep 12 idx 7").arg(uid))});
    QVERIFY2(missing.isEmpty(), sim.Story(missing));

    // Erasing: the card is blank again, and its UID is shown once more.
    w.W<QLabel>("PrUidLbl")->clear();
    {
      ModalCloser closer;
      QVERIFY(w.Click("ClearTagBtn"));
      QCOMPARE(kp::test::Seen(closer), QStringList{kp::test::Info(kp::test::kCardErased)});
    }
    QCOMPARE(w.Text("PrUidLbl"), uid);
    missing = sim.AwaitInTurn({cmd(QStringLiteral("C erase-card card %1 -> ok").arg(uid)),
                               state(QStringLiteral("card"), QStringLiteral("empty %1").arg(uid))});
    QVERIFY2(missing.isEmpty(), sim.Story(missing));

    // Closing the window lets the programmer go.
    w.win->close();
    missing = sim.AwaitInTurn({QStringLiteral("^client %1 disconnected$").arg(n)});
    QVERIFY2(missing.isEmpty(), sim.Story(missing));
    QCOMPARE(sim.Quit(), std::optional<int>(0));
  }
};

QTEST_MAIN(JourneyTest)

#include "JourneyTest.moc"
