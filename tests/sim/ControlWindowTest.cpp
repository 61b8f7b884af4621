// The simulator's control window, offscreen: its widgets change the programmers, and what the
// programmers go through shows in the widgets. Qt Test, as the application's windows.
#include "RequestSupport.h"
#include "SocketTestSupport.h"

#include "sim/rack/SimScript.h"
#include "sim/window/ControlWindow.h"
#include "sim/window/ProgrammerPanel.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include <sys/stat.h>

#include <memory>

using namespace kp;
using kp::test::Bytes;
using kp::test::Concat;
using kp::test::KeyOf;
using kp::test::RawClient;
using kp::test::Request;

class ControlWindowTest : public QObject {
  Q_OBJECT

 private:
  ProgrammerPanel* Panel(int index) {
    return window_->findChild<ProgrammerPanel*>(QStringLiteral("ProgrammerPanel%1").arg(index));
  }
  template <typename W>
  W* In(int index, const char* name) {
    ProgrammerPanel* panel = Panel(index);
    return panel != nullptr ? panel->findChild<W*>(name) : nullptr;
  }
  VirtualKpR50& Firmware(int index = 1) { return rack_->Find(index)->firmware; }

  // Each test's own: the runtime folder, a rack with one programmer, and its window.
  std::unique_ptr<kp::test::RuntimeFolder> runtime_;
  std::unique_ptr<SimRack> rack_;
  std::unique_ptr<ControlWindow> window_;

 private slots:
  void init() {
    runtime_ = std::make_unique<kp::test::RuntimeFolder>();
    rack_ = std::make_unique<SimRack>(21);
    ProgrammerSetup setup;
    window_ = std::make_unique<ControlWindow>(*rack_, setup);
    rack_->Add(setup);
  }
  void cleanup() {
    window_.reset();
    rack_.reset();
    runtime_.reset();
    for (QWidget* widget : QApplication::topLevelWidgets()) QVERIFY(!widget->isVisible());
  }

  // The drawing the desktop entry shows, compiled in and rendered by Qt's SVG icon engine.
  void carriesTheSimulatorIcon() {
    QVERIFY(QFile::exists(QStringLiteral(":/icons/kpr50-sim.svg")));
    QVERIFY(!window_->windowIcon().pixmap(32).isNull());
  }

  void cardButtonsPlaceAndRemoveCardsShownWithTheirUid() {
    QVERIFY(Panel(1) != nullptr);
    auto* card = In<QLabel>(1, "CardLbl");
    QVERIFY(card != nullptr);
    QCOMPARE(Firmware().Card(), CardKind::DesfireEmpty);  // as the demo starts
    QVERIFY(card->text().contains(QString::fromStdString(sim::UidText(Firmware().CardUid()))));

    const auto before = Firmware().CardUid();
    In<QPushButton>(1, "EmptyCardBtn")->click();
    QCOMPARE(Firmware().Card(), CardKind::DesfireEmpty);
    QVERIFY(Firmware().CardUid() != before);
    QVERIFY(card->text().contains(QString::fromStdString(sim::UidText(Firmware().CardUid()))));

    In<QPushButton>(1, "ForeignCardBtn")->click();
    QCOMPARE(Firmware().Card(), CardKind::Foreign);
    QVERIFY(card->text().contains(QStringLiteral("innego typu")));

    In<QSpinBox>(1, "DepSpin")->setValue(12);
    In<QSpinBox>(1, "IdxSpin")->setValue(7);
    In<QPushButton>(1, "ProgrammedCardBtn")->click();
    QVERIFY(Firmware().CardNumbers() == std::make_pair(int32_t{12}, int32_t{7}));
    QVERIFY(card->text().contains(QStringLiteral("wydział 12, index 7")));

    In<QPushButton>(1, "RemoveCardBtn")->click();
    QCOMPARE(Firmware().Card(), CardKind::None);
    QCOMPARE(card->text(), QStringLiteral("brak karty"));
  }

  void pluggedBoxPullsTheProgrammerOutAndPutsItBack() {
    auto* plugged = In<QCheckBox>(1, "PluggedChkBx");
    QVERIFY(plugged != nullptr);
    const std::string path = rack_->Find(1)->server.SocketPath();
    struct stat st {};
    QVERIFY(plugged->isChecked());
    QCOMPARE(lstat(path.c_str(), &st), 0);
    plugged->click();
    QVERIFY(!rack_->Find(1)->server.Plugged());
    QVERIFY(lstat(path.c_str(), &st) != 0);
    plugged->click();
    QVERIFY(rack_->Find(1)->server.Plugged());
    QCOMPARE(lstat(path.c_str(), &st), 0);
  }

