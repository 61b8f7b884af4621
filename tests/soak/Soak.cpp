// The soak: the application's real window and dialogs in this process, against a kpr50-sim
// --headless process that fails at random steps. From the seed it draws a schedule of operator
// actions, faults aimed at the commands those actions send, card swaps, a second programmer
// and the administrator's new passwords. Every message box is closed as an operator closes it,
// and after every action what the window said is held against what the simulator holds:
//   1. a programming without an error: the card holds the numbers asked for, the UID shown is
//      the card's;  2. "Karta skasowana.": the card is blank;  3. numbers read back are the
//      card's;  4. the index box moves on only after a success;  5. an action ends within twice
//      the time-out budget of the requests it sent;  6. with the faults gone the next poll
//      links within 1 s;  7. the resident memory at the end is within 5 % of that after the
//      first 1,000 actions;  8. a card refusal is shown only for what did not happen: no card
//      holds the numbers of a refused programming, the card of a refused erase is not blank.
// A violation prints the seed and the last 20 steps; the same seed draws the same schedule.
//
//   kp_soak [--front window|cli] [--seed N] [--minutes M] [--actions N] [--light] [--trace]
// --light keeps stalls and late answers to the cheap commands, for the short run of the tests.
// --front cli runs kpnox-cli instead (SoakCli.cpp).
#include "SoakCommon.h"
#include "WindowOnSim.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <deque>

namespace kp::test {
namespace {

using kp::test::ModalCloser;
using kp::test::ModalRecord;
using kp::test::RuntimeFolder;
using kp::test::WindowOnSim;

// --- The schedule ----------------------------------------------------------------------------

enum class Act { LoginRight, LoginWrong, Change, Program, Read, Erase };

const char* ActName(Act act) {
  switch (act) {
    case Act::LoginRight: return "login";
    case Act::LoginWrong: return "login-wrong";
    case Act::Change: return "change";
    case Act::Program: return "program";
    case Act::Read: return "read";
    case Act::Erase: return "erase";
  }
  return "?";
}

// The commands an action is likely to send, given what the programmer holds, for the faults
// to aim at: a fault on a command the action never reaches does not fire.
QStringList CommandsOf(Act act, const SimState& state) {
  const QString status = QStringLiteral("status");
  const bool userPassword = state.password.startsWith(QLatin1String("user"));
  switch (act) {
    case Act::LoginRight:
    case Act::LoginWrong:
      if (act == Act::LoginRight && !userPassword) {
        return {status, QStringLiteral("challenge"), QStringLiteral("login"),
                QStringLiteral("logout"), QStringLiteral("change-password")};
      }
      return {status, QStringLiteral("challenge"), QStringLiteral("login")};
    case Act::Change:
      return {status, QStringLiteral("logout"), QStringLiteral("challenge"),
              QStringLiteral("login"), QStringLiteral("change-password")};
    case Act::Program:
    case Act::Read:
    case Act::Erase: break;
  }
  if (!state.loggedIn || !userPassword) return {status};
  const QString info = QStringLiteral("card-info");
  if (act == Act::Program && state.card == QLatin1String("empty")) {
    return {status, info, QStringLiteral("prepare-card"), QStringLiteral("write-file")};
  }
  if (act == Act::Read && state.card == QLatin1String("programmed")) {
    return {status, info, QStringLiteral("read-file")};
  }
  if (act == Act::Erase && state.card != QLatin1String("none") &&
      state.card != QLatin1String("foreign")) {
    return {status, info, QStringLiteral("erase-card")};
  }
  return {status, info};
}

// The window's messages, shortened for the counts.
QString Short(const QString& said) {
  static const std::vector<std::pair<const char*, const char*>> names = {
      {kp::test::kNoConnection, "no-connection"},
      {kp::test::kNoKeys, "no-keys"},
      {kp::test::kNoUserPassword, "no-user-password"},
      {kp::test::kForcedChange, "forced-change"},
      {kp::test::kNotLoggedIn, "not-logged-in"},
      {kp::test::kReconnected, "reconnected"},
      {kp::test::kLoginRefused, "login-refused"},
      {kp::test::kLoggedIn, "logged-in"},
      {kp::test::kOldPasswordRefused, "old-password-refused"},
      {kp::test::kChangeRefused, "change-refused"},
      {kp::test::kNewPasswordRefused, "new-password-refused"},
      {kp::test::kPasswordChanged, "password-changed"},
      {kp::test::kCardErased, "card-erased"},
      {kp::test::kTwoProgrammers, "two-programmers"},
  };
  if (said.startsWith(QLatin1String("TLoginDlg"))) return QStringLiteral("login-dialog");
  if (said.startsWith(QLatin1String("TChngPassDlg"))) return QStringLiteral("change-dialog");
  const QString text = said.mid(3);
  for (const auto& [message, name] : names) {
    if (text == QString::fromUtf8(message)) return QString::fromLatin1(name);
  }
  return QStringLiteral("card: ") + text.left(40);
}

class Soak : private Dice {
 public:
  explicit Soak(const Options& options) : Dice(options.seed), o_(options) {}

