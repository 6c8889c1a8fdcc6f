// The search window against the real archive: each criterion finds exactly
// the seeded studies it should, names in Latin-1 and UTF-8 show as typed,
// the 400-match limit holds with real matches, a double-click brings the
// study to the station's viewer, and the identifier that reaches a peer
// carries exactly the station's keys (checked with a recording find
// service of our own on a free loopback port).

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/scp.h>

#include <QComboBox>
#include <QHostAddress>
#include <QLineEdit>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <mutex>
#include <thread>

#include "SampleStudy.h"
#include "common/AppDir.h"
#include "dicom/Viewer.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "log/modError.h"
#include "search/StationHost.h"
#include "search/frmSearch.h"
#include "settings/modMain.h"
#include "support/Archive.h"

namespace {

int freePort() {
  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost, 0)) return 0;
  return server.serverPort();
}

// A find service that records every identifier it receives as raw bytes
// per tag, and answers with no match.
class RecordingFindService : public DcmSCP {
 public:
  explicit RecordingFindService(int port) {
    setPort(static_cast<Uint16>(port));
    setAETitle("RECORDER");
    setConnectionBlockingMode(DUL_NOBLOCK);
    setConnectionTimeout(1);
    setACSETimeout(5);
    setDIMSETimeout(5);
    setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    OFList<OFString> syntaxes;
    syntaxes.push_back(UID_LittleEndianExplicitTransferSyntax);
    syntaxes.push_back(UID_LittleEndianImplicitTransferSyntax);
    addPresentationContext(UID_FINDStudyRootQueryRetrieveInformationModel, syntaxes);
    // The port is open before the constructor returns; a request that comes
    // before the thread accepts waits in the listen backlog.
    opened_ = openListenPort().good();
    thread_ = std::thread([this] {
      if (opened_) acceptAssociations();
    });
  }
  ~RecordingFindService() override {
    stop_ = true;
    thread_.join();
  }

  bool opened() const { return opened_; }

  // Tag -> the value bytes as received (trailing padding removed).
  std::vector<std::map<DcmTagKey, QByteArray>> identifiers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return identifiers_;
  }

 protected:
  OFCondition handleIncomingCommand(T_DIMSE_Message* message,
                                    const DcmPresentationContextInfo& info) override {
    if (message->CommandField != DIMSE_C_FIND_RQ) {
      return DcmSCP::handleIncomingCommand(message, info);
    }
    T_DIMSE_C_FindRQ& request = message->msg.CFindRQ;
    DcmDataset* identifier = nullptr;
    OFCondition cond = receiveFINDRequest(request, info.presentationContextID, identifier);
    if (cond.bad()) return cond;
    std::map<DcmTagKey, QByteArray> recorded;
    for (unsigned long i = 0; i < identifier->card(); ++i) {
      DcmElement* element = identifier->getElement(i);
      OFString value;
      element->getOFStringArray(value);
      recorded[element->getTag().getXTag()] =
          QByteArray(value.c_str(), static_cast<int>(value.length()));
    }
    delete identifier;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      identifiers_.push_back(std::move(recorded));
    }
    return sendFINDResponse(info.presentationContextID, request.MessageID,
                            request.AffectedSOPClassUID, nullptr, STATUS_Success);
  }
  OFBool stopAfterConnectionTimeout() override { return stop_.load(); }
  OFBool stopAfterCurrentAssociation() override { return stop_.load(); }

 private:
  std::atomic<bool> stop_{false};
  bool opened_ = false;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::map<DcmTagKey, QByteArray>> identifiers_;
};

class Host : public search::StationHost {
 public:
  explicit Host(dicom::Toolkit& toolkit) : view(toolkit) {}
  dicom::Viewer& viewer() override { return view; }
  void State(bool, const QString& text) override { state = text; }
  void startWatchdog() override { watchdogStarted = true; }
  bool confirmDiscardChanges() override { return true; }

  dicom::Viewer view;
  QString state;
  bool watchdogStarted = false;
};

struct Seed {
  QString name, id, birth, sex, date, description, accession, charset;
};

