// The login dialog: asks for the user password. It holds no logic; the main window reads
// the box after an OK and empties it after every showing.
#pragma once

#include <QDialog>

class QLineEdit;

namespace Ui {
class TLoginDlg;
}

class TLoginDlg : public QDialog {
  Q_OBJECT

 public:
  explicit TLoginDlg(QWidget* owner = nullptr);
  ~TLoginDlg() override;

  QLineEdit* PassEdit() const;

 protected:
  // Every showing starts in the password box, wherever the focus was when it last closed.
  void showEvent(QShowEvent* event) override;

 private:
  Ui::TLoginDlg* ui;
};
