#include "app/Login.h"

#include "app/AppFonts.h"
#include "app/FormStyle.h"
#include "app/PasswordBox.h"
#include "ui_Login.h"

TLoginDlg::TLoginDlg(QWidget* owner) : QDialog(owner), ui(new Ui::TLoginDlg) {
  // The form file names its widget apart from the process-wide variable LoginDlg, which the
  // generated code would otherwise shadow; the window still carries the system's name.
  setObjectName(QStringLiteral("LoginDlg"));
  ui->setupUi(this);
  MakeFixedDialog(this, DialogFont());
  ui->InfoLbl->setFont(DialogFont(true));
  MakePasswordBox(ui->PassEdit);
  NameBoxesByTheirLabels(this);
  connect(ui->LoginBtn, &QPushButton::clicked, this, &QDialog::accept);
  FitCaptions(this);
}

TLoginDlg::~TLoginDlg() { delete ui; }

QLineEdit* TLoginDlg::PassEdit() const { return ui->PassEdit; }

void TLoginDlg::showEvent(QShowEvent* event) {
  ui->PassEdit->setFocus(Qt::OtherFocusReason);
  QDialog::showEvent(event);
}
