// The operator's actions behind the main window's four buttons: the guards with their
// messages, the login and password-change flows, and the erase, program and read wrappers.
// Each action runs with polling off and ends with a full refresh of the panel.
#include "app/Wmain.h"

#include "app/BusyCursor.h"
#include "app/Chngpass.h"
#include "app/Login.h"
#include "app/PasswordText.h"
#include "crypto/PasswordKey.h"
#include "crypto/SecureWipe.h"
#include "programmer/OperatorTexts.h"
#include "ui_Wmain.h"

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>

#include <cstring>
#include <string>

namespace {

using kp::WipeOnExit;

// Messages of the actions, shared with kpnox-cli; *no connection* is ShowNoConnection's and
// the guards' are the session's.
using kp::kCardErasedText;
using kp::kLoggedInText;
using kp::kPasswordChangedText;

// Polling off for the whole action; the panel refreshed and polling back on however the
// action ends. The wait cursor shows from the click to the end, except while a dialog or a
// message box waits for the operator.
// The session decides, before anything is shown, whether a late answer may still come; the
// frame's end is the last word for exchanges made outside its operations.
class ActionFrame {
 public:
  explicit ActionFrame(TMainWin& window) : window_(window) {
    window_.SuspendPolling();
    window_.Session().BeginAction();
  }
  ~ActionFrame() {
    window_.DropIfLateReplyMayFollow();
    window_.RefreshStatusPanel();
    // The panel now says that no programmer is there, whatever the poll showed last: the
    // next connection must reach the panel even if its status word equals that one.
    if (!window_.Programmer().isOpen) lastShownStatus = kNoStatusShown;
    window_.ResumePolling();
  }
  ActionFrame(const ActionFrame&) = delete;
  ActionFrame& operator=(const ActionFrame&) = delete;

 private:
  const BusyCursor busy_;
  TMainWin& window_;
};

// The text of a password box, held so that once the box has been emptied the buffer it
// held can be overwritten: the box and this copy share it, and after the box lets go this
// copy is its only owner.
class TakenPassword {
 public:
  explicit TakenPassword(QLineEdit* box) : box_(box) {
    if (box_ != nullptr) text_ = box_->text();
  }
  ~TakenPassword() { Release(); }
  TakenPassword(const TakenPassword&) = delete;
  TakenPassword& operator=(const TakenPassword&) = delete;

  const QString& Text() const { return text_; }

  // Empties the box, then overwrites the text it held.
  void Release() {
    if (box_ != nullptr) {
      box_->setText(QString());
      box_ = nullptr;
    }
    // data() on a shared buffer would copy it first; a buffer still shared is left alone.
    if (!text_.isEmpty() && text_.isDetached()) {
      kp::SecureWipe(text_.data(), static_cast<size_t>(text_.size()) * sizeof(QChar));
    }
    text_.clear();
  }

