// Every window of the application as the operator sees it, on Linux (app_CaptionLayout) and
// on Windows (kp_app_windows_tests under Wine), at the scale KP_TEST_SCALE or the screen
// gives (see WantedScale): the main
// window unlinked and linked, the login dialog, the change dialog under both headings and a
// message box for every text. Each caption fits its control. With KP_LAYOUT_DIR set, each
// control's caption layout is written to layout-<scale>.txt there, one line per control, and
// each form's picture to <system>-<window>-<scale>.png; scripts/compare-layout sets the two
// systems side by side. Plain QApplication and GoogleTest: the static Qt for mingw has no
// Qt Test.
#include "app/AppFonts.h"
#include "CaptionLayout.h"
#include "app/Chngpass.h"
#include "app/KoderApplication.h"
#include "app/Login.h"
#include "MessageTexts.h"
#include "app/Wmain.h"
#include "link/WUsbErr.h"
#include "platform/virtual/VirtualBus.h"
#include "programmer/KpR50.h"
#include "sim/firmware/VirtualKpR50.h"
#include "sim/rack/SimRack.h"
#include "sim/window/ControlWindow.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <functional>
#include <memory>

#ifndef _WIN32
#include "RuntimeFolder.h"
#endif

#ifdef _WIN32
#include <QtGui/private/qfont_p.h>
#include <QtGui/private/qfontengine_p.h>
#endif

namespace {

#ifdef _WIN32
constexpr const char* kSystem = "windows";
#else
constexpr const char* kSystem = "linux";
#endif

// The scale a run is for: KP_TEST_SCALE sets Qt's scale factor (Wine hands no QT_ variable
// on to a Windows program); KP_TEST_SCREEN_SCALE is the one the screen's DPI gives.
double WantedScale() {
  for (const char* name : {"KP_TEST_SCALE", "KP_TEST_SCREEN_SCALE", "QT_SCALE_FACTOR"}) {
    if (qEnvironmentVariableIsSet(name)) return qEnvironmentVariable(name).toDouble();
  }
  return 1.0;
}

// One application object for the process, made as the program makes it, and ended with the
// tests, as the program ends it (a Qt left to the exit leaves the font library's caches
// behind, which LeakSanitizer reports).
QApplication*& AppObject() {
  static QApplication* app = nullptr;
  return app;
}

class AppEnd : public ::testing::Environment {
 public:
  void TearDown() override {
    delete AppObject();
    AppObject() = nullptr;
  }
};
[[maybe_unused]] ::testing::Environment* const appEnd =
    ::testing::AddGlobalTestEnvironment(new AppEnd);

QApplication& App() {
  static int argc = 1;
  static char name[] = "kp_caption_layout";
  static char* argv[] = {name, nullptr};
  if (AppObject() == nullptr) {
    if (qEnvironmentVariableIsSet("KP_TEST_SCALE")) {
      qputenv("QT_SCALE_FACTOR", qgetenv("KP_TEST_SCALE"));
    }
#ifdef _WIN32
    UseFreeTypeFontEngine();
#endif
    AppObject() = new QApplication(argc, argv);
  }
  return *AppObject();
}

QString ScaleName() { return QString::number(App().devicePixelRatio()); }

// Opens a modal window with `show` and, while it is open, takes its captions and picture;
// then closes it.
QList<kp::test::CaptionFit> WhileModal(const std::function<void()>& show, QPixmap* picture) {
  QList<kp::test::CaptionFit> fits;
  QTimer timer;
  timer.setInterval(5);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    QWidget* window = QApplication::activeModalWidget();
    if (window == nullptr || !window->isVisible()) return;
    timer.stop();
    fits = kp::test::CaptionFits(window);
    if (picture != nullptr) *picture = window->grab();
    if (auto* box = qobject_cast<QMessageBox*>(window);
        box != nullptr && !box->buttons().isEmpty()) {
      box->buttons().first()->click();
    } else {
      window->close();
    }
  });
  timer.start();
  show();
  return fits;
}

