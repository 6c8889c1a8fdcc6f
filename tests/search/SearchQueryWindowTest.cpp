// The "Search" command of the search window: what it sends, when it refuses,
// how it fills the grid, and how failures are logged and shown.

#include <QComboBox>
#include <QPushButton>
#include <QtTest>

#include "SearchFixture.h"
#include "dicom/DicomError.h"

using searchtest::Fixture;
using searchtest::kError;
using searchtest::kTooWide;
using searchtest::study;

class SearchQueryWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Fixture> f;

  std::vector<dicom::DataSet> studies(int count) {
    std::vector<dicom::DataSet> matches;
    for (int i = 1; i <= count; ++i) {
      matches.push_back(study(QString("1.2.826.0.1.%1").arg(i),
                              QString("P%1").arg(i, 4, 10, QChar('0')),
                              QString("Name%1^Given").arg(i)));
    }
    return matches;
  }

  const dicom::DataSet& sentIdentifier() const {
    return f->toolkit.script.queries.back().identifier;
  }

  // Fills the grid with a first result so that refusals can show it stays.
  void fillThreeRows() {
    f->searchListing(studies(3));
    QCOMPARE(f->window->grid1->rowCount(), 3);
    f->toolkit.script.queries.clear();
    f->window->txtPatID->clear();
  }

  void expectRefusal() {
    QCOMPARE(f->messages.size(), std::size_t(1));
    QCOMPARE(f->messages[0].icon, QMessageBox::Critical);
    QCOMPARE(f->messages[0].text, kTooWide);
    QCOMPARE(f->messages[0].caption, QString("Tavrin"));
    QVERIFY(searchtest::logLines().isEmpty());
  }

 private slots:
  void init() { f = std::make_unique<Fixture>(); }
  void cleanup() { f.reset(); }

  void noCriterionIsRefusedWithoutSending() {
    fillThreeRows();
    f->window->cmdSearch_Click();
    expectRefusal();
    QVERIFY(f->toolkit.script.queries.empty());
    QCOMPARE(f->column(3), (QStringList{"P0001", "P0002", "P0003"}));
  }

  void wildcardOnlyCriteriaAreRefused_data() {
    QTest::addColumn<QString>("patientID");
    QTest::addColumn<QString>("surname");
    QTest::addColumn<QString>("given");
    QTest::newRow("surname *") << ""
                               << "*"
                               << "";
    QTest::newRow("surname ***") << ""
                                 << "***"
                                 << "";
    QTest::newRow("id %%%") << "%%%"
                            << ""
                            << "";
    QTest::newRow("id *^%") << "*^%"
                            << ""
                            << "";
    QTest::newRow("id ^") << "^"
                          << ""
                          << "";
    QTest::newRow("both %% and *") << "%%"
                                   << "%"
                                   << "";
    QTest::newRow("surname * given *") << ""
                                       << "*"
                                       << "*";
  }
  void wildcardOnlyCriteriaAreRefused() {
    QFETCH(QString, patientID);
    QFETCH(QString, surname);
    QFETCH(QString, given);
    f->window->txtPatID->setText(patientID);
    f->window->txtName2->setText(surname);
    f->window->txtName1->setText(given);
    f->window->cmdSearch_Click();
    expectRefusal();
    QVERIFY(f->toolkit.script.queries.empty());
    QCOMPARE(f->window->txtPatID->text(), QString(""));
    QCOMPARE(f->window->txtPatName->text(), QString(""));
  }

  void criteriaAreNormalisedBeforeSending() {
    auto& w = *f->window;
    w.txtName2->setText("***");
    w.txtName1->setText("An%%%na");
    w.txtPatID->setText("*%");
    w.txtStudyDesc->setText("Mammo**");
    w.txtAccNum->setText("A**%%");
    w.cmdSearch_Click();
    QVERIFY(f->messages.empty());
    const dicom::DataSet& id = sentIdentifier();
    QCOMPARE(w.txtName2->text(), QString("*"));
    QCOMPARE(w.txtName1->text(), QString("An%na"));
    QCOMPARE(w.txtPatName->text(), QString("*^An%na"));
    QCOMPARE(id.patientName(), QString("*^An%na"));
    QCOMPARE(id.patientID(), QString("*%"));
    QCOMPARE(id.studyDescription(), QString("Mammo**"));
    QCOMPARE(id.accessionNumber(), QString("A*%"));
  }

  void eachCriterionAloneIsSent() {
    auto& w = *f->window;
    w.txtStudyDesc->setText("*");
    w.cmdSearch_Click();
    QCOMPARE(sentIdentifier().studyDescription(), QString("*"));

    w.txtStudyDesc->clear();
    w.cboSex->setEditText("O");
    w.cmdSearch_Click();
    QCOMPARE(sentIdentifier().sex(), QString("O"));

    w.cboSex->setEditText("");
    w.dtpBirth->setValue(QDate(1960, 3, 5));
    w.cmdSearch_Click();
    QCOMPARE(sentIdentifier().birthDate(), QString("19600305"));
    QCOMPARE(sentIdentifier().attribute(0x0008, 0x0020).value(), QString(""));

    w.dtpBirth->setValue(std::nullopt);
    w.dtpStudyDate->setValue(QDate(2024, 1, 15));
    w.cmdSearch_Click();
    QCOMPARE(sentIdentifier().attribute(0x0008, 0x0020).value(), QString("20240115"));
    QCOMPARE(sentIdentifier().birthDate(), QString(""));

    QCOMPARE(f->toolkit.script.queries.size(), std::size_t(4));
    QVERIFY(f->messages.empty());
  }

  void accessionAloneSendsEveryOtherKeyEmpty() {
    f->window->txtAccNum->setText("A0001");
    f->window->cmdSearch_Click();
    QCOMPARE(f->toolkit.script.queries.size(), std::size_t(1));
    const fake::QueryCall& call = f->toolkit.script.queries[0];
    QCOMPARE(call.kind, fake::QueryCall::Find);
    QCOMPARE(call.port, 11104);
    QCOMPARE(call.node, QString("127.0.0.1"));
    QCOMPARE(call.calledAE, QString("ARCHIVE"));
    QCOMPARE(call.callingAE, QString("STATION"));
    QCOMPARE(call.root, QString("STUDY"));

    namespace t = dicom::tags;
    const std::map<dicom::Tag, QString> expected = {
        {t::PatientName, ""},      {t::PatientID, ""},
        {t::PatientSex, ""},       {t::PatientBirthDate, ""},
        {t::StudyDate, ""},        {t::QueryRetrieveLevel, "STUDY"},
        {t::StudyDescription, ""}, {t::AccessionNumber, "A0001"},
        {t::StudyInstanceUID, ""}, {t::StudyTime, ""},
        {t::Modality, ""},         {t::ModalitiesInStudy, ""}};
    QCOMPARE(call.identifier.elements(), expected);
  }

  void nameKeysAsSent() {
    auto& w = *f->window;
    w.txtName2->setText("Smith");
    w.txtName1->setText("Anna");
    w.cmdSearch_Click();
    QCOMPARE(sentIdentifier().patientName(), QString("Smith^Anna"));
    w.txtName1->clear();
    w.cmdSearch_Click();
    QCOMPARE(sentIdentifier().patientName(), QString("Smith"));
    w.txtName2->setText("van Dyk");
    w.cmdSearch_Click();
    QCOMPARE(sentIdentifier().patientName(), QString("van^Dyk"));
    QCOMPARE(w.txtPatName->text(), QString("van Dyk"));
    w.txtName2->clear();
    w.txtName1->setText("Anna");
    w.cmdSearch_Click();
    QCOMPARE(sentIdentifier().patientName(), QString("*^Anna"));
  }

  void searchMovesTheFocusToTheButton() {
    f->window->show();
    f->window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f->window.get()));
    f->window->txtPatID->setFocus();
    f->searchListing(studies(2));
    QCOMPARE(QApplication::focusWidget(), f->window->cmdSearch);
  }

  void rowsShowTheMatches() {
    std::vector<dicom::DataSet> matches = studies(2);
    matches[1].setPatientName("Smith^Anna^^Dr");
    matches[1].remove(dicom::tags::Modality);
    f->searchListing(matches);
    auto& grid = *f->window->grid1;
    QCOMPARE(grid.rowCount(), 2);
    const QStringList first = {"1.2.826.0.1.1", "20240115", "P0001",     "Name1 Given", "F",
                               "19600305",      "093000",   "Screening", "ACC-P0001",   "MG"};
    const QStringList second = {"1.2.826.0.1.2", "20240115", "P0002",     "Smith Anna  Dr", "F",
                                "19600305",      "093000",   "Screening", "ACC-P0002",      ""};
    for (int c = 1; c <= 10; ++c) {
      QCOMPARE(grid.cellText(1, c), first[c - 1]);
      QCOMPARE(grid.cellText(2, c), second[c - 1]);
      const bool centred = grid.item(0, c - 1)->textAlignment() & Qt::AlignHCenter;
      QCOMPARE(centred, c == 2 || c == 5 || c == 6 || c == 7 || c == 10);
    }
    QVERIFY(grid.redraw());
  }

  void limit399Listed400Refused() {
    f->searchListing(studies(399));
    QVERIFY(f->messages.empty());
    QCOMPARE(f->window->grid1->rowCount(), 399);
    QCOMPARE(f->window->grid1->cellText(399, 3), QString("P0399"));
    QCOMPARE(f->window->grid1->cellText(1, 3), QString("P0001"));

    f->searchListing(studies(400));
    expectRefusal();
    QCOMPARE(f->toolkit.script.queries.size(), std::size_t(2));
    QCOMPARE(f->window->grid1->rowCount(), 399);
  }

  void accessionNumberLifts400Limit() {
    f->window->txtAccNum->setText("ACC*");
    f->searchListing(studies(400));
    QVERIFY(f->messages.empty());
    QCOMPARE(f->window->grid1->rowCount(), 400);
  }

  void noMatchShowsNoDataRow() {
    f->searchListing(studies(3));
    f->searchListing({});
    auto& grid = *f->window->grid1;
    QCOMPARE(grid.rowCount(), 1);
    QCOMPARE(grid.cellText(1, 2), QString("No data"));
    QVERIFY(grid.item(0, 1)->textAlignment() & Qt::AlignHCenter);
    for (int c : {1, 3, 4, 5, 6, 7, 8, 9, 10}) QCOMPARE(grid.cellText(1, c), QString(""));
  }

  void fillProcessesEventsWithDrawingOff() {
    // Events posted while the query runs are handled during the fill, one
    // row at a time; a second press meanwhile does not start another search.
    int rowsSeen = -1;
    bool drawingSeen = true;
    f->toolkit.script.onFind = [&](const fake::QueryCall&) {
      QTimer::singleShot(0, f->window.get(), [&] {
        rowsSeen = f->window->grid1->rowCount();
        drawingSeen = f->window->grid1->redraw();
        f->window->cmdSearch_Click();
      });
    };
    f->searchListing(studies(5));
    QCOMPARE(rowsSeen, 0);
    QVERIFY(!drawingSeen);
    QVERIFY(f->window->grid1->redraw());
    QCOMPARE(f->toolkit.script.queries.size(), std::size_t(1));
    QCOMPARE(f->window->grid1->rowCount(), 5);
  }

  void remotePortNotANumberIsLoggedThenShown() {
    fillThreeRows();
    ConnectionSettings.RemotePort = "abc";
    f->window->txtPatID->setText("P1");
    f->window->cmdSearch_Click();
    QVERIFY(f->toolkit.script.queries.empty());
    const QStringList lines = searchtest::logLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].endsWith(" - cmdSearch_Click"), qPrintable(lines[0]));
    QVERIFY(lines[0].contains("abc"));
    QVERIFY(lines[0].contains(QString(" - %1 - ").arg(dicom::OwnError::InvalidArgument)));
    QCOMPARE(f->messages.size(), std::size_t(1));
    QCOMPARE(f->messages[0].icon, QMessageBox::Critical);
    QCOMPARE(f->messages[0].text, kError);
    QCOMPARE(f->messages[0].caption, QString("Brevant"));
    QCOMPARE(f->messages[0].logLinesWhenShown, 1);
    QCOMPARE(f->column(3), (QStringList{"P0001", "P0002", "P0003"}));
  }

  void failedQueryKeepsRowsAndLogsItsNumber() {
    fillThreeRows();
    f->toolkit.script.onFind = [](const fake::QueryCall&) {
      throw dicom::DicomError(0xC000, "Unable to process");
    };
    f->window->txtPatID->setText("P1");
    f->window->cmdSearch_Click();
    const QStringList lines = searchtest::logLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].endsWith(" - 49152 - Unable to process - cmdSearch_Click"),
             qPrintable(lines[0]));
    QCOMPARE(f->messages.size(), std::size_t(1));
    QCOMPARE(f->messages[0].text, kError);
    QCOMPARE(f->window->grid1->rowCount(), 3);
    QCOMPARE(f->window->txtPatID->text(), QString("P1"));
  }

  void unicodeCriteriaAndResultsPassUnchanged() {
    f->window->txtName2->setText(QString::fromUtf8("Müller"));
    f->toolkit.script.matches = {study("1.5", "P5", QString::fromUtf8("Müller^Jürgen"))};
    f->window->cmdSearch_Click();
    QCOMPARE(sentIdentifier().patientName(), QString::fromUtf8("Müller"));
    QCOMPARE(f->window->grid1->cellText(1, 4), QString::fromUtf8("Müller Jürgen"));
  }
};

QTEST_MAIN(SearchQueryWindowTest)
#include "SearchQueryWindowTest.moc"
