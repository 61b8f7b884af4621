// The three forms as the operator sees them: components, captions, geometry, limits, echo,
// tab order, the password rule of the change dialog, and how the dialogs close.
#include "app/AppFonts.h"
#include "app/Chngpass.h"
#include "FormTestSupport.h"
#include "app/KoderApplication.h"
#include "app/Login.h"
#include "ModalCloser.h"
#include "app/Wmain.h"
#include "platform/virtual/VirtualBus.h"

#include <QAccessible>
#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QHash>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

using kp::test::Caption;
using kp::test::ModalCloser;

namespace {

constexpr int kLeft = Qt::AlignLeft;
constexpr int kRight = Qt::AlignRight;
constexpr int kCentre = Qt::AlignHCenter;
constexpr int kSizedByText = -1;

const char* const kInfoText =
    "Programator KP-R50 potrafi programować, kasować i czytać karty z danej instalacji.\n"
    "Przy kluczach tymczasowych programator potrafi kasować karty zaprogramowane dowolnymi "
    "kluczami tymczasowymi.";

}  // namespace

class FormsTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<kp::VirtualBus> bus;
  TMainWin* mainWin = nullptr;
  TLoginDlg* login = nullptr;
  TChngPassDlg* change = nullptr;

  QWidget* Form(const QString& name) const {
    if (name == QLatin1String("LoginDlg")) return login;
    if (name == QLatin1String("ChngPassDlg")) return change;
    return mainWin;
  }
  QPushButton* ChangeButton() const {
    return change->findChild<QPushButton*>(QStringLiteral("ChngPassBtn"));
  }

 private slots:
  void initTestCase() { RegisterApplicationFonts(); }

  void init() {
    bus = std::make_unique<kp::VirtualBus>();
    mainWin = new TMainWin(*bus);
    login = new TLoginDlg(mainWin);
    change = new TChngPassDlg(mainWin);
  }

  void cleanup() {
    const QStringList visible = kp::test::VisibleWindows();
    delete mainWin;
    mainWin = nullptr;
    bus.reset();
    QVERIFY2(visible.isEmpty(), qPrintable(visible.join(u',')));
  }

  void layout_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("alignment");
    QTest::addColumn<bool>("hidden");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("pixels");
    QTest::addColumn<bool>("bold");
    auto row = [](const char* form, const char* name, const char* kind, const char* parent,
                  QRect geometry, const char* caption, int alignment, int pixels, bool bold = false,
                  bool hidden = false, bool enabled = true) {
      QTest::addRow("%s.%s", form, name)
          << QString::fromLatin1(form) << QString::fromLatin1(kind) << QString::fromLatin1(parent)
          << geometry << QString::fromUtf8(caption) << alignment << hidden << enabled << pixels
          << bold;
    };
    const char* w = "MainWin";
    row(w, "PrgrLbl", "QLabel", w, {72, 24, 369, 20}, "", kCentre, 16);
    row(w, "KeyTxtLbl", "QLabel", w, {96, 56, 212, 16}, "Klucze w programatorze KP-R50:", kRight,
        11);
    row(w, "KeyLbl", "QLabel", w, {312, 56, 97, 16}, "", kLeft, 13, true);
    row(w, "SygnTxtLbl", "QLabel", w, {192, 80, 116, 16}, "Sygnatura kluczy:", kRight, 11);
    row(w, "SygnLbl", "QLabel", w, {312, 80, 81, 16}, "", kLeft, 13, true);
    row(w, "LoginBtn", "QPushButton", w, {208, 112, 129, 25}, "Zaloguj", 0, 11);
    row(w, "InfoLbl", "QLabel", w, {56, 152, 425, 41}, kInfoText, kLeft, 11);
    row(w, "ProgrBox", "QGroupBox", w, {24, 224, 265, 217}, " Programowanie kart ", 0, 11);
    row(w, "PrUidTxtLbl", "QLabel", "ProgrBox", {48, 32, kSizedByText, kSizedByText}, "UID:", kLeft,
        11);
    row(w, "PrUidLbl", "QLabel", "ProgrBox", {80, 32, 137, 16}, "", kLeft, 13);
    row(w, "PrDepTxtLbl", "QLabel", "ProgrBox", {40, 67, 58, 16}, "Wydział:", kRight, 11);
    row(w, "PrDepEdit", "QLineEdit", "ProgrBox", {104, 64, 49, 21}, "", 0, 11);
    row(w, "PrDepRngLbl", "QLabel", "ProgrBox", {160, 68, kSizedByText, kSizedByText}, "(0..99999)",
        kLeft, 11);
    row(w, "PrIdxTxtLbl", "QLabel", "ProgrBox", {40, 99, 58, 16}, "Index:", kRight, 11);
    row(w, "PrIdxEdit", "QLineEdit", "ProgrBox", {104, 96, 49, 21}, "", 0, 11);
    row(w, "PrIdxRngLbl", "QLabel", "ProgrBox", {160, 100, kSizedByText, kSizedByText},
        "(0..99999)", kLeft, 11);
    row(w, "PrIdxChkBx", "QCheckBox", "ProgrBox", {32, 128, 209, 17},
        "Zwiększaj Indeks po zaprogramowaniu ", 0, 11);
    row(w, "ClearTagBtn", "QPushButton", "ProgrBox", {32, 168, 75, 25}, "Kasuj", 0, 11);
    row(w, "ProgrTagBtn", "QPushButton", "ProgrBox", {152, 168, 75, 25}, "Programuj", 0, 11);
    row(w, "ProgrTagBar", "QProgressBar", "ProgrBox", {152, 192, 75, 12}, "", 0, 11, false, true);
    row(w, "ReadBox", "QGroupBox", w, {304, 224, 225, 217}, " Odczyt kart ", 0, 11);
    row(w, "RdUidTxtLbl", "QLabel", "ReadBox", {32, 32, kSizedByText, kSizedByText}, "UID:", kLeft,
        11);
    row(w, "RdUidLbl", "QLabel", "ReadBox", {64, 32, 137, 16}, "", kLeft, 13);
    row(w, "RdDepTxtLbl", "QLabel", "ReadBox", {32, 67, 58, 16}, "Wydział:", kRight, 11);
    row(w, "RdDepEdit", "QLineEdit", "ReadBox", {96, 64, 81, 21}, "", 0, 11);
    row(w, "RdIdxTxtLbl", "QLabel", "ReadBox", {32, 107, 58, 16}, "Index:", kRight, 11);
    row(w, "RdIdxEdit", "QLineEdit", "ReadBox", {96, 104, 81, 21}, "", 0, 11);
    row(w, "ReadTagBtn", "QPushButton", "ReadBox", {80, 168, 75, 25}, "Odczytaj", 0, 11);
    row(w, "StartStopBtn", "QPushButton", w, {520, 412, 73, 25}, "Start/Stop", 0, 11, false, true);
    row(w, "TracePrgrWin", "QPlainTextEdit", w, {528, 0, 25, 409}, "", 0, 11, false, true);

    const char* l = "LoginDlg";
    row(l, "InfoLbl", "QLabel", l, {48, 24, 242, 16}, "Logowanie do programatora KP-R50", kCentre,
        13, true);
    row(l, "Label3", "QLabel", l, {104, 72, 140, 16}, "Podaj hasło użytkownika", kCentre, 13);
    row(l, "Label1", "QLabel", l, {72, 108, 37, 16}, "Hasło:", kLeft, 13);
    row(l, "PassEdit", "QLineEdit", l, {120, 104, 121, 24}, "", 0, 13);
    row(l, "LoginBtn", "QPushButton", l, {128, 152, 97, 25}, "Zaloguj", 0, 13);

    const char* c = "ChngPassDlg";
    row(c, "DescrLbl", "QLabel", c, {24, 24, 297, 16}, "", kCentre, 13, true);
    row(c, "Label1", "QLabel", c, {32, 68, 72, 16}, "Stare Hasło:", kLeft, 13);
    row(c, "OldPassEdit", "QLineEdit", c, {112, 64, 121, 24}, "", 0, 13);
    row(c, "RepLbl", "QLabel", c, {31, 116, 73, 16}, "Nowe Hasło:", kLeft, 13);
    row(c, "NewPass1Edit", "QLineEdit", c, {112, 112, 121, 24}, "", 0, 13);
    row(c, "Label3", "QLabel", c, {240, 116, 86, 16}, "(8..20 znaków)", kCentre, 13);
    row(c, "Label2", "QLabel", c, {49, 148, 51, 16}, "Powtórz:", kLeft, 13);
    row(c, "NewPass2Edit", "QLineEdit", c, {112, 144, 121, 24}, "", 0, 13);
    row(c, "ChngPassBtn", "QPushButton", c, {120, 192, 105, 25}, "Zmień hasło", 0, 13, false, false,
        false);
  }

  void layout() {
    QFETCH(QString, form);
    QFETCH(QString, kind);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    QFETCH(int, alignment);
    QFETCH(bool, hidden);
    QFETCH(bool, enabled);
    QFETCH(int, pixels);
    QFETCH(bool, bold);
    const QString name = QString::fromLatin1(QTest::currentDataTag()).section(u'.', 1);

    QWidget* widget = Form(form)->findChild<QWidget*>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    if (geometry.width() == kSizedByText) {
      QCOMPARE(widget->pos(), geometry.topLeft());
      QCOMPARE(widget->size(), widget->sizeHint());
    } else {
      QCOMPARE(widget->geometry(), geometry);
    }
    QCOMPARE(Caption(widget), caption);
    QCOMPARE(kp::test::HorizontalAlignment(widget), alignment);
    QCOMPARE(widget->isHidden(), hidden);
    QCOMPARE(widget->isEnabled(), enabled);
    QCOMPARE(widget->font().pixelSize(), pixels);
    QCOMPARE(widget->font().bold(), bold);
  }

  void forms_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QFont>("font");
    QTest::newRow("MainWin") << "MainWin"
                             << "KpNOX Koder 1.0" << QSize(556, 461) << MainWinFont();
    QTest::newRow("LoginDlg") << "LoginDlg"
                              << "KpNoxKoder" << QSize(350, 198) << DialogFont();
    QTest::newRow("ChngPassDlg") << "ChngPassDlg"
                                 << "KpNoxConfig" << QSize(350, 242) << DialogFont();
  }

  // Fixed client area, dialog-style border with the system menu and close button only.
  void forms() {
    QFETCH(QString, form);
    QFETCH(QString, title);
    QFETCH(QSize, size);
    QFETCH(QFont, font);
    QWidget* window = Form(form);
    QCOMPARE(window->objectName(), form);
    QVERIFY(window->isWindow());
    QCOMPARE(window->windowTitle(), title);
    QCOMPARE(window->size(), size);
    QCOMPARE(window->minimumSize(), size);
    QCOMPARE(window->maximumSize(), size);
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
    QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowContextHelpButtonHint));
    QCOMPARE(window->font().family(), font.family());
    QCOMPARE(window->font().pixelSize(), font.pixelSize());
    // The application's drawing, compiled in; the dialogs take their owner's.
    QVERIFY(QFile::exists(QStringLiteral(":/icons/kpnox-koder.svg")));
    QCOMPARE(window->windowIcon().pixmap(32).toImage(),
             QIcon(QStringLiteral(":/icons/kpnox-koder.svg")).pixmap(32).toImage());
    QVERIFY(!window->windowIcon().pixmap(32).isNull());
  }

  void tabOrder_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QStringList>("order");
    QTest::newRow("MainWin") << "MainWin"
                             << QStringList{"StartStopBtn", "TracePrgrWin", "ProgrBox",
                                            "PrDepEdit",    "PrIdxEdit",    "ProgrTagBtn",
                                            "ClearTagBtn",  "ProgrTagBar",  "PrIdxChkBx",
                                            "ReadBox",      "RdDepEdit",    "RdIdxEdit",
                                            "ReadTagBtn",   "LoginBtn"};
    QTest::newRow("LoginDlg") << "LoginDlg" << QStringList{"PassEdit", "LoginBtn"};
    QTest::newRow("ChngPassDlg") << "ChngPassDlg"
                                 << QStringList{"ChngPassBtn", "OldPassEdit", "NewPass1Edit",
                                                "NewPass2Edit"};
  }

  void tabOrder() {
    QFETCH(QString, form);
    QFETCH(QStringList, order);
    QWidget* window = Form(form);
    QStringList reachable;
    for (const QString& name : order) {
      QWidget* widget = window->findChild<QWidget*>(name);
      QVERIFY(widget);
      if (widget->focusPolicy() & Qt::TabFocus) reachable << name;
    }
    const QStringList chain = kp::test::FocusOrder(window, order);
    // The chain is a ring: rotate it so that it starts where the expected order starts.
    const qsizetype start = chain.indexOf(reachable.first());
    QVERIFY(start >= 0);
    QCOMPARE(chain.mid(start) + chain.mid(0, start), reachable);
  }

  void firstFocus_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("focus");
    QTest::newRow("LoginDlg") << "LoginDlg"
                              << "PassEdit";
    // The disabled change button is first in the tab order: the old password takes the focus.
    QTest::newRow("ChngPassDlg") << "ChngPassDlg"
                                 << "OldPassEdit";
  }

  void firstFocus() {
    QFETCH(QString, form);
    QFETCH(QString, focus);
    QWidget* dialog = Form(form);
    dialog->show();
    dialog->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    QTRY_VERIFY(dialog->focusWidget() != nullptr);
    QCOMPARE(dialog->focusWidget()->objectName(), focus);
    dialog->hide();
  }

  void focusOnEveryOpening_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("lastFocus");  // where the focus was when the dialog closed
    QTest::addColumn<bool>("byButton");      // closed with its button, else by the frame
    QTest::addColumn<QString>("focus");
    QTest::newRow("LoginDlg after its button") << "LoginDlg"
                                               << "LoginBtn" << true << "PassEdit";
    QTest::newRow("ChngPassDlg after its button") << "ChngPassDlg"
                                                  << "ChngPassBtn" << true << "OldPassEdit";
    QTest::newRow("ChngPassDlg closed from the repeat box")
        << "ChngPassDlg"
        << "NewPass2Edit" << false << "OldPassEdit";
  }

  // Open, leave the focus elsewhere and close, empty the boxes as the main window does, open
  // again and type: the text lands in the first box.
  void focusOnEveryOpening() {
    QFETCH(QString, form);
    QFETCH(QString, lastFocus);
    QFETCH(bool, byButton);
    QFETCH(QString, focus);
    auto* dialog = qobject_cast<QDialog*>(Form(form));
    const QString typed = QStringLiteral("koder2024");
    QString focusOnOpening;
    ModalCloser closer;
    closer.Then([&](QWidget* window, kp::test::ModalRecord& record) {
      for (const char* name : {"OldPassEdit", "NewPass1Edit", "NewPass2Edit"}) {
        if (auto* box = window->findChild<QLineEdit*>(QLatin1String(name))) {
          kp::test::TypeText(box, typed);
        }
      }
      auto* last = window->findChild<QWidget*>(lastFocus);
      if (byButton) {
        QTest::mouseClick(last, Qt::LeftButton);
        record.pressed = lastFocus;
      } else {
        last->setFocus();
        record.pressed = QStringLiteral("close");
        window->close();
      }
    });
    closer.Then([&](QWidget* window, kp::test::ModalRecord&) {
      QWidget* focused = window->focusWidget();
      focusOnOpening = focused != nullptr ? focused->objectName() : QString();
      if (focused != nullptr) QTest::keyClicks(focused, typed);
      window->close();
    });
    dialog->exec();
    for (QLineEdit* box : dialog->findChildren<QLineEdit*>()) box->clear();
    dialog->exec();
    QCOMPARE(closer.Records().size(), 2);
    QCOMPARE(closer.Records()[0].pressed, byButton ? lastFocus : QStringLiteral("close"));
    QCOMPARE(focusOnOpening, focus);
    QCOMPARE(dialog->findChild<QLineEdit*>(focus)->text(), typed);
  }

  void screenReaderNames_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QStringList>("boxes");
    QTest::newRow("MainWin") << "MainWin"
                             << QStringList{"PrDepEdit=Wydział (programowanie) [0..99999]",
                                            "PrIdxEdit=Index (programowanie) [0..99999]",
                                            "PrUidLbl=UID (programowanie)",
                                            "RdDepEdit=Wydział (odczyt)",
                                            "RdIdxEdit=Index (odczyt)",
                                            "RdUidLbl=UID (odczyt)"};
    QTest::newRow("LoginDlg") << "LoginDlg" << QStringList{"PassEdit=Hasło"};
    QTest::newRow("ChngPassDlg") << "ChngPassDlg"
                                 << QStringList{"NewPass1Edit=Nowe Hasło [8..20 znaków]",
                                                "NewPass2Edit=Powtórz", "OldPassEdit=Stare Hasło"};
  }

  // Walks the form's accessible tree as a screen reader does: every control the operator can
  // reach has a name that no other control of the form has, no hidden control is listed, each
  // edit box has the label on its left as its buddy, and the boxes and the UID labels say
  // what they are and (in brackets) what they take.
  void screenReaderNames() {
    QFETCH(QString, form);
    QFETCH(QStringList, boxes);
    QStringList nameless;
    QStringList shared;
    QStringList hidden;
    QStringList unlabelled;
    QStringList heard;
    QHash<QString, QString> named;  // name -> the control that has it
    const QList<QLabel*> labels = Form(form)->findChildren<QLabel*>();
    for (QAccessibleInterface* node :
         kp::test::AccessibleDescendants(QAccessible::queryAccessibleInterface(Form(form)))) {
      auto* widget = qobject_cast<QWidget*>(node->object());
      QVERIFY(widget);
      if (widget->isHidden()) hidden << widget->objectName();
      const QString name = node->text(QAccessible::Name);
      if (node->state().focusable) {
        if (name.isEmpty()) nameless << widget->objectName();
        if (named.contains(name)) shared << named[name] + u'/' + widget->objectName();
        named.insert(name, widget->objectName());
      }
      const QString description = node->text(QAccessible::Description);
      if (qobject_cast<QLineEdit*>(widget) || widget->objectName().endsWith(u"UidLbl")) {
        heard << widget->objectName() + u'=' + name +
                     (description.isEmpty() ? QString()
                                            : QStringLiteral(" [") + description + u']');
      }
      if (!qobject_cast<QLineEdit*>(widget)) continue;
      const auto labelOnTheLeft = [widget](const QLabel* label) {
        return label->buddy() == widget && label->geometry().right() < widget->x() &&
               label->geometry().top() < widget->geometry().bottom() &&
               label->geometry().bottom() > widget->geometry().top();
      };
      if (std::none_of(labels.begin(), labels.end(), labelOnTheLeft)) {
        unlabelled << widget->objectName();
      }
    }
    QVERIFY2(nameless.isEmpty(), qPrintable(nameless.join(u',')));
    QVERIFY2(shared.isEmpty(), qPrintable(shared.join(u',')));
    QVERIFY2(hidden.isEmpty(), qPrintable(hidden.join(u',')));
    QVERIFY2(unlabelled.isEmpty(), qPrintable(unlabelled.join(u',')));
    heard.sort();
    QCOMPARE(heard, boxes);
  }

  void messageBoxIcons_data() {
    QTest::addColumn<bool>("error");
    QTest::addColumn<QString>("icon");
    QTest::newRow("error") << true << "Błąd";
    QTest::newRow("information") << false << "Informacja";
  }

  // A message box's icon says what kind of message follows; its button has a name.
  void messageBoxIcons() {
    QFETCH(bool, error);
    QFETCH(QString, icon);
    QStringList heard;
    ModalCloser closer;
    closer.While([&heard] {
      for (QAccessibleInterface* node : kp::test::AccessibleDescendants(
               QAccessible::queryAccessibleInterface(QApplication::activeModalWidget()))) {
        const bool nameless = node->text(QAccessible::Name).isEmpty();
        if (node->role() == QAccessible::Graphic || (node->state().focusable && nameless)) {
          heard << QString::number(node->role()) + u'=' + node->text(QAccessible::Name);
        }
      }
    });
    if (error) {
      mainWin->ShowError("Brak karty w polu programatora.");
    } else {
      mainWin->ShowInfo("Karta skasowana.");
    }
    QCOMPARE(closer.Records().size(), 1);
    QCOMPARE(heard, QStringList{QString::number(QAccessible::Graphic) + u'=' + icon});
  }

  void digitBoxes_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("text");
    QTest::newRow("PrDepEdit letters refused") << "PrDepEdit"
                                               << "1a2-3 "
                                               << "123";
    QTest::newRow("PrDepEdit at most five") << "PrDepEdit"
                                            << "1234567"
                                            << "12345";
    QTest::newRow("PrIdxEdit letters refused") << "PrIdxEdit"
                                               << "x9y8"
                                               << "98";
    QTest::newRow("PrIdxEdit at most five") << "PrIdxEdit"
                                            << "99999"
                                               "0"
                                            << "99999";
    QTest::newRow("RdDepEdit no length limit") << "RdDepEdit"
                                               << "1234567890123"
                                               << "1234567890123";
    QTest::newRow("RdIdxEdit letters refused") << "RdIdxEdit"
                                               << "+12e3"
                                               << "123";
  }

  void digitBoxes() {
    QFETCH(QString, name);
    QFETCH(QString, typed);
    QFETCH(QString, text);
    auto* edit = mainWin->findChild<QLineEdit*>(name);
    QVERIFY(edit);
    kp::test::TypeText(edit, typed);
    QCOMPARE(edit->text(), text);
  }

  void programSetsSixDigits_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("PrDepEdit") << "PrDepEdit";
    QTest::newRow("PrIdxEdit") << "PrIdxEdit";
  }

  // The five-digit limit is a typing limit: the index after 99999 is put there whole, typing
  // cannot lengthen it, deleting still works.
  void programSetsSixDigits() {
    QFETCH(QString, name);
    auto* edit = mainWin->findChild<QLineEdit*>(name);
    edit->setText(QStringLiteral("100000"));
    QCOMPARE(edit->text(), QStringLiteral("100000"));
    edit->end(false);
    kp::test::TypeText(edit, QStringLiteral("1"));
    QCOMPARE(edit->text(), QStringLiteral("100000"));
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->text(), QStringLiteral("10000"));
    // A full box takes a character that replaces a selection.
    edit->selectAll();
    kp::test::TypeText(edit, QStringLiteral("42"));
    QCOMPARE(edit->text(), QStringLiteral("42"));
  }

  void passwordBoxes_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("name");
    QTest::newRow("PassEdit") << "LoginDlg"
                              << "PassEdit";
    QTest::newRow("OldPassEdit") << "ChngPassDlg"
                                 << "OldPassEdit";
    QTest::newRow("NewPass1Edit") << "ChngPassDlg"
                                  << "NewPass1Edit";
    QTest::newRow("NewPass2Edit") << "ChngPassDlg"
                                  << "NewPass2Edit";
  }

  // Each typed character shows as "*"; a 21st character cannot be typed.
  void passwordBoxes() {
    QFETCH(QString, form);
    QFETCH(QString, name);
    auto* edit = Form(form)->findChild<QLineEdit*>(name);
    QVERIFY(edit);
    QCOMPARE(edit->echoMode(), QLineEdit::Password);
    QCOMPARE(edit->maxLength(), 20);
    const QString typed = QStringLiteral("Zażółć gęślą jaźń 12345");
    kp::test::TypeText(edit, typed);
    QCOMPARE(edit->text(), typed.left(20));
    QCOMPARE(edit->displayText(), QString(20, u'*'));
  }

  void passwordRule_data() {
    QTest::addColumn<QString>("oldPassword");
    QTest::addColumn<QString>("newPassword");
    QTest::addColumn<QString>("repeated");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("old 7 characters") << "abcdefg"
                                      << "password"
                                      << "password" << false;
    QTest::newRow("old 7, new entries long") << "1234567"
                                             << "longerpassword"
                                             << "longerpassword" << false;
    QTest::newRow("exactly 8, equal entries") << "abcdefgh"
                                              << "12345678"
                                              << "12345678" << true;
    QTest::newRow("differ only in case") << "abcdefgh"
                                         << "Password"
                                         << "password" << false;
    QTest::newRow("equal but 7 long") << "abcdefgh"
                                      << "passwor"
                                      << "passwor" << false;
    QTest::newRow("repeat missing") << "abcdefgh"
                                    << "password"
                                    << "" << false;
    QTest::newRow("repeat longer") << "abcdefgh"
                                   << "password"
                                   << "password1" << false;
    QTest::newRow("trailing blank counts") << "abcdefgh"
                                           << "password "
                                           << "password" << false;
    QTest::newRow("blanks only, equal") << "abcdefgh"
                                        << "        "
                                        << "        " << true;
    QTest::newRow("new equals old") << "password"
                                    << "password"
                                    << "password" << true;
    QTest::newRow("20 characters") << "01234567890123456789"
                                   << "abcdefghijklmnopqrst"
                                   << "abcdefghijklmnopqrst" << true;
    QTest::newRow("Polish letters") << "zażółćgę"
                                    << "źdźbłoże"
                                    << "źdźbłoże" << true;
  }

  // The rule after typing into the boxes, and the same after the program sets the texts.
  void passwordRule() {
    QFETCH(QString, oldPassword);
    QFETCH(QString, newPassword);
    QFETCH(QString, repeated);
    QFETCH(bool, enabled);
    kp::test::TypeText(change->OldPassEdit(), oldPassword);
    kp::test::TypeText(change->NewPass1Edit(), newPassword);
    kp::test::TypeText(change->NewPass2Edit(), repeated);
    QCOMPARE(ChangeButton()->isEnabled(), enabled);

    for (QLineEdit* box : {change->OldPassEdit(), change->NewPass1Edit(), change->NewPass2Edit()}) {
      box->clear();
    }
    QVERIFY(!ChangeButton()->isEnabled());
    // Set in the opposite order: only the final texts matter.
    change->NewPass2Edit()->setText(repeated);
    change->NewPass1Edit()->setText(newPassword);
    change->OldPassEdit()->setText(oldPassword);
    QCOMPARE(ChangeButton()->isEnabled(), enabled);
  }

  // Lengths are UTF-16 code units: four characters outside the BMP make eight.
  void passwordRuleCountsCodeUnits() {
    const QString fourFaces = QString::fromUtf8("\U0001F600\U0001F601\U0001F602\U0001F603");
    QCOMPARE(fourFaces.size(), 8);
    change->OldPassEdit()->setText(QStringLiteral("abcdefgh"));
    change->NewPass1Edit()->setText(fourFaces);
    change->NewPass2Edit()->setText(fourFaces);
    QVERIFY(ChangeButton()->isEnabled());
    change->NewPass1Edit()->setText(fourFaces.left(7));
    QVERIFY(!ChangeButton()->isEnabled());
  }

  void deletingOneCharacterDisables() {
    kp::test::TypeText(change->OldPassEdit(), QStringLiteral("oldpassword"));
    kp::test::TypeText(change->NewPass1Edit(), QStringLiteral("newpassword"));
    kp::test::TypeText(change->NewPass2Edit(), QStringLiteral("newpassword"));
    QVERIFY(ChangeButton()->isEnabled());
    QTest::keyClick(change->NewPass2Edit(), Qt::Key_Backspace);
    QVERIFY(!ChangeButton()->isEnabled());
    QTest::keyClick(change->NewPass2Edit(), Qt::Key_D);
    QVERIFY(ChangeButton()->isEnabled());
  }

  void emptiedBoxDisables_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("OldPassEdit") << "OldPassEdit";
    QTest::newRow("NewPass1Edit") << "NewPass1Edit";
    QTest::newRow("NewPass2Edit") << "NewPass2Edit";
  }

  // The main window empties the boxes after every showing: the button goes off again.
  void emptiedBoxDisables() {
    QFETCH(QString, name);
    change->OldPassEdit()->setText(QStringLiteral("oldpassword"));
    change->NewPass1Edit()->setText(QStringLiteral("newpassword"));
    change->NewPass2Edit()->setText(QStringLiteral("newpassword"));
    QVERIFY(ChangeButton()->isEnabled());
    change->findChild<QLineEdit*>(name)->setText(QString());
    QVERIFY(!ChangeButton()->isEnabled());
  }

  // The login button closes with OK even with an empty box.
  void loginButtonAccepts() {
    ModalCloser closer;
    closer.AnswerLogin(QString());
    QCOMPARE(login->exec(), int{QDialog::Accepted});
    QCOMPARE(closer.Records().size(), 1);
    QCOMPARE(closer.Records()[0].className, QStringLiteral("TLoginDlg"));
    QVERIFY(closer.Records()[0].buttonEnabled);
    QCOMPARE(closer.Records()[0].pressed, QStringLiteral("Zaloguj"));
  }

  void changeButtonAccepts() {
    ModalCloser closer;
    closer.AnswerChangePassword(QStringLiteral("oldpassword"), QStringLiteral("newpassword"),
                                QStringLiteral("newpassword"));
    QCOMPARE(change->exec(), int{QDialog::Accepted});
    QCOMPARE(closer.Records().size(), 1);
    QCOMPARE(closer.Records()[0].pressed, QStringLiteral("Zmień hasło"));
    QCOMPARE(change->NewPass2Edit()->text(), QStringLiteral("newpassword"));
  }

  void closingIsNotOk_data() {
    QTest::addColumn<QString>("form");
    QTest::newRow("LoginDlg") << "LoginDlg";
    QTest::newRow("ChngPassDlg") << "ChngPassDlg";
  }

  void closingIsNotOk() {
    QFETCH(QString, form);
    auto* dialog = qobject_cast<QDialog*>(Form(form));
    ModalCloser closer;
    closer.Then([](QWidget* window, kp::test::ModalRecord& record) {
      record.pressed = QStringLiteral("close");
      window->close();
    });
    QCOMPARE(dialog->exec(), int{QDialog::Rejected});
    QCOMPARE(closer.Records().size(), 1);
    QCOMPARE(closer.Records()[0].pressed, QStringLiteral("close"));
  }

  void enterIsNoDefaultButton_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("box");
    QTest::newRow("LoginDlg") << "LoginDlg"
                              << "PassEdit";
    QTest::newRow("ChngPassDlg") << "ChngPassDlg"
                                 << "NewPass2Edit";
  }

  // Neither dialog has a default button: Enter in a box, even with the button enabled,
  // closes nothing.
  void enterIsNoDefaultButton() {
    QFETCH(QString, form);
    QFETCH(QString, box);
    change->OldPassEdit()->setText(QStringLiteral("oldpassword"));
    change->NewPass1Edit()->setText(QStringLiteral("newpassword"));
    change->NewPass2Edit()->setText(QStringLiteral("newpassword"));
    auto* dialog = qobject_cast<QDialog*>(Form(form));
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    QTest::keyClick(dialog->findChild<QLineEdit*>(box), Qt::Key_Return);
    QTest::keyClick(dialog->findChild<QLineEdit*>(box), Qt::Key_Enter);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->result(), int{QDialog::Rejected});
    dialog->hide();
  }

  void enterPressesFocusedButton_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("button");
    QTest::newRow("MainWin.ProgrTagBtn") << "MainWin"
                                         << "ProgrTagBtn";
    QTest::newRow("MainWin.LoginBtn") << "MainWin"
                                      << "LoginBtn";
    QTest::newRow("LoginDlg") << "LoginDlg"
                              << "LoginBtn";
    QTest::newRow("ChngPassDlg") << "ChngPassDlg"
                                 << "ChngPassBtn";
  }

  // As on Windows, Enter and the keypad's Enter press the button that has the focus, once per
  // stroke; with a modifier, on a disabled button or while the key repeats, nothing.
  void enterPressesFocusedButton() {
    QFETCH(QString, form);
    QFETCH(QString, button);
    QWidget* window = Form(form);
    auto* target = window->findChild<QPushButton*>(button);
    QVERIFY(target);
    QObject::disconnect(target, &QPushButton::clicked, nullptr, nullptr);  // the press alone
    target->setEnabled(true);
    window->show();
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
    target->setFocus();
    QVERIFY(target->hasFocus());
    QSignalSpy clicked(target, &QPushButton::clicked);
    QTest::keyClick(target, Qt::Key_Return);
    QCOMPARE(clicked.size(), 1);
    QTest::keyClick(target, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(clicked.size(), 2);
    QTest::keyClick(target, Qt::Key_Return, Qt::ControlModifier);
    QTest::sendKeyEvent(QTest::Press, target, Qt::Key_Return, QString(), Qt::NoModifier);
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
    QApplication::sendEvent(target, &repeat);
    QTest::sendKeyEvent(QTest::Release, target, Qt::Key_Return, QString(), Qt::NoModifier);
    QCOMPARE(clicked.size(), 3);
    target->setEnabled(false);
    QTest::keyClick(target, Qt::Key_Return);
    QCOMPARE(clicked.size(), 3);
    window->hide();
  }

  void mainWindowCentredOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    QVERIFY(screen);
    const QPoint offset = mainWin->geometry().center() - screen->availableGeometry().center();
    QVERIFY2(offset.manhattanLength() <= 1,
             qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
  }

  void dialogsCentredOverMainWindow_data() { closingIsNotOk_data(); }

  void dialogsCentredOverMainWindow() {
    QFETCH(QString, form);
    mainWin->move(40, 30);
    mainWin->show();
    QVERIFY(QTest::qWaitForWindowExposed(mainWin));
    ModalCloser closer;
    closer.Reject();
    qobject_cast<QDialog*>(Form(form))->exec();
    mainWin->hide();
    QCOMPARE(closer.Records().size(), 1);
    const QPoint offset = closer.Records()[0].geometry.center() - mainWin->geometry().center();
    QVERIFY2(offset.manhattanLength() <= 2,
             qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
  }

  // The constructor puts the info text up and starts the poll; it refreshes nothing.
  void mainWindowAfterConstruction() {
    QTimer* timer = mainWin->findChild<QTimer*>(QStringLiteral("NoxTimer"));
    QCOMPARE(timer, mainWin->NoxTimer());
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 250);
    QCOMPARE(mainWin->findChild<QLabel*>(QStringLiteral("InfoLbl"))->text(),
             QString::fromUtf8(kInfoText));
    QVERIFY(mainWin->PollEnabled());
    QVERIFY(!mainWin->PollSuspended());
    QVERIFY(!mainWin->TickRunning());
    QVERIFY(!mainWin->ChangeMode());
    QVERIFY(mainWin->ScratchText().empty());
    QVERIFY(!mainWin->findChild<QCheckBox*>(QStringLiteral("PrIdxChkBx"))->isChecked());
    auto* trace = mainWin->findChild<QPlainTextEdit*>(QStringLiteral("TracePrgrWin"));
    QVERIFY(trace->isReadOnly());
    QCOMPARE(trace->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    auto* bar = mainWin->findChild<QProgressBar*>(QStringLiteral("ProgrTagBar"));
    QVERIFY(!bar->isTextVisible());
    QCOMPARE(mainWin->findChild<QLabel*>(QStringLiteral("InfoLbl"))->wordWrap(), true);
  }
};

// Under the program's own application object: Enter on a focused button is its doing.
int main(int argc, char* argv[]) {
  KoderApplication application(argc, argv);
  FormsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "FormsTest.moc"
