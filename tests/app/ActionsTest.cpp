// The operator's actions end to end: the real main window and dialogs, the virtual KP-R50 on
// the virtual bus, every modal window answered and recorded. Each case checks what the
// operator saw, the panel afterwards and what the programmer really holds.
#include "AccessibleEventLog.h"
#include "ActionRig.h"
#include "FormTestSupport.h"

#include <QtTest>

#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <vector>

using namespace kp::test;

Q_DECLARE_METATYPE(kp::test::Action)

namespace {

// Programmer states for the guard table.
enum class State { Unplugged, NoKeys, NoPassword, NotLoggedIn, AdminPasswordLoggedIn };

void Arrange(ActionRig& rig, State state) {
  switch (state) {
    case State::Unplugged: rig.bus.Unplug(rig.device); break;
    case State::NoKeys:  // nothing else either: the keys are told first
      rig.Tick();
      break;
    case State::NoPassword:
      rig.fw.SetKeys(kp::KeyState::Target);
      rig.Tick();
      break;
    case State::NotLoggedIn:  // with the administrator's password: the login is told first
      rig.fw.SetKeys(kp::KeyState::Target);
      rig.fw.SetPasswordByAdministrator("admin123");
      rig.Tick();
      break;
    case State::AdminPasswordLoggedIn:
      rig.fw.SetKeys(kp::KeyState::Target);
      rig.fw.SetPasswordByAdministrator("admin123");
      rig.Tick();
      rig.fw.SetLoggedIn(true);
      rig.Tick();
      break;
  }
}

// Answers the login dialog after typing, as its window frame would: typed but not sent.
ModalCloser::Answer TypeThenClose(QStringList boxes, QStringList texts) {
  return [boxes, texts](QWidget* window, ModalRecord& record) {
    for (int i = 0; i < boxes.size(); ++i) {
      if (auto* edit = window->findChild<QLineEdit*>(boxes[i])) QTest::keyClicks(edit, texts[i]);
    }
    record.pressed = QStringLiteral("reject");
    window->close();
  };
}

bool Has(const std::string& commands, char c) { return commands.find(c) != std::string::npos; }

}  // namespace

class ActionsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<ActionRig> rig;

 private slots:
  // Before the first password box, so that what the application hands on reaches the log.
  void initTestCase() { QVERIFY(AccessibleEventLog::Start()); }
  void init() { rig = std::make_unique<ActionRig>(); }
  void cleanup() {
    rig.reset();
    QCOMPARE(VisibleWindows(), QStringList());
  }

  // The administrator's password: login, the forced change at once, then ten cards in a
  // row, one read back and one erased.
  void firstLoginThenCards() {
    rig->fw.SetKeys(kp::KeyState::Target);
    rig->fw.SetPasswordByAdministrator("admin123");
    rig->Tick();
    {
      ModalCloser closer;
      closer.AnswerLogin(QStringLiteral("admin123"))
          .PressOk()
          .AnswerChangePassword(QStringLiteral("admin123"), QStringLiteral("Nowe-1234"),
                                QStringLiteral("Nowe-1234"))
          .PressOk();
      rig->Press(Action::Login);
      QCOMPARE(Seen(closer), (QStringList{
                                 QStringLiteral("TLoginDlg"),
                                 Info(kLoggedIn),
                                 QStringLiteral("TChngPassDlg: Wymagana zmiana hasła"),
                                 Info(kPasswordChanged),
                             }));
      // Every box was empty when its dialog came up, and is empty again.
      for (const ModalRecord& r : closer.Records()) {
        for (const QString& box : r.boxTexts) QCOMPARE(box, QString());
      }
    }
    QCOMPARE(rig->fw.Password(), kp::PasswordState::SetByUser);
    QVERIFY(rig->fw.LoggedIn());
    QVERIFY(rig->fw.PasswordKey() == KeyOf("Nowe-1234"));
    QCOMPARE(rig->Text("LoginBtn"), QStringLiteral("Zmień hasło"));
    QCOMPARE(LoginDlg->PassEdit()->text(), QString());
    QCOMPARE(ChngPassDlg->OldPassEdit()->text(), QString());
    QCOMPARE(ChngPassDlg->NewPass1Edit()->text(), QString());
    QCOMPARE(ChngPassDlg->NewPass2Edit()->text(), QString());

    rig->W<QCheckBox>("PrIdxChkBx")->setChecked(true);
    QTest::keyClicks(rig->Edit("PrDepEdit"), QStringLiteral("12"));
    QTest::keyClicks(rig->Edit("PrIdxEdit"), QStringLiteral("1"));
    for (int i = 1; i <= 10; ++i) {
      const Uid uid = CardUid(static_cast<uint8_t>(i));
      rig->fw.PlaceEmptyCard(uid.data());
      ModalCloser closer;
      rig->Press(Action::Program);
      QCOMPARE(Seen(closer), QStringList());  // the animation is the only sign
      QVERIFY(rig->fw.CardNumbers() == std::make_pair(12, i));
      QCOMPARE(rig->Text("PrUidLbl"), HexOf(uid));
      QCOMPARE(rig->Text("PrIdxEdit"), QString::number(i + 1));
    }
    QCOMPARE(rig->Text("PrIdxEdit"), QStringLiteral("11"));

    {
      ModalCloser closer;
      rig->Press(Action::Read);
      QCOMPARE(Seen(closer), QStringList());
    }
    QCOMPARE(rig->Text("RdUidLbl"), HexOf(CardUid(10)));
    QCOMPARE(rig->Text("RdDepEdit"), QStringLiteral("12"));
    QCOMPARE(rig->Text("RdIdxEdit"), QStringLiteral("10"));

    const Uid erased = CardUid(0x99);
    rig->fw.PlaceProgrammedCard(erased.data(), 5, 6);
    {
      ModalCloser closer;
      closer.PressOk();
      rig->Press(Action::Erase);
      QCOMPARE(Seen(closer), QStringList{Info(kCardErased)});
    }
    QCOMPARE(rig->fw.Card(), kp::CardKind::DesfireEmpty);
    QCOMPARE(rig->Text("PrUidLbl"), HexOf(erased));       // the programming group's label
    QCOMPARE(rig->Text("RdUidLbl"), HexOf(CardUid(10)));  // not the reading group's
  }

  // Logged in with the user's own password: the button changes it, under the plain heading.
  void changeOwnPassword() {
    rig->UserPassword("haslo123");
    {
      ModalCloser closer;
      closer.AnswerLogin(QStringLiteral("haslo123")).PressOk();
      rig->Press(Action::Login);
      QCOMPARE(Seen(closer), QStringList{QStringLiteral("TLoginDlg")} << Info(kLoggedIn));
    }
    QCOMPARE(rig->Text("LoginBtn"), QStringLiteral("Zmień hasło"));
    QVERIFY(rig->win->ChangeMode());
    rig->fw.ClearCommands();
    {
      ModalCloser closer;
      closer
          .AnswerChangePassword(QStringLiteral("haslo123"), QStringLiteral("inne-haslo"),
                                QStringLiteral("inne-haslo"))
          .PressOk();
      rig->Press(Action::Login);
      QCOMPARE(Seen(closer), (QStringList{QStringLiteral("TChngPassDlg: Zmiana hasła Użytkownika"),
                                          Info(kPasswordChanged)}));
    }
    // Status before and after the dialog, then logout, login with the old key, change,
    // login with the new one, status.
    QCOMPARE(QString::fromStdString(rig->Commands()), QStringLiteral("MMlnLHnLM"));
    QVERIFY(rig->fw.PasswordKey() == KeyOf("inne-haslo"));
    QVERIFY(rig->fw.LoggedIn());
    QCOMPARE(rig->Text("LoginBtn"), QStringLiteral("Zmień hasło"));
  }

  // A new password the code page cannot carry exactly is refused in the dialog, which stays
  // open: nothing reaches the programmer until the operator types one it can.
  void unrepresentableNewPassword() {
    rig->LoggedIn("haslo123");
    rig->fw.ClearCommands();
    ModalCloser closer;
    closer
        .AnswerChangePasswordLater(QStringLiteral("haslo123"), QStringLiteral("ЖжЖжЖжЖж1"),
                                   QStringLiteral("ЖжЖжЖжЖж1"))
        .PressOk()
        .AnswerChangePassword(QStringLiteral("haslo123"), QStringLiteral("inne-haslo"),
                              QStringLiteral("inne-haslo"))
        .PressOk();
    rig->Press(Action::Login);
    const QString heading = QStringLiteral("TChngPassDlg: Zmiana hasła Użytkownika");
    QCOMPARE(Seen(closer),
             (QStringList{heading,
                          Error("Nowe hasło zawiera znaki, których KP-R50 nie przyjmie: „Ж”, „ж”."
                                "\n\nWpisz hasło bez tych znaków."),
                          heading, Info(kPasswordChanged)}));
    const std::string commands = rig->Commands();
    QCOMPARE(std::count(commands.begin(), commands.end(), 'H'), 1);  // the good one only
    QVERIFY(rig->fw.PasswordKey() == KeyOf("inne-haslo"));
  }

  void guards_data() {
    QTest::addColumn<Action>("action");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("message");
    const struct {
      const char* name;
      Action action;
      State state;
      const char* message;
    } rows[] = {
        {"login, unplugged", Action::Login, State::Unplugged, kNoConnection},
        {"login, no keys", Action::Login, State::NoKeys, kNoKeys},
        {"login, no password", Action::Login, State::NoPassword, kNoUserPassword},
        {"erase, unplugged", Action::Erase, State::Unplugged, kNoConnection},
        {"erase, no keys", Action::Erase, State::NoKeys, kNoKeys},
        {"erase, no password", Action::Erase, State::NoPassword, kNoUserPassword},
        {"erase, not logged in", Action::Erase, State::NotLoggedIn, kNotLoggedIn},
        {"erase, forced change", Action::Erase, State::AdminPasswordLoggedIn, kForcedChange},
        {"program, unplugged", Action::Program, State::Unplugged, kNoConnection},
        {"program, no keys", Action::Program, State::NoKeys, kNoKeys},
        {"program, no password", Action::Program, State::NoPassword, kNoUserPassword},
        {"program, not logged in", Action::Program, State::NotLoggedIn, kNotLoggedIn},
        {"program, forced change", Action::Program, State::AdminPasswordLoggedIn, kForcedChange},
        {"read, unplugged", Action::Read, State::Unplugged, kNoConnection},
        {"read, no keys", Action::Read, State::NoKeys, kNoKeys},
        {"read, no password", Action::Read, State::NoPassword, kNoUserPassword},
        {"read, not logged in", Action::Read, State::NotLoggedIn, kNotLoggedIn},
        {"read, forced change", Action::Read, State::AdminPasswordLoggedIn, kForcedChange},
    };
    for (const auto& row : rows) {
      QTest::newRow(row.name) << row.action << static_cast<int>(row.state) << Error(row.message);
    }
  }

  // Each guard stops the action with its own message, in the fixed order; nothing but
  // status and linking commands reaches the programmer.
  void guards() {
    QFETCH(Action, action);
    QFETCH(int, state);
    QFETCH(QString, message);
    const Uid uid = CardUid(1);
    rig->fw.PlaceProgrammedCard(uid.data(), 3, 4);
    Arrange(*rig, static_cast<State>(state));
    rig->fw.ClearCommands();
    ModalCloser closer;
    rig->Press(action);
    QCOMPARE(Seen(closer), QStringList{message});
    for (char c : rig->Commands()) {
      QVERIFY2(c == 'M' || c == 'l' || c == 's', rig->Commands().c_str());
    }
    QVERIFY(rig->fw.CardNumbers() == std::make_pair(3, 4));
    const bool unplugged = static_cast<State>(state) == State::Unplugged;
    QCOMPARE(rig->Open(), !unplugged);
    // The closing refresh always runs: unplugged, the panel says so and locks the controls.
    QCOMPARE(rig->Text("PrgrLbl") == QLatin1String(kNoProgrammer), unplugged);
    QCOMPARE(rig->W<QPushButton>("ProgrTagBtn")->isEnabled(), !unplugged);
    QVERIFY(!rig->win->PollSuspended());
  }

  // An action that finds the programmer gone shows the empty panel; when the same programmer
  // comes back with the same status word, the poll must show it again, not leave the panel
  // saying that nothing is there with every control locked.
  void panelShowsAProgrammerThatComesBack() {
    rig->UserPassword("haslo123");
    QVERIFY(rig->Text("PrgrLbl").startsWith(QLatin1String("Programator KP-R50 Nr: ")));
    rig->bus.Unplug(rig->device);
    {
      ModalCloser closer;
      rig->Press(Action::Read);
      QCOMPARE(Seen(closer), QStringList{Error(kNoConnection)});
    }
    QCOMPARE(rig->Text("PrgrLbl"), QString::fromUtf8(kNoProgrammer));
    QVERIFY(!rig->W<QPushButton>("LoginBtn")->isEnabled());

    rig->device = rig->fw.PlugInto(rig->bus);
    rig->Tick();
    QVERIFY(rig->Open());
    QVERIFY(rig->Text("PrgrLbl").startsWith(QLatin1String("Programator KP-R50 Nr: ")));
    QVERIFY(rig->W<QPushButton>("LoginBtn")->isEnabled());
    QVERIFY(rig->W<QPushButton>("ReadTagBtn")->isEnabled());
  }

  // Two programmers: the poll's own message once, then the action's.
  void twoProgrammers() {
    rig->fw.SetKeys(kp::KeyState::Target);
    kp::VirtualKpR50 second;
    const auto secondId = second.PlugInto(rig->bus);
    {
      ModalCloser closer;
      rig->Press(Action::Program);
      QCOMPARE(Seen(closer),
               (QStringList{Error("Do komputera może być podłączony tylko jeden Programator "
                                  "KP-R50."),
                            Error(kNoConnection)}));
    }
    QVERIFY(!rig->Open());
    QVERIFY(!rig->bus.IsOpen(secondId));
    QCOMPARE(rig->Text("PrgrLbl"), QString::fromUtf8(kNoProgrammer));
    rig->bus.Unplug(secondId);
  }

  void cardResults_data() {
    QTest::addColumn<Action>("action");
    QTest::addColumn<int>("card");
    QTest::addColumn<int>("refused");
    QTest::addColumn<QString>("message");
    enum Card { None, Foreign, Empty, Prepared, Programmed };
    const struct {
      const char* name;
      Action action;
      Card card;
      char refused;
      const char* message;
    } rows[] = {
        {"program, no card", Action::Program, None, 0, "Brak karty w polu programatora."},
        {"read, no card", Action::Read, None, 0, "Brak karty w polu programatora."},
        {"erase, no card", Action::Erase, None, 0, "Brak karty w polu programatora."},
        {"program, foreign", Action::Program, Foreign, 0,
         "Karta innego typu (nie DesFire) w polu programatora."},
        {"read, foreign", Action::Read, Foreign, 0,
         "Karta innego typu (nie DesFire) w polu programatora."},
        {"erase, foreign", Action::Erase, Foreign, 0,
         "Karta innego typu (nie DesFire) w polu programatora."},
        {"read, empty", Action::Read, Empty, 0, "Karta jest pusta."},
        {"program, programmed", Action::Program, Programmed, 0, "Karta już zawiera jakieś dane."},
        {"program, prepared", Action::Program, Prepared, 0, "Karta już zawiera jakieś dane."},
        {"program, prepare refused", Action::Program, Empty, 'p',
         "Błąd przygotowania karty Kp NOX."},
        {"program, write refused", Action::Program, Empty, 'P',
         "Błąd przy zapisie pliku na karcie."},
        {"erase, refused", Action::Erase, Programmed, 'C', "Błąd przy kasowaniu karty."},
        {"read, refused", Action::Read, Programmed, 'r', "Błąd przy odczycie pliku z karty."},
    };
    for (const auto& row : rows) {
      QTest::newRow(row.name) << row.action << static_cast<int>(row.card)
                              << static_cast<int>(row.refused) << Error(row.message);
    }
  }

  // A refusal by the card or the programmer: its message, and nothing on the window that
  // would say the card was done.
  void cardResults() {
    QFETCH(Action, action);
    QFETCH(int, card);
    QFETCH(int, refused);
    QFETCH(QString, message);
    const Uid uid = CardUid(7);
    switch (card) {
      case 0: rig->fw.RemoveCard(); break;
      case 1: rig->fw.PlaceForeignCard(uid.data()); break;
      case 2: rig->fw.PlaceEmptyCard(uid.data()); break;
      case 3: rig->fw.PlacePreparedCard(uid.data()); break;
      default: rig->fw.PlaceProgrammedCard(uid.data(), 3, 4); break;
    }
    rig->LoggedIn();
    if (refused != 0) rig->Refuse(static_cast<uint8_t>(refused));
    const auto cardBefore = rig->fw.CardNumbers();
    rig->W<QLabel>("PrUidLbl")->setText(QStringLiteral("earlier"));
    rig->W<QLabel>("RdUidLbl")->setText(QStringLiteral("earlier"));
    rig->Edit("RdDepEdit")->setText(QStringLiteral("1"));
    rig->Edit("RdIdxEdit")->setText(QStringLiteral("2"));
    rig->Edit("PrDepEdit")->setText(QStringLiteral("8"));
    rig->Edit("PrIdxEdit")->setText(QStringLiteral("9"));
    rig->W<QCheckBox>("PrIdxChkBx")->setChecked(true);
    rig->W<QProgressBar>("ProgrTagBar")->reset();

    ModalCloser closer;
    rig->Press(action);
    QCOMPARE(Seen(closer), QStringList{message});
    QVERIFY(rig->Open());
    QVERIFY(rig->fw.CardNumbers() == cardBefore);
    QCOMPARE(rig->Text("PrUidLbl"), QStringLiteral("earlier"));
    QCOMPARE(rig->Text("PrIdxEdit"), QStringLiteral("9"));
    QVERIFY(rig->W<QProgressBar>("ProgrTagBar")->value() != 20);
    QVERIFY(!rig->W<QProgressBar>("ProgrTagBar")->isVisible());
    if (action == Action::Read) {  // cleared before anything was sent
      QCOMPARE(rig->Text("RdUidLbl"), QString());
      QCOMPARE(rig->Text("RdDepEdit"), QString());
      QCOMPARE(rig->Text("RdIdxEdit"), QString());
    } else {
      QCOMPARE(rig->Text("RdUidLbl"), QStringLiteral("earlier"));
    }
  }

  // Closed through the window frame after typing: nothing is sent, the boxes are empty.
  void cancelledDialogs() {
    rig->UserPassword("haslo123");
    rig->fw.ClearCommands();
    {
      ModalCloser closer;
      closer.Then(TypeThenClose({QStringLiteral("PassEdit")}, {QStringLiteral("haslo123")}));
      rig->Press(Action::Login);
      QCOMPARE(Seen(closer), QStringList{QStringLiteral("TLoginDlg")});
    }
    QCOMPARE(LoginDlg->PassEdit()->text(), QString());
    QCOMPARE(QString::fromStdString(rig->Commands()), QStringLiteral("M"));
    QVERIFY(!rig->fw.LoggedIn());

    rig->LoggedIn("haslo123");
    rig->fw.ClearCommands();
    {
      ModalCloser closer;
      closer.Then(TypeThenClose({QStringLiteral("OldPassEdit"), QStringLiteral("NewPass1Edit"),
                                 QStringLiteral("NewPass2Edit")},
                                {QStringLiteral("haslo123"), QStringLiteral("inne-haslo"),
                                 QStringLiteral("inne-haslo")}));
      rig->Press(Action::Login);
      QCOMPARE(Seen(closer), QStringList{QStringLiteral("TChngPassDlg: Zmiana hasła Użytkownika")});
    }
    QCOMPARE(ChngPassDlg->OldPassEdit()->text(), QString());
    QCOMPARE(ChngPassDlg->NewPass1Edit()->text(), QString());
    QCOMPARE(ChngPassDlg->NewPass2Edit()->text(), QString());
    QVERIFY(!ChngPassDlg->findChild<QPushButton*>(QStringLiteral("ChngPassBtn"))->isEnabled());
    QCOMPARE(QString::fromStdString(rig->Commands()), QStringLiteral("M"));
    QVERIFY(rig->fw.PasswordKey() == KeyOf("haslo123"));
    QVERIFY(rig->fw.LoggedIn());
  }

  void loginRefusals() {
    rig->UserPassword("haslo123");
    {
      ModalCloser closer;
      closer.AnswerLogin(QStringLiteral("haslo124"));
      rig->Press(Action::Login);
      QCOMPARE(Seen(closer), QStringList{QStringLiteral("TLoginDlg")} << Error(kLoginRefused));
    }
    QVERIFY(!rig->fw.LoggedIn());
    QCOMPARE(rig->Text("LoginBtn"), QStringLiteral("Zaloguj"));
    // An empty password is derived and offered like any other.
    rig->fw.ClearCommands();
    {
      ModalCloser closer;
      closer.AnswerLogin(QString());
      rig->Press(Action::Login);
      QCOMPARE(Seen(closer), QStringList{QStringLiteral("TLoginDlg")} << Error(kLoginRefused));
    }
    QVERIFY(Has(rig->Commands(), 'L'));
    const Key empty = KeyOf("");
    rig->fw.SetPasswordKey(empty.data(), kp::PasswordState::SetByUser);
    {
      ModalCloser closer;
      closer.AnswerLogin(QString()).PressOk();
      rig->Press(Action::Login);
      QCOMPARE(Seen(closer), QStringList{QStringLiteral("TLoginDlg")} << Info(kLoggedIn));
    }
    QVERIFY(rig->fw.LoggedIn());
  }

  // The late acceptance of an earlier login that timed out arrives where this login's refusal
  // should: the status read right after shows nobody logged in, and the window must not say
  // the user is.
  void lateAcceptanceIsNoLogin() {
    rig->UserPassword("haslo123");
    rig->WrapFirmware(
        [this](uint8_t command,
               std::span<const uint8_t> out) -> std::optional<std::vector<kp::InTransfer>> {
          if (command != 'L') return std::nullopt;
          rig->fw.HandleRequest(out);            // the programmer refuses the wrong password ...
          const uint8_t count[] = {1, 0, 0, 0};  // ... and an old acceptance comes instead
          return std::vector<kp::InTransfer>{{kp::EncodeFrame('L' | 0x80, count), 0}};
        });
    {
      ModalCloser closer;
      closer.AnswerLogin(QStringLiteral("haslo124"));
      rig->Press(Action::Login);
      QCOMPARE(Seen(closer), QStringList{QStringLiteral("TLoginDlg")} << Error(kNoConnection));
    }
    QVERIFY(!rig->fw.LoggedIn());
    QVERIFY(!rig->Open());
    QCOMPARE(rig->Text("LoginBtn"), QStringLiteral("Zaloguj"));
  }

  // The first erase is carried out but answered after its time-out; that late answer is
  // taken for the resend's. The resend's own answer follows and could pass for a later
  // erase's: the session waits it out before the result is shown, so the connection and the
  // login stay, and the next erase gets its own answer.
  void answeredOnlyByTheResend() {
    rig->LoggedIn();
    const Uid uid = CardUid(7);
    rig->fw.PlaceProgrammedCard(uid.data(), 5, 6);
    auto seen = std::make_shared<int>(0);
    rig->WrapFirmware(
        [this, seen](uint8_t c,
                     std::span<const uint8_t> out) -> std::optional<std::vector<kp::InTransfer>> {
          if (c != kp::kCmdEraseCard || (*seen)++ != 0) return std::nullopt;
          auto late = rig->fw.HandleRequest(out);
          for (kp::InTransfer& t : late) t.delayMs = kp::kEraseCardTimeoutMs + 500;
          return late;
        });
    {
      ModalCloser closer;
      closer.PressOk();
      rig->Press(Action::Erase);
      QCOMPARE(Seen(closer), QStringList{Info(kCardErased)});
    }
    QCOMPARE(rig->fw.Card(), kp::CardKind::DesfireEmpty);
    QVERIFY(rig->Open());
    QCOMPARE(rig->Text("LoginBtn"), QStringLiteral("Zmień hasło"));
    rig->fw.RemoveCard();
    {
      ModalCloser closer;
      closer.PressOk();
      rig->Press(Action::Erase);
      QCOMPARE(Seen(closer), QStringList{Error("Brak karty w polu programatora.")});
    }
  }

  // The first request of a login or a change is carried out but its answer is lost; the
  // resend is refused, since the first used up the challenge or replaced the key. That
  // refusal says nothing about the password: the window says there is no connection.
  void refusedOnlyAfterTheResend_data() {
    QTest::addColumn<bool>("change");  // the voluntary change, else the login
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("nth");  // the request (0-based) whose answer is lost
    QTest::addColumn<QString>("keyAfter");
    QTest::newRow("login") << false << int{'L'} << 0 << "haslo123";
    QTest::newRow("change: old password's login") << true << int{'L'} << 0 << "haslo123";
    QTest::newRow("change itself") << true << int{'H'} << 0 << "nowe-haslo";
    QTest::newRow("change: new password's login") << true << int{'L'} << 1 << "nowe-haslo";
  }

  void refusedOnlyAfterTheResend() {
    QFETCH(bool, change);
    QFETCH(int, command);
    QFETCH(int, nth);
    QFETCH(QString, keyAfter);
    if (change) {
      rig->LoggedIn("haslo123");
    } else {
      rig->UserPassword("haslo123");
    }
    auto seen = std::make_shared<int>(0);
    rig->WrapFirmware(
        [this, command, nth, seen](
            uint8_t c, std::span<const uint8_t> out) -> std::optional<std::vector<kp::InTransfer>> {
          if (c != command || (*seen)++ != nth) return std::nullopt;
          rig->fw.HandleRequest(out);  // carried out; the answer never comes
          return std::vector<kp::InTransfer>{};
        });
    ModalCloser closer;
    if (change) {
      closer.AnswerChangePassword(QStringLiteral("haslo123"), QStringLiteral("nowe-haslo"),
                                  QStringLiteral("nowe-haslo"));
    } else {
      closer.AnswerLogin(QStringLiteral("haslo123"));
    }
    rig->Press(Action::Login);
    QCOMPARE(Seen(closer).size(), 2);
    QCOMPARE(Seen(closer).last(), Error(kNoConnection));
    QVERIFY(rig->fw.PasswordKey() == KeyOf(keyAfter.toLatin1().constData()));
    QVERIFY(!rig->Open());
  }

  void changeRefusals_data() {
    QTest::addColumn<QString>("oldPassword");
    QTest::addColumn<int>("refused");  // command byte refused by the programmer, 0 none
    QTest::addColumn<int>("from");     // from its n-th request on
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("keyAfter");
    QTest::addColumn<bool>("changed");  // the programmer carried out a change command
    QTest::newRow("wrong old password") << QStringLiteral("haslo124") << 0 << 0
                                        << Error(kOldPasswordRefused) << "haslo123" << false;
    QTest::newRow("change refused") << QStringLiteral("haslo123") << int{'H'} << 0
                                    << Error(kChangeRefused) << "haslo123" << false;
    // The second login of the flow is the one with the new key.
    QTest::newRow("new login refused") << QStringLiteral("haslo123") << int{'L'} << 1
                                       << Error(kNewPasswordRefused) << "nowe-haslo" << true;
  }

  void changeRefusals() {
    QFETCH(QString, oldPassword);
    QFETCH(int, refused);
    QFETCH(int, from);
    QFETCH(QString, message);
    QFETCH(QString, keyAfter);
    QFETCH(bool, changed);
    rig->LoggedIn("haslo123");
    if (refused != 0) rig->Refuse(static_cast<uint8_t>(refused), from);
    rig->fw.ClearCommands();
    ModalCloser closer;
    closer.AnswerChangePassword(oldPassword, QStringLiteral("nowe-haslo"),
                                QStringLiteral("nowe-haslo"));
    rig->Press(Action::Login);
    QCOMPARE(Seen(closer),
             QStringList{QStringLiteral("TChngPassDlg: Zmiana hasła Użytkownika")} << message);
    QVERIFY(rig->fw.PasswordKey() == KeyOf(keyAfter.toLatin1().constData()));
    QVERIFY(rig->Open());
    QCOMPARE(Has(rig->Commands(), 'H'), changed);
  }

  void replugDuringDialog_data() {
    QTest::addColumn<bool>("change");
    QTest::newRow("login dialog") << false;
    QTest::newRow("password-change dialog") << true;
  }

  // Pulled out and plugged in again behind the dialog: the decisions taken before it no
  // longer hold, so nothing is sent but what linking sends.
  void replugDuringDialog() {
    QFETCH(bool, change);
    if (change) {
      rig->LoggedIn("haslo123");
    } else {
      rig->UserPassword("haslo123");
    }
    ModalCloser closer;
    auto replug = [this] {
      rig->bus.Unplug(rig->device);
      rig->device = rig->fw.PlugInto(rig->bus);
      rig->fw.SetLoggedIn(false);  // power lost
      rig->fw.ClearCommands();
    };
    if (change) {
      closer.While(replug, [](QWidget* w, ModalRecord& r) {
        for (const char* name : {"OldPassEdit", "NewPass1Edit", "NewPass2Edit"}) {
          QTest::keyClicks(w->findChild<QLineEdit*>(QLatin1String(name)),
                           QLatin1String(name[0] == 'O' ? "haslo123" : "nowe-haslo"));
        }
        QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("ChngPassBtn")),
                          Qt::LeftButton);
        r.pressed = QStringLiteral("ChngPassBtn");
      });
    } else {
      closer.While(replug, [](QWidget* w, ModalRecord& r) {
        QTest::keyClicks(w->findChild<QLineEdit*>(QStringLiteral("PassEdit")),
                         QStringLiteral("haslo123"));
        QTest::mouseClick(w->findChild<QPushButton*>(QStringLiteral("LoginBtn")), Qt::LeftButton);
        r.pressed = QStringLiteral("LoginBtn");
      });
    }
    rig->Press(Action::Login);
    QCOMPARE(Seen(closer).size(), 2);
    QCOMPARE(Seen(closer).at(1), Error(kReconnected));
    QCOMPARE(QString::fromStdString(rig->Commands()), QStringLiteral("lMs"));
    QVERIFY(rig->Open());
    QVERIFY(!rig->fw.LoggedIn());
    QVERIFY(rig->fw.PasswordKey() == KeyOf("haslo123"));
    QCOMPARE(rig->Text("LoginBtn"), QStringLiteral("Zaloguj"));
    QCOMPARE(ChngPassDlg->NewPass1Edit()->text(), QString());
    QCOMPARE(LoginDlg->PassEdit()->text(), QString());
  }

  void programNumbers_data() {
    QTest::addColumn<QString>("department");
    QTest::addColumn<QString>("index");
    QTest::addColumn<bool>("increase");
    QTest::addColumn<int>("wantDepartment");
    QTest::addColumn<int>("wantIndex");
    QTest::addColumn<QString>("indexAfter");
    QTest::newRow("both empty") << ""
                                << "" << true << 0 << 0 << "1";
    QTest::newRow("no increase") << "5"
                                 << "17" << false << 5 << 17 << "17";
    QTest::newRow("leading zeros") << "00042"
                                   << "00007" << true << 42 << 7 << "8";
    QTest::newRow("largest typed") << "99999"
                                   << "99999" << true << 99999 << 99999 << "100000";
  }

  void programNumbers() {
    QFETCH(QString, department);
    QFETCH(QString, index);
    QFETCH(bool, increase);
    QFETCH(int, wantDepartment);
    QFETCH(int, wantIndex);
    QFETCH(QString, indexAfter);
    rig->LoggedIn();
    const Uid uid = CardUid(3);
    rig->fw.PlaceEmptyCard(uid.data());
    QTest::keyClicks(rig->Edit("PrDepEdit"), department);
    QTest::keyClicks(rig->Edit("PrIdxEdit"), index);
    rig->W<QCheckBox>("PrIdxChkBx")->setChecked(increase);
    rig->W<QProgressBar>("ProgrTagBar")->reset();
    ModalCloser closer;
    rig->Press(Action::Program);
    QCOMPARE(Seen(closer), QStringList());
    QVERIFY(rig->fw.CardNumbers() == std::make_pair(wantDepartment, wantIndex));
    QCOMPARE(rig->W<QProgressBar>("ProgrTagBar")->value(), 20);  // it ran, and is hidden again
    QVERIFY(!rig->W<QProgressBar>("ProgrTagBar")->isVisible());
    QCOMPARE(rig->Text("PrIdxEdit"), indexAfter);
    // The next programming sends what the box now shows, six digits included.
    const Uid next = CardUid(4);
    rig->fw.PlaceEmptyCard(next.data());
    rig->Press(Action::Program);
    QCOMPARE(Seen(closer), QStringList());
    QVERIFY(rig->fw.CardNumbers() == std::make_pair(wantDepartment, indexAfter.toInt()));
  }

  // Polling is off while the action's windows are open and back on afterwards.
  void busyCursorUntilTheBox_data() {
    QTest::addColumn<Action>("action");
    QTest::addColumn<bool>("stalled");
    QTest::addColumn<QStringList>("seen");
    QTest::newRow("program") << Action::Program << false << QStringList{};
    QTest::newRow("erase") << Action::Erase << false << QStringList{Info(kCardErased)};
    QTest::newRow("login") << Action::Login << false
                           << QStringList{QStringLiteral("TLoginDlg"), Info(kLoggedIn)};
    QTest::newRow("program, programmer stalled")
        << Action::Program << true << QStringList{Error(kNoConnection)};
  }

  // The wait cursor shows whenever the programmer is asked something during an action, never
  // while a dialog or a box waits for the operator, and is gone when the action ends.
  void busyCursorUntilTheBox() {
    QFETCH(Action, action);
    QFETCH(bool, stalled);
    QFETCH(QStringList, seen);
    if (action == Action::Login) {
      rig->UserPassword("haslo123");
    } else {
      rig->LoggedIn("haslo123");
      rig->fw.PlaceEmptyCard(CardUid(1).data());
    }
    QList<bool> busyAtRequest;
    rig->WrapFirmware([&](uint8_t, std::span<const uint8_t>) {
      const QCursor* cursor = QApplication::overrideCursor();
      busyAtRequest << (cursor != nullptr && cursor->shape() == Qt::WaitCursor);
      return std::optional<std::vector<kp::InTransfer>>();
    });
    rig->fw.StaySilent(stalled);
    ModalCloser closer;
    closer.AnswerLogin(QStringLiteral("haslo123"));
    rig->Press(action);
    QCOMPARE(Seen(closer), seen);
    QVERIFY(!busyAtRequest.isEmpty());
    QVERIFY(!busyAtRequest.contains(false));
    for (const ModalRecord& record : closer.Records()) QVERIFY(!record.busyCursor);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
  }

  // No message box follows a card programmed or read: the pressed button, which keeps the
  // focus, says the UID in a change of its name, the UID label carries it in its name, and
  // the progress bar tells each step. The next press takes the UID back from the button.
  void cardUidHeard() {
    rig->win->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(rig->win.get()));
    rig->LoggedIn();
    const Uid uid = CardUid(0x31);
    rig->fw.PlaceEmptyCard(uid.data());
    const struct {
      Action action;
      const char* button;
      const char* label;
      QString said;
    } steps[] = {
        {Action::Program, "ProgrTagBtn", "PrUidLbl", QStringLiteral("Programuj, UID ")},
        {Action::Read, "ReadTagBtn", "RdUidLbl", QStringLiteral("Odczytaj, UID ")},
    };
    for (const auto& step : steps) {
      auto* button = rig->W<QPushButton>(step.button);
      AccessibleEventLog::Clear();
      ModalCloser closer;
      rig->Press(step.action);
      QCOMPARE(Seen(closer), QStringList());
      QVERIFY(button->hasFocus());
      QStringList names;
      QStringList progress;
      for (const AccessibleRecord& record : AccessibleEventLog::Records()) {
        if (record.type == QAccessible::NameChanged && record.object == button) {
          names << record.heard;
        }
        if (record.type == QAccessible::NameChanged &&
            record.object == rig->W<QLabel>(step.label)) {
          names << record.heard;
        }
        if (record.type == QAccessible::ValueChanged &&
            record.object == rig->W<QProgressBar>("ProgrTagBar")) {
          progress << record.carried;
        }
      }
      const QString label = QString::fromUtf8(
          step.action == Action::Program ? "UID (programowanie): " : "UID (odczyt): ");
      QVERIFY2(names.contains(step.said + HexOf(uid)), qPrintable(names.join(u'|')));
      QVERIFY2(names.contains(label + HexOf(uid)), qPrintable(names.join(u'|')));
      if (step.action == Action::Program) {
        QVERIFY2(progress.size() >= 20, qPrintable(progress.join(u',')));  // 20 steps
        QCOMPARE(progress.last(), QStringLiteral("20"));
        QCOMPARE(QAccessible::queryAccessibleInterface(rig->W<QProgressBar>("ProgrTagBar"))
                     ->text(QAccessible::Name),
                 QStringLiteral("Postęp programowania"));
      } else {
        QCOMPARE(progress, QStringList());
      }
    }

    rig->fw.RemoveCard();
    ModalCloser closer;
    closer.PressOk();
    rig->Press(Action::Program);
    QCOMPARE(Seen(closer), QStringList{Error("Brak karty w polu programatora.")});
    QCOMPARE(QAccessible::queryAccessibleInterface(rig->W<QPushButton>("ProgrTagBtn"))
                 ->text(QAccessible::Name),
             QStringLiteral("Programuj"));
  }

  void pollingSuspendedDuringAction() {
    rig->win->StartStopBtnClick();  // polling on, as in the application
    rig->LoggedIn();
    rig->fw.RemoveCard();
    bool timerOn = true;
    bool suspended = false;
    ModalCloser closer;
    closer.While([&] {
      timerOn = rig->win->NoxTimer()->isActive();
      suspended = rig->win->PollSuspended();
    });
    rig->Press(Action::Read);
    QCOMPARE(Seen(closer), QStringList{Error("Brak karty w polu programatora.")});
    QVERIFY(!timerOn);
    QVERIFY(suspended);
    QVERIFY(rig->win->NoxTimer()->isActive());
    QVERIFY(!rig->win->PollSuspended());
  }
};

QTEST_MAIN(ActionsTest)
#include "ActionsTest.moc"
