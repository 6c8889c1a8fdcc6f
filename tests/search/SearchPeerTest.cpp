// The search window on the real DICOM layer against a recording peer on
// loopback: the identifier typed criteria put on the wire, the rows matches
// fill, the match limit, failures, and what a double-click hands on.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcelem.h>

#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

#include "ScuPeer.h"
#include "common/AppDir.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "log/modError.h"
#include "search/frmSearch.h"
#include "support/DcmBytes.h"
#include "support/Files.h"

namespace {

const QString kTooWide = "Please provide more specific search criteria.";
const QString kError = "There was an error.\r\nRead the log file for more information.";

// "key=value;..." as a map.
QMap<QString, QString> spec(const QString& text) {
  QMap<QString, QString> values;
  for (const QString& item : text.split(';', Qt::SkipEmptyParts)) {
    values[item.section('=', 0, 0)] = item.section('=', 1);
  }
  return values;
}

// A study-level match, its text in Latin-1.
std::shared_ptr<DcmDataset> match(const QString& id) {
  auto m = std::make_shared<DcmDataset>();
  dcmbytes::put(*m,
                "SpecificCharacterSet=ISO_IR 100;QueryRetrieveLevel=STUDY;"
                "StudyInstanceUID=1.2.3." +
                    id + ";StudyDate=20240115;PatientID=" + id +
                    ";PatientName=Müller^Anna;PatientSex=F;PatientBirthDate=19600305;"
                    "StudyTime=093000;StudyDescription=Screening;AccessionNumber=A1;Modality=MG");
  return m;
}

// Records what the window asks of the station, in order.
struct Station : search::StationHost {
  bool confirm = true;
  QStringList asked;
  bool confirmDiscardChanges() override {
    asked << "confirm";
    return confirm;
  }
  void beginRetrieval(const QString& studyInstanceUID) override {
    asked << "retrieve " + studyInstanceUID;
  }
};

}  // namespace

class SearchPeerTest : public QObject {
  Q_OBJECT
 private:
  dicom::dcmtk::DcmtkToolkit toolkit_;
  QTemporaryDir dir_;  // the error log
  ConnectionSettingsRecord settings_;
  search::StudyList list_;
  Station station_;
  std::unique_ptr<search::frmSearch> window_;
  QStringList messages_;

  // A shown window that lists what the peer at the port returns for "P*".
  void listed(int port) {
    open(port);
    window_->txtPatID->setText("P*");
    window_->cmdSearch_Click();
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }
  void open(int port) {
    settings_ = {"PEER", "127.0.0.1", QString::number(port), "STATION", QString("11112")};
    window_ = std::make_unique<search::frmSearch>(toolkit_, settings_, station_, list_);
    window_->showMessage = [this](QMessageBox::Icon icon, const QString&, const QString& text) {
      QCOMPARE(icon, QMessageBox::Critical);
      messages_ << text;
    };
  }
  static QByteArray log() { return files::read(modError::LogPath()); }

