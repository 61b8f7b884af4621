#include "app/Chngpass.h"

#include "app/AppFonts.h"
#include "app/FormStyle.h"
#include "app/MessageBox.h"
#include "app/PasswordBox.h"
#include "codepage/PasswordCodePage.h"
#include "programmer/OperatorTexts.h"
#include "ui_Chngpass.h"

#include <string_view>

TChngPassDlg::TChngPassDlg(QWidget* owner) : QDialog(owner), ui(new Ui::TChngPassDlg) {
  // The form file names its widget apart from the process-wide variable ChngPassDlg, which the
  // generated code would otherwise shadow; the window still carries the system's name.
  setObjectName(QStringLiteral("ChngPassDlg"));
  ui->setupUi(this);
  MakeFixedDialog(this, DialogFont());
  NameBoxesByTheirLabels(this);
  // The length rule stands beside the new password; a screen reader hears it with the box.
  ui->NewPass1Edit->setAccessibleDescription(ui->Label3->text().remove(u'(').remove(u')'));
  ui->DescrLbl->setFont(DialogFont(true));
  for (QLineEdit* box : {ui->OldPassEdit, ui->NewPass1Edit, ui->NewPass2Edit}) {
    MakePasswordBox(box);
    connect(box, &QLineEdit::textChanged, this, &TChngPassDlg::OldPassEditChange);
  }
  connect(ui->ChngPassBtn, &QPushButton::clicked, this, &TChngPassDlg::ChngPassBtnClick);
  FitCaptions(this,
              {{ui->DescrLbl,
                {QString::fromUtf8(kForcedChangeHeading), QString::fromUtf8(kChangeHeading)}}});
}

TChngPassDlg::~TChngPassDlg() { delete ui; }

QLineEdit* TChngPassDlg::OldPassEdit() const { return ui->OldPassEdit; }
QLineEdit* TChngPassDlg::NewPass1Edit() const { return ui->NewPass1Edit; }
QLineEdit* TChngPassDlg::NewPass2Edit() const { return ui->NewPass2Edit; }
QLabel* TChngPassDlg::DescrLbl() const { return ui->DescrLbl; }

void TChngPassDlg::showEvent(QShowEvent* event) {
  ui->OldPassEdit->setFocus(Qt::OtherFocusReason);
  QDialog::showEvent(event);
}

void TChngPassDlg::OldPassEditChange() {
  // Lengths count UTF-16 code units; the comparison is exact, case and blanks included.
  if (ui->OldPassEdit->text().size() < kPasswordMinLength ||
      ui->NewPass1Edit->text().size() < kPasswordMinLength) {
    ui->ChngPassBtn->setEnabled(false);
    return;
  }
  ui->ChngPassBtn->setEnabled(ui->NewPass1Edit->text() == ui->NewPass2Edit->text());
}

void TChngPassDlg::ChngPassBtnClick() {
  const QString password = ui->NewPass1Edit->text();  // shares the box's text, no copy
  const std::u32string lacking = kp::UnrepresentableCharacters(std::u16string_view(
      reinterpret_cast<const char16_t*>(password.utf16()), static_cast<size_t>(password.size())));
  if (lacking.empty()) {
    accept();
    return;
  }
  ShowMessageBox(this, QMessageBox::Critical, QStringLiteral("Error"),
                 QString::fromStdString(kp::UnrepresentablePasswordText(lacking)));
  ui->NewPass1Edit->setFocus(Qt::OtherFocusReason);
}
