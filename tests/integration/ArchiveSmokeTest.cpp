// The test archive itself: generated studies of every transfer syntax go in
// and come back unchanged through the HTTP API, and DCMTK's own query and
// retrieve tools find and move them, so the other integration tests can rely
// on the archive's configuration.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/oflog/oflog.h>

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "SampleStudy.h"
#include "support/Archive.h"

Q_DECLARE_METATYPE(samples::Syntax)

namespace {

struct ToolRun {
  int exitCode = -1;
  bool finished = false;
  QString output;
};

// Runs a DCMTK tool with a deadline; a tool that does not end is killed.
ToolRun runTool(const QString& program, const QStringList& arguments, int deadlineMs = 60000) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, arguments);
  ToolRun run;
  if (!process.waitForStarted(10000)) {
    run.output = program + ": " + process.errorString();
    return run;
  }
  run.finished = process.waitForFinished(deadlineMs);
  if (!run.finished) {
    process.kill();
    process.waitForFinished(5000);
  }
  run.exitCode = process.exitCode();
  run.output = QString::fromLocal8Bit(process.readAll());
  return run;
}

// A loopback port nothing listens on at the moment.
int freePort() {
  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost, 0)) return 0;
  return server.serverPort();
}

struct Decoded {
  QString sopInstanceUID;
  QString transferSyntax;
  std::vector<std::uint16_t> pixels;
  QString error;
};

// Reads a DICOM file and decodes its pixel data to plain 16-bit values.
Decoded decodeFile(const QString& path) {
  Decoded decoded;
  DcmFileFormat file;
  OFCondition status = file.loadFile(QFile::encodeName(path).constData());
  if (status.bad()) {
    decoded.error = QStringLiteral("load: %1").arg(status.text());
    return decoded;
  }
  OFString syntax;
  file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, syntax);
  decoded.transferSyntax = QString::fromLatin1(syntax.c_str());
  DcmDataset* dataset = file.getDataset();
  OFString uid;
  dataset->findAndGetOFString(DCM_SOPInstanceUID, uid);
  decoded.sopInstanceUID = QString::fromLatin1(uid.c_str());
  status = dataset->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
  if (status.bad()) {
    decoded.error = QStringLiteral("decode: %1").arg(status.text());
    return decoded;
  }
  const Uint16* words = nullptr;
  unsigned long count = 0;
  status = dataset->findAndGetUint16Array(DCM_PixelData, words, &count);
  if (status.bad() || words == nullptr) {
    decoded.error = QStringLiteral("pixel data: %1").arg(status.text());
    return decoded;
  }
  decoded.pixels.assign(words, words + count);
  return decoded;
}

QStringList pathsOf(const std::vector<samples::WrittenImage>& images) {
  QStringList paths;
  for (const auto& image : images) paths << image.path;
  return paths;
}

