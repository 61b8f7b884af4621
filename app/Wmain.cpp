#include "app/Wmain.h"

#include "app/AccessibleTree.h"
#include "app/AppFonts.h"
#include "app/FormStyle.h"
#include "app/MessageBox.h"
#include "link/Tracecom.h"
#include "base/NumberText.h"
#include "programmer/OperatorTexts.h"
#include "ui_Wmain.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPalette>
#include <QProgressBar>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QScreen>

#include <algorithm>
#include <utility>

int32_t lastShownStatus = kStartShownStatus;
bool twoProgrammersArmed = true;

TMainWin* MainWin = nullptr;
TLoginDlg* LoginDlg = nullptr;
TChngPassDlg* ChngPassDlg = nullptr;

namespace {

constexpr int kPollIntervalMs = 250;
constexpr int kProgrammingDigits = 5;
// An action waits this long, at most this often, for a tick that is still running.
constexpr uint32_t kTickWaitMs = 100;
constexpr int kTickWaitRounds = 20;
// The progress bar runs through 20 steps of 5 ms and stays full for 50 ms.
constexpr int kProgressSteps = 20;
constexpr uint32_t kProgressStepMs = 5;
constexpr uint32_t kProgressFullMs = 50;

const char* const kInfoText =
    "Programator KP-R50 potrafi programować, kasować i czytać karty z danej instalacji.\n"
    "Przy kluczach tymczasowych programator potrafi kasować karty zaprogramowane dowolnymi "
    "kluczami tymczasowymi.";
using kp::kNoConnectionText;  // shared with kpnox-cli
using kp::kNoProgrammerText;
using kp::kTwoProgrammersText;
const char* const kTargetKeysText = "docelowe";
const char* const kTemporaryKeysText = "tymczasowe";
const char* const kNoKeysText = "brak";
const char* const kNoSignatureText = "--------";
const char* const kLoginText = "Zaloguj";
const char* const kChangePasswordText = "Zmień hasło";
// What a screen reader says of controls whose captions the two groups share, and of the
// controls that have no caption.
const char* const kPrDepName = "Wydział (programowanie)";
const char* const kPrIdxName = "Index (programowanie)";
const char* const kRdDepName = "Wydział (odczyt)";
const char* const kRdIdxName = "Index (odczyt)";
const char* const kPrUidName = "UID (programowanie)";
const char* const kRdUidName = "UID (odczyt)";
const char* const kProgressName = "Postęp programowania";

// Refuses a typed character once the box holds `limit` characters (a selection about to be
// replaced makes room), as a Windows edit's limit does; texts the program sets stay whole.
class TypingLimit : public QObject {
 public:
  TypingLimit(QLineEdit* edit, int limit) : QObject(edit), limit_(limit) {
    edit->installEventFilter(this);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const QString typed = static_cast<QKeyEvent*>(event)->text();
    if (typed.isEmpty() || !typed.front().isPrint()) return false;
    const auto* edit = static_cast<QLineEdit*>(watched);
    return edit->text().size() - edit->selectedText().size() >= limit_;
  }

 private:
  int limit_;
};

}  // namespace