  int Run() {
    RuntimeFolder runtime;
    if (!runtime.Ok()) return Fail("no runtime folder");
    SimProcess sim(runtime, {QStringLiteral("--seed"), QString::number(o_.seed)});
    if (!sim.Started() || !sim.Await(u"^ready$")) return Fail(sim.Story());
    WindowOnSim w(runtime);
    if (!w.TickUntilLinked()) return Fail(sim.Story());
    auto first = Settle(sim);
    if (!first) return Fail(sim.Story());
    state_ = first->state;
    candidates_ = {QStringLiteral("admin123")};

    QElapsedTimer clock;
    clock.start();
    const int64_t limitMs = static_cast<int64_t>(o_.minutes * 60000);
    long rssAt1000 = 0;
    std::printf("soak: seed %llu, %s mix, %s\n", static_cast<unsigned long long>(o_.seed),
                o_.light ? "light" : "full",
                o_.actions > 0 ? qPrintable(QStringLiteral("%1 actions").arg(o_.actions))
                               : qPrintable(QStringLiteral("%1 minutes").arg(o_.minutes)));
    std::fflush(stdout);
    while ((o_.actions <= 0 || actions_ < o_.actions) &&
           (limitMs <= 0 || clock.elapsed() < limitMs)) {
      if (!Step(sim, w)) break;
      if (actions_ == 1000) rssAt1000 = ResidentKb();
    }
    const long rssEnd = ResidentKb();
    const double minutes = static_cast<double>(clock.elapsed()) / 60000.0;

#if !defined(__SANITIZE_ADDRESS__)
    // 7: memory flat. Under AddressSanitizer the freed memory waits in quarantine: not measured.
    if (rssAt1000 > 0 && actions_ > 1000 && rssEnd > rssAt1000 + rssAt1000 / 20) {
      Violation(QStringLiteral("7: resident memory %1 kB at the end, %2 kB after 1,000 actions")
                    .arg(rssEnd)
                    .arg(rssAt1000));
    }
#endif
    w.win->close();
    const auto quit = sim.Quit();
    if (quit != std::optional<int>(0))
      Violation(QStringLiteral("5: the simulator did not end well"));

    std::printf(
        "soak: seed %llu, %ld actions (%ld faulted: a fault fired in them; %ld fired in all) in "
        "%.1f min\n",
        static_cast<unsigned long long>(o_.seed), actions_, faulted_, firedTotal_, minutes);
    PrintTally("faults armed by kind", faultsArmed_);
    PrintTally("faults fired by kind", faultsFired_);
    PrintTally("other events", events_);
    PrintTally("outcomes by action", outcomes_);
    std::printf("resident memory: %ld kB after 1,000 actions, %ld kB at the end\n", rssAt1000,
                rssEnd);
    std::printf("violations: %ld\n", violations_);
    return violations_ == 0 ? 0 : 1;
  }

 private:
  int Fail(const QString& why) {
    std::fprintf(stderr, "soak: cannot start: %s\n", qPrintable(why));
    return 2;
  }

  void Violation(const QString& what) {
    ++violations_;
    if (violations_ > 10) return;
    std::fprintf(stderr, "VIOLATION (seed %llu, action %ld): %s\nlast steps:\n%s\n",
                 static_cast<unsigned long long>(o_.seed), actions_, qPrintable(what),
                 steps_.Story().c_str());
    std::fflush(stderr);
  }

