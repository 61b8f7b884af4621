// The main window: owns the one programmer object, polls it every 250 ms, shows its state in
// the status panel, and runs the operator's four actions.
#pragma once

#include "app/NoProgrammerReason.h"
#include "crypto/PasswordKey.h"
#include "programmer/KpR50.h"
#include "session/OperatorSession.h"

#include <QString>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <string>

class QAbstractButton;
class QLabel;
class QProgressBar;

namespace Ui {
class TMainWin;
}

class TMainWin : public QWidget {
  Q_OBJECT

 public:
  // The platform is where the programmer is looked for; it must outlive the window.
  explicit TMainWin(kp::UsbPlatform& platform, QWidget* owner = nullptr);
  ~TMainWin() override;

  // --- polling and the status panel: the services the operator actions build on ---
  int32_t PollProgrammer();  // 0 nothing new; 1 just connected and read; -1 dropped
  void RefreshStatusPanel();
  void SuspendPolling();
  void ResumePolling();
  // The end of an action: drops the connection when an answer to a resend may still come.
  void DropIfLateReplyMayFollow();
  void AnimateProgress(QProgressBar* bar);
  void UidToHex(const uint8_t* bytes, int count);  // into scratchText
  void ShowError(const char* text);
  void ShowInfo(const char* text);
  void ShowNoConnection();

  // The session, its programmer object and the flags, visible to tests.
  kp::OperatorSession& Session() { return session; }
  kp::KpR50& Programmer() { return programmer; }
  QTimer* NoxTimer() const { return noxTimer; }
  bool ChangeMode() const { return changeMode; }
  bool PollEnabled() const { return pollEnabled; }
  bool PollSuspended() const { return pollSuspended; }
  bool TickRunning() const { return tickRunning; }
  const std::string& ScratchText() const { return scratchText; }

 public slots:
  void NoxTimerTimer();
  void StartStopBtnClick();
  void LoginBtnClick();
  void ClearTagBtnClick();
  void ProgrTagBtnClick();
  void ReadTagBtnClick();

 protected:
  void closeEvent(QCloseEvent* event) override;  // FormClose

 private:
  void FormClose();
  // Fonts, input limits, hidden controls and the position: what the form file cannot say.
  void SetupForm();
  void FitStatusCaptions();
  // Accessible names and descriptions that tell apart what the two groups have alike.
  void NameForScreenReaders();
  // Puts a card's UID (or nothing) into a UID label and into the label's accessible name.
  void ShowUid(QLabel* label, const QString& uid);
  // The button that ran a card action says the UID in its accessible name; an empty UID gives
  // the button back its caption as its name.
  void SayUid(QAbstractButton* pressed, const QString& uid);
  bool Connected() const { return session.Connected(); }
  // Enabling a running timer leaves it running, so the interval is not restarted.
  void SetTimerEnabled(bool enabled);
  void RefreshIfChanged();
  void DropConnection();
  // What the window makes of a poll: 0 nothing new, 1 just linked, -1 dropped; a second
  // programmer is told once until it goes.
  int32_t PresentPoll(kp::PollResult result);

  // --- the steps of the operator actions (WmainActions.cpp) ---
  bool AskLoginKey(uint8_t key[kp::kKeySize]);
  bool AskPasswordChange(uint8_t oldKey[kp::kKeySize], uint8_t newKey[kp::kKeySize]);
  // A guard's verdict: true when it passed, else its message shown.
  bool Passes(kp::Guard guard);
  bool EnsureConnected();
  bool CheckCardReady();
  void DoLogin();
  void DoChangePassword();
  // The message of a login or a change; true when it was done.
  bool PresentPasswordOutcome(const kp::PasswordOutcome& outcome, const char* doneText);
  bool DoErase(uint8_t uid[kp::kUidSize]);
  bool DoProgram(int32_t department, int32_t index, uint8_t uid[kp::kUidSize]);
  bool DoRead(int32_t* department, int32_t* index, uint8_t uid[kp::kUidSize]);
  // The common end of the three card wrappers: the refusal's or the lost link's message, or
  // the card's UID.
  bool PresentCardOutcome(const kp::CardOutcome& outcome, uint8_t uid[kp::kUidSize]);
  // The key of a password typed in a box; the 8-bit text lives only during the derivation.
  static void DeriveKeyOf(const QString& password, const char* identity, uint8_t key[kp::kKeySize]);
  // Reads none of the window's state; forwards to the crypto layer.
  static void DerivePasswordKey(const char* identity, const char* password,
                                uint8_t key[kp::kKeySize]);

  Ui::TMainWin* ui;
  QTimer* noxTimer;
  std::string scratchText;
  kp::OperatorSession session;
  kp::KpR50& programmer;  // the session's
  NoProgrammerReason noProgrammerReason;
  const char* userIdentity = kp::kUserIdentity;
  bool changeMode = false;
  bool pollEnabled = true;
  bool pollSuspended = false;
  bool tickRunning = false;
};

// The status word for which the poll last refreshed the panel, and whether the
// two-programmer message is armed; one copy per process.
extern int32_t lastShownStatus;
// lastShownStatus at start-up: the poll first refreshes the panel for a programmer whose
// status word differs from it.
inline constexpr int32_t kStartShownStatus = 0x8000;
// A value no status word has: the next refresh the poll asks for is always made.
inline constexpr int32_t kNoStatusShown = -1;
extern bool twoProgrammersArmed;

// The application's forms, created once at start-up.
class TLoginDlg;
class TChngPassDlg;
extern TMainWin* MainWin;
extern TLoginDlg* LoginDlg;
extern TChngPassDlg* ChngPassDlg;