TMainWin::TMainWin(kp::UsbPlatform& platform, QWidget* owner)
    : QWidget(owner),
      ui(new Ui::TMainWin),
      noxTimer(new QTimer(this)),
      session(platform, kp::traceSink),
      programmer(session.Programmer()) {
  // The form file names its widget apart from the process-wide variable MainWin, which the
  // generated code would otherwise shadow; the window still carries the system's name.
  setObjectName(QStringLiteral("MainWin"));
  ListShownControlsOnly(this);
  ui->setupUi(this);
  SetupForm();

  noxTimer->setObjectName(QStringLiteral("NoxTimer"));
  noxTimer->setInterval(kPollIntervalMs);
  connect(noxTimer, &QTimer::timeout, this, &TMainWin::NoxTimerTimer);
  connect(ui->StartStopBtn, &QPushButton::clicked, this, &TMainWin::StartStopBtnClick);
  connect(ui->LoginBtn, &QPushButton::clicked, this, &TMainWin::LoginBtnClick);
  connect(ui->ClearTagBtn, &QPushButton::clicked, this, &TMainWin::ClearTagBtnClick);
  connect(ui->ProgrTagBtn, &QPushButton::clicked, this, &TMainWin::ProgrTagBtnClick);
  connect(ui->ReadTagBtn, &QPushButton::clicked, this, &TMainWin::ReadTagBtnClick);

  ui->InfoLbl->setText(QString::fromUtf8(kInfoText));
  KeepLinesApart(ui->InfoLbl);
  FitStatusCaptions();
  // Polling starts here and nowhere else; the panel keeps its design-time state until the
  // first refresh.
  noxTimer->start();
}

TMainWin::~TMainWin() { delete ui; }

// The status panel's texts at their widest: the largest numbers and the longest words; a UID
// as every hex digit once (sixteen of them), a signature of the widest digit.
void TMainWin::FitStatusCaptions() {
  const QString uid = QStringLiteral("0123456789ABCDEF").left(2 * kp::kUidSize);
  FitCaptions(this, {
                        {ui->PrgrLbl,
                         {QString::fromUtf8(kNoProgrammerText),
                          QStringLiteral("Programator KP-R50 Nr: 65535, Soft: 65535")}},
                        {ui->KeyLbl,
                         {QString::fromUtf8(kTargetKeysText), QString::fromUtf8(kTemporaryKeysText),
                          QString::fromUtf8(kNoKeysText)}},
                        {ui->SygnLbl, {QString(8, u'D'), QString::fromLatin1(kNoSignatureText)}},
                        {ui->PrUidLbl, {uid}},
                        {ui->RdUidLbl, {uid}},
                        {ui->LoginBtn,
                         {QString::fromUtf8(kLoginText), QString::fromUtf8(kChangePasswordText)}},
                    });
}

void TMainWin::SetupForm() {
  MakeFixedDialog(this, MainWinFont(), Qt::Window);
  setWindowIcon(QIcon(QStringLiteral(":/icons/kpnox-koder.svg")));
  NameForScreenReaders();
  ui->PrgrLbl->setFont(MainWinFont(16));
  ui->KeyLbl->setFont(MainWinFont(13, true));
  ui->SygnLbl->setFont(MainWinFont(13, true));
  ui->PrUidLbl->setFont(MainWinFont(13));
  ui->RdUidLbl->setFont(MainWinFont(13));
  // These captions have no size of their own: they take the size of their text.
  for (QLabel* label : {ui->PrUidTxtLbl, ui->PrDepRngLbl, ui->PrIdxRngLbl, ui->RdUidTxtLbl}) {
    label->adjustSize();
  }

  // Digits only. The five-digit limit of the programming boxes restrains the operator only:
  // the program may put six digits there (the index after 99999), which QLineEdit::maxLength
  // would cut. The validator keeps typed and pasted text within five digits; once the program
  // has put a longer text there, the typing limit refuses further characters.
  auto* fiveDigits = new QRegularExpressionValidator(
      QRegularExpression(QStringLiteral("[0-9]{0,%1}").arg(kProgrammingDigits)), this);
  auto* digits =
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), this);
  for (QLineEdit* edit : {ui->PrDepEdit, ui->PrIdxEdit}) {
    edit->setValidator(fiveDigits);
    new TypingLimit(edit, kProgrammingDigits);
  }
  ui->RdDepEdit->setValidator(digits);
  ui->RdIdxEdit->setValidator(digits);

  ui->StartStopBtn->hide();
  ui->TracePrgrWin->hide();
  ui->ProgrTagBar->hide();

  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

