// The simulator's control window, offscreen: its widgets change the programmers, and what the
// programmers go through shows in the widgets.
#include "SimTestSupport.h"
#include "SocketTestSupport.h"

#include "sim/window/ControlWindow.h"
#include "sim/window/ProgrammerPanel.h"
#include "sim/rack/SimScript.h"

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

#include <sys/stat.h>

namespace kp::simtest {
namespace {

void EnsureApplication() {
  static int argc = 1;
  static char name[] = "kp_simwindow_tests";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static QApplication application(argc, argv);
  }
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApplication();
    ProgrammerSetup setup;
    window_ = std::make_unique<ControlWindow>(rack_, setup);
    rack_.Add(setup);
  }
  void TearDown() override {
    window_.reset();
  }

  ProgrammerPanel* Panel(int index) {
    return window_->findChild<ProgrammerPanel*>(QStringLiteral("ProgrammerPanel%1").arg(index));
  }
  template <typename W>
  W* In(int index, const char* name) {
    ProgrammerPanel* panel = Panel(index);
    return panel != nullptr ? panel->findChild<W*>(name) : nullptr;
  }
  VirtualKpR50& Firmware(int index = 1) { return rack_.Find(index)->firmware; }

  TempRuntime runtime_;
  SimRack rack_{21};
  std::unique_ptr<ControlWindow> window_;
};

// The drawing the desktop entry shows, compiled in and rendered by Qt's SVG icon engine.
TEST_F(WindowTest, CarriesTheSimulatorIcon) {
  EXPECT_TRUE(QFile::exists(QStringLiteral(":/icons/kpr50-sim.svg")));
  EXPECT_FALSE(window_->windowIcon().pixmap(32).isNull());
}

TEST_F(WindowTest, CardButtonsPlaceAndRemoveCardsShownWithTheirUid) {
  ASSERT_NE(Panel(1), nullptr);
  auto* card = In<QLabel>(1, "CardLbl");
  ASSERT_NE(card, nullptr);
  EXPECT_EQ(Firmware().Card(), CardKind::DesfireEmpty);  // as the demo starts
  EXPECT_TRUE(card->text().contains(QString::fromStdString(sim::UidText(Firmware().CardUid()))));

  const auto before = Firmware().CardUid();
  In<QPushButton>(1, "EmptyCardBtn")->click();
  EXPECT_EQ(Firmware().Card(), CardKind::DesfireEmpty);
  EXPECT_NE(Firmware().CardUid(), before);
  EXPECT_TRUE(card->text().contains(QString::fromStdString(sim::UidText(Firmware().CardUid()))));

  In<QPushButton>(1, "ForeignCardBtn")->click();
  EXPECT_EQ(Firmware().Card(), CardKind::Foreign);
  EXPECT_TRUE(card->text().contains(QStringLiteral("innego typu")));

  In<QSpinBox>(1, "DepSpin")->setValue(12);
  In<QSpinBox>(1, "IdxSpin")->setValue(7);
  In<QPushButton>(1, "ProgrammedCardBtn")->click();
  EXPECT_EQ(Firmware().CardNumbers(), std::make_pair(int32_t{12}, int32_t{7}));
  EXPECT_TRUE(card->text().contains(QStringLiteral("wydział 12, index 7")));

  In<QPushButton>(1, "RemoveCardBtn")->click();
  EXPECT_EQ(Firmware().Card(), CardKind::None);
  EXPECT_EQ(card->text(), QStringLiteral("brak karty"));
}

TEST_F(WindowTest, PluggedBoxPullsTheProgrammerOutAndPutsItBack) {
  auto* plugged = In<QCheckBox>(1, "PluggedChkBx");
  ASSERT_NE(plugged, nullptr);
  const std::string path = rack_.Find(1)->server.SocketPath();
  struct stat st {};
  EXPECT_TRUE(plugged->isChecked());
  EXPECT_EQ(lstat(path.c_str(), &st), 0);
  plugged->click();
  EXPECT_FALSE(rack_.Find(1)->server.Plugged());
  EXPECT_NE(lstat(path.c_str(), &st), 0);
  plugged->click();
  EXPECT_TRUE(rack_.Find(1)->server.Plugged());
  EXPECT_EQ(lstat(path.c_str(), &st), 0);
}

