// The two typefaces of the forms. The metric-compatible free versions of the Windows fonts
// (Debian's fonts-wine) are used where fontconfig knows them, else registered with Qt from
// the folder found at build time. On a screen scaled above 100 % the bitmap face gives way
// to its scalable relative; without the fonts the platform's sans serif stands in, and each
// caption is fitted to its control (FitCaptions).
#pragma once

#include <QFont>
#include <QList>
#include <QString>
#include <QStringList>

class QWidget;

// Registers the font files of `folder` unless the faces are known already; call once after
// the application object. Only the first call of a process counts.
void RegisterApplicationFonts(const QString& folder = QString());

// Whether the Windows faces are there (Tahoma at least), registered or known to fontconfig.
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

// Every label, button and group box of `form` whose caption (or any of its other texts) is
// wider than the control in its font gets the largest smaller pixel size at which all of
// them fit, measured in the face in use. The layout stays as it is.
void FitCaptions(QWidget* form, const QList<CaptionTexts>& otherTexts = {});
