// The main window's 250 ms poll against virtual programmers on a virtual bus: plugging and
// unplugging, the second-programmer message, when the status panel is refreshed and what it
// shows, and how ticks, actions and the Start/Stop button share the timer. Ticks are driven
// by calling NoxTimerTimer() directly.
#include "ActionRig.h"  // the messages of the operator actions
#include "app/AppFonts.h"
#include "FormTestSupport.h"
#include "ModalCloser.h"
#include "app/NoProgrammerReason.h"
#include "app/Wmain.h"
#include "platform/virtual/VirtualBus.h"
#include "programmer/KpR50.h"
#include "sim/firmware/VirtualKpR50.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

using kp::test::ModalCloser;

namespace {

const char* const kNoProgrammer = "Brak Programatora KP-R50";
using kp::test::kTwoProgrammers;

// Every control whose enabled state follows the connection.
const char* const kConnectionControls[] = {
    "KeyTxtLbl",   "SygnTxtLbl",  "InfoLbl",     "LoginBtn",    "PrUidTxtLbl", "PrUidLbl",
    "PrDepTxtLbl", "PrDepEdit",   "PrDepRngLbl", "PrIdxTxtLbl", "PrIdxEdit",   "PrIdxRngLbl",
    "ClearTagBtn", "ProgrTagBtn", "RdUidTxtLbl", "RdUidLbl",    "RdDepTxtLbl", "RdDepEdit",
    "RdIdxTxtLbl", "RdIdxEdit",   "ReadTagBtn"};

std::string CommandLetters(const kp::VirtualKpR50& firmware) {
  const std::vector<uint8_t>& commands = firmware.Commands();
  return std::string(commands.begin(), commands.end());
}

// A bus that also tells of programmers it could not open.
class RefusingBus : public kp::VirtualBus {
 public:
  std::vector<kp::UnreachableDevice> UnreachableDevices() const override { return unreachable; }
  std::vector<kp::UnreachableDevice> unreachable;
};

std::string Contents(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  return text;
}

const char* const kNoPermissionLine =
    "KP-R50 na 001/007: brak uprawnień do urządzenia USB — zainstaluj regułę udev (README)";
const char* const kHeldLine = "KP-R50 na 001/009: urządzenie zajęte przez inny program";

}  // namespace

class PollingTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<kp::VirtualKpR50> fw;
  std::unique_ptr<kp::VirtualKpR50> fw2;
  std::unique_ptr<kp::VirtualBus> bus;
  std::unique_ptr<TMainWin> win;

  QWidget* Widget(const char* name) const { return win->findChild<QWidget*>(QLatin1String(name)); }
  QString Text(const char* name) const { return kp::test::Caption(Widget(name)); }
  QColor LineColour() const { return Widget("PrgrLbl")->palette().color(QPalette::WindowText); }

  // The names among the connection's controls whose enabled state is not `enabled`.
  QStringList ControlsNot(bool enabled) const {
    QStringList wrong;
    for (const char* name : kConnectionControls) {
      if (Widget(name)->isEnabled() != enabled) wrong << QLatin1String(name);
    }
    return wrong;
  }

  bool Connected() { return win->Programmer().winUsbHandle != kp::kInvalidHandle; }

 private slots:
  void initTestCase() { RegisterApplicationFonts(); }

  void init() {
    // Process-wide state of the main window's unit, as at start-up.
    lastShownStatus = kStartShownStatus;
    twoProgrammersArmed = true;
    fw = std::make_unique<kp::VirtualKpR50>(1);
    fw2 = std::make_unique<kp::VirtualKpR50>(2);
    bus = std::make_unique<kp::VirtualBus>();
    win = std::make_unique<TMainWin>(*bus);
  }

  void cleanup() {
    const QStringList visible = kp::test::VisibleWindows();
    win.reset();
    bus.reset();
    fw.reset();
    fw2.reset();
    QVERIFY2(visible.isEmpty(), qPrintable(visible.join(u',')));
  }

  // Nothing attached: ticks change nothing on screen, however many.
  void noProgrammerKeepsDesignState() {
    for (int tick = 0; tick < 3; ++tick) win->NoxTimerTimer();
    QCOMPARE(win->PollProgrammer(), 0);
    QCOMPARE(Text("PrgrLbl"), QString());
    QCOMPARE(Text("KeyLbl"), QString());
    QCOMPARE(Text("SygnLbl"), QString());
    QCOMPARE(Text("LoginBtn"), QStringLiteral("Zaloguj"));
    QVERIFY(!Widget("KeyLbl")->isHidden());
    QVERIFY(!Widget("SygnLbl")->isHidden());
    QCOMPARE(ControlsNot(true), QStringList());
    QCOMPARE(lastShownStatus, kStartShownStatus);
    QVERIFY(twoProgrammersArmed);
    QVERIFY(win->NoxTimer()->isActive());
  }

  // A programmer that sends without pause from the moment it is opened, one transfer a
  // millisecond: the tick's first exchange drains twice to the bound, writes nothing, and
  // the connection is dropped after 128 ms of virtual time.
  void babblingProgrammerIsDropped() {
    const auto id = bus->Plug(kp::VirtualKpR50::DefaultConfig());
    for (uint64_t ms = 1; ms <= 1000; ++ms) bus->QueueIn(id, {1, 2, 3}, ms);
    QCOMPARE(win->PollProgrammer(), -1);
    QVERIFY(!Connected());
    QVERIFY(!bus->IsOpen(id));
    QVERIFY(bus->Written(id).empty());
    QCOMPARE(bus->NowMs(), uint64_t{2 * kp::kMaxDrainedTransfers});
  }

  // A programmer the platform may not open: the panel keeps its text, the reason is the
  // status label's tooltip until a programmer connects.
  void noProgrammerReasonIsTheTooltip() {
    RefusingBus refusing;
    refusing.unreachable = {{"001/007", kp::Unreachable::NoPermission},
                            {"001/009", kp::Unreachable::HeldElsewhere}};
    TMainWin window(refusing);
    window.NoxTimerTimer();
    QLabel* line = window.findChild<QLabel*>(QStringLiteral("PrgrLbl"));
    QCOMPARE(line->text(), QString());
    QCOMPARE(line->toolTip(),
             QString::fromUtf8(kNoPermissionLine) + u'\n' + QString::fromUtf8(kHeldLine));

    fw->PlugInto(refusing);
    window.NoxTimerTimer();
    QVERIFY(window.Programmer().isOpen);
    QCOMPARE(line->toolTip(), QString());
  }

  // stderr gets each reason once per change, and nothing when the reason goes.
  void noProgrammerReasonIsLoggedOncePerChange() {
    RefusingBus refusing;
    QLabel label;
    std::FILE* log = std::tmpfile();
    QVERIFY(log != nullptr);
    NoProgrammerReason reason(log);
    refusing.unreachable = {{"001/007", kp::Unreachable::NoPermission}};
    for (int tick = 0; tick < 3; ++tick) reason.Update(&label, refusing, false);
    refusing.unreachable = {{"001/009", kp::Unreachable::HeldElsewhere}};
    reason.Update(&label, refusing, false);
    reason.Update(&label, refusing, true);
    QCOMPARE(label.toolTip(), QString());
    const std::string logged = Contents(log);
    std::fclose(log);
    QCOMPARE(logged, std::string(kNoPermissionLine) + "\n" + kHeldLine + "\n");
  }

  void plugOne_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<int>("firmware");
    QTest::addColumn<int>("keys");
    QTest::addColumn<uint>("signature");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("keyText");
    QTest::addColumn<QString>("signatureText");
    QTest::addColumn<QString>("commands");
    QTest::newRow("no keys") << 12 << 3 << int(kp::KeyState::None) << 0xABCu
                             << "Programator KP-R50 Nr: 12, Soft: 3"
                             << "brak"
                             << "--------"
                             << "lM";
    QTest::newRow("target keys") << 12 << 3 << int(kp::KeyState::Target) << 0xABCu
                                 << "Programator KP-R50 Nr: 12, Soft: 3"
                                 << "docelowe"
                                 << "00000ABC"
                                 << "lMs";
    QTest::newRow("temporary keys") << 7 << 250 << int(kp::KeyState::Temporary) << 0xDEADBEEFu
                                    << "Programator KP-R50 Nr: 7, Soft: 250"
                                    << "tymczasowe"
                                    << "DEADBEEF"
                                    << "lMs";
    QTest::newRow("largest words") << 65535 << 65535 << int(kp::KeyState::Target) << 0xFFFFFFFFu
                                   << "Programator KP-R50 Nr: 65535, Soft: 65535"
                                   << "docelowe"
                                   << "FFFFFFFF"
                                   << "lMs";
  }

  // Within one tick a fresh programmer is linked, logged out, read, and shown.
  void plugOne() {
    QFETCH(int, number);
    QFETCH(int, firmware);
    QFETCH(int, keys);
    QFETCH(uint, signature);
    QFETCH(QString, line);
    QFETCH(QString, keyText);
    QFETCH(QString, signatureText);
    QFETCH(QString, commands);
    win->NoxTimerTimer();  // nobody there yet
    fw->SetProgrammerNumber(static_cast<uint16_t>(number));
    fw->SetFirmwareVersion(static_cast<uint16_t>(firmware));
    fw->SetKeys(static_cast<kp::KeyState>(keys), signature);
    fw->SetLoggedIn(true);
    const kp::VirtualBus::DeviceId id = fw->PlugInto(*bus);

    ModalCloser closer;
    win->NoxTimerTimer();
    QCOMPARE(closer.Records().size(), 0);
    QVERIFY(bus->IsOpen(id));
    QCOMPARE(QString::fromStdString(CommandLetters(*fw)), commands);
    QVERIFY(!fw->LoggedIn());
    QVERIFY(twoProgrammersArmed);
    QCOMPARE(lastShownStatus, int32_t{fw->StatusWord()});

    QCOMPARE(Text("PrgrLbl"), line);
    QCOMPARE(LineColour(), QApplication::palette().color(QPalette::WindowText));
    QCOMPARE(Text("KeyLbl"), keyText);
    QCOMPARE(Text("SygnLbl"), signatureText);
    QVERIFY(!Widget("KeyLbl")->isHidden());
    QVERIFY(!Widget("SygnLbl")->isHidden());
    QCOMPARE(Text("LoginBtn"), QStringLiteral("Zaloguj"));
    QVERIFY(!win->ChangeMode());
    QCOMPARE(ControlsNot(true), QStringList());
    QVERIFY(win->NoxTimer()->isActive());
  }

  // The panel is refreshed only when the status word differs from the one last shown.
  void connectWithStatusAlreadyShown() {
    fw->SetKeys(kp::KeyState::Target);
    fw->PlugInto(*bus);
    lastShownStatus = fw->StatusWord();
    win->NoxTimerTimer();
    QVERIFY(Connected());
    QCOMPARE(Text("PrgrLbl"), QString());
    QCOMPARE(Text("KeyLbl"), QString());
  }

  // An open programmer is only asked for its status, and that never refreshes the panel;
  // an action's full refresh then shows the login and switches the button.
  void openProgrammerOnlyReadsStatus() {
    fw->PlugInto(*bus);
    win->NoxTimerTimer();
    fw->ClearCommands();
    fw->SetLoggedIn(true);
    const int32_t shown = lastShownStatus;
    win->NoxTimerTimer();
    QCOMPARE(CommandLetters(*fw), std::string("M"));
    QCOMPARE(win->Programmer().statusWord & kp::kStatusLoggedIn, int{kp::kStatusLoggedIn});
    QCOMPARE(Text("LoginBtn"), QStringLiteral("Zaloguj"));
    QVERIFY(!win->ChangeMode());

    win->RefreshStatusPanel();
    QCOMPARE(Text("LoginBtn"), QStringLiteral("Zmień hasło"));
    QVERIFY(win->ChangeMode());
    QVERIFY(Widget("LoginBtn")->isEnabled());
    QCOMPARE(lastShownStatus, shown);            // only the poll moves it
    QCOMPARE(fw->Commands().size(), size_t{1});  // the refresh sends nothing
  }

  // Keys gone: "brak" and no signature, although the old signature is still held.
  void keysGoneHideTheSignature() {
    fw->SetKeys(kp::KeyState::Target, 0xABC);
    fw->PlugInto(*bus);
    win->NoxTimerTimer();
    QCOMPARE(Text("SygnLbl"), QStringLiteral("00000ABC"));
    fw->SetKeys(kp::KeyState::None);
    win->NoxTimerTimer();
    win->RefreshStatusPanel();
    QCOMPARE(win->Programmer().keySignature, 0xABCu);
    QCOMPARE(Text("KeyLbl"), QStringLiteral("brak"));
    QCOMPARE(Text("SygnLbl"), QStringLiteral("--------"));
  }

  void unplug_data() {
    QTest::addColumn<bool>("zeroStatus");
    QTest::addColumn<bool>("refreshed");
    QTest::newRow("status word not zero") << false << true;
    QTest::newRow("status word zero") << true << false;
  }

  // The next status read fails, the connection is dropped without a message, and the panel
  // turns red unless the status word shown was already 0.
  void unplug() {
    QFETCH(bool, zeroStatus);
    QFETCH(bool, refreshed);
    if (zeroStatus) {
      const std::array<uint8_t, 16> key{1, 2, 3};
      fw->SetPasswordKey(key.data(), kp::PasswordState::SetByUser);
    }
    fw->SetKeys(kp::KeyState::Target, 0x1234);
    if (zeroStatus) fw->SetKeys(kp::KeyState::None);
    const kp::VirtualBus::DeviceId id = fw->PlugInto(*bus);
    win->NoxTimerTimer();
    QCOMPARE(fw->StatusWord() == 0, zeroStatus);
    const QString connectedLine = Text("PrgrLbl");
    QVERIFY(connectedLine.startsWith(QStringLiteral("Programator KP-R50 Nr: ")));

    bus->Unplug(id);
    ModalCloser closer;
    win->NoxTimerTimer();
    QCOMPARE(closer.Records().size(), 0);
    QVERIFY(!Connected());
    QCOMPARE(win->Programmer().statusWord, uint16_t{0});
    QCOMPARE(win->Programmer().programmerNumber, uint16_t{0});
    QCOMPARE(win->Programmer().keySignature, 0u);
    QVERIFY(win->Programmer().modelRecord == nullptr);
    QCOMPARE(lastShownStatus, 0);
    if (refreshed) {
      QCOMPARE(Text("PrgrLbl"), QString::fromUtf8(kNoProgrammer));
      QCOMPARE(LineColour(), QColor(255, 0, 0));
      QVERIFY(Widget("KeyLbl")->isHidden());
      QVERIFY(Widget("SygnLbl")->isHidden());
      QCOMPARE(Text("LoginBtn"), QStringLiteral("Zaloguj"));
      QCOMPARE(ControlsNot(false), QStringList());
    } else {
      QCOMPARE(Text("PrgrLbl"), connectedLine);
      QCOMPARE(ControlsNot(true), QStringList());
    }
    win->NoxTimerTimer();  // tries to link again, finds nothing
    QVERIFY(!Connected());
    QVERIFY(twoProgrammersArmed);
  }

  // What a tick reports: 0 nothing for the panel, 1 just connected, -1 dropped after a failure.
  void pollResults() {
    QCOMPARE(win->PollProgrammer(), 0);
    const kp::VirtualBus::DeviceId id = fw->PlugInto(*bus);
    QCOMPARE(win->PollProgrammer(), 1);
    QCOMPARE(win->PollProgrammer(), 0);
    fw->StaySilent(true);
    QCOMPARE(win->PollProgrammer(), -1);
    QVERIFY(!bus->IsOpen(id));
    // Still plugged but silent: linked again, the logout fails, dropped again.
    QCOMPARE(win->PollProgrammer(), -1);
    QVERIFY(!bus->IsOpen(id));
    fw->StaySilent(false);
    QCOMPARE(win->PollProgrammer(), 1);
    QCOMPARE(bus->OpenHandles() > 0, true);
  }

  // One message per episode; silence while both stay; armed again once one is alone.
  void twoProgrammers() {
    const kp::VirtualBus::DeviceId a = fw->PlugInto(*bus);
    kp::VirtualBus::DeviceId b = fw2->PlugInto(*bus);
    ModalCloser closer;
    win->NoxTimerTimer();
    QCOMPARE(closer.Records().size(), 1);
    const kp::test::ModalRecord& box = closer.Records()[0];
    QCOMPARE(box.className, QStringLiteral("QMessageBox"));
    QCOMPARE(box.title, QStringLiteral("Error"));
    QCOMPARE(box.text, QString::fromUtf8(kTwoProgrammers));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.buttons, QStringList{QStringLiteral("OK")});
    QVERIFY(!twoProgrammersArmed);
    QVERIFY(!bus->IsOpen(a));
    QVERIFY(!bus->IsOpen(b));
    QVERIFY(fw->Commands().empty());
    QVERIFY(fw2->Commands().empty());
    QCOMPARE(Text("PrgrLbl"), QString());  // that tick does not refresh
    QCOMPARE(lastShownStatus, kStartShownStatus);

    win->NoxTimerTimer();
    win->NoxTimerTimer();
    QCOMPARE(closer.Records().size(), 1);
    QVERIFY(!bus->IsOpen(a));
    QVERIFY(!bus->IsOpen(b));

    bus->Unplug(b);
    win->NoxTimerTimer();
    QVERIFY(bus->IsOpen(a));
    QVERIFY(twoProgrammersArmed);
    QVERIFY(Text("PrgrLbl").startsWith(QStringLiteral("Programator KP-R50 Nr: ")));

    // A second programmer beside an open one goes unnoticed...
    b = fw2->PlugInto(*bus);
    win->NoxTimerTimer();
    QCOMPARE(closer.Records().size(), 1);
    QVERIFY(bus->IsOpen(a));
    QVERIFY(!bus->IsOpen(b));

    // ...until the first is linked again.
    fw->StaySilent(true);
    win->NoxTimerTimer();
    QVERIFY(!Connected());
    fw->StaySilent(false);
    win->NoxTimerTimer();
    QCOMPARE(closer.Records().size(), 2);
    QCOMPARE(closer.Records()[1].text, QString::fromUtf8(kTwoProgrammers));
    QVERIFY(!bus->IsOpen(a));
    QVERIFY(!bus->IsOpen(b));
  }

  void noProgrammerArmsTheMessage() {
    const kp::VirtualBus::DeviceId a = fw->PlugInto(*bus);
    const kp::VirtualBus::DeviceId b = fw2->PlugInto(*bus);
    ModalCloser closer;
    win->NoxTimerTimer();
    bus->Unplug(a);
    bus->Unplug(b);
    win->NoxTimerTimer();
    QVERIFY(twoProgrammersArmed);
    fw->PlugInto(*bus);
    fw2->PlugInto(*bus);
    win->NoxTimerTimer();
    QCOMPARE(closer.Records().size(), 2);
  }

  // The message box of a tick runs a nested loop; the tick has stopped the timer, so no
  // second tick can start there, however long the box stays open.
  void ticksNeverOverlap() {
    fw->PlugInto(*bus);
    fw2->PlugInto(*bus);
    bool tickRunning = false;
    bool timerActive = true;
    ModalCloser closer;
    closer.SetDelayMs(400);
    closer.While([&] {
      tickRunning = win->TickRunning();
      timerActive = win->NoxTimer()->isActive();
    });
    win->NoxTimerTimer();
    QCOMPARE(closer.Records().size(), 1);
    QVERIFY(tickRunning);
    QVERIFY(!timerActive);
    QVERIFY(!win->TickRunning());
    QVERIFY(win->NoxTimer()->isActive());
  }

  // An action that starts while a tick sits in its message box waits at most 20 x 100 ms,
  // and that tick then leaves the timer off.
  void suspendWaitsForRunningTick() {
    fw->PlugInto(*bus);
    fw2->PlugInto(*bus);
    uint64_t slept = 0;
    ModalCloser closer;
    closer.While([&] {
      win->SuspendPolling();
      slept = bus->SleptMs();
    });
    win->NoxTimerTimer();
    QCOMPARE(closer.Records().size(), 1);
    QCOMPARE(slept, uint64_t{2000});
    QVERIFY(win->PollSuspended());
    QVERIFY(!win->NoxTimer()->isActive());
    win->ResumePolling();
    QVERIFY(!win->PollSuspended());
    QVERIFY(win->NoxTimer()->isActive());
  }

  void suspendAndResume() {
    win->SuspendPolling();
    QCOMPARE(bus->SleptMs(), uint64_t{0});
    QVERIFY(win->PollSuspended());
    QVERIFY(!win->NoxTimer()->isActive());
    win->NoxTimerTimer();
    QVERIFY(!win->NoxTimer()->isActive());
    win->ResumePolling();
    QVERIFY(win->NoxTimer()->isActive());
  }

  // The hidden Start/Stop button toggles polling, even while an action has it suspended.
  void startStop() {
    auto* button = win->findChild<QPushButton*>(QStringLiteral("StartStopBtn"));
    button->click();
    QVERIFY(!win->PollEnabled());
    QVERIFY(!win->NoxTimer()->isActive());
    win->NoxTimerTimer();
    QVERIFY(!win->NoxTimer()->isActive());
    win->SuspendPolling();
    win->ResumePolling();
    QVERIFY(!win->NoxTimer()->isActive());
    win->SuspendPolling();
    button->click();
    QVERIFY(win->PollEnabled());
    QVERIFY(win->NoxTimer()->isActive());
    win->ResumePolling();
    QVERIFY(win->NoxTimer()->isActive());
  }

  // Closing the window drops the connection without a logout.
  void closeDropsConnection() {
    const kp::VirtualBus::DeviceId id = fw->PlugInto(*bus);
    win->NoxTimerTimer();
    QVERIFY(bus->IsOpen(id));
    fw->ClearCommands();
    win->show();
    QVERIFY(win->close());
    QVERIFY(!bus->IsOpen(id));
    QVERIFY(fw->Commands().empty());
    QCOMPARE(win->Programmer().statusWord, uint16_t{0});
  }

  void destructionReleasesDevice() {
    const kp::VirtualBus::DeviceId id = fw->PlugInto(*bus);
    win->NoxTimerTimer();
    QVERIFY(bus->IsOpen(id));
    win.reset();
    QVERIFY(!bus->IsOpen(id));
    QCOMPARE(bus->OpenHandles(), 0);
  }

  void uidToHex_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("hex");
    QTest::newRow("card UID") << QByteArray::fromHex("04A100FF12345678") << "04A100FF12345678";
    QTest::newRow("zeros") << QByteArray(8, '\0') << "0000000000000000";
    QTest::newRow("three bytes") << QByteArray::fromHex("0a0b0c") << "0A0B0C";
    QTest::newRow("none") << QByteArray() << "";
  }

  // Two upper-case digits per byte, no separators; each use replaces the text.
  void uidToHex() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, hex);
    const uint8_t earlier[] = {0xEE, 0xEE, 0xEE};
    win->UidToHex(earlier, 3);
    win->UidToHex(reinterpret_cast<const uint8_t*>(bytes.constData()),
                  static_cast<int>(bytes.size()));
    QCOMPARE(QString::fromStdString(win->ScratchText()), hex);
  }

  // The bar runs 0..20 in 5 ms steps through the platform's sleep, stays full 50 ms, hides.
  void animateProgress() {
    auto* bar = win->findChild<QProgressBar*>(QStringLiteral("ProgrTagBar"));
    QList<int> values;
    bool shownWhileRunning = true;
    connect(bar, &QProgressBar::valueChanged, this, [&](int value) {
      values << value;
      shownWhileRunning = shownWhileRunning && !bar->isHidden();
    });
    win->AnimateProgress(bar);
    QCOMPARE(bus->SleptMs(), uint64_t{20 * 5 + 50});
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 20);
    QCOMPARE(bar->value(), 20);
    QVERIFY(bar->isHidden());
    QVERIFY(shownWhileRunning);
    QVERIFY(!values.isEmpty());
    QCOMPARE(values.last(), 20);
    for (int i = 1; i < values.size(); ++i) QCOMPARE(values[i], values[i - 1] + 1);
  }

  void messageBoxes_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("icon");
    QTest::newRow("error") << 0 << "Error"
                           << "Błąd odczytu karty." << int(QMessageBox::Critical);
    QTest::newRow("information") << 1 << "Information"
                                 << "Karta skasowana." << int(QMessageBox::Information);
    QTest::newRow("no connection")
        << 2 << "Error"
        << "Brak połączenia z Programatorem R50." << int(QMessageBox::Critical);
  }

  void messageBoxes() {
    QFETCH(int, kind);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(int, icon);
    const QByteArray utf8 = text.toUtf8();
    ModalCloser closer;
    closer.PressOk();
    if (kind == 0) win->ShowError(utf8.constData());
    if (kind == 1) win->ShowInfo(utf8.constData());
    if (kind == 2) win->ShowNoConnection();
    QCOMPARE(closer.Records().size(), 1);
    const kp::test::ModalRecord& box = closer.Records()[0];
    QCOMPARE(box.className, QStringLiteral("QMessageBox"));
    QCOMPARE(box.title, title);
    QCOMPARE(box.text, text);
    QCOMPARE(int(box.icon), icon);
    QCOMPARE(box.buttons, QStringList{QStringLiteral("OK")});
    QCOMPARE(box.pressed, QStringLiteral("OK"));
  }

  void messageLinesKept_data() {
    QTest::addColumn<QString>("text");
    using namespace kp::test;
    const std::pair<const char*, const char*> messages[] = {
        {"no keys", kNoKeys},
        {"no user password", kNoUserPassword},
        {"forced change", kForcedChange},
        {"reconnected", kReconnected},
        {"password changed", kPasswordChanged},
        {"no connection", kNoConnection},
        {"two programmers", kTwoProgrammers},
        {"login refused", kLoginRefused},
        {"not logged in", kNotLoggedIn},
        {"logged in", kLoggedIn},
        {"old password refused", kOldPasswordRefused},
        {"change refused", kChangeRefused},
        {"new password refused", kNewPasswordRefused},
        {"card erased", kCardErased}};
    for (const auto& [name, text] : messages) QTest::newRow(name) << QString::fromUtf8(text);
    for (int32_t code = 1; code <= 9; ++code) {
      QTest::addRow("card result %d", int{code}) << QString::fromUtf8(kp::CardResultText(code));
    }
  }

  // A box breaks its text where the text breaks and nowhere else, and fits on the screen.
  void messageLinesKept() {
    QFETCH(QString, text);
    win->show();
    QStringList lines;
    QRect screen;
    QRect shown;
    ModalCloser closer;
    closer.Then([&](QWidget* window, kp::test::ModalRecord& record) {
      if (auto* label = window->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        lines = kp::test::LaidOutLines(label);
      }
      screen = window->screen()->availableGeometry();
      shown = window->frameGeometry();
      ModalCloser::OkAnswer()(window, record);
    });
    win->ShowError(text.toUtf8().constData());
    win->hide();
    QCOMPARE(closer.Records().size(), 1);
    QCOMPARE(lines, text.split(u'\n'));
    QVERIFY2(shown.width() <= screen.width(), qPrintable(QString::number(shown.width())));
  }
};

QTEST_MAIN(PollingTest)
#include "PollingTest.moc"