TEST_F(WindowTest, KeysPasswordAndLoginAreSetFromThePanel) {
  auto* keys = In<QComboBox>(1, "KeysCombo");
  ASSERT_NE(keys, nullptr);
  keys->setCurrentIndex(2);
  emit keys->activated(2);
  EXPECT_EQ(Firmware().Keys(), KeyState::Temporary);

  auto* password = In<QComboBox>(1, "PasswordCombo");
  auto* text = In<QLineEdit>(1, "PasswordEdit");
  ASSERT_NE(password, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(text->text(), QString::fromLatin1(kDefaultPassword));  // the administrator's, shown
  password->setCurrentIndex(2);
  text->setText(QStringLiteral("mojehaslo"));
  emit password->activated(2);
  EXPECT_EQ(Firmware().Password(), PasswordState::SetByUser);
  EXPECT_EQ(Firmware().PasswordKey(), KeyOf("mojehaslo"));

  // Refused: the programmer keeps its password and the panel shows it again.
  password->setCurrentIndex(1);
  text->setText(QString());
  emit password->activated(1);
  EXPECT_EQ(Firmware().Password(), PasswordState::SetByUser);
  EXPECT_EQ(password->currentIndex(), 2);
  EXPECT_EQ(text->text(), QStringLiteral("mojehaslo"));

  auto* login = In<QCheckBox>(1, "LoggedInChkBx");
  login->click();
  EXPECT_TRUE(Firmware().LoggedIn());
  rack_.SetLoggedIn(1, false);  // the programmer's own change shows too
  EXPECT_FALSE(login->isChecked());
}

TEST_F(WindowTest, PolishPasswordTypedInThePanelGivesTheApplicationsKey) {
  auto* password = In<QComboBox>(1, "PasswordCombo");
  auto* text = In<QLineEdit>(1, "PasswordEdit");
  ASSERT_NE(text, nullptr);
  password->setCurrentIndex(2);
  text->setText(QStringLiteral("zażółć12"));
  emit text->returnPressed();
  EXPECT_EQ(Firmware().Password(), PasswordState::SetByUser);
  EXPECT_EQ(Firmware().PasswordKey(), KeyOf("za\xBF\xF3\xB3\xE6" "12"));
  EXPECT_EQ(text->text(), QStringLiteral("zażółć12"));
}

TEST_F(WindowTest, StallAndDelayAreSetFromThePanel) {
  auto* stalled = In<QCheckBox>(1, "StalledChkBx");
  auto* stallFor = In<QPushButton>(1, "StallForBtn");
  auto* stallMs = In<QSpinBox>(1, "StallSpin");
  auto* delay = In<QSpinBox>(1, "DelaySpin");
  ASSERT_TRUE(stalled && stallFor && stallMs && delay);
  stalled->click();
  EXPECT_TRUE(Firmware().Silent());
  stalled->click();
  EXPECT_FALSE(Firmware().Silent());

  // A stall of a set length shows while it lasts and ends by itself.
  stallMs->setValue(30);
  stallFor->click();
  EXPECT_TRUE(Firmware().Silent());
  EXPECT_TRUE(stalled->isChecked());
  const QDeadlineTimer deadline(10000);
  while (Firmware().Silent() && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  }
  EXPECT_FALSE(Firmware().Silent());
  EXPECT_FALSE(stalled->isChecked());

  delay->setValue(250);
  EXPECT_EQ(Firmware().LateMs(), 250u);
  rack_.SetDelay(1, 40);  // a change from elsewhere shows too
  EXPECT_EQ(delay->value(), 40);
}

TEST_F(WindowTest, FaultIsArmedFromThePanelAndItsFiringLogged) {
  auto* kind = In<QComboBox>(1, "FaultKindCombo");
  auto* command = In<QComboBox>(1, "FaultCommandCombo");
  auto* nth = In<QSpinBox>(1, "FaultNthSpin");
  auto* ms = In<QSpinBox>(1, "FaultMsSpin");
  auto* arm = In<QPushButton>(1, "ArmFaultBtn");
  ASSERT_TRUE(kind && command && nth && ms && arm);
  kind->setCurrentIndex(5);  // a late answer
  EXPECT_TRUE(ms->isEnabled());
  ms->setValue(1500);
  command->setCurrentIndex(command->findText(QStringLiteral("write-file")));
  nth->setValue(2);
  arm->click();
  EXPECT_EQ(Firmware().ArmedFault(),
            std::optional<FirmwareFault>({FaultKind::Delay, sim::kCmdWriteFile, 2, 1500}));
  EXPECT_EQ(In<QLabel>(1, "FaultLbl")->text(), QStringLiteral("czeka: delay 1500 write-file 2"));
  kind->setCurrentIndex(3);  // the card swapped at the next card info
  EXPECT_FALSE(ms->isEnabled());
  command->setCurrentIndex(command->findText(QStringLiteral("card-info")));
  nth->setValue(1);
  arm->click();
  EXPECT_EQ(Firmware().ArmedFault(),
            std::optional<FirmwareFault>({FaultKind::CardSwap, sim::kCmdCardInfo, 1, 0}));

  const auto before = Firmware().CardUid();
  RunScriptLine(rack_, "plug");
  RawClient client(rack_.Find(1)->server.SocketPath());
  ASSERT_TRUE(client.ReceiveHello());
  ASSERT_TRUE(client.Send(simtest::Request(sim::kCmdCardInfo)));
  ASSERT_TRUE(client.Receive());
  EXPECT_NE(Firmware().CardUid(), before);
  EXPECT_EQ(In<QLabel>(1, "FaultLbl")->text(), QStringLiteral("brak awarii w oczekiwaniu"));
  const QString log = window_->findChild<QPlainTextEdit*>(QStringLiteral("EventLog"))->toPlainText();
  EXPECT_TRUE(log.contains(QStringLiteral("Programator 1: awaria card-swap card-info 1")))
      << log.toStdString();
}

TEST_F(WindowTest, SecondProgrammerIsAddedAndRemoved) {
  auto* add = window_->findChild<QPushButton*>("AddProgrammerBtn");
  auto* remove = window_->findChild<QPushButton*>("RemoveProgrammerBtn");
  ASSERT_NE(add, nullptr);
  ASSERT_NE(remove, nullptr);
  EXPECT_FALSE(remove->isEnabled());
  add->click();
  EXPECT_EQ(rack_.Indexes(), (std::vector<int>{1, 2}));
  EXPECT_NE(Panel(2), nullptr);
  EXPECT_TRUE(rack_.Find(2)->server.Plugged());
  EXPECT_EQ(runtime_.SocketFiles().size(), 2u);
  EXPECT_TRUE(remove->isEnabled());
  remove->click();
  EXPECT_EQ(rack_.Indexes(), std::vector<int>{1});
  EXPECT_EQ(Panel(2), nullptr);
  EXPECT_EQ(runtime_.SocketFiles().size(), 1u);
  EXPECT_FALSE(remove->isEnabled());
}

// What the tool does shows as the last operation; its poll is only counted.
TEST_F(WindowTest, ToolsRequestsShowAsTheLastOperation) {
  rack_.SetLoggedIn(1, true);
  const auto uid = Firmware().CardUid();
  const Bytes uidBytes(uid.begin(), uid.end());
  RawClient client(rack_.Find(1)->server.SocketPath());
  ASSERT_TRUE(client.ReceiveHello());
  Bytes file(16, 0);
  file[0] = 12;
  file[4] = 7;
  for (const Bytes& request : {Request(sim::kCmdPrepareCard, Concat({{1}, uidBytes})),
                               Request(sim::kCmdWriteFile, Concat({{1}, uidBytes, file})),
                               Request(sim::kCmdStatus)}) {
    ASSERT_TRUE(client.Send(request));
    ASSERT_TRUE(client.Receive());
  }
  auto* last = window_->findChild<QLabel*>("LastOperationLbl");
  ASSERT_NE(last, nullptr);
  const QString hex = QString::fromStdString(sim::UidText(uid));
  EXPECT_EQ(last->text(), QStringLiteral("Programator 1: Programowanie karty %1, wydział 12, "
                                         "index 7: ok")
                              .arg(hex));
  EXPECT_TRUE(In<QLabel>(1, "CardLbl")->text().contains(QStringLiteral("wydział 12, index 7")));
  EXPECT_EQ(rack_.Find(1)->pollRequests, 1u);
}

}  // namespace
}  // namespace kp::simtest