  bool SimSend(SimProcess& sim, const QString& line, QString* log) {
    *log += QStringLiteral("[%1] ").arg(line);
    return sim.Send(line);
  }

  // One scheduled step: the world changed behind the tool's back, maybe a fault armed, one
  // operator action, then the checks.
  bool Step(SimProcess& sim, WindowOnSim& w) {
    QString log = QStringLiteral("#%1 ").arg(actions_ + 1);
    // The card in the field.
    if (Chance(0.3)) {
      const int kind = Uniform(0, 19);
      const QString line = kind < 10   ? QStringLiteral("card empty")
                           : kind < 14 ? QStringLiteral("card programmed %1 %2")
                                             .arg(Uniform(0, 99999))
                                             .arg(Uniform(0, 99999))
                           : kind < 17 ? QStringLiteral("card foreign")
                                       : QStringLiteral("card none");
      ++events_[QStringLiteral("card swap: ") + line.section(u' ', 1, 1)];
      if (!SimSend(sim, line, &log)) return Gone(sim);
    }
    // The administrator sets a new password.
    if (Chance(0.015)) {
      const bool admin = Chance(0.7);
      const QString password = NewPassword();
      ++events_[admin ? QStringLiteral("administrator's password")
                      : QStringLiteral("user's password set by the administrator")];
      if (!SimSend(sim, QStringLiteral("password %1 %2").arg(admin ? "admin" : "user", password),
                   &log)) {
        return Gone(sim);
      }
    }
    // A second programmer for the length of one action.
    const bool second = Chance(0.015);
    if (second) {
      ++events_[QStringLiteral("second programmer")];
      if (!SimSend(sim, QStringLiteral("add"), &log)) return Gone(sim);
    }

    // The operator's choice; card actions mostly once logged in.
    Act act;
    const int roll = Uniform(0, 99);
    if (!w.win->ChangeMode() && Chance(0.7)) {
      act = roll < 85 ? Act::LoginRight : Act::LoginWrong;
    } else {
      act = roll < 35   ? Act::Program
            : roll < 55 ? Act::Read
            : roll < 80 ? Act::Erase
            : roll < 90 ? Act::Change
            : roll < 97 ? Act::LoginRight
                        : Act::LoginWrong;
    }
    if (w.win->ChangeMode() && (act == Act::LoginRight || act == Act::LoginWrong)) {
      act = Act::Change;  // the button reads "Zmień hasło" now
    }
    if (!w.win->ChangeMode() && act == Act::Change) act = Act::LoginRight;

    const auto before = Settle(sim);
    if (!before) return Gone(sim);
    state_ = before->state;
    AdoptPassword(state_.password);
    // A fault at one of the commands the action sends.
    QStringList faults;
    if (Chance(0.4)) faults = Faults(CommandsOf(act, state_), o_.light);
    for (const QString& fault : faults) {
      ++faultsArmed_[FaultKind(fault)];
      if (!SimSend(sim, fault, &log)) return Gone(sim);
    }
    const QString fault = faults.join(QStringLiteral(" + "));

    // The action, with every window answered as the operator answers it.
    log += QStringLiteral("%1: ").arg(QLatin1String(ActName(act)));
    const QString loginPassword =
        act == Act::LoginWrong ? QStringLiteral("zle") + NewPassword() : candidates_.front();
    const QString oldPassword = act == Act::Change ? candidates_.front() : loginPassword;
    const QString newPassword = NewPassword();
    const int dep = Uniform(0, 99999);
    const int idx = Chance(0.05) ? 99999 : Uniform(0, 99998);
    const bool increment = Chance(0.6);
    if (act == Act::Program) {
      w.W<QLineEdit>("PrDepEdit")->setText(QString::number(dep));
      w.W<QLineEdit>("PrIdxEdit")->setText(QString::number(idx));
      w.W<QCheckBox>("PrIdxChkBx")->setChecked(increment);
      log += QStringLiteral("dep %1 idx %2%3 ").arg(dep).arg(idx).arg(increment ? " +1" : "");
    }
    const QString prUidBefore = w.Text("PrUidLbl");
    const QString prIdxBefore = w.W<QLineEdit>("PrIdxEdit")->text();
    QStringList said;
    QElapsedTimer took;
    {
      ModalCloser closer;
      for (int i = 0; i < 8; ++i) closer.Then(Operator(loginPassword, oldPassword, newPassword));
      watchdog_.Arm(120000, (log + QStringLiteral(" (running)\n")).toStdString() + steps_.Story());
      took.start();
      Press(w, act);
      said = kp::test::Seen(closer);
      watchdog_.Disarm();
    }
    const int64_t tookMs = took.elapsed();

    // The faults stop; the second programmer goes; the first is plugged in again.
    QString after;
    if (!fault.isEmpty() && !SimSend(sim, QStringLiteral("fault clear"), &after)) return Gone(sim);
    if (second && !SimSend(sim, QStringLiteral("remove 2"), &after)) return Gone(sim);
    if (!SimSend(sim, QStringLiteral("plug"), &after)) return Gone(sim);
    const auto settled = Settle(sim);
    if (!settled) return Gone(sim);
    const SimState& now = settled->state;
    if (!settled->fired.isEmpty()) ++faulted_;
    for (const QString& f : settled->fired) {
      ++firedTotal_;
      ++faultsFired_[f.section(u' ', 0, 0)];
    }

    QStringList shortSaid;
    for (const QString& line : said) shortSaid << Short(line);
    const QString outcome = shortSaid.isEmpty() ? QStringLiteral("ok") : shortSaid.join(u'+');
    ++outcomes_[QStringLiteral("%1: %2").arg(QLatin1String(ActName(act)), outcome)];
    ++actions_;
    log += outcome + QStringLiteral(" in %1 ms").arg(tookMs);
    if (!fault.isEmpty()) {
      log += QStringLiteral("; fault %1%2")
                 .arg(fault, settled->fired.isEmpty() ? " (not reached)" : "");
    }
    log += QStringLiteral("; card %1 -> %2 ").arg(before->state.Text(), now.Text()) + after;
    steps_.Remember(log);

    Check(w, act, said, now, before->state, dep, idx, increment, prUidBefore, prIdxBefore,
          loginPassword, newPassword);
    CheckRefusals(act, said, before->state, settled->cards, dep, idx);
    // 5: every action ends within twice its requests' time-out budget; the dialogs, key
    // derivations and the progress bar are the operator's own time (a fixed allowance).
    const int64_t limit = 2 * settled->budgetMs + 1500;
    if (tookMs > limit) {
      Violation(QStringLiteral("5: the action took %1 ms, more than %2 ms for its %3 requests")
                    .arg(tookMs)
                    .arg(limit)
                    .arg(settled->requests));
    }
    Passwords(act, shortSaid, now, loginPassword, oldPassword, newPassword);

    // 6: with the faults gone, the next poll links again within 1 s.
    {
      ModalCloser closer;
      QElapsedTimer link;
      link.start();
      w.Tick();
      while (!w.Linked() && link.elapsed() < 1000) {
        QTest::qWait(5);
        w.Tick();
      }
      if (!w.Linked()) Violation(QStringLiteral("6: no link 1 s after the faults stopped"));
      if (!closer.Records().isEmpty()) {
        Violation(QStringLiteral("6: the poll said ") + kp::test::Seen(closer).join(u'|'));
      }
    }
    return true;
  }

