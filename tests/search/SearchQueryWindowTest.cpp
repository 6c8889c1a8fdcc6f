// The two commands of the search window on the fake DICOM interface:
// "Search" (how it normalises and sends the criteria, when it refuses, how
// it fills the grid) and the double-click that retrieves a study, and how
// both log and show their failures. Matches and the match limit against
// real data, and the real move into the viewer, are the archive tests'.

#include <QHeaderView>
#include <QtTest>

#include "SearchFixture.h"
#include "dicom/DicomError.h"

using searchtest::Fixture;
using searchtest::study;

class SearchQueryWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Fixture> f;
  const QStringList listed = {"P1", "P2"};

  std::vector<const fake::QueryCall*> moves() const {
    std::vector<const fake::QueryCall*> result;
    for (const auto& call : f->toolkit.script.queries) {
      if (call.kind == fake::QueryCall::Move) result.push_back(&call);
    }
    return result;
  }

 private slots:
  // Every test starts from a window that lists two studies, shown over a
  // station whose viewer holds one image.
  void init() {
    f = std::make_unique<Fixture>();
    std::vector<dicom::DataSet> two = {study("1.2.3.1", "P1", "Smith^Anna^^Dr"),
                                       study("1.2.3.2", "P2", "Jones^Eve")};
    two[1].remove(dicom::tags::Modality);
    f->searchListing(two);
    f->toolkit.script.queries.clear();
    f->events.clear();
    f->window->txtPatID->clear();
    f->host.view.images().append(f->toolkit.makeImage("9.9", "L CC"));
    f->window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->window.get()));
  }
  void cleanup() { f.reset(); }

  // Wildcards collapse in the fields, empty patterns are cleared, and a
  // search that is left without a criterion is refused before anything is
  // sent, without a log line, the rows kept.
  void criteria_data() {
    QTest::addColumn<QStringList>("fields");  // patient ID, surname, given, description, accession
    QTest::addColumn<QStringList>("sent");    // name, ID, description, accession; none: refused
    const auto row = [](const char* tag, QStringList fields, QStringList sent) {
      QTest::newRow(tag) << fields << sent;
    };
    const QStringList refused;
    row("nothing", {"", "", "", "", ""}, refused);
    row("surname ***", {"", "***", "", "", ""}, refused);
    row("id %%%", {"%%%", "", "", "", ""}, refused);
    row("surname * given *", {"", "*", "*", "", ""}, refused);
    row("normalised", {"*%", "***", "An%%%na", "Mammo**", "A**%%"},
        {"*^An%na", "*%", "Mammo**", "A*%"});
    row("description * alone", {"", "", "", "*", ""}, {"", "", "*", ""});
    row("accession alone", {"", "", "", "", "A0001"}, {"", "", "", "A0001"});
    row("surname and given", {"", "Smith", "Anna", "", ""}, {"Smith^Anna", "", "", ""});
    row("surname with a space", {"", "van Dyk", "", "", ""}, {"van^Dyk", "", "", ""});
    row("given alone", {"", "", "Anna", "", ""}, {"*^Anna", "", "", ""});
  }
  void criteria() {
    QFETCH(QStringList, fields);
    QFETCH(QStringList, sent);
    auto& w = *f->window;
    w.txtPatID->setText(fields[0]);
    w.txtName2->setText(fields[1]);
    w.txtName1->setText(fields[2]);
    w.txtStudyDesc->setText(fields[3]);
    w.txtAccNum->setText(fields[4]);
    w.cmdSearch_Click();
    QVERIFY(searchtest::logLines().isEmpty());
    if (sent.isEmpty()) {
      QCOMPARE(f->messages.size(), std::size_t(1));
      QCOMPARE(f->messages[0].icon, QMessageBox::Critical);
      QCOMPARE(f->messages[0].text, searchtest::kTooWide);
      QCOMPARE(f->messages[0].caption, QString("Tavrin"));
      QVERIFY(f->toolkit.script.queries.empty());
      QCOMPARE(f->column(3), listed);
      QCOMPARE(w.txtPatID->text(), QString(""));
      QCOMPARE(w.txtPatName->text(), QString(""));
      return;
    }
    QVERIFY(f->messages.empty());
    QCOMPARE(f->toolkit.script.queries.size(), std::size_t(1));
    const fake::QueryCall& call = f->toolkit.script.queries[0];
    QCOMPARE(call.kind, fake::QueryCall::Find);
    QCOMPARE((QStringList{QString::number(call.port), call.node, call.calledAE, call.callingAE,
                          call.root}),
             (QStringList{"11104", "127.0.0.1", "ARCHIVE", "STATION", "STUDY"}));
    const dicom::DataSet& id = call.identifier;
    QCOMPARE((QStringList{id.patientName(), id.patientID(), id.studyDescription(),
                          id.accessionNumber()}),
             sent);
    QCOMPARE(w.txtPatID->text(), sent[1]);
    QCOMPARE(w.txtPatName->text().replace(' ', '^'), sent[0]);
  }

  // Values in their columns, the centred ones centred; no match is the
  // centred "No data" row alone.
  void rowsShowTheMatches() {
    auto& grid = *f->window->grid1;
    const QStringList first = {"1.2.3.1",  "20240115", "P1",        "Smith Anna  Dr", "F",
                               "19600305", "093000",   "Screening", "ACC-P1",         "MG"};
    const QStringList second = {"1.2.3.2",  "20240115", "P2",        "Jones Eve", "F",
                                "19600305", "093000",   "Screening", "ACC-P2",    ""};
    QCOMPARE(grid.rowCount(), 2);
    for (int c = 1; c <= 10; ++c) {
      QCOMPARE(grid.cellText(1, c), first[c - 1]);
      QCOMPARE(grid.cellText(2, c), second[c - 1]);
      const bool centred = grid.item(0, c - 1)->textAlignment() & Qt::AlignHCenter;
      QCOMPARE(centred, c == 2 || c == 5 || c == 6 || c == 7 || c == 10);
    }
    QVERIFY(grid.redraw());

    f->searchListing({});
    QCOMPARE(grid.rowCount(), 1);
    QCOMPARE(f->column(2), QStringList{"No data"});
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
    std::vector<dicom::DataSet> five;
    for (int i = 1; i <= 5; ++i) five.push_back(study(QString("1.5.%1").arg(i), "Q", "A^B"));
    f->searchListing(five);
    QCOMPARE(rowsSeen, 0);
    QVERIFY(!drawingSeen);
    QVERIFY(f->window->grid1->redraw());
    QCOMPARE(f->toolkit.script.queries.size(), std::size_t(1));
    QCOMPARE(f->window->grid1->rowCount(), 5);
  }

  // A double-click with the mouse, after the rows were sorted, retrieves
  // the study shown in that row: listening first, the move last, then the
  // watchdog, and the window closes.
  void doubleClickRetrievesTheRowsStudyAndCloses() {
    auto* grid = f->window->grid1;
    QHeaderView* header = grid->horizontalHeader();
    const QPoint name(header->sectionViewportPosition(3) + 5, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, name);  // Jones before Smith
    const QPoint cell = grid->visualItemRect(grid->item(0, 2)).center();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell);
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, cell);
    QTRY_COMPARE_WITH_TIMEOUT(moves().size(), std::size_t(1), 2000);
    const fake::QueryCall& move = *moves()[0];
    QCOMPARE((QStringList{QString::number(move.port), move.node, move.calledAE, move.callingAE,
                          move.root, move.level, move.destination, move.studyUID}),
             (QStringList{"11104", "127.0.0.1", "ARCHIVE", "STATION", "STUDY", "STUDY", "STATION",
                          "1.2.3.2"}));
    QCOMPARE(f->events, (QStringList{"confirmDiscardChanges", "listen 11112",
                                     "State true Receiving Images ...", "move", "startWatchdog"}));
    dicom::Viewer& viewer = f->host.view;
    QVERIFY(viewer.option(dicom::Viewer::OptionKeepReceived));
    QVERIFY(!viewer.option(dicom::Viewer::OptionRedrawEachImage));
    QCOMPARE(viewer.images().count(), 0);
    QVERIFY(f->toolkit.lastReceiver);
    QCOMPARE(f->toolkit.lastReceiver->aeTitle, QString("STATION"));
    QVERIFY(!f->window->isVisible());
    QCOMPARE(f->window->result(), int(QDialog::Accepted));
    QVERIFY(f->messages.empty());
    QVERIFY(searchtest::logLines().isEmpty());
  }

  // The "No data" row (in any case) and a declined discard of unsent labels.
  void doubleClickThatDoesNothing_data() {
    QTest::addColumn<QString>("noData");
    QTest::addColumn<QStringList>("events");
    QTest::newRow("No data") << "No data" << QStringList{};
    QTest::newRow("NO data") << "NO data" << QStringList{};
    QTest::newRow("discard declined") << "" << QStringList{"confirmDiscardChanges"};
  }
  void doubleClickThatDoesNothing() {
    QFETCH(QString, noData);
    QFETCH(QStringList, events);
    if (noData.isEmpty()) {
      f->host.confirm = false;
    } else {
      f->searchListing({});
      f->window->grid1->setCell(1, 2, noData);
      f->toolkit.script.queries.clear();
      f->events.clear();
    }
    f->window->grid1_RowDoubleClick(1, 2);
    QVERIFY(f->toolkit.script.queries.empty());
    QCOMPARE(f->events, events);
    QVERIFY(!f->host.view.option(dicom::Viewer::OptionKeepReceived));
    QCOMPARE(f->host.view.images().count(), 1);
    QVERIFY(f->window->isVisible());
    QVERIFY(f->messages.empty());
  }

  // One log line labelled "cmdSearch_Click", then the two-line message over
  // the open window, its rows and criteria kept; what was done before the
  // failing step stays done.
  void failureIsLoggedThenShown_data() {
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("logLine");  // a pattern
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<bool>("keepReceived");  // option switched on before the failure
    QTest::addColumn<int>("images");         // left in the viewer
    const auto row = [](const char* failure, QString logLine, QStringList events, bool keep,
                        int images) {
      QTest::newRow(failure) << QString(failure) << logLine + " - cmdSearch_Click$" << events
                             << keep << images;
    };
    const QString invalid = QString(" - %1 - ").arg(dicom::OwnError::InvalidArgument);
    const QStringList confirm = {"confirmDiscardChanges"};
    row("search, RemotePort abc", invalid + ".*abc.*", {}, false, 1);
    row("search, failed find", " - 49152 - Unable to process", {"find"}, false, 1);
    row("retrieve, RemotePort abc", invalid + ".*abc.*", confirm, false, 1);
    row("retrieve, LocPort 11x", invalid + ".*11x.*", confirm, true, 1);
    row("retrieve, port in use", QString(" - %1 - Port in use").arg(dicom::OwnError::PortInUse),
        confirm, true, 1);
    row("retrieve, move refused", " - 43009 - Move destination unknown",
        {"confirmDiscardChanges", "listen 11112", "State true Receiving Images ...", "move"}, true,
        0);
  }
  void failureIsLoggedThenShown() {
    QFETCH(QString, failure);
    QFETCH(QString, logLine);
    QFETCH(QStringList, events);
    QFETCH(bool, keepReceived);
    QFETCH(int, images);
    if (failure.endsWith("abc")) ConnectionSettings.RemotePort = "abc";
    if (failure.endsWith("11x")) ConnectionSettings.LocPort = "11x";
    f->toolkit.script.onFind = [this](const fake::QueryCall&) {
      f->events << "find";
      throw dicom::DicomError(0xC000, "Unable to process");
    };
    f->toolkit.script.onMove = [this](const fake::QueryCall&) {
      f->events << "move";
      throw dicom::DicomError(0xA801, "Move destination unknown");
    };
    if (failure.endsWith("in use")) {
      f->toolkit.script.onListen = [](std::int32_t) {
        throw dicom::DicomError(dicom::OwnError::PortInUse, "Port in use");
      };
    }
    if (failure.startsWith("search")) {
      f->window->txtPatID->setText("P1");
      f->window->cmdSearch_Click();
      QCOMPARE(f->window->txtPatID->text(), QString("P1"));
    } else {
      f->window->grid1_RowDoubleClick(1, 3);
    }
    const QStringList lines = searchtest::logLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].contains(QRegularExpression(logLine)), qPrintable(lines[0]));
    QCOMPARE(f->messages.size(), std::size_t(1));
    QCOMPARE(f->messages[0].icon, QMessageBox::Critical);
    QCOMPARE(f->messages[0].text, searchtest::kError);
    QCOMPARE(f->messages[0].caption, QString("Brevant"));
    QCOMPARE(f->messages[0].logLinesWhenShown, 1);
    QVERIFY(f->window->isVisible());
    QVERIFY(f->window->result() != QDialog::Accepted);
    QCOMPARE(f->column(3), listed);
    QCOMPARE(f->events, events);
    QCOMPARE(f->host.view.option(dicom::Viewer::OptionKeepReceived), keepReceived);
    QCOMPARE(f->host.view.images().count(), images);
  }
};

QTEST_MAIN(SearchQueryWindowTest)
#include "SearchQueryWindowTest.moc"