void TMainWin::NameForScreenReaders() {
  NameBoxesByTheirLabels(this);
  const std::pair<QWidget*, const char*> names[] = {
      {ui->PrDepEdit, kPrDepName}, {ui->PrIdxEdit, kPrIdxName},      {ui->RdDepEdit, kRdDepName},
      {ui->RdIdxEdit, kRdIdxName}, {ui->ProgrTagBar, kProgressName},
  };
  for (const auto& [widget, name] : names) widget->setAccessibleName(QString::fromUtf8(name));
  // The accepted range stands beside the box; a screen reader hears it with the box.
  for (const auto& [edit, range] :
       {std::pair{ui->PrDepEdit, ui->PrDepRngLbl}, std::pair{ui->PrIdxEdit, ui->PrIdxRngLbl}}) {
    edit->setAccessibleDescription(range->text().remove(u'(').remove(u')'));
  }
  ShowUid(ui->PrUidLbl, ui->PrUidLbl->text());
  ShowUid(ui->RdUidLbl, ui->RdUidLbl->text());
}

void TMainWin::ShowUid(QLabel* label, const QString& uid) {
  label->setText(uid);
  const QString what = QString::fromUtf8(label == ui->PrUidLbl ? kPrUidName : kRdUidName);
  label->setAccessibleName(uid.isEmpty() ? what : what + QStringLiteral(": ") + uid);
}

// No message box follows a card programmed or read: the button the operator pressed, which
// has the focus, says the UID, and a screen reader speaks the change of its name.
void TMainWin::SayUid(QAbstractButton* pressed, const QString& uid) {
  if (uid.isEmpty()) {
    if (!pressed->accessibleName().isEmpty()) pressed->setAccessibleName(QString());
  } else {
    pressed->setAccessibleName(pressed->text() + QStringLiteral(", UID ") + uid);
  }
}

void TMainWin::NoxTimerTimer() {
  tickRunning = true;
  noxTimer->stop();
  if (PollProgrammer() != 0) RefreshIfChanged();
  noProgrammerReason.Update(ui->PrgrLbl, programmer.Platform(), Connected());
  if (!pollSuspended) SetTimerEnabled(pollEnabled);
  tickRunning = false;
}

int32_t TMainWin::PollProgrammer() { return PresentPoll(session.Poll()); }

int32_t TMainWin::PresentPoll(kp::PollResult result) {
  switch (result) {
    case kp::PollResult::StatusRead: return 0;
    case kp::PollResult::NoProgrammer: twoProgrammersArmed = true; return 0;
    case kp::PollResult::TwoProgrammers:
      if (twoProgrammersArmed) ShowError(kTwoProgrammersText);
      twoProgrammersArmed = false;
      return 0;
    case kp::PollResult::Linked: twoProgrammersArmed = true; return 1;
    case kp::PollResult::Dropped: break;
  }
  return -1;
}

void TMainWin::RefreshIfChanged() {
  const int32_t status = programmer.statusWord;
  if (status == lastShownStatus) return;
  RefreshStatusPanel();
  lastShownStatus = status;
}

