#include "app/AppFonts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QTextLayout>
#include <QStyle>
#include <QWidget>

#include <algorithm>
#include <cmath>

#ifdef _WIN32
#include <windows.h>
#endif

// Wine's tahomabd.ttf has Tahoma Bold's widths but strokes hardly heavier than the regular
// face, so bold text would not look bold; Qt emboldens the regular face instead. Hence only
// the two regular faces (kFontFiles).

namespace {

const char* const kMainWinFamily = "MS Sans Serif";
const char* const kDialogFamily = "Tahoma";
constexpr int kMainWinPixels = 11;
constexpr int kDialogPixels = 13;
// Below this a caption is no easier to read than cut.
constexpr int kSmallestPixels = 7;
// A push button keeps a few pixels of frame on each side of its text.
constexpr int kButtonFrame = 4;

QString DefaultFontFolder() {
#if defined(_WIN32)
  return QCoreApplication::applicationDirPath();
#elif defined(KP_WINE_FONTS_DIR)
  return QStringLiteral(KP_WINE_FONTS_DIR);
#else
  return QString();
#endif
}

// The families our own files brought.
QStringList& LoadedFamilies() {
  static QStringList families;
  return families;
}

bool Known(const char* family) {
  const QString name = QString::fromLatin1(family);
#ifdef _WIN32
  // A face of the same name on the PC may differ from ours in every width: only ours count.
  return LoadedFamilies().contains(name);
#else
  return QFontDatabase::families().contains(name);
#endif
}

QFont NamedFont(const char* family, int pixels, bool bold) {
  QFont font;
  if (Known(family)) {
    font.setFamily(QString::fromLatin1(family));
  } else {
    font.setFamily(QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
    font.setStyleHint(QFont::SansSerif);
  }
  font.setPixelSize(pixels);
  font.setBold(bold);
  // Vertical hinting only, with the faces' own advances: what fontconfig asks FreeType for on
  // Linux, where Qt's FreeType engine on Windows would hint across as well and so lay every
  // caption out a few pixels wider or narrower.
  font.setHintingPreference(QFont::PreferVerticalHinting);
  return font;
}

bool ScaledScreen() { return qGuiApp != nullptr && qGuiApp->devicePixelRatio() > 1.0; }

// A label whose lines KeepLinesApart draws.
const char* const kLinesApart = "kpLinesApart";

// A word-wrapped text's lines as they break at `width`, each paragraph on lines of its own.
QStringList WrappedLines(const QFont& font, const QString& text, qreal width) {
  QStringList lines;
  for (const QString& paragraph : text.split(u'\n')) {
    QTextLayout layout(paragraph, font);
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
      line.setLineWidth(width);
      lines << paragraph.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
  }
  return lines;
}

// From one line's top to the next one's: the font's line spacing, or more where the ink of
// the text's own letters (the accents above, the tails below) would leave no blank row of
// device pixels between the lines. On the device's pixel grid.
qreal LineStep(const QFont& font, const QString& text, qreal pixelRatio) {
  const QFontMetricsF metrics(font);
  const qreal ink = metrics.tightBoundingRect(QString(text).remove(u'\n')).height();
  const qreal devicePixels =
      std::max(std::ceil(metrics.lineSpacing() * pixelRatio), std::ceil(ink * pixelRatio) + 2);
  return devicePixels / pixelRatio;
}

// Paints a word-wrapped label line by line, LineStep apart, as the style draws a caption.
class LinesApartPainter : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* label = qobject_cast<QLabel*>(watched);
    if (label == nullptr || event->type() != QEvent::Paint) return false;
    QPainter painter(label);
    const QRect area = label->contentsRect();
    const qreal step = LineStep(label->font(), label->text(), label->devicePixelRatioF());
    const int height = static_cast<int>(std::ceil(step));
    const Qt::Alignment align = (label->alignment() & Qt::AlignHorizontal_Mask) | Qt::AlignTop;
    qreal top = area.top();
    for (const QString& line : WrappedLines(label->font(), label->text(), area.width())) {
      painter.save();
      painter.translate(0, top);
      label->style()->drawItemText(&painter, QRect(area.left(), 0, area.width(), height),
                                   static_cast<int>(align), label->palette(), label->isEnabled(),
                                   line, label->foregroundRole());
      painter.restore();
      top += step;
    }
    return true;
  }
};

// The room a caption has in its control, in the control's present font.
bool Fits(const QWidget* widget, const QString& text) {
  const QFontMetrics metrics(widget->font());
  if (auto* label = qobject_cast<const QLabel*>(widget)) {
    if (label->property(kLinesApart).toBool()) {
      const qreal ratio = label->devicePixelRatioF();
      const QStringList lines = WrappedLines(label->font(), text, label->width());
      const QFontMetricsF exact(label->font());
      for (const QString& line : lines) {
        if (exact.horizontalAdvance(line) > label->width()) return false;
      }
      return lines.size() * LineStep(label->font(), text, ratio) <= label->height();
    }
    if (label->wordWrap()) {
      const QRect needed =
          metrics.boundingRect(QRect(0, 0, label->width(), 1 << 20),
                               static_cast<int>(label->alignment()) | Qt::TextWordWrap, text);
      return needed.width() <= label->width() && needed.height() <= label->height();
    }
    return metrics.horizontalAdvance(text) <= label->width() && metrics.height() <= label->height();
  }
  if (auto* box = qobject_cast<const QGroupBox*>(widget)) {
    return metrics.horizontalAdvance(text) <= box->width();
  }
  int needed = metrics.horizontalAdvance(text);
  if (qobject_cast<const QCheckBox*>(widget)) {
    needed += widget->style()->pixelMetric(QStyle::PM_IndicatorWidth) +
              widget->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
  } else {
    needed += 2 * kButtonFrame;
  }
  return needed <= widget->width();
}