// Studies that the criteria below tell apart.
const std::vector<Seed> kSeeds = {
    {"Smith^Anna", "P1001", "19600305", "F", "20240115", "Screening left", "ACC1001", ""},
    {"Smith^Barbara", "P1002", "19550101", "F", "20240116", "Diagnostic", "ACC1002", ""},
    {"Jones^Anna", "P2001", "19600305", "O", "20240115", "Screening", "ACC2001", ""},
    {"Brown^Clara", "P3001", "19700707", "M", "20230310", "Follow up", "ACC3001", ""},
    {"Müller^Jürgen", "PM001", "19480202", "M", "20220202", "Screening", "ACC4001", "ISO_IR 100"},
    {"Müller^Anna", "PM002", "19490303", "F", "20220203", "Diagnostic", "ACC4002", "ISO_IR 192"},
};

}  // namespace

class SearchIntegrationTest : public QObject {
  Q_OBJECT

 private:
  Archive archive = Archive::fromEnvironment();
  QTemporaryDir folder;
  std::unique_ptr<dicom::dcmtk::DcmtkToolkit> toolkit;
  std::unique_ptr<Host> host;
  std::unique_ptr<search::frmSearch> window;
  std::vector<QString> messages;

  void pointAtArchive() {
    ConnectionSettings.RemoteAET = archive.aet();
    ConnectionSettings.RemoteIP = archive.host();
    ConnectionSettings.RemotePort = QString::number(archive.dicomPort());
    ConnectionSettings.LocAET = archive.stationAET();
    ConnectionSettings.LocPort = QString::number(archive.stationPort());
  }

  QStringList seedStudies(const std::vector<samples::StudySpec>& studies, const QString& sub) {
    QStringList files;
    for (const auto& study : studies) {
      for (const auto& image : samples::writeStudy(study, folder.filePath(sub)))
        files << image.path;
    }
    archive.upload(files);
    return files;
  }

  static samples::StudySpec tiny(const Seed& seed, unsigned n) {
    samples::StudySpec study;
    study.patientName = seed.name;
    study.patientID = seed.id;
    study.birthDate = seed.birth;
    study.sex = seed.sex;
    study.studyDate = seed.date;
    study.studyDescription = seed.description;
    study.accessionNumber = seed.accession;
    study.specificCharacterSet = seed.charset;
    study.rows = 64;
    study.columns = 64;
    study.images = 1;
    study.seed = n;
    return study;
  }

  // Sets the criteria, presses Search, and returns the patient IDs listed, sorted.
  QStringList search(const QString& surname, const QString& given, const QString& id,
                     std::optional<QDate> birth = {}, std::optional<QDate> date = {},
                     const QString& sex = "", const QString& description = "",
                     const QString& accession = "") {
    window->txtName2->setText(surname);
    window->txtName1->setText(given);
    window->txtPatID->setText(id);
    window->dtpBirth->setValue(birth);
    window->dtpStudyDate->setValue(date);
    window->cboSex->setEditText(sex);
    window->txtStudyDesc->setText(description);
    window->txtAccNum->setText(accession);
    messages.clear();
    window->cmdSearch_Click();
    if (!messages.empty()) {
      QFile log(modError::LogPath());
      if (log.open(QIODevice::ReadOnly)) qWarning("Error log: %s", log.readAll().constData());
    }
    QStringList ids;
    for (int row = 1; row <= window->grid1->rowCount(); ++row) {
      ids << window->grid1->cellText(row, 3);
    }
    ids.sort();
    return ids;
  }

 private slots:
  void initTestCase() {
    if (!archive.available()) QSKIP(qPrintable("No archive: " + archive.problem()));
    QVERIFY(folder.isValid());
    common::setAppDirectoryForTesting(folder.path());
    archive.clear();
    std::vector<samples::StudySpec> studies;
    unsigned n = 1;
    for (const Seed& seed : kSeeds) {
      studies.push_back(tiny(seed, n++));
    }
    seedStudies(studies, "seed");
    QCOMPARE(archive.studyCount(), int(kSeeds.size()));
    toolkit = std::make_unique<dicom::dcmtk::DcmtkToolkit>(dicom::dcmtk::Timeouts{5, 10, 30});
  }

  void init() {
    pointAtArchive();
    host = std::make_unique<Host>(*toolkit);
    window = std::make_unique<search::frmSearch>(*toolkit, *host);
    window->setMessageSink([this](QMessageBox::Icon, const QString& text, const QString&) {
      messages.push_back(text);
    });
  }
  void cleanup() {
    window.reset();
    host.reset();
  }
  void cleanupTestCase() { common::setAppDirectoryForTesting(""); }

