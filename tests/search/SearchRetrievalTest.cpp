// Retrieving a study by a double-click on its result row.

#include <QtTest>

#include "SearchFixture.h"
#include "dicom/DicomError.h"

using searchtest::Fixture;
using searchtest::kError;
using searchtest::study;

class SearchRetrievalTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<Fixture> f;

  std::vector<const fake::QueryCall*> moves() const {
    std::vector<const fake::QueryCall*> result;
    for (const auto& call : f->toolkit.script.queries) {
      if (call.kind == fake::QueryCall::Move) result.push_back(&call);
    }
    return result;
  }

  void expectErrorShownOverOpenWindow(const QString& logTail) {
    const QStringList lines = searchtest::logLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].endsWith(logTail), qPrintable(lines[0]));
    QCOMPARE(f->messages.size(), std::size_t(1));
    QCOMPARE(f->messages[0].icon, QMessageBox::Critical);
    QCOMPARE(f->messages[0].text, kError);
    QCOMPARE(f->messages[0].caption, QString("Brevant"));
    QCOMPARE(f->messages[0].logLinesWhenShown, 1);
    QVERIFY(f->window->isVisible());
    QCOMPARE(f->window->grid1->rowCount(), 2);
  }

 private slots:
  void init() {
    f = std::make_unique<Fixture>();
    f->searchListing({study("1.2.3.1", "P1", "Smith^Anna"), study("1.2.3.2", "P2", "Jones^Eve")});
    f->events.clear();
    f->host.view.images().append(f->toolkit.makeImage("9.9", "L CC"));
    f->window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->window.get()));
  }
  void cleanup() { f.reset(); }

  void retrievesTheRowsStudyAndCloses() {
    f->window->grid1_RowDoubleClick(2, 5);
    const auto sent = moves();
    QCOMPARE(sent.size(), std::size_t(1));
    const fake::QueryCall& move = *sent[0];
    QCOMPARE(move.port, 11104);
    QCOMPARE(move.node, QString("127.0.0.1"));
    QCOMPARE(move.calledAE, QString("ARCHIVE"));
    QCOMPARE(move.callingAE, QString("STATION"));
    QCOMPARE(move.root, QString("STUDY"));
    QCOMPARE(move.level, QString("STUDY"));
    QCOMPARE(move.destination, QString("STATION"));
    QCOMPARE(move.studyUID, QString("1.2.3.2"));

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

  void doubleClickOnTheGridRetrieves() {
    auto* grid = f->window->grid1;
    const QRect cell = grid->visualItemRect(grid->item(0, 2));
    // A double-click arrives as a click followed by the double-click event.
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
    QTRY_COMPARE_WITH_TIMEOUT(moves().size(), std::size_t(1), 2000);
    QCOMPARE(moves()[0]->studyUID, QString("1.2.3.1"));
  }

  void noDataRowDoesNothing_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("as written") << "No data";
    QTest::newRow("other case") << "NO data";
  }
  void noDataRowDoesNothing() {
    QFETCH(QString, text);
    f->searchListing({});
    f->window->grid1->setCell(1, 2, text);
    f->events.clear();
    const std::size_t queries = f->toolkit.script.queries.size();
    f->window->grid1_RowDoubleClick(1, 2);
    QCOMPARE(f->toolkit.script.queries.size(), queries);
    QVERIFY(f->events.isEmpty());
    QCOMPARE(f->host.view.images().count(), 1);
    QVERIFY(f->window->isVisible());
    QVERIFY(f->messages.empty());
  }

  void declinedDiscardSendsNothing() {
    f->host.confirm = false;
    f->window->grid1_RowDoubleClick(1, 3);
    QVERIFY(moves().empty());
    QCOMPARE(f->events, QStringList{"confirmDiscardChanges"});
    QVERIFY(!f->host.view.option(dicom::Viewer::OptionKeepReceived));
    QCOMPARE(f->host.view.images().count(), 1);
    QVERIFY(f->window->isVisible());
    QVERIFY(f->messages.empty());
  }

  void remotePortNotANumberChangesNothing() {
    ConnectionSettings.RemotePort = "abc";
    f->window->grid1_RowDoubleClick(1, 3);
    expectErrorShownOverOpenWindow(" - cmdSearch_Click");
    QVERIFY(moves().empty());
    QCOMPARE(f->events, QStringList{"confirmDiscardChanges"});
    QVERIFY(!f->host.view.option(dicom::Viewer::OptionKeepReceived));
    QCOMPARE(f->host.view.images().count(), 1);
  }

  void localPortNotANumberFailsBeforeListening() {
    ConnectionSettings.LocPort = "11x";
    f->window->grid1_RowDoubleClick(1, 3);
    expectErrorShownOverOpenWindow(" - cmdSearch_Click");
    QVERIFY(searchtest::logLines()[0].contains("11x"));
    QVERIFY(moves().empty());
    QCOMPARE(f->events, QStringList{"confirmDiscardChanges"});
    QVERIFY(f->host.view.option(dicom::Viewer::OptionKeepReceived));
    QVERIFY(f->host.view.option(dicom::Viewer::OptionRedrawEachImage));
    QCOMPARE(f->host.view.images().count(), 1);
  }

  void refusedMoveLeavesTheStationReceiving() {
    f->toolkit.script.onMove = [this](const fake::QueryCall&) {
      f->events << "move";
      throw dicom::DicomError(0xA801, "Move destination unknown");
    };
    f->window->grid1_RowDoubleClick(1, 3);
    expectErrorShownOverOpenWindow(" - 43009 - Move destination unknown - cmdSearch_Click");
    QCOMPARE(f->events, (QStringList{"confirmDiscardChanges", "listen 11112",
                                     "State true Receiving Images ...", "move"}));
    QCOMPARE(f->host.view.images().count(), 0);
    QVERIFY(f->window->result() != QDialog::Accepted);
  }

  void listenFailureIsReported() {
    f->toolkit.script.onListen = [](std::int32_t) {
      throw dicom::DicomError(dicom::OwnError::PortInUse, "Port in use");
    };
    f->window->grid1_RowDoubleClick(1, 3);
    expectErrorShownOverOpenWindow(
        QString(" - %1 - Port in use - cmdSearch_Click").arg(dicom::OwnError::PortInUse));
    QVERIFY(moves().empty());
    QCOMPARE(f->host.view.images().count(), 1);
  }
};

QTEST_MAIN(SearchRetrievalTest)
#include "SearchRetrievalTest.moc"