QString Caption(const QWidget* widget) {
  if (auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
  if (auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
  if (auto* box = qobject_cast<const QGroupBox*>(widget)) return box->title();
  return QString();
}

void Fit(QWidget* widget, const QStringList& texts) {
  auto allFit = [&] {
    for (const QString& text : texts) {
      if (!text.isEmpty() && !Fits(widget, text)) return false;
    }
    return true;
  };
  QFont font = widget->font();
  if (font.pixelSize() <= 0) return;  // the forms give every font in pixels
  while (!allFit() && font.pixelSize() > kSmallestPixels) {
    font.setPixelSize(font.pixelSize() - 1);
    widget->setFont(font);
  }
}

}  // namespace

#ifdef _WIN32
void UseFreeTypeFontEngine() {
  // Windows' own engines (GDI, DirectWrite) hint and space glyphs their own way, and follow
  // the PC's ClearType settings; FreeType draws our files as it does on Linux. Asked for
  // through the environment rather than a -platform argument, which the program's command
  // line refuses as any unknown option; a QT_QPA_PLATFORM the user sets still wins.
  // Without our files the system's font is used, and only the system's engine finds it: Qt's
  // FreeType engine knows the fonts the registry lists under Windows' font folder, which is
  // not every font the system has (Wine lists no Tahoma there) and falls back to any face.
  wchar_t module[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  const QString folder =
      QFileInfo(QString::fromWCharArray(module, static_cast<int>(length))).absolutePath();
  for (const char* file : kFontFiles) {
    if (!QFileInfo(folder + u'/' + QString::fromLatin1(file)).isReadable()) return;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "windows:fontengine=freetype");
  }
}
#endif

QStringList RegisterApplicationFonts(const QString& folder) {
  static bool registered = false;
  QStringList notLoaded;
  if (registered) return notLoaded;
  registered = true;
#ifdef _WIN32
  const bool wanted = true;
#else
  // Known through fontconfig: nothing to add.
  const bool wanted = !Known(kMainWinFamily) || !Known(kDialogFamily);
#endif
  const QString from = folder.isNull() ? DefaultFontFolder() : folder;
  for (const char* file : kFontFiles) {
    if (!wanted || from.isEmpty()) break;
    const QString path = QDir::toNativeSeparators(from + u'/' + QString::fromLatin1(file));
    // Read here, by Qt's file code, which takes any folder name: handed the path, the font
    // engine opens the file again through the ANSI code page on Windows, and draws nothing
    // from a folder whose name that code page cannot spell.
    QFile font(path);
    const int id = font.open(QIODevice::ReadOnly)
                       ? QFontDatabase::addApplicationFontFromData(font.readAll())
                       : -1;
    if (id < 0) {
      notLoaded << path;
      continue;
    }
    LoadedFamilies() << QFontDatabase::applicationFontFamilies(id);
  }
  // A face registered but not the one that draws (the engine found no glyphs for it) is as
  // missing as a file that would not load.
  for (const char* family : {kMainWinFamily, kDialogFamily}) {
    if (LoadedFamilies().contains(QString::fromLatin1(family)) &&
        QFontInfo(NamedFont(family, kDialogPixels, false)).family() !=
            QString::fromLatin1(family)) {
      notLoaded << QString::fromLatin1(family);
    }
  }
  // Message boxes show the application's default font: the dialog face reads the same on
  // both systems, where the platform's default differs from PC to PC.
  if (Known(kDialogFamily)) QApplication::setFont(DialogFont());
  return notLoaded;
}

QString FontsNotLoadedLine(const QStringList& files) {
  if (files.isEmpty()) return QString();
  return QStringLiteral("kpnox-koder: could not load %1; the system font stands in\n")
      .arg(files.join(QStringLiteral(", ")));
}

bool WindowsFontsAvailable() { return Known(kDialogFamily); }

QFont MainWinFont(int pixels, bool bold) {
  if (pixels == kMainWinPixels && !bold && !ScaledScreen() && Known(kMainWinFamily)) {
    return NamedFont(kMainWinFamily, pixels, false);
  }
  return NamedFont(kDialogFamily, pixels, bold);
}

QFont DialogFont(bool bold) { return NamedFont(kDialogFamily, kDialogPixels, bold); }

void KeepLinesApart(QLabel* label) {
  if (label->property(kLinesApart).toBool()) return;
  label->setProperty(kLinesApart, true);
  label->installEventFilter(new LinesApartPainter(label));
  label->update();
}

void FitCaptions(QWidget* form, const QList<CaptionTexts>& otherTexts) {
  for (QWidget* widget : form->findChildren<QWidget*>()) {
    if (widget->window() != form) continue;  // a dialog the form owns fits itself
    QStringList texts{Caption(widget)};
    for (const CaptionTexts& other : otherTexts) {
      if (other.widget == widget) texts += other.texts;
    }
    if (qobject_cast<QLabel*>(widget) || qobject_cast<QAbstractButton*>(widget) ||
        qobject_cast<QGroupBox*>(widget)) {
      Fit(widget, texts);
    }
  }
}
