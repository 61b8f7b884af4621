// The password-change dialog: the old password and, twice, the new one. Its button is
// enabled only while the entries satisfy the password rule; the main window sets the
// heading, reads the boxes after an OK and empties them after every showing.
#pragma once

#include "codepage/PasswordCodePage.h"

#include <QDialog>

class QLabel;
class QLineEdit;

namespace Ui {
class TChngPassDlg;
}

// The headings the main window gives the dialog: a change the administrator's password forces,
// and one the user asked for.
inline constexpr const char* kForcedChangeHeading = "Wymagana zmiana hasła";
inline constexpr const char* kChangeHeading = "Zmiana hasła Użytkownika";

// Shortest password the rule accepts; the boxes take at most 20 characters.
inline constexpr int kPasswordMinLength = kp::kNewPasswordMinLength;

class TChngPassDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TChngPassDlg(QWidget* owner = nullptr);
  ~TChngPassDlg() override;

  QLineEdit* OldPassEdit() const;
  QLineEdit* NewPass1Edit() const;
  QLineEdit* NewPass2Edit() const;
  QLabel* DescrLbl() const;

 public slots:
  // The password rule; runs after every change of any of the three boxes, typed or set.
  void OldPassEditChange();
  // Accepts the dialog, unless the new password holds a character the programmer's 8-bit
  // text cannot carry exactly: then it says which, and the dialog stays open.
  void ChngPassBtnClick();

 protected:
  // Every showing starts in the old-password box, wherever the focus was when it last closed.
  void showEvent(QShowEvent* event) override;

 private:
  Ui::TChngPassDlg* ui;
};