 private:
  QLineEdit* box_;
  QString text_;
};

// Shows a dialog modally, the wait cursor lifted while the operator types; true on OK.
bool ExecWithoutBusyCursor(QDialog* dialog) {
  const IdleCursorWhileModal idle;
  return dialog->exec() == QDialog::Accepted;
}

QString TextOf(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The toolkit's string-to-integer with a default: anything but a valid integer gives 0.
int32_t IntegerOf(const QString& text) {
  bool ok = false;
  const int value = text.toInt(&ok);
  return ok ? value : 0;
}

}  // namespace

// --- button handlers ---

void TMainWin::LoginBtnClick() {
  const ActionFrame frame(*this);
  if (changeMode) {
    DoChangePassword();
  } else {
    DoLogin();
  }
}

void TMainWin::ClearTagBtnClick() {
  const ActionFrame frame(*this);
  uint8_t uid[kp::kUidSize] = {};
  if (!DoErase(uid)) return;
  UidToHex(uid, kp::kUidSize);
  ShowUid(ui->PrUidLbl, TextOf(scratchText));
  ShowInfo(kCardErasedText);
}

void TMainWin::ProgrTagBtnClick() {
  const ActionFrame frame(*this);
  SayUid(ui->ProgrTagBtn, QString());
  const int32_t index = IntegerOf(ui->PrIdxEdit->text());
  const int32_t department = IntegerOf(ui->PrDepEdit->text());
  uint8_t uid[kp::kUidSize] = {};
  if (!DoProgram(department, index, uid)) return;
  UidToHex(uid, kp::kUidSize);
  ShowUid(ui->PrUidLbl, TextOf(scratchText));
  SayUid(ui->ProgrTagBtn, TextOf(scratchText));
  AnimateProgress(ui->ProgrTagBar);  // the only sign of success
  if (ui->PrIdxChkBx->isChecked()) {
    // Past the box's five typed digits if need be; widened so the largest index cannot wrap.
    ui->PrIdxEdit->setText(QString::number(static_cast<qint64>(index) + 1));
  }
}

void TMainWin::ReadTagBtnClick() {
  const ActionFrame frame(*this);
  // Cleared before anything is sent, so a refusal leaves nothing of an earlier card.
  ShowUid(ui->RdUidLbl, QString());
  SayUid(ui->ReadTagBtn, QString());
  ui->RdDepEdit->setText(QString());
  ui->RdIdxEdit->setText(QString());
  int32_t department = 0;
  int32_t index = 0;
  uint8_t uid[kp::kUidSize] = {};
  if (!DoRead(&department, &index, uid)) return;
  UidToHex(uid, kp::kUidSize);
  ShowUid(ui->RdUidLbl, TextOf(scratchText));
  SayUid(ui->ReadTagBtn, TextOf(scratchText));
  scratchText = std::to_string(department);
  ui->RdDepEdit->setText(TextOf(scratchText));
  scratchText = std::to_string(index);
  ui->RdIdxEdit->setText(TextOf(scratchText));
}

// --- dialog steps ---

bool TMainWin::AskLoginKey(uint8_t key[kp::kKeySize]) {
  const bool ok = ExecWithoutBusyCursor(LoginDlg);
  TakenPassword password(LoginDlg->PassEdit());
  if (ok) DeriveKeyOf(password.Text(), userIdentity, key);
  password.Release();
  return ok;
}

bool TMainWin::AskPasswordChange(uint8_t oldKey[kp::kKeySize], uint8_t newKey[kp::kKeySize]) {
  const bool forced = (programmer.statusWord & kp::kStatusAdminPassword) != 0;
  ChngPassDlg->DescrLbl()->setText(
      QString::fromUtf8(forced ? kForcedChangeHeading : kChangeHeading));
  const bool ok = ExecWithoutBusyCursor(ChngPassDlg);
  TakenPassword oldPassword(ChngPassDlg->OldPassEdit());
  TakenPassword newPassword(ChngPassDlg->NewPass1Edit());
  TakenPassword repeated(ChngPassDlg->NewPass2Edit());
  if (ok) {
    DeriveKeyOf(oldPassword.Text(), userIdentity, oldKey);
    DeriveKeyOf(newPassword.Text(), userIdentity, newKey);
  }
  oldPassword.Release();
  newPassword.Release();
  repeated.Release();
  return ok;
}

void TMainWin::DeriveKeyOf(const QString& password, const char* identity,
                           uint8_t key[kp::kKeySize]) {
  std::string text = kp::PasswordTo8Bit(password);
  const WipeOnExit wipeText(text.data(), text.size());
  DerivePasswordKey(identity, text.c_str(), key);
}

void TMainWin::DerivePasswordKey(const char* identity, const char* password,
                                 uint8_t key[kp::kKeySize]) {
  kp::DerivePasswordKey(identity, password, key);
}

// --- guards ---

bool TMainWin::Passes(kp::Guard guard) {
  if (guard == kp::Guard::Passed) return true;
  if (guard == kp::Guard::NoConnection) {
    ShowNoConnection();
  } else {
    ShowError(kp::GuardText(guard));
  }
  return false;
}

bool TMainWin::EnsureConnected() {
  return Passes(session.EnsureConnected([this](kp::PollResult r) { PresentPoll(r); }));
}

bool TMainWin::CheckCardReady() {
  return Passes(session.CheckCardReady([this](kp::PollResult r) { PresentPoll(r); }));
}

// --- flows ---

bool TMainWin::PresentPasswordOutcome(const kp::PasswordOutcome& outcome, const char* doneText) {
  switch (outcome.end) {
    case kp::PasswordOutcome::End::Done: ShowInfo(doneText); return true;
    case kp::PasswordOutcome::End::Refused: ShowError(outcome.refusal); return false;
    case kp::PasswordOutcome::End::LinkFailed: break;
  }
  ShowNoConnection();
  return false;
}

void TMainWin::DoLogin() {
  if (!EnsureConnected() || !Passes(session.CheckKeysAndPassword())) return;
  session.MarkConnection();
  kp::PasswordOutcome outcome;
  {
    uint8_t key[kp::kKeySize] = {};
    const WipeOnExit wipeKey(key, sizeof key);
    if (!AskLoginKey(key)) return;
    if (!EnsureConnected() || !Passes(session.CheckConnectionMark())) return;
    outcome = session.Login(key);
  }
  if (!PresentPasswordOutcome(outcome, kLoggedInText)) return;
  // The administrator's password must give way to the user's before anything else.
  if (session.CheckNoForcedChange() != kp::Guard::Passed) DoChangePassword();
}

void TMainWin::DoChangePassword() {
  if (!EnsureConnected() || !Passes(session.CheckKeysAndPassword())) return;
  session.MarkConnection();
  kp::PasswordOutcome outcome;
  {
    uint8_t oldKey[kp::kKeySize] = {};
    uint8_t newKey[kp::kKeySize] = {};
    const WipeOnExit wipeOld(oldKey, sizeof oldKey);
    const WipeOnExit wipeNew(newKey, sizeof newKey);
    if (!AskPasswordChange(oldKey, newKey)) return;
    if (!EnsureConnected() || !Passes(session.CheckConnectionMark())) return;
    outcome = session.ChangePassword(oldKey, newKey);
  }
  PresentPasswordOutcome(outcome, kPasswordChangedText);
}

// --- card wrappers ---

bool TMainWin::PresentCardOutcome(const kp::CardOutcome& outcome, uint8_t uid[kp::kUidSize]) {
  switch (outcome.end) {
    case kp::CardOutcome::End::Done:
      std::memcpy(uid, programmer.cardInfo.uid, kp::kUidSize);
      return true;
    case kp::CardOutcome::End::Refused: ShowError(kp::CardResultText(outcome.result)); return false;
    case kp::CardOutcome::End::Uncertain:  // the card may hold anything: the link is lost
    case kp::CardOutcome::End::LinkFailed: break;
  }
  ShowNoConnection();
  return false;
}

bool TMainWin::DoErase(uint8_t uid[kp::kUidSize]) {
  if (!CheckCardReady()) return false;
  return PresentCardOutcome(session.Erase(), uid);
}

bool TMainWin::DoProgram(int32_t department, int32_t index, uint8_t uid[kp::kUidSize]) {
  if (!CheckCardReady()) return false;
  return PresentCardOutcome(session.Program(department, index), uid);
}

bool TMainWin::DoRead(int32_t* department, int32_t* index, uint8_t uid[kp::kUidSize]) {
  if (!CheckCardReady()) return false;
  const kp::CardOutcome outcome = session.Read();
  if (!PresentCardOutcome(outcome, uid)) return false;
  *department = outcome.department;
  *index = outcome.index;
  return true;
}
