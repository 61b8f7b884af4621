// Qt's own texts in Polish, like the rest of the program: the edit boxes' context menu and
// the standard buttons come from qtbase's Polish translation.
#pragma once

#include <QStringList>

class QTranslator;

// Where a build on a static Qt puts the translation: into the program itself.
inline constexpr char kQtTranslationResource[] = ":/i18n/qtbase_pl.qm";

// The files tried, in order: the program's resource, then the file in Qt's translations
// folder (Debian's qt6-translations-l10n on Linux).
QStringList QtTranslationFiles();

// Loads the first of `files` that loads into `translator`; the file it took, or an empty text
// when none did (Qt's texts then stay English).
QString LoadQtTranslation(QTranslator& translator, const QStringList& files = QtTranslationFiles());