void TMainWin::RefreshStatusPanel() {
  const bool connected = Connected();
  const uint16_t status = programmer.statusWord;
  const bool loggedIn = (status & kp::kStatusLoggedIn) != 0;
  const bool keys = kp::KeysLoaded(status);

  ui->PrgrLbl->setText(connected ? QString::asprintf("Programator KP-R50 Nr: %i, Soft: %i",
                                                     int{programmer.programmerNumber},
                                                     int{programmer.firmwareVersion})
                                 : QString::fromUtf8(kNoProgrammerText));
  QPalette palette = ui->PrgrLbl->palette();
  palette.setColor(QPalette::WindowText, connected
                                             ? QApplication::palette().color(QPalette::WindowText)
                                             : QColor(255, 0, 0));
  ui->PrgrLbl->setPalette(palette);

  const char* keyText = kNoKeysText;
  if (keys)
    keyText = (status & kp::kStatusTemporaryKeys) != 0 ? kTemporaryKeysText : kTargetKeysText;
  ui->KeyLbl->setText(QString::fromUtf8(keyText));
  ui->KeyLbl->setVisible(connected);

  if (keys) {
    scratchText = kp::HexWord32(programmer.keySignature);
    ui->SygnLbl->setText(QString::fromStdString(scratchText));
  } else {
    ui->SygnLbl->setText(QString::fromLatin1(kNoSignatureText));
  }
  ui->SygnLbl->setVisible(connected);

  for (QLabel* label : {ui->KeyTxtLbl, ui->SygnTxtLbl, ui->InfoLbl}) label->setEnabled(connected);

  changeMode = connected && loggedIn;
  ui->LoginBtn->setText(QString::fromUtf8(changeMode ? kChangePasswordText : kLoginText));
  ui->LoginBtn->setEnabled(connected);

  QWidget* const operatorControls[] = {
      ui->PrUidTxtLbl, ui->PrUidLbl,  ui->PrDepTxtLbl, ui->PrDepEdit,   ui->PrDepRngLbl,
      ui->PrIdxTxtLbl, ui->PrIdxEdit, ui->PrIdxRngLbl, ui->ClearTagBtn, ui->ProgrTagBtn,
      ui->RdUidTxtLbl, ui->RdUidLbl,  ui->RdDepTxtLbl, ui->RdDepEdit,   ui->RdIdxTxtLbl,
      ui->RdIdxEdit,   ui->ReadTagBtn};
  for (QWidget* control : operatorControls) control->setEnabled(connected);

  repaint();
}

void TMainWin::SuspendPolling() {
  pollSuspended = true;
  noxTimer->stop();
  // A tick still marked running sits in a nested message loop below us and cannot end
  // while we sleep, so the wait is bounded.
  for (int round = 0; tickRunning && round < kTickWaitRounds; ++round) {
    programmer.Platform().Sleep(kTickWaitMs);
  }
}

void TMainWin::ResumePolling() {
  pollSuspended = false;
  SetTimerEnabled(pollEnabled);
}

void TMainWin::StartStopBtnClick() {
  pollEnabled = !pollEnabled;
  SetTimerEnabled(pollEnabled);
}

void TMainWin::SetTimerEnabled(bool enabled) {
  if (!enabled) {
    noxTimer->stop();
  } else if (!noxTimer->isActive()) {
    noxTimer->start();
  }
}

void TMainWin::DropConnection() { session.Drop(); }

void TMainWin::DropIfLateReplyMayFollow() { session.EndAction(); }

void TMainWin::AnimateProgress(QProgressBar* bar) {
  kp::UsbPlatform& platform = programmer.Platform();
  bar->setMinimum(0);
  bar->setMaximum(kProgressSteps);
  bar->setVisible(true);
  for (int position = 0; position < kProgressSteps; ++position) {
    bar->setValue(position);
    bar->repaint();
    platform.Sleep(kProgressStepMs);
  }
  bar->setValue(kProgressSteps);
  bar->repaint();
  platform.Sleep(kProgressFullMs);
  bar->setVisible(false);
}

void TMainWin::UidToHex(const uint8_t* bytes, int count) {
  scratchText = kp::HexText({bytes, static_cast<size_t>(std::max(count, 0))});
}

void TMainWin::ShowError(const char* text) {
  ShowMessageBox(this, QMessageBox::Critical, QStringLiteral("Error"), QString::fromUtf8(text));
}

void TMainWin::ShowInfo(const char* text) {
  ShowMessageBox(this, QMessageBox::Information, QStringLiteral("Information"),
                 QString::fromUtf8(text));
}

void TMainWin::ShowNoConnection() { ShowError(kNoConnectionText); }

void TMainWin::closeEvent(QCloseEvent* event) {
  FormClose();
  QWidget::closeEvent(event);
}

void TMainWin::FormClose() { DropConnection(); }