 private slots:
  void initTestCase() { common::setAppDirectoryForTesting(dir_.path()); }
  void init() {
    QDir(dir_.filePath("Logs")).removeRecursively();
    messages_.clear();
    station_ = {};
  }
  void cleanup() { window_.reset(); }
  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  // The fields typed, and the criteria the identifier then carries besides
  // its empty keys; "refused": nothing may be sent.
  void criteria_data() {
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QString>("sent");
    const auto row = [](const char* tag, const char* fields, const char* sent) {
      QTest::newRow(tag) << QString(fields) << QString(sent);
    };
    row("nothing", "", "refused");
    row("surname ***", "surname=***", "refused");
    row("id %%%", "id=%%%", "refused");
    row("surname * and given *", "surname=*;given=*", "refused");
    row("wildcard runs collapse",
        "id=*%;surname=***;given=An%%%na;description=Mammo**;accession=A**%%",
        "PatientName=*^An%na;PatientID=*%;StudyDescription=Mammo**;AccessionNumber=A*%");
    row("description * alone", "description=*", "StudyDescription=*");
    row("accession alone", "accession=A0001", "AccessionNumber=A0001");
    row("surname and given", "surname=Smith;given=Anna", "PatientName=Smith^Anna");
    row("surname with a space", "surname=van Dyk", "PatientName=van Dyk");
    row("given alone", "given=Anna", "PatientName=*^Anna");
    row("sex and dates", "id=P1;sex=F;birth=19600305;date=20240115",
        "PatientID=P1;PatientSex=F;PatientBirthDate=19600305;StudyDate=20240115");
    row("name beyond ASCII", "surname=Müller;given=Jürgen",
        "PatientName=Müller^Jürgen;SpecificCharacterSet=ISO_IR 192");
  }
  void criteria() {
    QFETCH(QString, fields);
    QFETCH(QString, sent);
    scutest::PeerBehaviour behaviour;
    behaviour.findMatches = {match("P1")};
    scutest::RecordingPeer peer(behaviour);
    open(peer.port());
    auto& w = *window_;
    const auto typed = spec(fields);
    const auto date = [&](const char* key) {
      return typed.contains(key) ? std::optional(QDate::fromString(typed[key], "yyyyMMdd"))
                                 : std::nullopt;
    };
    w.txtPatID->setText(typed["id"]);
    w.txtName2->setText(typed["surname"]);
    w.txtName1->setText(typed["given"]);
    w.cboSex->setEditText(typed["sex"]);
    w.dtpBirth->setValue(date("birth"));
    w.dtpStudyDate->setValue(date("date"));
    w.txtStudyDesc->setText(typed["description"]);
    w.txtAccNum->setText(typed["accession"]);
    w.cmdSearch_Click();
    QVERIFY(log().isEmpty());
    if (sent == "refused") {
      QCOMPARE(messages_, QStringList{kTooWide});
      QCOMPARE(peer.record().associations, 0);
      return;
    }
    QCOMPARE(messages_, QStringList{});
    const scutest::PeerRecord record = peer.record();
    QCOMPARE(record.callingAE + " " + record.calledAE, std::string("STATION PEER"));
    auto expected = spec(
        "PatientName=;PatientID=;PatientSex=;PatientBirthDate=;StudyDate=;StudyDescription=;"
        "AccessionNumber=;QueryRetrieveLevel=STUDY;StudyInstanceUID=;StudyTime=;Modality=;"
        "ModalitiesInStudy=");
    expected.insert(spec(sent));
    QMap<QString, QString> received;
    for (unsigned long i = 0; i < record.findIdentifier->card(); ++i) {
      DcmElement* element = record.findIdentifier->getElement(i);
      OFString value;
      element->getOFStringArray(value);
      received[DcmTag(element->getTag()).getTagName()] = QString::fromUtf8(value.c_str());
    }
    if (!expected.contains("SpecificCharacterSet")) received.remove("SpecificCharacterSet");
    QCOMPARE(received, expected);
    // The peer's Latin-1 match fills a row, in Unicode.
    QStringList cells;
    for (int column = 1; column <= 10; ++column) cells << w.grid1->cellText(1, column);
    QCOMPARE(cells, (QStringList{"1.2.3.P1", "20240115", "P1", "Müller Anna", "F", "19600305",
                                 "093000", "Screening", "A1", "MG"}));
  }

