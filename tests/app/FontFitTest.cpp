// The forms' fonts on every screen: ctest runs this at the scale factors 1, 1.5 and 2
// (QT_SCALE_FACTOR), each with the Windows fonts and without them (KP_TEST_WINE_FONTS=0
// registers none, and a folder with a file missing and one broken names both). The faces are
// the ones meant for that screen, the windows keep their laid-out size, and every caption fits
// its control with the status texts at their longest.
#include "app/AppFonts.h"
#include "CaptionLayout.h"
#include "app/Chngpass.h"
#include "app/Login.h"
#include "app/Wmain.h"
#include "platform/virtual/VirtualBus.h"

#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
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
      // Message boxes show the application's font: the dialog face, as on Windows.
      QCOMPARE(QFontInfo(QApplication::font()).family(), QStringLiteral("Tahoma"));
    } else {
      if (WindowsFontsAvailable()) QSKIP("fontconfig knows the Windows fonts on this machine");
      // A folder without the bitmap face and with a Tahoma that is no font: both named.
      QFile broken(noFonts.filePath(QStringLiteral("tahoma.ttf")));
      QVERIFY(broken.open(QIODevice::WriteOnly));
      broken.write("not a font");
      broken.close();
      const QStringList notLoaded = RegisterApplicationFonts(noFonts.path());
      QCOMPARE(notLoaded, (QStringList{QDir::toNativeSeparators(
                                           noFonts.filePath(QStringLiteral("ms_sans_serif.ttf"))),
                                       QDir::toNativeSeparators(broken.fileName())}));
      const QString line = FontsNotLoadedLine(notLoaded);  // one line naming both
      QVERIFY2(line.contains(notLoaded.join(QStringLiteral(", "))), qPrintable(line));
      QCOMPARE(line.count(u'\n'), 1);
      QVERIFY(line.endsWith(u'\n'));
      QVERIFY(!WindowsFontsAvailable());
    }
    // The test runs at the scale it was started for, or it proves nothing.
    QCOMPARE(qApp->devicePixelRatio(),
             qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")).toDouble());
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
    QTest::newRow("MainWin") << "MainWin"
                             << ""
                             << "MS Sans Serif"
                             << "Tahoma";
    QTest::newRow("MainWin.PrgrLbl") << "MainWin"
                                     << "PrgrLbl"
                                     << "Tahoma"
                                     << "Tahoma";
    QTest::newRow("MainWin.KeyLbl") << "MainWin"
                                    << "KeyLbl"
                                    << "Tahoma"
                                    << "Tahoma";
    QTest::newRow("LoginDlg") << "LoginDlg"
                              << ""
                              << "Tahoma"
                              << "Tahoma";
    QTest::newRow("ChngPassDlg.DescrLbl") << "ChngPassDlg"
                                          << "DescrLbl"
                                          << "Tahoma"
                                          << "Tahoma";
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
    mainWin->findChild<QPushButton*>(QStringLiteral("LoginBtn"))
        ->setText(QStringLiteral("Zmień hasło"));
    change->DescrLbl()->setText(QStringLiteral("Zmiana hasła Użytkownika"));

    QStringList clipped;
    QStringList sizes;
    for (const kp::test::CaptionFit& fit : kp::test::CaptionFits(window)) {
      if (!fit.fits) clipped << fit.control;
      sizes << QStringLiteral("%1 %2px").arg(fit.control).arg(fit.pixelSize);
    }
    qInfo("%s at %.1fx, %s: %s, %s", qPrintable(form), qApp->devicePixelRatio(),
          withWindowsFonts ? "Windows fonts" : "no Windows fonts",
          qPrintable(QFontInfo(window->font()).family()), qPrintable(sizes.join(u',')));
    QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(u',')));
  }
};

QTEST_MAIN(FontFitTest)
#include "FontFitTest.moc"