class CaptionLayout : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    App();
    notLoaded = new QStringList(RegisterApplicationFonts());
  }

  void SetUp() override {
#ifndef _WIN32
    if (!WindowsFontsAvailable()) {
      GTEST_SKIP() << "fonts-wine is not installed";
    }
#endif
    outDir = qEnvironmentVariable("KP_LAYOUT_DIR");
    if (!outDir.isEmpty()) QDir().mkpath(outDir);
    win = std::make_unique<TMainWin>(bus);
    win->StartStopBtnClick();  // the panel changes only when the test ticks
    MainWin = win.get();
    LoginDlg = new TLoginDlg(win.get());
    ChngPassDlg = new TChngPassDlg(win.get());
  }

  void TearDown() override {
    win.reset();
    MainWin = nullptr;
    LoginDlg = nullptr;
    ChngPassDlg = nullptr;
  }

  // Checks and records one window's captions under the name `window`.
  void Record(const QString& window, const QList<kp::test::CaptionFit>& fits,
              const QPixmap& picture = QPixmap()) {
    EXPECT_FALSE(fits.isEmpty()) << window.toStdString();
    for (const kp::test::CaptionFit& fit : fits) {
      EXPECT_TRUE(fit.fits) << kp::test::LayoutLine(window, fit).toStdString();
      lines << kp::test::LayoutLine(window, fit);
    }
    if (!outDir.isEmpty() && !picture.isNull()) {
      const QString file = QStringLiteral("%1/%2-%3-%4.png")
                               .arg(outDir, QLatin1String(kSystem), window, ScaleName());
      EXPECT_TRUE(picture.save(file)) << file.toStdString();
    }
  }

  void Write() {
    if (outDir.isEmpty()) return;
    QFile file(QStringLiteral("%1/layout-%2.txt").arg(outDir, ScaleName()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text));
    file.write(lines.join(u'\n').toUtf8() + '\n');
  }

  // A message box with `text`, opened by `show`; its lines are the text's own.
  void Box(const QString& name, const QString& text, const std::function<void()>& show,
           bool picture = false) {
    QPixmap shot;
    const QList<kp::test::CaptionFit> fits = WhileModal(show, picture ? &shot : nullptr);
    for (const kp::test::CaptionFit& fit : fits) {
      if (fit.control == QLatin1String("qt_msgbox_label")) {
        EXPECT_EQ(fit.lines, text.split(u'\n'));
      }
    }
    Record(name, fits, shot);
  }

  static inline QStringList* notLoaded = nullptr;
  QString outDir;
  QStringList lines;
  kp::VirtualKpR50 fw;  // outlives the device it is plugged in as
  kp::VirtualBus bus;
  std::unique_ptr<TMainWin> win;
};

TEST_F(CaptionLayout, FormsAreDrawnInOurFaces) {
  // At the scale the run is for, or it proves nothing.
  EXPECT_EQ(App().devicePixelRatio(), WantedScale());
  EXPECT_TRUE(notLoaded->isEmpty()) << notLoaded->join(u' ').toStdString();
  EXPECT_EQ(QFontInfo(DialogFont()).family(), QStringLiteral("Tahoma"));
  EXPECT_EQ(QFontInfo(QApplication::font()).family(), QStringLiteral("Tahoma"));
  if (App().devicePixelRatio() == 1.0) {
    EXPECT_EQ(QFontInfo(MainWinFont()).family(), QStringLiteral("MS Sans Serif"));
  }
#ifdef _WIN32
  // Drawn by FreeType from the file beside the program, whatever Tahoma the PC has.
  for (const QFont& font : {DialogFont(), DialogFont(true), MainWinFont(16)}) {
    QFontEngine* engine = QFontPrivate::get(font)->engineForScript(QChar::Script_Latin);
    ASSERT_NE(engine, nullptr);
    if (engine->type() == QFontEngine::Multi) {
      engine = static_cast<QFontEngineMulti*>(engine)->engine(0);
    }
    EXPECT_EQ(engine->type(), QFontEngine::Freetype);
    // Read from that file into memory (Qt names such a face ":qmemoryfonts/N"), never one of
    // the PC's files.
    const QString file =
        QDir::fromNativeSeparators(QString::fromLocal8Bit(engine->faceId().filename));
    EXPECT_TRUE(
        file.startsWith(QLatin1String(":qmemoryfonts/")) ||
        file.toLower() ==
            (QCoreApplication::applicationDirPath() + QStringLiteral("/tahoma.ttf")).toLower())
        << file.toStdString();
  }
#endif
}

// The information text's three lines, enabled and greyed: each apart from the next by at least
// one blank row of device pixels, the accents of one never touching the tails above.
TEST_F(CaptionLayout, InformationLinesStayApart) {
  auto* info = win->findChild<QLabel*>(QStringLiteral("InfoLbl"));
  ASSERT_NE(info, nullptr);
  for (const bool enabled : {true, false}) {
    info->setEnabled(enabled);
    const QImage image = info->grab().toImage();
    const QRgb background = image.pixel(image.width() - 1, image.height() - 1);
    int runs = 0;  // runs of rows with ink: lines that no blank row parts
    bool inRun = false;
    for (int y = 0; y < image.height(); ++y) {
      bool ink = false;
      for (int x = 0; x < image.width() && !ink; ++x) ink = image.pixel(x, y) != background;
      if (ink && !inRun) ++runs;
      inRun = ink;
    }
    EXPECT_EQ(runs, 3) << (enabled ? "enabled" : "greyed");
  }
}