QByteArray readAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class ArchiveSmokeTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);
    DJDecoderRegistration::registerCodecs();
    DJLSDecoderRegistration::registerCodecs();
    DcmRLEDecoderRegistration::registerCodecs();
    archive_ = Archive::fromEnvironment();
    if (!archive_.available()) QSKIP(qPrintable(archive_.problem()));
    QVERIFY(temp_.isValid());
  }

  void cleanupTestCase() {
    DJDecoderRegistration::cleanup();
    DJLSDecoderRegistration::cleanup();
    DcmRLEDecoderRegistration::cleanup();
  }

  void init() {
    archive_.clear();
    QCOMPARE(archive_.studyCount(), 0);
  }

  void uploadedStudyReadsBackUnchanged_data() {
    QTest::addColumn<samples::Syntax>("syntax");
    QTest::addColumn<QString>("photometric");
    QTest::addColumn<int>("bits");
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QString>("name");
    QTest::newRow("explicit") << samples::Syntax::ExplicitLittle << "MONOCHROME2" << 14 << ""
                              << "Doe^Jane";
    QTest::newRow("implicit") << samples::Syntax::ImplicitLittle << "MONOCHROME1" << 12
                              << "ISO_IR 100" << QString::fromUtf8("Müller^Anna");
    QTest::newRow("deflated") << samples::Syntax::Deflated << "MONOCHROME2" << 16 << "ISO_IR 192"
                              << QString::fromUtf8("Sørensen^Kirsten");
    QTest::newRow("jpeg-lossless") << samples::Syntax::JpegLossless << "MONOCHROME2" << 16
                                   << "ISO_IR 100" << QString::fromUtf8("García^María José");
    QTest::newRow("jpeg-ls") << samples::Syntax::JpegLs << "MONOCHROME1" << 14 << "ISO_IR 192"
                             << QString::fromUtf8("Dvořák^Jana");
    QTest::newRow("rle") << samples::Syntax::Rle << "MONOCHROME2" << 12 << ""
                         << "Smith^Margaret";
  }

  // Whatever syntax a study is written in, the archive keeps the file as it
  // was sent, reads its attributes in the declared character set, and the
  // pixels decode to exactly what the generator made.
  void uploadedStudyReadsBackUnchanged() {
    QFETCH(samples::Syntax, syntax);
    QFETCH(QString, photometric);
    QFETCH(int, bits);
    QFETCH(QString, charset);
    QFETCH(QString, name);
    samples::StudySpec spec;
    spec.rows = 300;
    spec.columns = 244;
    spec.images = 2;
    spec.syntax = syntax;
    spec.photometric = photometric;
    spec.bitsStored = bits;
    spec.specificCharacterSet = charset;
    spec.patientName = name;
    spec.seed = 7;
    const auto written = samples::writeStudy(
        spec, temp_.filePath(QStringLiteral("upload-") + QTest::currentDataTag()));
    QCOMPARE(int(written.size()), 2);

    const QStringList ids = archive_.upload(pathsOf(written));
    QCOMPARE(ids.size(), 2);
    QCOMPARE(archive_.studyCount(), 1);
    QCOMPARE(archive_.instanceCount(), 2);

    for (std::size_t i = 0; i < written.size(); ++i) {
      const auto& image = written[i];
      const QJsonObject tags = archive_.instanceTags(image.sopInstanceUID);
      QCOMPARE(tags.value("SOPInstanceUID").toString(), image.sopInstanceUID);
      QCOMPARE(tags.value("PatientName").toString(), name);
      QCOMPARE(tags.value("SeriesDescription").toString(), image.seriesDescription);
      QCOMPARE(tags.value("SeriesDescription").toString(), samples::viewLabel(int(i)));
      QCOMPARE(tags.value("ImageLaterality").toString(), samples::viewLabel(int(i)).left(1));
      QCOMPARE(tags.value("PhotometricInterpretation").toString(), photometric);
      QCOMPARE(tags.value("SOPClassUID").toString(), QStringLiteral("1.2.840.10008.5.1.4.1.1.1.2"));
      QCOMPARE(archive_.instanceTransferSyntax(image.sopInstanceUID),
               samples::transferSyntaxUID(syntax));

      const QByteArray stored = archive_.instanceFile(image.sopInstanceUID);
      QVERIFY(stored == readAll(image.path));

      const QString copy = temp_.filePath("stored.dcm");
      QFile out(copy);
      QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
      out.write(stored);
      out.close();
      const Decoded decoded = decodeFile(copy);
      QVERIFY2(decoded.error.isEmpty(), qPrintable(decoded.error));
      QVERIFY(decoded.pixels == samples::pixels(spec, int(i)));
    }
  }

  // Unknown SOP Instance UIDs are absent, not failures.
  void missingInstanceIsEmpty() {
    const QString uid = QStringLiteral("1.2.3.4.5.6.7.8.9");
    QVERIFY(archive_.instanceTags(uid).isEmpty());
    QVERIFY(archive_.instanceFile(uid).isEmpty());
    QVERIFY(archive_.instanceTransferSyntax(uid).isEmpty());
  }

  // Study-level C-FIND from DCMTK's findscu sees every study, and narrows
  // on the patient ID.
  void findscuSeesEveryStudy() {
    QSet<QString> uids;
    for (unsigned s = 1; s <= 3; ++s) {
      samples::StudySpec spec;
      spec.rows = 64;
      spec.columns = 48;
      spec.images = 1;
      spec.seed = s;
      spec.patientID = QStringLiteral("FIND%1").arg(s);
      const auto written =
          samples::writeStudy(spec, temp_.filePath(QStringLiteral("find-%1").arg(s)));
      archive_.upload(pathsOf(written));
      uids << archive_.instanceTags(written.front().sopInstanceUID)
                  .value("StudyInstanceUID")
                  .toString();
    }
    QCOMPARE(archive_.studyCount(), 3);

    const QStringList all = find({"PatientID=FIND*"}, "all");
    QCOMPARE(QSet<QString>(all.begin(), all.end()), uids);
    const QStringList one = find({"PatientID=FIND2"}, "one");
    QCOMPARE(one.size(), 1);
    QVERIFY(uids.contains(one.front()));
  }

  // C-MOVE from DCMTK's movescu reaches the registered station port, and
  // the archive sends every object of a mixed study in the syntax it was
  // stored in.
  void movescuReceivesStoredSyntax() {
    const std::vector<samples::Syntax> syntaxes = {
        samples::Syntax::ExplicitLittle, samples::Syntax::ImplicitLittle, samples::Syntax::Deflated,
        samples::Syntax::JpegLossless,   samples::Syntax::JpegLs,         samples::Syntax::Rle};
    const int port = freePort();
    QVERIFY(port > 0);
    archive_.setStationPort(port);
    QCOMPARE(archive_.stationPort(), port);

    // One study, two images per syntax.
    char uid[100];
    const QString studyUID =
        QString::fromLatin1(dcmGenerateUniqueIdentifier(uid, SITE_STUDY_UID_ROOT));
    QMap<QString, QString> expectedSyntax;  // SOP Instance UID -> transfer syntax UID
    for (samples::Syntax syntax : syntaxes) {
      samples::StudySpec spec;
      spec.rows = 96;
      spec.columns = 80;
      spec.images = 2;
      spec.syntax = syntax;
      spec.studyInstanceUID = studyUID;
      const auto written =
          samples::writeStudy(spec, temp_.filePath("move-" + samples::syntaxName(syntax)));
      archive_.upload(pathsOf(written));
      for (const auto& image : written) {
        expectedSyntax.insert(image.sopInstanceUID, samples::transferSyntaxUID(syntax));
      }
    }
    QCOMPARE(archive_.studyCount(), 1);

    const QString received = temp_.filePath("received");
    QVERIFY(QDir().mkpath(received));
    const ToolRun run = runTool("movescu", {"-S",
                                            "-aet",
                                            archive_.stationAET(),
                                            "-aem",
                                            archive_.stationAET(),
                                            "-aec",
                                            archive_.aet(),
                                            "+P",
                                            QString::number(port),
                                            "+xa",
                                            "-to",
                                            "5",
                                            "-ta",
                                            "10",
                                            "-td",
                                            "30",
                                            "-od",
                                            received,
                                            "-k",
                                            "QueryRetrieveLevel=STUDY",
                                            "-k",
                                            "StudyInstanceUID=" + studyUID,
                                            archive_.host(),
                                            QString::number(archive_.dicomPort())});
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(run.output));

    QMap<QString, QString> receivedSyntax;
    for (const QString& file : QDir(received).entryList(QDir::Files)) {
      const Decoded decoded = decodeFile(QDir(received).filePath(file));
      QVERIFY2(decoded.error.isEmpty(), qPrintable(decoded.error));
      receivedSyntax.insert(decoded.sopInstanceUID, decoded.transferSyntax);
    }
    QCOMPARE(receivedSyntax, expectedSyntax);
  }

  // A move to the registered modality whose port is closed fails at once
  // with a failure status, rather than hanging or reporting success.
  void moveToClosedPortFailsPromptly() {
    samples::StudySpec spec;
    spec.rows = 64;
    spec.columns = 48;
    spec.images = 1;
    const auto written = samples::writeStudy(spec, temp_.filePath("nowhere"));
    archive_.upload(pathsOf(written));
    const QString studyUID =
        archive_.instanceTags(written.front().sopInstanceUID).value("StudyInstanceUID").toString();

    const ToolRun run = runTool(
        "movescu",
        {"-S", "-aet", archive_.stationAET(), "-aem", archive_.nowhereAET(), "-aec", archive_.aet(),
         "-to", "5", "-ta", "10", "-td", "30", "-k", "QueryRetrieveLevel=STUDY", "-k",
         "StudyInstanceUID=" + studyUID, archive_.host(), QString::number(archive_.dicomPort())},
        30000);
    QVERIFY2(run.finished, "movescu did not end");
    QVERIFY2(run.output.contains("Failed"), qPrintable(run.output));
    QVERIFY2(run.exitCode != 0, qPrintable(run.output));
  }

  // clear() leaves nothing behind, so tests start from an empty archive.
  void clearRemovesEverything() {
    samples::StudySpec spec;
    spec.rows = 32;
    spec.columns = 32;
    spec.images = 4;
    archive_.upload(pathsOf(samples::writeStudy(spec, temp_.filePath("clear"))));
    QCOMPARE(archive_.instanceCount(), 4);
    archive_.clear();
    QCOMPARE(archive_.studyCount(), 0);
    QCOMPARE(archive_.instanceCount(), 0);
  }

 private:
  // Study-level C-FIND with findscu; returns the Study Instance UIDs found.
  QStringList find(const QStringList& keys, const QString& tag) {
    const QString out = temp_.filePath("find-" + tag);
    QDir(out).removeRecursively();
    if (!QDir().mkpath(out)) return {};
    QStringList arguments = {"-S",
                             "-aet",
                             archive_.stationAET(),
                             "-aec",
                             archive_.aet(),
                             "-to",
                             "5",
                             "-ta",
                             "10",
                             "-td",
                             "30",
                             "-X",
                             "-od",
                             out,
                             "-k",
                             "QueryRetrieveLevel=STUDY",
                             "-k",
                             "StudyInstanceUID"};
    for (const QString& key : keys) arguments << "-k" << key;
    arguments << archive_.host() << QString::number(archive_.dicomPort());
    const ToolRun run = runTool("findscu", arguments);
    if (!run.finished || run.exitCode != 0) {
      qWarning().noquote() << "findscu failed:" << run.output;
      return {};
    }
    QStringList uids;
    for (const QString& file : QDir(out).entryList({"rsp*.dcm"}, QDir::Files, QDir::Name)) {
      DcmFileFormat response;
      if (response.loadFile(QFile::encodeName(QDir(out).filePath(file)).constData()).bad())
        continue;
      OFString uid;
      response.getDataset()->findAndGetOFString(DCM_StudyInstanceUID, uid);
      uids << QString::fromLatin1(uid.c_str());
    }
    return uids;
  }

  Archive archive_;
  QTemporaryDir temp_;
};

QTEST_GUILESS_MAIN(ArchiveSmokeTest)
#include "ArchiveSmokeTest.moc"
