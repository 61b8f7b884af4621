// Typed passwords never reach assistive technology: each of the four password boxes is typed
// into, edited and cleared with accessibility on, and no event the application emits holds a
// character of the password. GoogleTest over a plain QApplication, so that the Windows build
// runs the same cases under Wine (UI Automation takes its events from the same place).
#include "AccessibleEventLog.h"
#include "app/Chngpass.h"
#include "app/Login.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>

#include <functional>
#include <memory>

namespace {

using kp::test::AccessibleEventLog;
using kp::test::AccessibleRecord;

constexpr QChar kBullet{0x2022};

// The characters of a password, one keystroke each, as the keyboard delivers them.
void Type(QLineEdit* box, const QString& text) {
  for (const QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QCoreApplication::sendEvent(box, &press);
  }
}

void Press(QLineEdit* box, Qt::Key key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QCoreApplication::sendEvent(box, &press);
}

// Typing, a correction, typing over a selection and clearing: every way Qt reports a change.
void WorkTheBox(QLineEdit* box, const QString& password) {
  Type(box, password);
  Press(box, Qt::Key_Backspace);
  Press(box, Qt::Key_Home);
  Press(box, Qt::Key_Delete);
  box->selectAll();
  Type(box, password.left(3));
  box->setText(password);
  Type(box, password.right(2));
  box->clear();
}

QString Leaked(const QString& password, const QString& heard) {
  QString leaked;
  for (const QChar c : heard) {
    if (password.contains(c) && !leaked.contains(c)) leaked += c;
  }
  return leaked;
}

class PasswordEvents : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
#ifndef _WIN32
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    static int argc = 1;
    static char name[] = "kp_password_events";
    static char* argv[] = {name, nullptr};
    application = std::make_unique<QApplication>(argc, argv);
    started = AccessibleEventLog::Start();
    login = std::make_unique<TLoginDlg>();
    change = std::make_unique<TChngPassDlg>();
  }
  static void TearDownTestSuite() {
    login.reset();
    change.reset();
    application.reset();
  }

  static inline std::unique_ptr<QApplication> application;
  static inline bool started = false;
  static inline std::unique_ptr<TLoginDlg> login;
  static inline std::unique_ptr<TChngPassDlg> change;
};

TEST_F(PasswordEvents, NoEventHoldsACharacterOfThePassword) {
  ASSERT_TRUE(started) << "accessibility could not be switched on";
  const struct {
    const char* name;
    std::function<QLineEdit*()> box;
    const char16_t* password;
  } rows[] = {
      {"PassEdit", [] { return login->PassEdit(); }, u"admin123"},
      {"OldPassEdit", [] { return change->OldPassEdit(); }, u"admin123"},
      {"NewPass1Edit", [] { return change->NewPass1Edit(); }, u"noweHaslo1"},
      {"NewPass2Edit", [] { return change->NewPass2Edit(); }, u"Zażółć-Gęślą7"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    QLineEdit* box = row.box();
    const QString password = QString::fromUtf16(row.password);
    AccessibleEventLog::Clear();
    WorkTheBox(box, password);

    QString inserted;
    QString removed;
    for (const AccessibleRecord& record : AccessibleEventLog::Records()) {
      EXPECT_EQ(Leaked(password, record.carried), QString())
          << "event " << record.type << " carries \"" << record.carried.toStdString() << '"';
      if (record.object != box) continue;
      inserted += record.inserted;
      removed += record.removed;
    }
    // Every character put into the box and taken out is told, as a bullet: the password,
    // three typed over the selection, the password again and two more.
    const qsizetype count = 2 * password.size() + 3 + 2;
    EXPECT_EQ(inserted, QString(count, kBullet));
    EXPECT_EQ(removed, QString(count, kBullet));

    // What a client reads from the box itself while it holds the password.
    box->setText(password);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(box);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(Leaked(password, accessible->text(QAccessible::Value)), QString());
    ASSERT_NE(accessible->textInterface(), nullptr);
    EXPECT_EQ(Leaked(password, accessible->textInterface()->text(0, password.size())), QString());
    box->clear();
  }
}

// The log hears what a box that shows its text says: the check above can fail.
TEST_F(PasswordEvents, AnOrdinaryBoxIsHeardInFull) {
  ASSERT_TRUE(started);
  QLineEdit plain;
  AccessibleEventLog::Clear();
  Type(&plain, QStringLiteral("admin123"));
  plain.clear();
  QString heard;
  for (const AccessibleRecord& record : AccessibleEventLog::Records()) {
    if (record.object == &plain) heard += record.carried;
  }
  EXPECT_EQ(heard, QStringLiteral("admin123admin123"));
}

}  // namespace
