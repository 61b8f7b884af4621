// Qt's own texts in Polish: where the translation is found (the program's resource before
// Qt's folder), and that the edit boxes' context menu then speaks Polish.
#include "app/QtTranslation.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTranslator>

#include <memory>

class TranslationTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    if (!QFile::exists(QString::fromLatin1(kQtTranslationResource))) {
      QSKIP("qtbase_pl.qm was not there to build in (qt6-translations-l10n)");
    }
  }

  void whereFound_data() {
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("taken");
    const QStringList files = QtTranslationFiles();
    QTest::newRow("resource first") << files << QString::fromLatin1(kQtTranslationResource);
    QTest::newRow("Qt's folder without the resource")
        << QStringList{QStringLiteral(":/i18n/none.qm"), files.last()} << files.last();
  }

  void whereFound() {
    QFETCH(QStringList, files);
    QFETCH(QString, taken);
    // The build took the file from qt6-translations-l10n, so Qt's folder holds it too.
    QVERIFY2(QFile::exists(taken), qPrintable(taken));
    QTranslator translator;
    QCOMPARE(LoadQtTranslation(translator, files), taken);
    QVERIFY(!translator.isEmpty());
  }

  // The menu an operator gets with the right mouse button in any edit box.
  void editMenuIsPolish() {
    QTranslator translator;
    QVERIFY(!LoadQtTranslation(translator).isEmpty());
    QVERIFY(QCoreApplication::installTranslator(&translator));
    QLineEdit edit;
    const std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList texts;
    for (QAction* action : menu->actions()) {
      if (!action->isSeparator()) texts << action->text().section(u'\t', 0, 0).remove(u'&');
    }
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(texts, (QStringList{"Cofnij", "Przywróć", "Wytnij", "Skopiuj", "Wklej", "Usuń",
                                 "Zaznacz wszystko"}));
  }
};

QTEST_MAIN(TranslationTest)
#include "TranslationTest.moc"
