#include "AppFonts.h"

#include <QFile>
#include <QFontDatabase>
#include <QString>

namespace {

const char* const kFontFolder = "/usr/share/wine/fonts/";
// Wine's tahomabd.ttf has Tahoma Bold's widths but strokes hardly heavier than the regular
// face, so bold text would not look bold; Qt emboldens the regular face instead.
const char* const kFontFiles[] = {"ms_sans_serif.ttf", "tahoma.ttf"};

const char* const kMainWinFamily = "MS Sans Serif";
const char* const kDialogFamily = "Tahoma";
constexpr int kMainWinPixels = 11;
constexpr int kDialogPixels = 13;

QFont NamedFont(const char* family, int pixels, bool bold) {
  QFont font;
  const QString name = QString::fromLatin1(family);
  if (QFontDatabase::families().contains(name)) {
    font.setFamily(name);
  } else {
    font.setFamily(QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
    font.setStyleHint(QFont::SansSerif);
  }
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

}  // namespace

void RegisterApplicationFonts() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  for (const char* file : kFontFiles) {
    const QString path = QString::fromLatin1(kFontFolder) + QString::fromLatin1(file);
    if (QFile::exists(path)) QFontDatabase::addApplicationFont(path);
  }
}

QFont MainWinFont(int pixels, bool bold) {
  if (pixels == kMainWinPixels && !bold) return NamedFont(kMainWinFamily, pixels, false);
  return NamedFont(kDialogFamily, pixels, bold);
}

QFont DialogFont(bool bold) { return NamedFont(kDialogFamily, kDialogPixels, bold); }
