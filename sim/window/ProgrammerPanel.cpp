#include "sim/window/ProgrammerPanel.h"

#include "codepage/PasswordCodePage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStringList>

#include <algorithm>
#include <iterator>

namespace kp {

namespace {

// The longest stall of a set length and the longest delay the window offers.
constexpr int kMaxAnswerMs = 60000;

// Combo rows in the order of the firmware's states.
int KeysRow(KeyState keys) {
  switch (keys) {
    case KeyState::None: return 0;
    case KeyState::Target: return 1;
    case KeyState::Temporary: return 2;
  }
  return 0;
}

int PasswordRow(PasswordState password) {
  switch (password) {
    case PasswordState::None: return 0;
    case PasswordState::SetByAdministrator: return 1;
    case PasswordState::SetByUser: return 2;
  }
  return 0;
}

QString CardText(const VirtualKpR50& fw) {
  const QString uid = QString::fromStdString(sim::UidText(fw.CardUid()));
  switch (fw.Card()) {
    case CardKind::None: return QStringLiteral("brak karty");
    case CardKind::DesfireEmpty: return QStringLiteral("DESFire, pusta\nUID %1").arg(uid);
    case CardKind::DesfirePrepared:
      return QStringLiteral("DESFire, przygotowana (bez pliku)\nUID %1").arg(uid);
    case CardKind::DesfireWithFile: {
      const auto numbers = fw.CardNumbers();
      return QStringLiteral("DESFire, wydział %1, index %2\nUID %3")
          .arg(numbers ? numbers->first : 0)
          .arg(numbers ? numbers->second : 0)
          .arg(uid);
    }
    case CardKind::Foreign: return QStringLiteral("karta innego typu\nUID %1").arg(uid);
  }
  return {};
}

QLabel* Caption(const char* text) {
  auto* label = new QLabel(QString::fromUtf8(text));
  label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return label;
}

}  // namespace

ProgrammerPanel::ProgrammerPanel(SimRack& rack, int index, QWidget* parent)
    : QGroupBox(parent), rack_(rack), index_(index) {
  const SimProgrammer* p = rack_.Find(index);
  setTitle(QStringLiteral(" Programator %1, nr seryjny %2 ")
               .arg(index)
               .arg(p != nullptr ? QString::fromStdU16String(p->server.Serial()) : QString()));
  setObjectName(QStringLiteral("ProgrammerPanel%1").arg(index));
  auto* grid = new QGridLayout(this);
  AddStateRows(grid);
  AddCardRows(grid);
  AddAnswerRows(grid);
  AddFaultRows(grid);
  grid->setColumnStretch(2, 1);
  // A replaying programmer's answers come from its trace: only plugging it in and out is left,
  // and the model's state it does not use is greyed.
  if (p != nullptr && p->replay) {
    setTitle(title() + QStringLiteral("(odtwarza zapis) "));
    const QWidget* live[] = {pluggedChkBx_, clientLbl_, socketLbl_, lastLbl_, pollLbl_};
    for (QWidget* control : findChildren<QWidget*>()) {
      if (std::find(std::begin(live), std::end(live), control) == std::end(live)) {
        control->setEnabled(false);
      }
    }
  }
  Refresh();
}

// Rows 0-5: plugged in, the socket, keys, the user password and the login.
void ProgrammerPanel::AddStateRows(QGridLayout* grid) {
  pluggedChkBx_ = new QCheckBox(QStringLiteral("Podłączony"));
  pluggedChkBx_->setObjectName("PluggedChkBx");
  clientLbl_ = new QLabel;
  grid->addWidget(pluggedChkBx_, 0, 0);
  grid->addWidget(clientLbl_, 0, 1, 1, 3);

  socketLbl_ = new QLabel;
  socketLbl_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  grid->addWidget(Caption("Gniazdo:"), 1, 0);
  grid->addWidget(socketLbl_, 1, 1, 1, 3);

  keysCombo_ = new QComboBox;
  keysCombo_->setObjectName("KeysCombo");
  keysCombo_->addItems(
      {QStringLiteral("brak"), QStringLiteral("docelowe"), QStringLiteral("tymczasowe")});
  grid->addWidget(Caption("Klucze:"), 2, 0);
  grid->addWidget(keysCombo_, 2, 1, 1, 3);

  passwordCombo_ = new QComboBox;
  passwordCombo_->setObjectName("PasswordCombo");
  passwordCombo_->addItems({QStringLiteral("brak"), QStringLiteral("nadane przez administratora"),
                            QStringLiteral("ustawione przez użytkownika")});
  grid->addWidget(Caption("Hasło użytkownika:"), 3, 0);
  grid->addWidget(passwordCombo_, 3, 1, 1, 3);

  passwordEdit_ = new QLineEdit;
  passwordEdit_->setObjectName("PasswordEdit");
  passwordEdit_->setMaxLength(kPasswordMaxLength);
  auto* setPasswordBtn = new QPushButton(QStringLiteral("Ustaw"));
  grid->addWidget(Caption("Hasło:"), 4, 0);
  grid->addWidget(passwordEdit_, 4, 1, 1, 2);
  grid->addWidget(setPasswordBtn, 4, 3);

  loggedInChkBx_ = new QCheckBox(QStringLiteral("zalogowany"));
  loggedInChkBx_->setObjectName("LoggedInChkBx");
  grid->addWidget(Caption("Użytkownik:"), 5, 0);
  grid->addWidget(loggedInChkBx_, 5, 1, 1, 3);

  connect(pluggedChkBx_, &QCheckBox::toggled, this, [this](bool on) {
    if (on) {
      rack_.Plug(index_);
    } else {
      rack_.Unplug(index_);
    }
    Refresh();
  });
  connect(keysCombo_, &QComboBox::activated, this, [this](int row) {
    static constexpr KeyState kRows[] = {KeyState::None, KeyState::Target, KeyState::Temporary};
    rack_.SetKeys(index_, kRows[row < 0 || row > 2 ? 0 : row]);
  });
  connect(passwordCombo_, &QComboBox::activated, this, [this] { ApplyPassword(); });
  connect(setPasswordBtn, &QPushButton::clicked, this, [this] { ApplyPassword(); });
  connect(passwordEdit_, &QLineEdit::returnPressed, this, [this] { ApplyPassword(); });
  connect(loggedInChkBx_, &QCheckBox::toggled, this,
          [this](bool on) { rack_.SetLoggedIn(index_, on); });
}

// Rows 6-8: the card in the field and the buttons that place one.
void ProgrammerPanel::AddCardRows(QGridLayout* grid) {
  cardLbl_ = new QLabel;
  cardLbl_->setObjectName("CardLbl");
  QFont bold = cardLbl_->font();
  bold.setBold(true);
  cardLbl_->setFont(bold);
  cardLbl_->setMinimumHeight(2 * cardLbl_->fontMetrics().height() + 10);
  grid->addWidget(Caption("Karta w polu:"), 6, 0, Qt::AlignRight | Qt::AlignTop);
  grid->addWidget(cardLbl_, 6, 1, 1, 3);

  auto* emptyBtn = new QPushButton(QStringLiteral("Połóż pustą DESFire"));
  auto* foreignBtn = new QPushButton(QStringLiteral("Połóż kartę innego typu"));
  auto* removeBtn = new QPushButton(QStringLiteral("Zdejmij kartę"));
  emptyBtn->setObjectName("EmptyCardBtn");
  foreignBtn->setObjectName("ForeignCardBtn");
  removeBtn->setObjectName("RemoveCardBtn");
  auto* cardRow = new QHBoxLayout;
  cardRow->addWidget(emptyBtn);
  cardRow->addWidget(foreignBtn);
  cardRow->addWidget(removeBtn);
  grid->addLayout(cardRow, 7, 0, 1, 4);

  depSpin_ = new QSpinBox;
  idxSpin_ = new QSpinBox;
  depSpin_->setObjectName("DepSpin");
  idxSpin_->setObjectName("IdxSpin");
  depSpin_->setRange(0, 99999);
  idxSpin_->setRange(0, 99999);
  depSpin_->setValue(1);
  idxSpin_->setValue(1);
  auto* programmedBtn = new QPushButton(QStringLiteral("Połóż zaprogramowaną"));
  programmedBtn->setObjectName("ProgrammedCardBtn");
  auto* numbersRow = new QHBoxLayout;
  numbersRow->addWidget(new QLabel(QStringLiteral("Wydział:")));
  numbersRow->addWidget(depSpin_);
  numbersRow->addWidget(new QLabel(QStringLiteral("Index:")));
  numbersRow->addWidget(idxSpin_);
  numbersRow->addWidget(programmedBtn);
  grid->addLayout(numbersRow, 8, 0, 1, 4);

  connect(emptyBtn, &QPushButton::clicked, this, [this] { PlaceCard(CardSetupKind::Empty); });
  connect(foreignBtn, &QPushButton::clicked, this, [this] { PlaceCard(CardSetupKind::Foreign); });
  connect(removeBtn, &QPushButton::clicked, this, [this] { PlaceCard(CardSetupKind::None); });
  connect(programmedBtn, &QPushButton::clicked, this,
          [this] { PlaceCard(CardSetupKind::Programmed); });
}

// Rows 9-12: the last request, the status polls, and a hung or slow programmer.
void ProgrammerPanel::AddAnswerRows(QGridLayout* grid) {
  lastLbl_ = new QLabel(QStringLiteral("—"));
  lastLbl_->setObjectName("LastRequestLbl");
  lastLbl_->setWordWrap(true);
  lastLbl_->setMinimumHeight(2 * lastLbl_->fontMetrics().height() + 4);
  lastLbl_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  grid->addWidget(Caption("Ostatni rozkaz:"), 9, 0, Qt::AlignRight | Qt::AlignTop);
  grid->addWidget(lastLbl_, 9, 1, 1, 3);
  pollLbl_ = new QLabel;
  grid->addWidget(Caption("Odczyty statusu:"), 10, 0);
  grid->addWidget(pollLbl_, 10, 1, 1, 3);

  // A hung or slow programmer, for training and for the tool's failure paths.
  stalledChkBx_ = new QCheckBox(QStringLiteral("wstrzymane"));
  stalledChkBx_->setObjectName("StalledChkBx");
  stallSpin_ = new QSpinBox;
  stallSpin_->setObjectName("StallSpin");
  stallSpin_->setRange(1, kMaxAnswerMs);
  stallSpin_->setValue(2000);
  stallSpin_->setSuffix(QStringLiteral(" ms"));
  auto* stallForBtn = new QPushButton(QStringLiteral("Wstrzymaj na"));
  stallForBtn->setObjectName("StallForBtn");
  auto* stallRow = new QHBoxLayout;
  stallRow->addWidget(stalledChkBx_);
  stallRow->addWidget(stallForBtn);
  stallRow->addWidget(stallSpin_);
  grid->addWidget(Caption("Odpowiedzi:"), 11, 0);
  grid->addLayout(stallRow, 11, 1, 1, 3);
  delaySpin_ = new QSpinBox;
  delaySpin_->setObjectName("DelaySpin");
  delaySpin_->setRange(0, kMaxAnswerMs);
  delaySpin_->setSuffix(QStringLiteral(" ms"));
  delaySpin_->setKeyboardTracking(false);  // one change per value, not per digit typed
  grid->addWidget(Caption("Opóźnienie odpowiedzi:"), 12, 0);
  grid->addWidget(delaySpin_, 12, 1, 1, 3);

  connect(stalledChkBx_, &QCheckBox::toggled, this, [this](bool on) {
    if (on) {
      rack_.Stall(index_, 0);
    } else {
      rack_.Resume(index_);
    }
  });
  connect(stallForBtn, &QPushButton::clicked, this,
          [this] { rack_.Stall(index_, stallSpin_->value()); });
  connect(delaySpin_, &QSpinBox::valueChanged, this,
          [this](int ms) { rack_.SetDelay(index_, ms); });
}

// Rows 13-14: one failure at a chosen request: the kind, the command, which of its
// requests, and for a delay how late.
void ProgrammerPanel::AddFaultRows(QGridLayout* grid) {
  faultKindCombo_ = new QComboBox;
  faultKindCombo_->setObjectName("FaultKindCombo");
  for (const char* text :
       {"zerwanie przed rozkazem", "zerwanie po rozkazie", "karta odchodzi",
        "karta zamieniona na pustą", "brak odpowiedzi", "opóźnienie", "podwójna odpowiedź",
        "odpowiedź o złej długości", "odpowiedź nieczytelna"}) {
    faultKindCombo_->addItem(QString::fromUtf8(text));
  }
  faultCommandCombo_ = new QComboBox;
  faultCommandCombo_->setObjectName("FaultCommandCombo");
  for (uint8_t command :
       {sim::kCmdCardInfo, sim::kCmdPrepareCard, sim::kCmdWriteFile, sim::kCmdReadFile,
        sim::kCmdEraseCard, sim::kCmdLogin, sim::kCmdChangePassword, sim::kCmdChallenge,
        sim::kCmdLogout, sim::kCmdStatus, sim::kCmdKeySignature}) {
    faultCommandCombo_->addItem(QString::fromStdString(sim::CommandText(command)), command);
  }
  faultNthSpin_ = new QSpinBox;
  faultNthSpin_->setObjectName("FaultNthSpin");
  faultNthSpin_->setRange(1, 999);
  faultNthSpin_->setPrefix(QStringLiteral("nr "));
  faultMsSpin_ = new QSpinBox;
  faultMsSpin_->setObjectName("FaultMsSpin");
  faultMsSpin_->setRange(0, kMaxAnswerMs);
  faultMsSpin_->setValue(3000);
  faultMsSpin_->setSuffix(QStringLiteral(" ms"));
  auto* armBtn = new QPushButton(QStringLiteral("Uzbrój"));
  armBtn->setObjectName("ArmFaultBtn");
  // As wide as their longest item: a squeezed row would cut them ("zerwanie przec").
  for (QComboBox* combo : {faultKindCombo_, faultCommandCombo_}) {
    combo->setMinimumWidth(combo->sizeHint().width());
  }
  auto* faultRow = new QHBoxLayout;
  faultRow->addWidget(faultKindCombo_);
  faultRow->addWidget(faultCommandCombo_);
  faultRow->addWidget(faultNthSpin_);
  faultRow->addWidget(faultMsSpin_);
  faultRow->addWidget(armBtn);
  grid->addWidget(Caption("Awaria:"), 13, 0);
  grid->addLayout(faultRow, 13, 1, 1, 3);
  faultLbl_ = new QLabel;
  faultLbl_->setObjectName("FaultLbl");
  grid->addWidget(faultLbl_, 14, 1, 1, 3);
  connect(armBtn, &QPushButton::clicked, this, [this] { ArmFault(); });
  connect(faultKindCombo_, &QComboBox::currentIndexChanged, this,
          [this](int row) { faultMsSpin_->setEnabled(row == 5); });
  faultMsSpin_->setEnabled(false);
}

void ProgrammerPanel::ApplyPassword() {
  static constexpr PasswordState kRows[] = {PasswordState::None, PasswordState::SetByAdministrator,
                                            PasswordState::SetByUser};
  const int row = passwordCombo_->currentIndex();
  const PasswordState state = kRows[row < 0 || row > 2 ? 0 : row];
  if (!rack_.SetPassword(index_, {state, passwordEdit_->text().toStdString()})) {
    passwordEdit_->setPlaceholderText(QStringLiteral("1 do 20 znaków Windows-1250"));
  }
  shownPasswordState_ = -1;  // show what the programmer took, or put back what it has
  Refresh();
}

void ProgrammerPanel::ArmFault() {
  static constexpr FaultKind kRows[] = {
      FaultKind::DropBefore,  FaultKind::DropAfter,   FaultKind::CardLeave,
      FaultKind::CardSwap,    FaultKind::Stall,       FaultKind::Delay,
      FaultKind::AnswerTwice, FaultKind::WrongLength, FaultKind::Garbage};
  const int row = faultKindCombo_->currentIndex();
  FirmwareFault fault;
  fault.kind = kRows[row < 0 || row >= static_cast<int>(std::size(kRows)) ? 0 : row];
  fault.command = static_cast<uint8_t>(faultCommandCombo_->currentData().toUInt());
  fault.nth = static_cast<uint32_t>(faultNthSpin_->value());
  fault.delayMs = fault.kind == FaultKind::Delay ? static_cast<uint64_t>(faultMsSpin_->value()) : 0;
  rack_.ArmFault(index_, fault);
}

void ProgrammerPanel::PlaceCard(CardSetupKind kind) {
  rack_.SetCard(index_, {kind, depSpin_->value(), idxSpin_->value()});
}

void ProgrammerPanel::Refresh() {
  SimProgrammer* p = rack_.Find(index_);
  if (p == nullptr) return;
  const VirtualKpR50& fw = p->firmware;
  {
    const QSignalBlocker block(pluggedChkBx_);
    pluggedChkBx_->setChecked(p->server.Plugged());
  }
  clientLbl_->setText(!p->server.Plugged()    ? QStringLiteral("Klient: —")
                      : p->server.HasClient() ? QStringLiteral("Klient: program połączony")
                                              : QStringLiteral("Klient: brak"));
  const QString path = QString::fromStdString(p->server.SocketPath());
  socketLbl_->setText(p->server.Plugged() ? QFileInfo(path).fileName() : QStringLiteral("—"));
  socketLbl_->setToolTip(path);
  if (keysCombo_->currentIndex() != KeysRow(fw.Keys())) {
    const QSignalBlocker block(keysCombo_);
    keysCombo_->setCurrentIndex(KeysRow(fw.Keys()));
  }
  const int passwordRow = PasswordRow(fw.Password());
  const QString password = QString::fromStdString(p->passwordText);
  if (passwordRow != shownPasswordState_ || password != shownPassword_) {
    const QSignalBlocker block(passwordCombo_);
    passwordCombo_->setCurrentIndex(passwordRow);
    passwordEdit_->setText(password);
    passwordEdit_->setPlaceholderText(fw.Password() == PasswordState::SetByUser
                                          ? QStringLiteral("(zmienione w programie)")
                                          : QString());
    shownPasswordState_ = passwordRow;
    shownPassword_ = password;
  }
  {
    const QSignalBlocker block(loggedInChkBx_);
    loggedInChkBx_->setChecked(fw.LoggedIn());
  }
  cardLbl_->setText(CardText(fw));
  lastLbl_->setText(p->lastRequest ? QString::fromStdString(sim::RequestSentence(*p->lastRequest))
                                   : QStringLiteral("—"));
  pollLbl_->setText(QString::number(p->pollRequests));
  {
    const QSignalBlocker block(stalledChkBx_);
    stalledChkBx_->setChecked(fw.Silent());
  }
  // A script may have armed several beside one another: all of them, first armed first.
  QStringList armed;
  for (const FirmwareFault& fault : fw.ArmedFaults()) {
    armed << QString::fromStdString(sim::FaultText(fault));
  }
  faultLbl_->setText(!armed.isEmpty()
                         ? QStringLiteral("czeka: %1").arg(armed.join(QStringLiteral("; ")))
                         : QStringLiteral("brak awarii w oczekiwaniu"));
  if (delaySpin_->value() != static_cast<int>(fw.LateMs())) {
    const QSignalBlocker block(delaySpin_);
    delaySpin_->setValue(static_cast<int>(fw.LateMs()));
  }
}

}  // namespace kp
