// The display-free query logic: wildcard collapse, empty patterns and name
// composition, edge by edge. The width test, the match limit and the
// identifier a real peer receives are checked through the window and
// against the archive.

#include <QtTest>

#include "search/StudyQuery.h"

class StudyQueryTest : public QObject {
  Q_OBJECT

 private slots:
  void collapse_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("find");
    QTest::addColumn<QString>("replacement");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* tag, const char* text, const char* find, const char* by,
                        const char* expected) {
      QTest::newRow(tag) << QString(text) << QString(find) << QString(by) << QString(expected);
    };
    row("five asterisks", "Sm*****", "**", "*", "Sm*");
    row("two runs", "**a***b****", "**", "*", "*a*b*");
    row("percent run", "%%%", "%%", "%", "%");
    row("mixed stays", "*%", "**", "*", "*%");
    row("mixed runs", "**%%*%", "**", "*", "*%%*%");
    row("no occurrence", "Smith", "**", "*", "Smith");
    row("case sensitive", "aAaA", "aa", "a", "aAaA");
    row("empty", "", "**", "*", "");
  }
  void collapse() {
    QFETCH(QString, text);
    QFETCH(QString, find);
    QFETCH(QString, replacement);
    QFETCH(QString, expected);
    QCOMPARE(search::collapseRepeated(text, find, replacement), expected);
  }

  // The twelve texts that are no criterion, and near misses that are one.
  void emptyPattern_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("empty");
    for (const char* text :
         {"*", "*^", "^*", "*^*", "%", "%^", "^%", "%^%", "^", " ^ ", "%^*", "*^%"})
      QTest::newRow(text) << QString(text) << true;
    for (const char* text : {"", "*%", "%*", "**", "^^", " ^", "^ ", "*^Anna", "Smith*", "*^%^*"})
      QTest::newRow(text[0] ? text : "(empty)") << QString(text) << false;
  }
  void emptyPattern() {
    QFETCH(QString, text);
    QFETCH(bool, empty);
    QCOMPARE(search::isEmptyPattern(text), empty);
  }

  void composition_data() {
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("family");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char* tag, const char* given, const char* family, const char* name) {
      QTest::newRow(tag) << QString(given) << QString(family) << QString(name);
    };
    row("both", "Anna", "Smith", "Smith^Anna");
    row("family only", "", "Smith", "Smith");
    row("given only", "Anna", "", "*^Anna");
    row("neither", "", "", "");
    row("spaces count", " ", "", "*^ ");
    row("no trimming", " Anna ", " Smith", " Smith^ Anna ");
    row("wildcard family", "Anna", "*", "*^Anna");
  }
  void composition() {
    QFETCH(QString, given);
    QFETCH(QString, family);
    QFETCH(QString, expected);
    QCOMPARE(search::composePatientName(given, family), expected);
  }
};

QTEST_GUILESS_MAIN(StudyQueryTest)
#include "StudyQueryTest.moc"