  bool Gone(SimProcess& sim) {
    Violation(QStringLiteral("5: the simulator is gone\n") + QString::fromLocal8Bit(sim.Story()));
    return false;
  }

  // The operator at every window: the planned passwords, OK on every message.
  static ModalCloser::Answer Operator(const QString& login, const QString& oldPassword,
                                      const QString& newPassword) {
    return [=](QWidget* window, ModalRecord& record) {
      const auto type = [window](const char* name, const QString& text) {
        if (auto* edit = window->findChild<QLineEdit*>(QLatin1String(name))) {
          edit->clear();
          kp::test::TypeText(edit, text);
        }
      };
      const auto press = [window, &record](const char* name) {
        auto* button = window->findChild<QPushButton*>(QLatin1String(name));
        if (button == nullptr) return;
        record.buttonEnabled = button->isEnabled();
        if (button->isEnabled()) {
          record.pressed = button->text();
          QTest::mouseClick(button, Qt::LeftButton);
        }
      };
      if (record.className == QLatin1String("TLoginDlg")) {
        type("PassEdit", login);
        press("LoginBtn");
      } else if (record.className == QLatin1String("TChngPassDlg")) {
        type("OldPassEdit", oldPassword);
        type("NewPass1Edit", newPassword);
        type("NewPass2Edit", newPassword);
        press("ChngPassBtn");
      } else {
        ModalCloser::OkAnswer()(window, record);
      }
    };
  }