TEST_F(CaptionLayout, EveryCaptionFitsAndIsRecorded) {
  win->NoxTimerTimer();
  win->RefreshStatusPanel();
  Record(QStringLiteral("MainWin.unlinked"), kp::test::CaptionFits(win.get()), win->grab());

  fw.PlugInto(bus);
  fw.SetKeys(kp::KeyState::Target, 0x3A7F19C4);
  win->NoxTimerTimer();
  win->RefreshStatusPanel();
  Record(QStringLiteral("MainWin.linked"), kp::test::CaptionFits(win.get()), win->grab());

  Record(QStringLiteral("LoginDlg"), kp::test::CaptionFits(LoginDlg), LoginDlg->grab());
  const std::pair<const char*, const char*> headings[] = {
      {"ChngPassDlg.forced", kForcedChangeHeading}, {"ChngPassDlg.change", kChangeHeading}};
  for (const auto& [name, heading] : headings) {
    ChngPassDlg->DescrLbl()->setText(QString::fromUtf8(heading));
    Record(QLatin1String(name), kp::test::CaptionFits(ChngPassDlg), ChngPassDlg->grab());
  }

  auto error = [this](const char* text) { return [this, text] { win->ShowError(text); }; };
  int n = 0;
  for (const char* text : kp::test::kAllMessages) {
    const bool picture = text == kp::test::kReconnected || text == kp::test::kPasswordChanged;
    Box(QStringLiteral("Box%1").arg(++n, 2, 10, QLatin1Char('0')), QString::fromUtf8(text),
        error(text), picture);
  }
  for (int32_t code = 1; code <= 9; ++code) {
    const char* text = kp::CardResultText(code);
    Box(QStringLiteral("CardBox%1").arg(code), QString::fromUtf8(text), error(text));
  }
  // The link's errors reach the operator through the application's exception box.
  for (int32_t code = 1; code <= 12; ++code) {
    const auto thrown = std::make_exception_ptr(kp::WUsbErr{code, 'M'});
    Box(
        QStringLiteral("LinkBox%1").arg(code, 2, 10, QLatin1Char('0')),
        KoderApplication::ExceptionText(thrown), [&] { KoderApplication::ShowException(thrown); },
        code == 10);
  }
  Write();
}

// The simulator's window beside the application on a trainer's PC: with one, two and eight
// programmers it can be made small enough for a 1024 x 768 screen, and then every caption of
// every programmer's tab is whole and every combo as wide as its items. In the system's own
// font, so its lines are not among those compared between the systems.
TEST_F(CaptionLayout, SimulatorWindowFitsWithOneTwoAndEightProgrammers) {
#ifndef _WIN32
  const kp::test::RuntimeFolder runtime;  // the simulator's sockets, apart from the user's
#endif
  kp::SimRack rack(21);
  kp::ProgrammerSetup setup;
  kp::ControlWindow window(rack, setup);
  rack.Add(setup);
  for (const int count : {1, 2, 8}) {
    while (static_cast<int>(rack.Indexes().size()) < count) {
      window.findChild<QPushButton*>(QStringLiteral("AddProgrammerBtn"))->click();
    }
    window.show();
    window.adjustSize();
    const QSize least = window.minimumSize();
    EXPECT_TRUE(least.width() <= 1024 && least.height() <= 700)
        << count << " programmers: " << least.width() << " x " << least.height();
    window.resize(least);
    auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("ProgrammerTabs"));
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(tabs->count(), count);
    for (int tab = 0; tab < count; ++tab) {
      tabs->setCurrentIndex(tab);
      QApplication::processEvents();
      QStringList cut;
      for (QWidget* w : window.findChildren<QWidget*>()) {
        if (!w->isVisible()) continue;
        const QFontMetrics metrics(w->font());
        if (auto* label = qobject_cast<QLabel*>(w); label != nullptr && !label->wordWrap()) {
          if (metrics.horizontalAdvance(label->text()) > label->contentsRect().width())
            cut << label->text();
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
          if (metrics.horizontalAdvance(button->text()) + 2 * kp::test::kButtonFrame >
              button->width())
            cut << button->text();
        } else if (auto* box = qobject_cast<QCheckBox*>(w)) {
          if (box->sizeHint().width() > box->width()) cut << box->text();
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
          if (combo->sizeHint().width() > combo->width()) cut << combo->objectName();
        }
      }
      EXPECT_TRUE(cut.isEmpty()) << count << " programmers, tab " << tab + 1 << ": "
                                 << cut.join(QStringLiteral(" | ")).toStdString();
    }
    if (!outDir.isEmpty()) {
      const QString file = QStringLiteral("%1/%2-simulator-%3-%4.png")
                               .arg(outDir, QLatin1String(kSystem))
                               .arg(count)
                               .arg(ScaleName());
      EXPECT_TRUE(window.grab().save(file)) << file.toStdString();
    }
  }
  window.close();
}

}  // namespace