  void eachCriterionFindsItsStudies_data() {
    QTest::addColumn<QString>("surname");
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QDate>("birth");
    QTest::addColumn<QDate>("date");
    QTest::addColumn<QString>("sex");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("accession");
    QTest::addColumn<QStringList>("expected");
    const QDate none;
    QTest::newRow("surname") << "Smith*"
                             << ""
                             << "" << none << none << ""
                             << ""
                             << "" << QStringList{"P1001", "P1002"};
    QTest::newRow("surname and given name") << "Smith"
                                            << "Anna"
                                            << "" << none << none << ""
                                            << ""
                                            << "" << QStringList{"P1001"};
    QTest::newRow("given name alone") << ""
                                      << "Anna"
                                      << "" << none << none << ""
                                      << ""
                                      << "" << QStringList{"P1001", "P2001", "PM002"};
    QTest::newRow("patient ID with wildcards") << ""
                                               << ""
                                               << "P1**" << none << none << ""
                                               << ""
                                               << "" << QStringList{"P1001", "P1002"};
    QTest::newRow("patient ID pattern") << ""
                                        << ""
                                        << "P?001" << none << none << ""
                                        << ""
                                        << "" << QStringList{"P1001", "P2001", "P3001", "PM001"};
    QTest::newRow("birth date") << ""
                                << ""
                                << "" << QDate(1960, 3, 5) << none << ""
                                << ""
                                << "" << QStringList{"P1001", "P2001"};
    QTest::newRow("study date") << ""
                                << ""
                                << "" << none << QDate(2024, 1, 15) << ""
                                << ""
                                << "" << QStringList{"P1001", "P2001"};
    QTest::newRow("sex") << ""
                         << ""
                         << "" << none << none << "M"
                         << ""
                         << "" << QStringList{"P3001", "PM001"};
    QTest::newRow("description") << ""
                                 << ""
                                 << "" << none << none << ""
                                 << "Screening*"
                                 << "" << QStringList{"P1001", "P2001", "PM001"};
    QTest::newRow("accession alone") << ""
                                     << ""
                                     << "" << none << none << ""
                                     << ""
                                     << "ACC2001" << QStringList{"P2001"};
    QTest::newRow("criteria combined") << "*"
                                       << "Anna"
                                       << "" << QDate(1960, 3, 5) << none << "F"
                                       << ""
                                       << "" << QStringList{"P1001"};
    QTest::newRow("exact surname alone matches no full name") << "Smith"
                                                              << ""
                                                              << "" << none << none << ""
                                                              << ""
                                                              << "" << QStringList{""};
  }
  void eachCriterionFindsItsStudies() {
    QFETCH(QString, surname);
    QFETCH(QString, given);
    QFETCH(QString, id);
    QFETCH(QDate, birth);
    QFETCH(QDate, date);
    QFETCH(QString, sex);
    QFETCH(QString, description);
    QFETCH(QString, accession);
    QFETCH(QStringList, expected);
    const auto optional = [](const QDate& d) {
      return d.isValid() ? std::optional<QDate>(d) : std::nullopt;
    };
    const QStringList found =
        search(surname, given, id, optional(birth), optional(date), sex, description, accession);
    QCOMPARE(messages, std::vector<QString>{});
    QCOMPARE(found, expected);
    if (expected == QStringList{""}) QCOMPARE(window->grid1->cellText(1, 2), QString("No data"));
  }

  void rowShowsTheStudy() {
    search("", "", "P1001");
    auto& grid = *window->grid1;
    QCOMPARE(grid.rowCount(), 1);
    QVERIFY(!grid.cellText(1, 1).isEmpty());
    const QStringList expected = {
        grid.cellText(1, 1), "20240115", "P1001",          "Smith Anna", "F",
        "19600305",          "093000",   "Screening left", "ACC1001",    "MG"};
    for (int c = 1; c <= 10; ++c) QCOMPARE(grid.cellText(1, c), expected[c - 1]);
  }

  void namesInLatin1AndUtf8() {
    QCOMPARE(search(QString::fromUtf8("Müller"), QString::fromUtf8("Jürgen"), ""),
             QStringList{"PM001"});
    QCOMPARE(window->grid1->cellText(1, 4), QString::fromUtf8("Müller Jürgen"));
    QCOMPARE(search(QString::fromUtf8("Müller*"), "", ""), (QStringList{"PM001", "PM002"}));
    search("", "", "PM002");
    QCOMPARE(window->grid1->cellText(1, 4), QString::fromUtf8("Müller Anna"));
  }