  void keysPasswordAndLoginAreSetFromThePanel() {
    auto* keys = In<QComboBox>(1, "KeysCombo");
    QVERIFY(keys != nullptr);
    keys->setCurrentIndex(2);
    emit keys->activated(2);
    QCOMPARE(Firmware().Keys(), KeyState::Temporary);

    auto* password = In<QComboBox>(1, "PasswordCombo");
    auto* text = In<QLineEdit>(1, "PasswordEdit");
    QVERIFY(password != nullptr);
    QVERIFY(text != nullptr);
    QCOMPARE(text->text(), QString::fromLatin1(kDefaultPassword));  // the administrator's, shown
    password->setCurrentIndex(2);
    text->setText(QStringLiteral("mojehaslo"));
    emit password->activated(2);
    QCOMPARE(Firmware().Password(), PasswordState::SetByUser);
    QVERIFY(Firmware().PasswordKey() == KeyOf("mojehaslo"));

    // Refused: the programmer keeps its password and the panel shows it again.
    password->setCurrentIndex(1);
    text->setText(QString());
    emit password->activated(1);
    QCOMPARE(Firmware().Password(), PasswordState::SetByUser);
    QCOMPARE(password->currentIndex(), 2);
    QCOMPARE(text->text(), QStringLiteral("mojehaslo"));

    auto* login = In<QCheckBox>(1, "LoggedInChkBx");
    login->click();
    QVERIFY(Firmware().LoggedIn());
    rack_->SetLoggedIn(1, false);  // the programmer's own change shows too
    QVERIFY(!login->isChecked());
  }

  void polishPasswordTypedInThePanelGivesTheApplicationsKey() {
    auto* password = In<QComboBox>(1, "PasswordCombo");
    auto* text = In<QLineEdit>(1, "PasswordEdit");
    QVERIFY(text != nullptr);
    password->setCurrentIndex(2);
    text->setText(QStringLiteral("zażółć12"));
    emit text->returnPressed();
    QCOMPARE(Firmware().Password(), PasswordState::SetByUser);
    QVERIFY(Firmware().PasswordKey() == KeyOf("za\xBF\xF3\xB3\xE6"
                                              "12"));
    QCOMPARE(text->text(), QStringLiteral("zażółć12"));
  }

