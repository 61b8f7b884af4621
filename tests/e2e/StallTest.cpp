// A programmer with a Polish password, and one that stops answering in the middle of an
// action: the window against a real kpr50-sim process, the stall set on its standard input
// at the moment the tool asks for the card.
#include "WindowOnSim.h"

#include "link/KpCommands.h"

#include <QTest>

#include <functional>
#include <memory>
#include <utility>

using kp::test::ModalCloser;
using kp::test::RuntimeFolder;
using kp::test::SimProcess;
using kp::test::WindowOnSim;

namespace {

// The simulator's sockets, with a hook that runs once, just before the first request with a
// given command byte goes out.
class SocketsWithHook : public kp::SimUnixPlatform {
 public:
  SocketsWithHook(const std::string& folder, uint8_t command, std::function<void()> hook)
      : SimUnixPlatform(folder), command_(command), hook_(std::move(hook)) {}

  bool WinUsb_WritePipe(kp::WinUsbHandle handle, uint8_t pipeId, const uint8_t* buffer,
                        uint32_t length, uint32_t* transferred) override {
    // A frame: two length bytes, then the command byte.
    if (hook_ && length > 2 && buffer[2] == command_) std::exchange(hook_, nullptr)();
    return SimUnixPlatform::WinUsb_WritePipe(handle, pipeId, buffer, length, transferred);
  }

 private:
  uint8_t command_;
  std::function<void()> hook_;
};

}  // namespace

class StallTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { RegisterApplicationFonts(); }

  void cleanup() {
    const QStringList visible = kp::test::VisibleWindows();
    QVERIFY2(visible.isEmpty(), qPrintable(visible.join(u',')));
  }

  // Logged in with "zażółć12" set in the simulator, the operator programs a card; the
  // programmer stops answering when asked for the card. The operator is told there is no
  // connection, the panel turns red, and once the programmer answers again it is linked anew.
  void programmerStallsWhileProgramming() {
    RuntimeFolder runtime;
    QVERIFY(runtime.Ok());
    SimProcess sim(runtime, {QStringLiteral("--password"), QStringLiteral("user:zażółć12")});
    QVERIFY2(sim.Await(u"^ready$"), sim.Story());
    bool stalled = false;
    auto sockets = std::make_unique<SocketsWithHook>(
        runtime.SocketFolder(), kp::kCmdCardInfo, [&sim, &stalled] {
          stalled = sim.Send(QStringLiteral("stall")) && sim.Await(u"^stalled 1$").has_value();
        });
    WindowOnSim w(runtime, std::move(sockets));
    QVERIFY2(w.TickUntilLinked(), sim.Story());

    {
      ModalCloser closer;
      closer.AnswerLogin(QStringLiteral("zażółć12")).PressOk();
      QVERIFY(w.Click("LoginBtn"));
      QCOMPARE(kp::test::Seen(closer),
               (QStringList{QStringLiteral("TLoginDlg"), kp::test::Info(kp::test::kLoggedIn)}));
    }
    QVERIFY2(sim.Await(u"^login 1 yes$"), sim.Story());

    {
      ModalCloser closer;
      QVERIFY(w.Click("ProgrTagBtn"));
      QVERIFY(stalled);
      QCOMPARE(kp::test::Seen(closer), QStringList{kp::test::Error(kp::test::kNoConnection)});
    }
    QVERIFY(!w.Linked());
    QCOMPARE(w.Text("PrgrLbl"), QString::fromUtf8(kp::test::kNoProgrammer));
    QCOMPARE(w.W<QLabel>("PrgrLbl")->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    QVERIFY(!w.W<QPushButton>("ProgrTagBtn")->isEnabled());
    // The request went out and was left unanswered, resent once, and the card is untouched.
    QString missing = sim.AwaitInTurn({QStringLiteral("^cmd 1 R card-info -> no reply$"),
                                       QStringLiteral("^cmd 1 R card-info -> no reply$")});
    QVERIFY2(missing.isEmpty(), sim.Story(missing));
    QVERIFY(!sim.Lines().join(u'\n').contains(QStringLiteral("prepare-card")));

    QVERIFY(sim.Send(QStringLiteral("resume")));
    QVERIFY2(sim.Await(u"^resumed 1$"), sim.Story());
    QVERIFY2(w.TickUntilLinked(), sim.Story());
    QVERIFY(w.Text("PrgrLbl").startsWith(QStringLiteral("Programator KP-R50 Nr: 1")));
    QCOMPARE(w.Text("LoginBtn"), QStringLiteral("Zaloguj"));  // a fresh link is logged out
    w.win->close();
    QCOMPARE(sim.Quit(), std::optional<int>(0));
  }
};

QTEST_MAIN(StallTest)

#include "StallTest.moc"
