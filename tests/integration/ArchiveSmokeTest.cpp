// The test archive's configuration, which the other integration tests rely
// on: a study uploaded over HTTP reads back byte for byte and in its
// character set, DCMTK's findscu finds it, movescu brings it in its stored
// syntax to the station's registered port, and a move to the registered
// modality whose port is closed fails.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>

#include <QDir>
#include <QHostAddress>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "SampleStudy.h"
#include "support/Archive.h"

namespace {

// One attribute of a DICOM file (the meta header first); empty when unreadable.
QString attribute(const QString& path, const DcmTagKey& key) {
  DcmFileFormat file;
  OFString value;
  if (file.loadFile(QFile::encodeName(path).constData()).good() &&
      file.getMetaInfo()->findAndGetOFString(key, value).bad()) {
    file.getDataset()->findAndGetOFString(key, value);
  }
  return QString::fromLatin1(value.c_str());
}

}  // namespace

class ArchiveSmokeTest : public QObject {
  Q_OBJECT

  Archive archive_ = Archive::fromEnvironment();
  QTemporaryDir temp_;
  samples::StudySpec spec_;
  std::vector<samples::WrittenImage> written_;
  QString studyUID_;

  QString log_;  // the output of the last tool

  // Runs findscu or movescu as the station at the study level against the
  // archive, bounded in time; returns its exit code (-1: it did not end).
  int tool(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program,
                  QStringList{"-S", "-aet", archive_.stationAET(), "-aec", archive_.aet(), "-to",
                              "5", "-ta", "10", "-td", "30", "-k", "QueryRetrieveLevel=STUDY"} +
                      arguments +
                      QStringList{archive_.host(), QString::number(archive_.dicomPort())});
    const bool ended = process.waitForFinished(60000);
    if (!ended) process.kill();
    process.waitForFinished(5000);
    log_ = QString::fromLocal8Bit(process.readAll());
    return ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  }

 private slots:
  void initTestCase() {
    if (!archive_.available()) QSKIP(qPrintable(archive_.problem()));
    QVERIFY(temp_.isValid());
    archive_.clear();
    spec_.rows = 96;
    spec_.columns = 80;
    spec_.images = 2;
    spec_.syntax = samples::Syntax::Rle;
    spec_.specificCharacterSet = "ISO_IR 192";
    spec_.patientName = "Dvořák^Jana";
    spec_.patientID = "SMOKE-1";
    written_ = samples::writeStudy(spec_, temp_.filePath("study"));
    QStringList paths;
    for (const auto& image : written_) paths << image.path;
    QCOMPARE(archive_.upload(paths).size(), 2);
    studyUID_ = attribute(paths.front(), DCM_StudyInstanceUID);
  }

  void cleanupTestCase() {
    if (archive_.available()) archive_.setStationPort(archive_.stationPort());
  }

  void uploadReadsBack() {
    QCOMPARE(archive_.studyCount(), 1);
    for (const auto& image : written_) {
      const QJsonObject tags = archive_.instanceTags(image.sopInstanceUID);
      QCOMPARE(tags.value("PatientName").toString(), spec_.patientName);
      QCOMPARE(tags.value("SeriesDescription").toString(), image.seriesDescription);
      QFile file(image.path);
      QVERIFY(file.open(QIODevice::ReadOnly));
      QVERIFY(archive_.instanceFile(image.sopInstanceUID) == file.readAll());
    }
  }

  void findscuFindsTheStudy() {
    const QString out = temp_.filePath("found");
    QVERIFY(QDir().mkpath(out));
    QVERIFY2(tool("findscu",
                  {"-X", "-od", out, "-k", "StudyInstanceUID", "-k", "PatientID=SMOKE*"}) == 0,
             qPrintable(log_));
    const QStringList responses = QDir(out).entryList({"rsp*.dcm"}, QDir::Files);
    QCOMPARE(responses.size(), 1);
    QCOMPARE(attribute(QDir(out).filePath(responses.front()), DCM_StudyInstanceUID), studyUID_);
  }

  void movescuDeliversToTheStation() {
    QTcpServer probe;  // a port free at the moment
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const int port = probe.serverPort();
    probe.close();
    archive_.setStationPort(port);
    const QString received = temp_.filePath("received");
    QVERIFY(QDir().mkpath(received));
    QVERIFY2(tool("movescu", {"-aem", archive_.stationAET(), "+P", QString::number(port), "+xa",
                              "-od", received, "-k", "StudyInstanceUID=" + studyUID_}) == 0,
             qPrintable(log_));
    const QStringList files = QDir(received).entryList(QDir::Files);
    QCOMPARE(files.size(), 2);
    for (const QString& file : files) {
      QCOMPARE(attribute(QDir(received).filePath(file), DCM_TransferSyntaxUID),
               samples::transferSyntaxUID(spec_.syntax));
    }
  }

  void moveToTheClosedPortFails() {
    const int code =
        tool("movescu", {"-aem", archive_.nowhereAET(), "-k", "StudyInstanceUID=" + studyUID_});
    QVERIFY2(code > 0 && log_.contains("Failed"), qPrintable(log_));
  }
};

QTEST_GUILESS_MAIN(ArchiveSmokeTest)
#include "ArchiveSmokeTest.moc"