  void Press(WindowOnSim& w, Act act) {
    const char* name = act == Act::Program ? "ProgrTagBtn"
                       : act == Act::Read  ? "ReadTagBtn"
                       : act == Act::Erase ? "ClearTagBtn"
                                           : "LoginBtn";
    auto* button = w.W<QPushButton>(name);
    if (button->isEnabled()) {
      QTest::mouseClick(button, Qt::LeftButton);
      return;
    }
    // Not linked at the moment: the handler itself, as the tests of the actions call it.
    switch (act) {
      case Act::Program: w.win->ProgrTagBtnClick(); break;
      case Act::Read: w.win->ReadTagBtnClick(); break;
      case Act::Erase: w.win->ClearTagBtnClick(); break;
      default: w.win->LoginBtnClick(); break;
    }
  }

  void Check(WindowOnSim& w, Act act, const QStringList& said, const SimState& now,
             const SimState& before, int dep, int idx, bool increment, const QString& prUidBefore,
             const QString& prIdxBefore, const QString& loginPassword, const QString& newPassword) {
    const bool quiet = said.isEmpty();
    const auto saidAny = [&said](const char* text) {
      for (const QString& line : said) {
        if (line.mid(3) == QString::fromUtf8(text)) return true;
      }
      return false;
    };
    switch (act) {
      case Act::Program: {
        const QString prUid = w.Text("PrUidLbl");
        if (quiet && !(now.card == QLatin1String("programmed") && now.dep == dep &&
                       now.idx == idx && now.uid == prUid)) {
          Violation(QStringLiteral("1: programmed %1/%2 without an error, UID shown %3, but the "
                                   "card is %4")
                        .arg(dep)
                        .arg(idx)
                        .arg(prUid, now.Text()));
        }
        if (!quiet && prUid != prUidBefore) {
          Violation(QStringLiteral("1: a failed programming changed the UID shown to ") + prUid);
        }
        const QString expected = quiet && increment ? QString::number(idx + 1) : prIdxBefore;
        const QString shown = w.W<QLineEdit>("PrIdxEdit")->text();
        if (shown != expected) {
          Violation(QStringLiteral("4: the index box shows %1, %2 expected").arg(shown, expected));
        }
        break;
      }
      case Act::Read: {
        const QString uid = w.Text("RdUidLbl");
        const QString depText = w.W<QLineEdit>("RdDepEdit")->text();
        const QString idxText = w.W<QLineEdit>("RdIdxEdit")->text();
        if (quiet &&
            !(now.card == QLatin1String("programmed") && now.uid == uid &&
              depText == QString::number(now.dep) && idxText == QString::number(now.idx))) {
          Violation(QStringLiteral("3: read %1 %2/%3, but the card is %4")
                        .arg(uid, depText, idxText, now.Text()));
        }
        if (!quiet && !(uid.isEmpty() && depText.isEmpty() && idxText.isEmpty())) {
          Violation(QStringLiteral("3: a failed read shows %1 %2/%3").arg(uid, depText, idxText));
        }
        break;
      }
      case Act::Erase:
        if (saidAny(kp::test::kCardErased) &&
            !(now.card == QLatin1String("empty") && now.uid == w.Text("PrUidLbl"))) {
          Violation(QStringLiteral("2: \"Karta skasowana.\" for %1, but the card is %2")
                        .arg(w.Text("PrUidLbl"), now.Text()));
        }
        break;
      case Act::LoginRight:
      case Act::LoginWrong:
      case Act::Change: {
        if (act == Act::LoginWrong && saidAny(kp::test::kLoggedIn)) {
          Violation(QStringLiteral("logged in with the wrong password ") + loginPassword);
        }
        const bool changeShown = std::any_of(said.begin(), said.end(), [](const QString& l) {
          return l.startsWith(QLatin1String("TChngPassDlg"));
        });
        if (saidAny(kp::test::kLoggedIn) && !changeShown && !now.loggedIn) {
          Violation(QStringLiteral("\"logged in\" shown, but the programmer is not"));
        }
        if (saidAny(kp::test::kPasswordChanged) &&
            !(now.loggedIn && now.password == QLatin1String("user"))) {
          Violation(QStringLiteral("\"password changed\" to %1 shown, but the programmer holds "
                                   "%2%3")
                        .arg(newPassword, now.password,
                             now.loggedIn ? QString() : QStringLiteral(", logged out")));
        }
        break;
      }
    }
    (void)before;
  }

