// The two typefaces of the forms: the metric-compatible free versions of the Windows fonts
// (Debian's fonts-wine). On Linux they are used where fontconfig knows them, else registered
// with Qt from the folder found at build time. On Windows the two files travel beside the
// program and are always loaded from there, drawn by Qt's own FreeType as on Linux, so that
// no font of the PC takes part. On a screen scaled above 100 % the bitmap face gives way to
// its scalable relative; without the fonts the platform's sans serif stands in, and each
// caption is fitted to its control (FitCaptions).
#pragma once

#include <QFont>
#include <QList>
#include <QString>
#include <QStringList>

class QLabel;
class QWidget;

// The font files the forms are drawn with, as they are named in the folder.
inline constexpr const char* kFontFiles[] = {"ms_sans_serif.ttf", "tahoma.ttf"};

#ifdef _WIN32
// Asks Qt's Windows platform plugin for its FreeType font engine when the font files lie
// beside the program; call before the application object is made.
void UseFreeTypeFontEngine();
#endif

// Registers the font files of `folder` (by default the program's own folder on Windows,
// fonts-wine's on Linux, where nothing is registered when fontconfig knows the faces) and
// makes the dialog face the application's default, which message boxes show. Call once after
// the application object; only the first call of a process counts. Returns the paths of the
// files that could not be loaded, and the names of the faces registered that do not draw.
QStringList RegisterApplicationFonts(const QString& folder = QString());

// The line start-up writes when files could not be loaded ("" when all were).
QString FontsNotLoadedLine(const QStringList& files);

// Whether the Windows faces are there (Tahoma at least): on Windows loaded from our files, on
// Linux registered or known to fontconfig.
bool WindowsFontsAvailable();

// The main window's "MS Sans Serif", 11 pixels. That face is a bitmap font of which Qt can use
// one size only, with no bold and no scaling, so a label asking for another size or for bold,
// and every label on a screen scaled above 100 %, gets Tahoma, its scalable relative, instead.
QFont MainWinFont(int pixels = 11, bool bold = false);
// "Tahoma", 13 pixels: the login and password-change dialogs.
QFont DialogFont(bool bold = false);

// The texts a control shows at other times besides its present one.
struct CaptionTexts {
  QWidget* widget;
  QStringList texts;
};

// A word-wrapped label drawn line by line, with at least one blank row of device pixels between
// its lines at every scale (where a scalable face set small to fit would let the accents of
// one line touch the tails of the line above); FitCaptions then fits it by that spacing.
void KeepLinesApart(QLabel* label);

// Every label, button and group box of `form` whose caption (or any of its other texts) is
// wider than the control in its font gets the largest smaller pixel size at which all of
// them fit, measured in the face in use. The layout stays as it is.
void FitCaptions(QWidget* form, const QList<CaptionTexts>& otherTexts = {});
