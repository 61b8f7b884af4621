// The forms' fonts on every screen: ctest runs this at the scale factors 1, 1.5 and 2
// (QT_SCALE_FACTOR), each with the Windows fonts and without them (KP_TEST_WINE_FONTS=0
// registers none). The faces are the ones meant for that screen, the windows keep their laid-
// out size, and every caption fits its control with the status texts at their longest.
#include "AppFonts.h"
#include "Chngpass.h"
#include "FormTestSupport.h"
#include "Login.h"
#include "Wmain.h"
#include "platform/VirtualBus.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class FontFitTest : public QObject {
  Q_OBJECT

 private:
  bool withWindowsFonts = true;
  QTemporaryDir noFonts;
  std::unique_ptr<kp::VirtualBus> bus;
  TMainWin* mainWin = nullptr;
  TLoginDlg* login = nullptr;
  TChngPassDlg* change = nullptr;

  QWidget* Form(const QString& name) const {
    if (name == QLatin1String("LoginDlg")) return login;
    if (name == QLatin1String("ChngPassDlg")) return change;
    return mainWin;
  }

  static void FormRows() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QSize>("size");
    QTest::newRow("MainWin") << "MainWin" << QSize(556, 461);
    QTest::newRow("LoginDlg") << "LoginDlg" << QSize(350, 198);
    QTest::newRow("ChngPassDlg") << "ChngPassDlg" << QSize(350, 242);
  }

 private slots:
  void initTestCase() {
    withWindowsFonts = qEnvironmentVariable("KP_TEST_WINE_FONTS") != QLatin1String("0");
    if (withWindowsFonts) {
      RegisterApplicationFonts();
      if (!WindowsFontsAvailable()) QSKIP("fonts-wine is not installed");
    } else {
      if (WindowsFontsAvailable()) QSKIP("fontconfig knows the Windows fonts on this machine");
      RegisterApplicationFonts(noFonts.path());  // an empty folder: nothing to register
      QVERIFY(!WindowsFontsAvailable());
    }
    // The test runs at the scale it was started for, or it proves nothing.
    QCOMPARE(qApp->devicePixelRatio(), qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")).toDouble());
  }

  void init() {
    bus = std::make_unique<kp::VirtualBus>();
    mainWin = new TMainWin(*bus);
    login = new TLoginDlg(mainWin);
    change = new TChngPassDlg(mainWin);
  }

  void cleanup() {
    delete mainWin;
    mainWin = nullptr;
    bus.reset();
  }

  // With the fonts, the bitmap face only where it is drawn pixel for pixel; Tahoma elsewhere.
  void faces_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("widget");  // empty: the form's own font
    QTest::addColumn<QString>("unscaled");
    QTest::addColumn<QString>("scaled");
    QTest::newRow("MainWin") << "MainWin" << "" << "MS Sans Serif" << "Tahoma";
    QTest::newRow("MainWin.PrgrLbl") << "MainWin" << "PrgrLbl" << "Tahoma" << "Tahoma";
    QTest::newRow("MainWin.KeyLbl") << "MainWin" << "KeyLbl" << "Tahoma" << "Tahoma";
    QTest::newRow("LoginDlg") << "LoginDlg" << "" << "Tahoma" << "Tahoma";
    QTest::newRow("ChngPassDlg.DescrLbl") << "ChngPassDlg" << "DescrLbl" << "Tahoma" << "Tahoma";
  }

  void faces() {
    QFETCH(QString, form);
    QFETCH(QString, widget);
    QFETCH(QString, unscaled);
    QFETCH(QString, scaled);
    QWidget* w = widget.isEmpty() ? Form(form) : Form(form)->findChild<QWidget*>(widget);
    QVERIFY(w);
    const QString family = QFontInfo(w->font()).family();
    if (!withWindowsFonts) {
      QVERIFY2(family != QLatin1String("MS Sans Serif") && family != QLatin1String("Tahoma"),
               qPrintable(family));
      QVERIFY(!family.isEmpty());
    } else {
      QCOMPARE(family, qApp->devicePixelRatio() > 1.0 ? scaled : unscaled);
    }
  }

  void captionsFit_data() { FormRows(); }

  // Every caption fits its component, the status texts at their longest.
  void captionsFit() {
    QFETCH(QString, form);
    QFETCH(QSize, size);
    QWidget* window = Form(form);
    QCOMPARE(window->size(), size);
    mainWin->findChild<QLabel*>(QStringLiteral("PrgrLbl"))
        ->setText(QStringLiteral("Programator KP-R50 Nr: 65535, Soft: 65535"));
    mainWin->findChild<QLabel*>(QStringLiteral("KeyLbl"))->setText(QStringLiteral("tymczasowe"));
    mainWin->findChild<QLabel*>(QStringLiteral("SygnLbl"))->setText(QStringLiteral("DDDDDDDD"));
    for (const char* uid : {"PrUidLbl", "RdUidLbl"}) {
      mainWin->findChild<QLabel*>(QLatin1String(uid))->setText(QStringLiteral("04A100FF12345678"));
    }
    mainWin->findChild<QPushButton*>(QStringLiteral("LoginBtn"))->setText(QStringLiteral("Zmień hasło"));
    change->DescrLbl()->setText(QStringLiteral("Zmiana hasła Użytkownika"));

    QStringList clipped;
    QStringList sizes;
    auto note = [&sizes](const QWidget* w) {
      sizes << QStringLiteral("%1 %2px").arg(w->objectName()).arg(w->font().pixelSize());
    };
    for (QLabel* label : window->findChildren<QLabel*>()) {
      if (label->window() != window) continue;  // the main window owns the dialogs
      const QFontMetrics metrics(label->font());
      const bool fits = label->wordWrap()
                            ? label->heightForWidth(label->width()) <= label->height()
                            : metrics.horizontalAdvance(label->text()) <= label->width() &&
                                  metrics.height() <= label->height();
      if (!fits) clipped << label->objectName();
      if (!label->text().isEmpty()) note(label);
    }
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
      if (button->window() != window) continue;
      // A push button keeps a few pixels of frame on each side; a check box its indicator.
      int needed = QFontMetrics(button->font()).horizontalAdvance(button->text());
      if (qobject_cast<QCheckBox*>(button)) {
        needed += button->style()->pixelMetric(QStyle::PM_IndicatorWidth) +
                  button->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
      } else {
        needed += 2 * 4;
      }
      if (needed > button->width()) clipped << button->objectName();
      note(button);
    }
    for (QGroupBox* box : window->findChildren<QGroupBox*>()) {
      if (box->window() != window) continue;
      if (QFontMetrics(box->font()).horizontalAdvance(box->title()) > box->width()) {
        clipped << box->objectName();
      }
      note(box);
    }
    qInfo("%s at %.1fx, %s: %s, %s", qPrintable(form), qApp->devicePixelRatio(),
          withWindowsFonts ? "Windows fonts" : "no Windows fonts",
          qPrintable(QFontInfo(window->font()).family()), qPrintable(sizes.join(u',')));
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(u',')));
  }
};

QTEST_MAIN(FontFitTest)
#include "FontFitTest.moc"
