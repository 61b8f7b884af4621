// Answers the modal windows that a call under test opens: a short timer looks for
// QApplication::activeModalWidget(), records what the window showed, acts on it as the test
// arranged, and makes sure it is closed. Arm it before the call; assert on Records() after the
// call returns (never inside the timer, or a failing check would leave the window open).
//
//   kp::test::ModalCloser closer;
//   closer.PressOk();
//   win->ShowError("...");
//   QCOMPARE(closer.Records().size(), 1);
//
// Windows beyond the arranged answers are closed as well (message boxes with their button,
// dialogs with reject()) and recorded, so a surprise shows up as an extra record, not a hang.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include "FormTestSupport.h"
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <deque>
#include <functional>
#include <utility>

namespace kp::test {

struct ModalRecord {
  QString className;  // "QMessageBox", "TLoginDlg", "TChngPassDlg", ...
  QString objectName;
  QString title;
  QString text;  // a message box's text; a password-change dialog's heading (DescrLbl)
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList buttons;         // a message box's button texts
  QString pressed;             // the button pressed (its text), or "reject"
  bool buttonEnabled = false;  // the dialog's button was enabled when it was to be pressed
  QRect geometry;              // where the window was shown
  QStringList boxTexts;        // a dialog's password boxes as it was shown, in tab order
  bool busyCursor = false;     // the wait cursor showed while the window was open
  bool keepOpen = false;       // the answer left the window open: it acts on it later
};

class ModalCloser : public QObject {
 public:
  // Acts on the window and fills in what it did; the window need not be closed by it.
  using Answer = std::function<void(QWidget* window, ModalRecord& record)>;

  explicit ModalCloser(int pollMs = 5) {
    timer_.setInterval(pollMs);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_.start();
  }

  // A message box: press its OK (or only) button.
  ModalCloser& PressOk() { return Then(OkAnswer()); }

  // The login dialog: type the password into PassEdit and press LoginBtn.
  ModalCloser& AnswerLogin(const QString& password) {
    return Then([password](QWidget* window, ModalRecord& record) {
      Type(window, "PassEdit", password);
      Press(window, "LoginBtn", record);
    });
  }

  // The password-change dialog: type the three entries and press ChngPassBtn, which does
  // nothing while it is disabled (the closer then rejects the dialog).
  ModalCloser& AnswerChangePassword(const QString& oldPassword, const QString& newPassword,
                                    const QString& repeated) {
    return AnswerChange(oldPassword, newPassword, repeated, false);
  }

  // The same, but ChngPassBtn is pressed from the dialog's own event loop, so that what the
  // press opens is answered like any window and the dialog, should it stay open, comes round
  // again for the next answer.
  ModalCloser& AnswerChangePasswordLater(const QString& oldPassword, const QString& newPassword,
                                         const QString& repeated) {
    return AnswerChange(oldPassword, newPassword, repeated, true);
  }

  // Any dialog: close it as its window frame would.
  ModalCloser& Reject() {
    return Then([](QWidget* window, ModalRecord& record) {
      if (auto* dialog = qobject_cast<QDialog*>(window)) {
        record.pressed = QStringLiteral("reject");
        dialog->reject();
      }
    });
  }

  // Runs `hook` while the next window is open (it sees the world from inside the nested
  // loop), then answers the window with `answer`.
  ModalCloser& While(std::function<void()> hook, Answer answer = OkAnswer()) {
    return Then([hook = std::move(hook), answer = std::move(answer)](QWidget* w, ModalRecord& r) {
      hook();
      answer(w, r);
    });
  }

  // Presses a message box's OK (or only) button.
  static Answer OkAnswer() {
    return [](QWidget* window, ModalRecord& record) {
      auto* box = qobject_cast<QMessageBox*>(window);
      if (!box) return;
      QAbstractButton* ok = box->button(QMessageBox::Ok);
      if (!ok && !box->buttons().isEmpty()) ok = box->buttons().first();
      if (!ok) return;
      record.pressed = ok->text();
      ok->click();
    };
  }

  // Waits this long (real time) before answering each window.
  void SetDelayMs(int ms) { delayMs_ = ms; }

