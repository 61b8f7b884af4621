#include "app/QtTranslation.h"

#include <QDir>
#include <QLibraryInfo>
#include <QTranslator>

namespace {

constexpr const char* kQtTranslationFile = "qtbase_pl.qm";

}  // namespace

QStringList QtTranslationFiles() {
  const QDir qtFolder(QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  return {QString::fromLatin1(kQtTranslationResource),
          qtFolder.filePath(QString::fromLatin1(kQtTranslationFile))};
}

QString LoadQtTranslation(QTranslator& translator, const QStringList& files) {
  for (const QString& file : files) {
    if (translator.load(file)) return file;
  }
  return QString();
}
