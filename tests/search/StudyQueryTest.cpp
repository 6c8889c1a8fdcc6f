// The display-free query logic: wildcard collapse, empty patterns, the
// width test, name composition, the identifier and the row values.

#include <QtTest>

#include "dicom/Query.h"
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
    QTest::newRow("five asterisks") << "Sm*****"
                                    << "**"
                                    << "*"
                                    << "Sm*";
    QTest::newRow("two runs") << "**a***b****"
                              << "**"
                              << "*"
                              << "*a*b*";
    QTest::newRow("percent run") << "%%%"
                                 << "%%"
                                 << "%"
                                 << "%";
    QTest::newRow("mixed stays") << "*%"
                                 << "**"
                                 << "*"
                                 << "*%";
    QTest::newRow("mixed runs") << "**%%*%"
                                << "**"
                                << "*"
                                << "*%%*%";
    QTest::newRow("no occurrence") << "Smith"
                                   << "**"
                                   << "*"
                                   << "Smith";
    QTest::newRow("case sensitive") << "aAaA"
                                    << "aa"
                                    << "a"
                                    << "aAaA";
    QTest::newRow("empty") << ""
                           << "**"
                           << "*"
                           << "";
  }
  void collapse() {
    QFETCH(QString, text);
    QFETCH(QString, find);
    QFETCH(QString, replacement);
    QFETCH(QString, expected);
    QCOMPARE(search::collapseRepeated(text, find, replacement), expected);
  }

  void collapseBothWildcardsInTurn() {
    // The query collapses "**" first, then "%%": a mixed run keeps one of each
    // where they alternate.
    QString text = search::collapseRepeated("***%%%*%", "**", "*");
    text = search::collapseRepeated(text, "%%", "%");
    QCOMPARE(text, QString("*%*%"));
  }

  void replaceOnceReportsWhetherItChanged() {
    QString text = "a****";
    QVERIFY(search::replaceOnce(text, "**", "*"));
    QCOMPARE(text, QString("a**"));
    QVERIFY(search::replaceOnce(text, "**", "*"));
    QCOMPARE(text, QString("a*"));
    QVERIFY(!search::replaceOnce(text, "**", "*"));
    QCOMPARE(text, QString("a*"));
  }

  void emptyPatternsAreTheTwelve() {
    const QStringList expected = {"*",  "*^",  "^*", "*^*", "%",   "%^",
                                  "^%", "%^%", "^",  " ^ ", "%^*", "*^%"};
    QCOMPARE(search::emptyPatterns(), expected);
    for (const QString& pattern : expected)
      QVERIFY2(search::isEmptyPattern(pattern), qPrintable(pattern));
  }

  void otherTextsAreCriteria_data() {
    QTest::addColumn<QString>("text");
    for (const char* text :
         {"", "*%", "%*", "**", "^^", " ^", "^ ", "*^Anna", "Smith*", "a", "*^%^*"}) {
      QTest::newRow(text[0] ? text : "(empty)") << QString(text);
    }
  }
  void otherTextsAreCriteria() {
    QFETCH(QString, text);
    QVERIFY(!search::isEmptyPattern(text));
  }

  void composition_data() {
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("family");
    QTest::addColumn<QString>("expected");
    QTest::newRow("both") << "Anna"
                          << "Smith"
                          << "Smith^Anna";
    QTest::newRow("family only") << ""
                                 << "Smith"
                                 << "Smith";
    QTest::newRow("given only") << "Anna"
                                << ""
                                << "*^Anna";
    QTest::newRow("neither") << ""
                             << ""
                             << "";
    QTest::newRow("family with space kept") << ""
                                            << "van Dyk"
                                            << "van Dyk";
    QTest::newRow("spaces count") << " "
                                  << ""
                                  << "*^ ";
    QTest::newRow("no trimming") << " Anna "
                                 << " Smith"
                                 << " Smith^ Anna ";
    QTest::newRow("wildcard family") << "Anna"
                                     << "*"
                                     << "*^Anna";
  }
  void composition() {
    QFETCH(QString, given);
    QFETCH(QString, family);
    QFETCH(QString, expected);
    QCOMPARE(search::composePatientName(given, family), expected);
  }

  void widthTest() {
    Criteria none;
    QVERIFY(search::namesNoCriterion(none));
    QVERIFY(search::isTooWide(none));

    Criteria accessionOnly;
    accessionOnly.accessionNumber = "A1";
    QVERIFY(search::namesNoCriterion(accessionOnly));
    QVERIFY(!search::isTooWide(accessionOnly));

    auto one = [](auto set) {
      Criteria c;
      set(c);
      return !search::isTooWide(c);
    };
    QVERIFY(one([](Criteria& c) { c.patientID = "P1"; }));
    QVERIFY(one([](Criteria& c) { c.patientName = "Smith"; }));
    QVERIFY(one([](Criteria& c) { c.sex = "O"; }));
    QVERIFY(one([](Criteria& c) { c.birthDate = QDate(1960, 3, 5); }));
    QVERIFY(one([](Criteria& c) { c.studyDate = QDate(2024, 1, 15); }));
    QVERIFY(one([](Criteria& c) { c.studyDescription = "*"; }));
    QVERIFY(one([](Criteria& c) { c.patientName = " "; }));
  }

  void matchLimit() {
    QVERIFY(!search::exceedsLimit(0, ""));
    QVERIFY(!search::exceedsLimit(399, ""));
    QVERIFY(search::exceedsLimit(400, ""));
    QVERIFY(search::exceedsLimit(5000, ""));
    QVERIFY(!search::exceedsLimit(400, "A1"));
  }

  void identifierCarriesTheEightKeys() {
    Criteria c;
    c.patientName = "van Dyk";
    c.patientID = "P*";
    c.sex = "O";
    c.birthDate = QDate(1960, 3, 5);
    c.studyDescription = "Mammo*";
    c.accessionNumber = "A0001";
    dicom::DataSet identifier;
    search::fillIdentifier(identifier, c);

    namespace t = dicom::tags;
    const std::map<dicom::Tag, QString> expected = {
        {t::PatientName, "van^Dyk"},
        {t::PatientID, "P*"},
        {t::PatientSex, "O"},
        {t::PatientBirthDate, "19600305"},
        {t::StudyDate, ""},
        {t::QueryRetrieveLevel, "STUDY"},
        {t::StudyDescription, "Mammo*"},
        {t::AccessionNumber, "A0001"},
    };
    QCOMPARE(identifier.elements(), expected);
    QVERIFY(!identifier.elements().at(t::StudyDate).isNull());
  }

  void identifierValues_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("sentName");
    QTest::newRow("given only") << "*^Anna"
                                << "*^Anna";
    QTest::newRow("two spaces") << "de la Cruz^Ana Maria"
                                << "de^la^Cruz^Ana^Maria";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("unicode") << QString::fromUtf8("Müller^Jürgen")
                             << QString::fromUtf8("Müller^Jürgen");
  }
  void identifierValues() {
    QFETCH(QString, name);
    QFETCH(QString, sentName);
    Criteria c;
    c.patientName = name;
    c.studyDate = QDate(2024, 12, 1);
    dicom::DataSet identifier;
    search::fillIdentifier(identifier, c);
    QCOMPARE(identifier.patientName(), sentName);
    QCOMPARE(identifier.attribute(0x0008, 0x0020).value(), QString("20241201"));
    QCOMPARE(identifier.birthDate(), QString(""));
  }

  void identifierKeepsTheReturnKeysOfTheQuery() {
    // The identifier comes from the query object, which already asks for the
    // columns the grid shows besides the criteria.
    class NoNetwork : public dicom::Query {
      dicom::MatchCollection find(const dicom::DataSet&) override { return {}; }
      void move() override {}
    } query;
    dicom::DataSet identifier = query.newDataSet();
    search::fillIdentifier(identifier, Criteria{});
    QVERIFY(identifier.contains(dicom::tags::StudyInstanceUID));
    QVERIFY(identifier.contains(dicom::tags::StudyTime));
    QVERIFY(identifier.contains(dicom::tags::Modality));
  }

  void dates() {
    QCOMPARE(search::dicomDate(std::nullopt), QString(""));
    QCOMPARE(search::dicomDate(QDate(1960, 3, 5)), QString("19600305"));
    QCOMPARE(search::dicomDate(QDate(999, 1, 2)), QString("09990102"));
    QCOMPARE(search::dicomDate(QDate()), QString(""));
  }

  void rowOfAMatch() {
    dicom::DataSet match;
    match.setStudyInstanceUID("1.2.3");
    match.set(dicom::tags::StudyDate, "20240115");
    match.setPatientID("P1");
    match.setPatientName("Smith^Anna^^Dr");
    match.setSex("F");
    match.setBirthDate("19600305");
    match.set(dicom::tags::StudyTime, "093000");
    match.setStudyDescription("Screening");
    match.setAccessionNumber("A1");
    match.set(dicom::tags::Modality, "MG");
    const std::array<QString, 10> expected = {"1.2.3", "20240115", "P1",     "Smith Anna  Dr",
                                              "F",     "19600305", "093000", "Screening",
                                              "A1",    "MG"};
    QCOMPARE(search::rowValues(match), expected);
  }

  void rowOfASparseMatch() {
    dicom::DataSet match;
    match.setStudyInstanceUID("1.2.4");
    match.setPatientName(QString::fromUtf8("Müller^Jürgen"));
    const auto row = search::rowValues(match);
    QCOMPARE(row[3], QString::fromUtf8("Müller Jürgen"));
    QVERIFY(!row[9].isNull());
    QCOMPARE(row[9], QString(""));
    QCOMPARE(row[1], QString(""));
    QCOMPARE(row[6], QString(""));
  }
};

QTEST_GUILESS_MAIN(StudyQueryTest)
#include "StudyQueryTest.moc"