  ModalCloser& Then(Answer answer) {
    answers_.push_back(std::move(answer));
    return *this;
  }

  const QList<ModalRecord>& Records() const { return records_; }
  int Unanswered() const { return static_cast<int>(answers_.size()); }

 private:
  ModalCloser& AnswerChange(const QString& oldPassword, const QString& newPassword,
                            const QString& repeated, bool later) {
    return Then([=](QWidget* window, ModalRecord& record) {
      Type(window, "OldPassEdit", oldPassword);
      Type(window, "NewPass1Edit", newPassword);
      Type(window, "NewPass2Edit", repeated);
      auto* button = window->findChild<QPushButton*>(QStringLiteral("ChngPassBtn"));
      if (!later || button == nullptr) {
        Press(window, "ChngPassBtn", record);
        return;
      }
      record.buttonEnabled = button->isEnabled();
      record.pressed = button->text();
      record.keepOpen = true;
      QTimer::singleShot(0, button, [button] { QTest::mouseClick(button, Qt::LeftButton); });
    });
  }

  static void Type(QWidget* window, const char* name, const QString& text) {
    if (auto* edit = window->findChild<QLineEdit*>(QLatin1String(name))) {
      edit->clear();
      TypeText(edit, text);
    }
  }

  static void Press(QWidget* window, const char* name, ModalRecord& record) {
    if (auto* button = window->findChild<QPushButton*>(QLatin1String(name))) {
      record.buttonEnabled = button->isEnabled();
      if (button->isEnabled()) {
        record.pressed = button->text();
        QTest::mouseClick(button, Qt::LeftButton);
      }
    }
  }

  void Poll() {
    if (busy_) return;
    QWidget* window = QApplication::activeModalWidget();
    if (!window || !window->isVisible()) return;
    if (delayMs_ > 0 && seen_ != window) {
      seen_ = window;
      QTimer::singleShot(delayMs_, this, [this] { delayed_ = true; });
      delayed_ = false;
      return;
    }
    if (delayMs_ > 0 && !delayed_) return;
    busy_ = true;
    seen_ = nullptr;
    records_.append(Describe(window));
    ModalRecord& record = records_.last();
    if (!answers_.empty()) {
      Answer answer = std::move(answers_.front());
      answers_.pop_front();
      answer(window, record);
    }
    if (window->isVisible() && !record.keepOpen) Dismiss(window, record);
    busy_ = false;
  }

  static ModalRecord Describe(QWidget* window) {
    ModalRecord record;
    record.className = QString::fromLatin1(window->metaObject()->className());
    record.objectName = window->objectName();
    record.title = window->windowTitle();
    record.geometry = window->geometry();
    const QCursor* cursor = QApplication::overrideCursor();
    record.busyCursor = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
    if (auto* box = qobject_cast<QMessageBox*>(window)) {
      record.text = box->text();
      record.icon = box->icon();
      for (QAbstractButton* button : box->buttons()) record.buttons << button->text();
    }
    if (auto* heading = window->findChild<QLabel*>(QStringLiteral("DescrLbl"))) {
      record.text = heading->text();
    }
    for (const char* name : {"PassEdit", "OldPassEdit", "NewPass1Edit", "NewPass2Edit"}) {
      if (auto* edit = window->findChild<QLineEdit*>(QLatin1String(name))) {
        record.boxTexts << edit->text();
      }
    }
    return record;
  }

  static void Dismiss(QWidget* window, ModalRecord& record) {
    if (auto* box = qobject_cast<QMessageBox*>(window)) {
      if (!box->buttons().isEmpty()) {
        if (record.pressed.isEmpty()) record.pressed = box->buttons().first()->text();
        box->buttons().first()->click();
        return;
      }
    }
    if (auto* dialog = qobject_cast<QDialog*>(window)) {
      record.pressed = QStringLiteral("reject");
      dialog->reject();
      return;
    }
    window->close();
  }

  QTimer timer_;
  std::deque<Answer> answers_;
  QList<ModalRecord> records_;
  bool busy_ = false;
  int delayMs_ = 0;
  QWidget* seen_ = nullptr;
  bool delayed_ = false;
};

}  // namespace kp::test
