// The display-free query logic: wildcard collapse, empty patterns, the
// width test, name composition and the values the identifier carries.
// What the window and a real peer see is checked in the window and archive tests.

#include <QtTest>
#include <functional>

#include "search/StudyQuery.h"

using search::Criteria;

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

  // Every criterion alone is enough to search; the accession number alone
  // too, though it names no criterion; it also lifts the match limit.
  void widthAndLimit() {
    Criteria none;
    QVERIFY(search::isTooWide(none));
    Criteria accession;
    accession.accessionNumber = "A1";
    QVERIFY(search::namesNoCriterion(accession));
    QVERIFY(!search::isTooWide(accession));
    const std::vector<std::function<void(Criteria&)>> setters = {
        [](Criteria& c) { c.patientID = "P1"; },
        [](Criteria& c) { c.patientName = " "; },
        [](Criteria& c) { c.sex = "O"; },
        [](Criteria& c) { c.birthDate = QDate(1960, 3, 5); },
        [](Criteria& c) { c.studyDate = QDate(2024, 1, 15); },
        [](Criteria& c) { c.studyDescription = "*"; }};
    for (const auto& set : setters) {
      Criteria c;
      set(c);
      QVERIFY(!search::isTooWide(c));
    }
    QVERIFY(!search::exceedsLimit(399, ""));
    QVERIFY(search::exceedsLimit(400, ""));
    QVERIFY(!search::exceedsLimit(400, "A1"));
  }

  void identifierValues_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QDate>("birth");
    QTest::addColumn<QString>("sentName");
    QTest::addColumn<QString>("sentBirth");
    QTest::newRow("given only") << "*^Anna" << QDate() << "*^Anna"
                                << "";
    QTest::newRow("spaces") << "de la Cruz^Ana Maria" << QDate(1960, 3, 5) << "de^la^Cruz^Ana^Maria"
                            << "19600305";
    QTest::newRow("unicode") << QString::fromUtf8("Müller^Jürgen") << QDate(999, 1, 2)
                             << QString::fromUtf8("Müller^Jürgen") << "09990102";
  }
  void identifierValues() {
    QFETCH(QString, name);
    QFETCH(QDate, birth);
    QFETCH(QString, sentName);
    QFETCH(QString, sentBirth);
    Criteria c;
    c.patientName = name;
    if (birth.isValid()) c.birthDate = birth;
    dicom::DataSet identifier;
    search::fillIdentifier(identifier, c);
    QCOMPARE(identifier.patientName(), sentName);
    QCOMPARE(identifier.birthDate(), sentBirth);
    QVERIFY(!identifier.elements().at(dicom::tags::StudyDate).isNull());
    QCOMPARE(identifier.elements().at(dicom::tags::StudyDate), QString(""));
  }
};

QTEST_GUILESS_MAIN(StudyQueryTest)
#include "StudyQueryTest.moc"