  // 8: a card refusal is shown only for what did not happen: no card came to hold the numbers
  // of a refused programming, and the card of a refused erase was not erased.
  void CheckRefusals(Act act, const QStringList& said, const SimState& before,
                     const std::vector<SimState>& cards, int dep, int idx) {
    const auto refusal = std::find_if(said.begin(), said.end(), [](const QString& line) {
      return Short(line).startsWith(QLatin1String("card: "));
    });
    if (refusal == said.end()) return;
    for (const SimState& card : cards) {
      const bool programmed = act == Act::Program && card.card == QLatin1String("programmed") &&
                              card.dep == dep && card.idx == idx;
      const bool erased = act == Act::Erase && card.uid == before.uid &&
                          card.card == QLatin1String("empty") &&
                          before.card != QLatin1String("empty");
      if (programmed || erased) {
        Violation(QStringLiteral("8: \"%1\" shown, but card %2 is now %3")
                      .arg(refusal->mid(3), card.uid, card.Text()));
        return;
      }
    }
  }

  // What the operator now believes the password to be: the one that worked last, or both
  // when a change ended without its answer.
  void Passwords(Act act, const QStringList& said, const SimState& now, const QString& login,
                 const QString& oldPassword, const QString& newPassword) {
    if (AdoptPassword(now.password)) return;
    const bool changeAnswered = said.contains(QStringLiteral("change-dialog"));
    if (said.contains(QStringLiteral("password-changed")) ||
        said.contains(QStringLiteral("new-password-refused"))) {
      candidates_ = {newPassword, oldPassword};
      if (said.contains(QStringLiteral("password-changed"))) candidates_ = {newPassword};
      return;
    }
    if (changeAnswered && !said.contains(QStringLiteral("old-password-refused")) &&
        !said.contains(QStringLiteral("change-refused"))) {
      // The change may have been carried out without its answer reaching the tool.
      candidates_ = {oldPassword, newPassword};
      return;
    }
    if (act != Act::LoginWrong && said.contains(QStringLiteral("logged-in"))) {
      candidates_ = {login};
      return;
    }
    if ((said.contains(QStringLiteral("login-refused")) ||
         said.contains(QStringLiteral("old-password-refused"))) &&
        candidates_.size() > 1 && act != Act::LoginWrong) {
      candidates_.push_back(candidates_.front());
      candidates_.pop_front();
    }
  }

  // The simulator names a password the administrator set; true when it did.
  bool AdoptPassword(const QString& password) {
    const QString text = password.section(u' ', 1);
    if (text.isEmpty()) return false;
    candidates_ = {text};
    return true;
  }

  Options o_;
  Watchdog watchdog_;
  SimState state_;
  std::deque<QString> candidates_;
  StepLog steps_{o_.trace};
  long actions_ = 0;
  long faulted_ = 0;
  long firedTotal_ = 0;
  long violations_ = 0;
  Tally faultsArmed_;
  Tally faultsFired_;
  Tally events_;
  Tally outcomes_;
};

}  // namespace
}  // namespace kp::test

int main(int argc, char* argv[]) {
  using namespace kp::test;
  // A child that ended before its input was written must not end the soak.
  std::signal(SIGPIPE, SIG_IGN);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // The offscreen platform says this at every dialog; thousands of times here.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (text.contains(QLatin1String("propagateSizeHints"))) return;
    std::fprintf(stderr, "%s%s\n", type == QtDebugMsg ? "" : "qt: ", qPrintable(text));
  });
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  const auto options = ParseOptions(QApplication::arguments());
  if (!options) {
    std::fprintf(stderr,
                 "usage: kp_soak [--front window|cli] [--seed N] [--minutes M] [--actions N] "
                 "[--light] [--trace]\n");
    return 2;
  }
  if (options->cli) return RunCliSoak(*options);
  RegisterApplicationFonts();
  return Soak(*options).Run();
}