  void stallAndDelayAreSetFromThePanel() {
    auto* stalled = In<QCheckBox>(1, "StalledChkBx");
    auto* stallFor = In<QPushButton>(1, "StallForBtn");
    auto* stallMs = In<QSpinBox>(1, "StallSpin");
    auto* delay = In<QSpinBox>(1, "DelaySpin");
    QVERIFY(stalled && stallFor && stallMs && delay);
    stalled->click();
    QVERIFY(Firmware().Silent());
    stalled->click();
    QVERIFY(!Firmware().Silent());

    // A stall of a set length shows while it lasts and ends by itself.
    stallMs->setValue(30);
    stallFor->click();
    QVERIFY(Firmware().Silent());
    QVERIFY(stalled->isChecked());
    const QDeadlineTimer deadline(10000);
    while (Firmware().Silent() && !deadline.hasExpired()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    QVERIFY(!Firmware().Silent());
    QVERIFY(!stalled->isChecked());

    delay->setValue(250);
    QCOMPARE(Firmware().LateMs(), uint64_t{250});
    rack_->SetDelay(1, 40);  // a change from elsewhere shows too
    QCOMPARE(delay->value(), 40);
  }

  void faultIsArmedFromThePanelAndItsFiringLogged() {
    auto* kind = In<QComboBox>(1, "FaultKindCombo");
    auto* command = In<QComboBox>(1, "FaultCommandCombo");
    auto* nth = In<QSpinBox>(1, "FaultNthSpin");
    auto* ms = In<QSpinBox>(1, "FaultMsSpin");
    auto* arm = In<QPushButton>(1, "ArmFaultBtn");
    QVERIFY(kind && command && nth && ms && arm);
    kind->setCurrentIndex(5);  // a late answer
    QVERIFY(ms->isEnabled());
    ms->setValue(1500);
    command->setCurrentIndex(command->findText(QStringLiteral("write-file")));
    nth->setValue(2);
    arm->click();
    QVERIFY(Firmware().ArmedFault() ==
            std::optional<FirmwareFault>({FaultKind::Delay, sim::kCmdWriteFile, 2, 1500}));
    QCOMPARE(In<QLabel>(1, "FaultLbl")->text(), QStringLiteral("czeka: delay 1500 write-file 2"));
    kind->setCurrentIndex(8);  // garbage for an answer, the last of the reply-shaping kinds
    QVERIFY(!ms->isEnabled());
    arm->click();
    RunScriptLine(*rack_, "fault also twice status");  // a script arms beside it
    QCOMPARE(In<QLabel>(1, "FaultLbl")->text(),
             QStringLiteral("czeka: garbage write-file 2; twice status 1"));
    kind->setCurrentIndex(3);  // the card swapped at the next card info
    QVERIFY(!ms->isEnabled());
    command->setCurrentIndex(command->findText(QStringLiteral("card-info")));
    nth->setValue(1);
    arm->click();
    // The panel arms one in place of all armed.
    const FirmwareFault swap{FaultKind::CardSwap, sim::kCmdCardInfo, 1, 0};
    QVERIFY(Firmware().ArmedFaults() == std::vector<FirmwareFault>{swap});

    const auto before = Firmware().CardUid();
    RunScriptLine(*rack_, "plug");
    RawClient client(rack_->Find(1)->server.SocketPath());
    QVERIFY(client.ReceiveHello());
    QVERIFY(client.Send(Request(sim::kCmdCardInfo)));
    QVERIFY(client.Receive());
    QVERIFY(Firmware().CardUid() != before);
    QCOMPARE(In<QLabel>(1, "FaultLbl")->text(), QStringLiteral("brak awarii w oczekiwaniu"));
    const QString log =
        window_->findChild<QPlainTextEdit*>(QStringLiteral("EventLog"))->toPlainText();
    QVERIFY2(log.contains(QStringLiteral("Programator 1: awaria card-swap card-info 1")),
             qPrintable(log));
  }

  void secondProgrammerIsAddedAndRemoved() {
    auto* add = window_->findChild<QPushButton*>("AddProgrammerBtn");
    auto* remove = window_->findChild<QPushButton*>("RemoveProgrammerBtn");
    QVERIFY(add != nullptr);
    QVERIFY(remove != nullptr);
    QVERIFY(!remove->isEnabled());
    add->click();
    QCOMPARE(rack_->Indexes(), (std::vector<int>{1, 2}));
    QVERIFY(Panel(2) != nullptr);
    QVERIFY(rack_->Find(2)->server.Plugged());
    QCOMPARE(runtime_->SocketFiles().size(), size_t{2});
    QVERIFY(remove->isEnabled());
    remove->click();
    QCOMPARE(rack_->Indexes(), std::vector<int>{1});
    QCOMPARE(Panel(2), nullptr);
    QCOMPARE(runtime_->SocketFiles().size(), size_t{1});
    QVERIFY(!remove->isEnabled());
  }

  // What the tool does shows as the last operation; its poll is only counted.
  void toolsRequestsShowAsTheLastOperation() {
    rack_->SetLoggedIn(1, true);
    const auto uid = Firmware().CardUid();
    const Bytes uidBytes(uid.begin(), uid.end());
    RawClient client(rack_->Find(1)->server.SocketPath());
    QVERIFY(client.ReceiveHello());
    Bytes file(16, 0);
    file[0] = 12;
    file[4] = 7;
    for (const Bytes& request :
         {Request(sim::kCmdPrepareCard, Concat({{1}, uidBytes})),
          Request(sim::kCmdWriteFile, Concat({{1}, uidBytes, file})), Request(sim::kCmdStatus)}) {
      QVERIFY(client.Send(request));
      QVERIFY(client.Receive());
    }
    auto* last = window_->findChild<QLabel*>("LastOperationLbl");
    QVERIFY(last != nullptr);
    const QString hex = QString::fromStdString(sim::UidText(uid));
    QCOMPARE(last->text(), QStringLiteral("Programator 1: Programowanie karty %1, wydział 12, "
                                          "index 7: ok")
                               .arg(hex));
    QVERIFY(In<QLabel>(1, "CardLbl")->text().contains(QStringLiteral("wydział 12, index 7")));
    QCOMPARE(rack_->Find(1)->pollRequests, uint64_t{1});
  }
};

QTEST_MAIN(ControlWindowTest)

#include "ControlWindowTest.moc"
