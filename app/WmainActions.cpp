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

// Messages of the actions, shared with kpnox-cli; *no connection* is ShowNoConnection's.
using kp::kCardErasedText;
using kp::kChangeRefusedText;
using kp::kForcedChangeText;
using kp::kLoggedInText;
using kp::kLoginRefusedText;
using kp::kNewPasswordRefusedText;
using kp::kNoKeysText;
using kp::kNoUserPasswordText;
using kp::kNotLoggedInText;
using kp::kOldPasswordRefusedText;
using kp::kPasswordChangedText;
constexpr const char* kReconnectedText =
    "W trakcie obsługi okna dialogowego programator KP-R50 był rozłączany.\n\n"
    "Operacja zostaje przerwana gdyż rozłączenie/podłączenie tego samego\n"
    "lub innego programatora oznacza, że wcześniej podjęte przez program\n"
    "decyzje mogą być niespójne z aktualnym stanem programatora.\n\n"
    "Powtórz całą operację od początku.";

// Polling off for the whole action; the panel refreshed and polling back on however the
// action ends. The wait cursor shows from the click to the end, except while a dialog or a
// message box waits for the operator.
// An action in which the programmer answered only a resend ends with the connection
// dropped: the first request's reply may still arrive and would pass for the answer to the
// next request of that command, so the tool links afresh (and logs in again) first.
class ActionFrame {
 public:
  explicit ActionFrame(TMainWin& window) : window_(window) {
    window_.SuspendPolling();
    window_.Programmer().lateReplyMayFollow = false;
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

bool TMainWin::EnsureConnected() {
  // With an open programmer the first poll re-reads the status word; if that fails, the
  // second one links again.
  PollProgrammer();
  if (!Connected()) PollProgrammer();
  if (!Connected()) {
    ShowNoConnection();
    return false;
  }
  return true;
}

bool TMainWin::CheckKeysAndPassword() {
  if (!kp::KeysLoaded(programmer.statusWord)) {
    ShowError(kNoKeysText);
    return false;
  }
  if ((programmer.statusWord & kp::kStatusNoUserPassword) != 0) {
    ShowError(kNoUserPasswordText);
    return false;
  }
  return true;
}

bool TMainWin::CheckNoForcedChange() {
  if ((programmer.statusWord & kp::kStatusAdminPassword) != 0) {
    ShowError(kForcedChangeText);
    return false;
  }
  return true;
}

bool TMainWin::CheckConnectionMark() {
  // Link and Close clear the mark: still set, the connection lasted through the dialog.
  if (programmer.connectionMark) return true;
  ShowError(kReconnectedText);
  return false;
}

bool TMainWin::CheckCardReady() {
  if (!EnsureConnected() || !CheckKeysAndPassword()) return false;
  if ((programmer.statusWord & kp::kStatusLoggedIn) == 0) {
    ShowError(kNotLoggedInText);
    return false;
  }
  return CheckNoForcedChange();
}

// --- flows ---

namespace {

// How the exchanges of a password flow ended; told only once its keys are wiped.
enum class FlowEnd { Done, Refused, LinkFailed };

// Replies are matched by their code alone, so the late answer to an earlier login that timed
// out can pass for this one's. The status word read right after tells: a login the programmer
// did not take is no login, and the tool cannot say where it stands.
bool LoggedInNow(const kp::KpR50& programmer) {
  return (programmer.statusWord & kp::kStatusLoggedIn) != 0;
}

// A login or a change refused only after its request went out twice: the first may have been
// carried out (a login uses up its challenge, a change replaces the key the second one
// names), so the refusal says nothing about the password.
FlowEnd Refusal(const kp::KpR50& programmer) {
  return programmer.answeredAfterResend ? FlowEnd::LinkFailed : FlowEnd::Refused;
}

}  // namespace

void TMainWin::DoLogin() {
  if (!EnsureConnected() || !CheckKeysAndPassword()) return;
  programmer.connectionMark = true;
  FlowEnd end = FlowEnd::Refused;
  {
    uint8_t key[kp::kKeySize] = {};
    const WipeOnExit wipeKey(key, sizeof key);
    if (!AskLoginKey(key)) return;
    if (!EnsureConnected() || !CheckConnectionMark()) return;
    try {
      if (programmer.Authenticate(userIdentity, key)) {
        programmer.ReadStatus(kp::kStatusTimeoutMs);
        end = LoggedInNow(programmer) ? FlowEnd::Done : FlowEnd::LinkFailed;
      } else {
        end = Refusal(programmer);
      }
    } catch (...) {
      end = FlowEnd::LinkFailed;
    }
  }
  if (end == FlowEnd::LinkFailed) {
    DropConnection();
    ShowNoConnection();
  } else if (end == FlowEnd::Refused) {
    ShowError(kLoginRefusedText);
  } else {
    ShowInfo(kLoggedInText);
    // The administrator's password must give way to the user's before anything else.
    if ((programmer.statusWord & kp::kStatusAdminPassword) != 0) DoChangePassword();
  }
}

void TMainWin::DoChangePassword() {
  if (!EnsureConnected() || !CheckKeysAndPassword()) return;
  programmer.connectionMark = true;
  FlowEnd end = FlowEnd::Refused;
  const char* refusal = nullptr;
  {
    uint8_t oldKey[kp::kKeySize] = {};
    uint8_t newKey[kp::kKeySize] = {};
    const WipeOnExit wipeOld(oldKey, sizeof oldKey);
    const WipeOnExit wipeNew(newKey, sizeof newKey);
    if (!AskPasswordChange(oldKey, newKey)) return;
    if (!EnsureConnected() || !CheckConnectionMark()) return;
    try {
      programmer.Logout();
      if (!programmer.Authenticate(userIdentity, oldKey)) {
        refusal = kOldPasswordRefusedText;
      } else if (!programmer.SendPasswordChange(userIdentity, oldKey, newKey)) {
        refusal = kChangeRefusedText;
      } else if (!programmer.Authenticate(userIdentity, newKey)) {
        refusal = kNewPasswordRefusedText;
      } else {
        programmer.ReadStatus(kp::kStatusTimeoutMs);
        end = LoggedInNow(programmer) ? FlowEnd::Done : FlowEnd::LinkFailed;
      }
      if (refusal != nullptr) end = Refusal(programmer);
    } catch (...) {
      end = FlowEnd::LinkFailed;
    }
  }
  if (end == FlowEnd::LinkFailed) {
    DropConnection();
    ShowNoConnection();
  } else if (end == FlowEnd::Refused) {
    ShowError(refusal);
  } else {
    ShowInfo(kPasswordChangedText);
  }
}

// --- card wrappers ---

template <typename CardOperation>
bool TMainWin::RunCardOperation(CardOperation operation, uint8_t uid[kp::kUidSize]) {
  int32_t result = kp::kCardOk;
  bool linkFailed = false;
  try {
    result = operation();
  } catch (...) {
    linkFailed = true;
  }
  if (linkFailed) {
    DropConnection();
    ShowNoConnection();
    return false;
  }
  if (result != kp::kCardOk) {
    ShowError(kp::CardResultText(result));
    return false;
  }
  std::memcpy(uid, programmer.cardInfo.uid, kp::kUidSize);
  return true;
}

bool TMainWin::DoErase(uint8_t uid[kp::kUidSize]) {
  if (!CheckCardReady()) return false;
  return RunCardOperation([this] { return programmer.EraseCard(); }, uid);
}

bool TMainWin::DoProgram(int32_t department, int32_t index, uint8_t uid[kp::kUidSize]) {
  if (!CheckCardReady()) return false;
  return RunCardOperation([&] { return programmer.ProgramCard(department, index); }, uid);
}

bool TMainWin::DoRead(int32_t* department, int32_t* index, uint8_t uid[kp::kUidSize]) {
  if (!CheckCardReady()) return false;
  return RunCardOperation([&] { return programmer.ReadCard(department, index); }, uid);
}