  // After a search that listed P0, one at a peer returning matches (-1: a
  // closed port): the rows shown (count, first ID) and the message.
  void outcomes_data() {
    QTest::addColumn<int>("matches");
    QTest::addColumn<QString>("accession");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("message");
    const auto row = [](const char* tag, int matches, const char* accession, const char* shown,
                        const QString& message) {
      QTest::newRow(tag) << matches << QString(accession) << QString(shown) << message;
    };
    row("no match", 0, "", "1 ", "");
    row("399 matches", 399, "", "399 Q1", "");
    row("400 matches: too wide", 400, "", "1 P0", kTooWide);
    row("400 matches by accession", 400, "A*", "400 Q1", "");
    row("find failed after matches", 2, "", "1 P0", kError);
    row("closed port", -1, "", "1 P0", kError);
    row("closed port, log cannot be written", -1, "", "1 P0",
        "(The error log could not be written.)");
  }
  void outcomes() {
    QFETCH(int, matches);
    QFETCH(QString, accession);
    QFETCH(QString, shown);
    QFETCH(QString, message);
    const QString tag = QTest::currentDataTag();
    scutest::PeerBehaviour first, second;
    first.findMatches = {match("P0")};
    for (int i = 1; i <= matches; ++i) second.findMatches.push_back(match(QString("Q%1").arg(i)));
    second.status = tag.startsWith("find failed") ? 0xC000 : 0;
    scutest::RecordingPeer listing(first), peer(second);
    QFile blocker(dir_.filePath("Logs"));  // a file where the log's folder belongs
    if (tag.endsWith("log cannot be written")) QVERIFY(blocker.open(QIODevice::WriteOnly));
    listed(listing.port());

    settings_.RemotePort = QString::number(matches < 0 ? scutest::closedPort() : peer.port());
    window_->txtPatID->setText("Q*");
    window_->txtAccNum->setText(accession);
    window_->cmdSearch_Click();
    QCOMPARE(QString("%1 %2").arg(window_->grid1->rowCount()).arg(window_->grid1->cellText(1, 3)),
             shown);
    if (shown == "1 ") QCOMPARE(window_->grid1->cellText(1, 2), QString("No data"));
    // The grid scrolls down to its last row as soon as the fill is done.
    search::ResultGrid& grid = *window_->grid1;
    grid.verticalScrollBar()->setValue(grid.verticalScrollBar()->maximum());
    QVERIFY(
        grid.viewport()->rect().contains(grid.visualItemRect(grid.item(grid.rowCount() - 1, 1))));
    QCOMPARE(messages_.size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty()) QVERIFY2(messages_[0].contains(message), qPrintable(messages_[0]));
    // A failure is logged once, by the search window's command, with its
    // number; when the log cannot be written, the message says what failed.
    QCOMPARE(log().count("\r\n"), message == kError ? 1 : 0);
    if (message == kError) QVERIFY(log().endsWith(" - cmdSearch_Click\r\n"));
    if (second.status) QVERIFY(log().contains(" - 49152 - "));
    blocker.remove();
  }

  // A double-click with the mouse on the second row, sorted by patient ID.
  void doubleClickRetrievesTheStudyOfTheRowShown() {
    scutest::PeerBehaviour behaviour;
    for (const char* id : {"P3", "P1", "P4", "P2"}) behaviour.findMatches.push_back(match(id));
    scutest::RecordingPeer peer(behaviour);
    listed(peer.port());
    QHeaderView* header = window_->grid1->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(2) + 5, header->height() / 2));
    const QPoint cell = window_->grid1->visualItemRect(window_->grid1->item(1, 2)).center();
    QTest::mouseClick(window_->grid1->viewport(), Qt::LeftButton, {}, cell);
    QTest::mouseDClick(window_->grid1->viewport(), Qt::LeftButton, {}, cell);
    QTRY_COMPARE(station_.asked, (QStringList{"confirm", "retrieve 1.2.3.P2"}));
    QVERIFY(!window_->isVisible());
  }

  // Escape, a double-click on "No data", a declined discard of unsent
  // labels: nothing is retrieved; the window stays with criteria and rows.
  void nothingHappens_data() {
    QTest::addColumn<QString>("what");
    for (const char* what : {"Escape", "No data", "discard declined"}) QTest::newRow(what) << what;
  }
  void nothingHappens() {
    QFETCH(QString, what);
    scutest::PeerBehaviour behaviour;
    if (what != "No data") behaviour.findMatches = {match("P1"), match("P2")};
    scutest::RecordingPeer peer(behaviour);
    listed(peer.port());
    station_.confirm = what != "discard declined";
    if (what == "Escape") QTest::keyClick(window_->txtPatID, Qt::Key_Escape);
    if (what != "Escape") window_->grid1_RowDoubleClick(1, 3);
    QCOMPARE(station_.asked, what == "discard declined" ? QStringList{"confirm"} : QStringList{});
    QVERIFY(window_->isVisible());
    QCOMPARE(window_->txtPatID->text(), QString("P*"));
    QCOMPARE(window_->grid1->rowCount(), what == "No data" ? 1 : 2);
  }
};

QTEST_MAIN(SearchPeerTest)
#include "SearchPeerTest.moc"