  void doubleClickBringsTheStudyToTheViewer() {
    const int port = freePort();
    ConnectionSettings.LocPort = QString::number(port);
    archive.setStationPort(port);
    search("", "", "P2001");
    QCOMPARE(window->grid1->rowCount(), 1);
    window->show();
    window->grid1_RowDoubleClick(1, 3);
    QCOMPARE(messages, std::vector<QString>{});
    QCOMPARE(host->state, QString("Receiving Images ..."));
    QVERIFY(host->watchdogStarted);
    QVERIFY(!window->isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(host->view.images().count(), 1, 15000);
    QCOMPARE(host->view.images().item(1)->patientID(), QString("P2001"));
    host->view.stopListening();
    archive.setStationPort(archive.stationPort());
  }

  void unknownPortShowsTheError() {
    ConnectionSettings.RemotePort = QString::number(freePort());
    search("", "", "P1001");
    QCOMPARE(messages.size(), std::size_t(1));
    QCOMPARE(messages[0],
             QString("There was an error.\r\nRead the log file for more information."));
  }

  void identifierAsTheArchiveReceivesIt() {
    const int port = freePort();
    RecordingFindService recorder(port);
    QVERIFY(recorder.opened());
    ConnectionSettings.RemotePort = QString::number(port);
    ConnectionSettings.RemoteAET = "RECORDER";
    search("van Dyk", "", "P*", QDate(1960, 3, 5), QDate(2024, 1, 15), "F", "Screening*", "ACC*");
    QCOMPARE(messages, std::vector<QString>{});
    QCOMPARE(window->grid1->cellText(1, 2), QString("No data"));
    search(QString::fromUtf8("Müller"), QString::fromUtf8("Jürgen"), "");

    const auto identifiers = recorder.identifiers();
    QCOMPARE(identifiers.size(), std::size_t(2));
    std::map<DcmTagKey, QByteArray> expected = {
        {DCM_PatientName, "van^Dyk"},
        {DCM_PatientID, "P*"},
        {DCM_PatientSex, "F"},
        {DCM_PatientBirthDate, "19600305"},
        {DCM_StudyDate, "20240115"},
        {DCM_QueryRetrieveLevel, "STUDY"},
        {DCM_StudyDescription, "Screening*"},
        {DCM_AccessionNumber, "ACC*"},
    };
    // The return keys the query object adds for the result list.
    const dicom::DataSet returnKeys = toolkit->newQuery()->newDataSet();
    for (const auto& [tag, value] : returnKeys.elements()) {
      expected[DcmTagKey(static_cast<Uint16>(tag >> 16), static_cast<Uint16>(tag & 0xFFFF))] =
          value.toUtf8();
    }
    auto first = identifiers[0];
    first.erase(DCM_SpecificCharacterSet);
    QCOMPARE(first, expected);

    const auto& second = identifiers[1];
    QCOMPARE(second.at(DCM_PatientName), QString::fromUtf8("Müller^Jürgen").toUtf8());
    QCOMPARE(second.at(DCM_SpecificCharacterSet), QByteArray("ISO_IR 192"));
    QCOMPARE(second.at(DCM_PatientID), QByteArray());
    QCOMPARE(second.at(DCM_StudyDate), QByteArray());
    QCOMPARE(second.size(), expected.size() + 1);
  }

  // Last: replaces the seeded studies with many small ones.
  void limitWithRealMatches() {
    archive.clear();
    std::vector<samples::StudySpec> studies;
    for (unsigned i = 1; i <= 400; ++i) {
      Seed seed{QString("Many^P%1").arg(i),
                QString("Q%1").arg(i, 4, 10, QChar('0')),
                "19600101",
                "F",
                "20240201",
                "Screening",
                QString("B%1").arg(i),
                ""};
      studies.push_back(tiny(seed, i));
    }
    const samples::StudySpec last = studies.back();
    studies.pop_back();
    QElapsedTimer timer;
    timer.start();
    seedStudies(studies, "many");
    qInfo("Seeded 399 studies in %lld ms", static_cast<long long>(timer.elapsed()));

    QCOMPARE(search("", "", "Q*").size(), 399);
    QCOMPARE(messages, std::vector<QString>{});
    QCOMPARE(window->grid1->rowCount(), 399);

    seedStudies({last}, "last");
    search("", "", "Q*");
    QCOMPARE(messages, std::vector<QString>{"Please provide more specific search criteria."});
    QCOMPARE(window->grid1->rowCount(), 399);
    QCOMPARE(search("", "", "Q*", {}, {}, "", "", "B*").size(), 400);
    archive.clear();
  }
};

QTEST_MAIN(SearchIntegrationTest)
#include "SearchIntegrationTest.moc"
