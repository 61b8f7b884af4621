// The two typefaces of the forms. The metric-compatible free versions of the Windows fonts
// (Debian's fonts-wine) are not known to fontconfig, so they are registered with Qt at
// start-up; without them the platform's sans serif stands in at the same pixel size.
#pragma once

#include <QFont>

// Registers the font files that exist; call once after the application object. Harmless twice.
void RegisterApplicationFonts();

// The main window's "MS Sans Serif", 11 pixels. That face is a bitmap font of which Qt can use
// one size only, with no bold, so a label asking for another size or for bold gets Tahoma,
// its scalable relative, instead.
QFont MainWinFont(int pixels = 11, bool bold = false);
// "Tahoma", 13 pixels: the login and password-change dialogs.
QFont DialogFont(bool bold = false);
