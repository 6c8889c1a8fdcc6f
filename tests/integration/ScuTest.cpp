// The DICOM client against the real archive: find returns the seeded
// studies with every value the result list shows, names in any character
// set come back in Unicode, a move either delivers the study or fails with
// the archive's status, and a store lands in the archive unchanged except
// for what the station changed, in the object's own transfer syntax.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QDir>
#include <QHostAddress>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "SampleStudy.h"
#include "dicom/DicomError.h"
#include "dicom/dcmtk/DcmtkNet.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "support/Archive.h"

Q_DECLARE_METATYPE(samples::Syntax)

namespace {

constexpr dicom::dcmtk::Timeouts kTimeouts{5, 10, 30};

// A DCMTK storescp the archive can move to, ended with the test.
class Receiver {
 public:
  Receiver(const QString& aet, const QString& folder, const QStringList& extra = {}) {
    QTcpServer probe;  // a port free at the moment
    if (probe.listen(QHostAddress::LocalHost, 0)) port_ = probe.serverPort();
    probe.close();
    process_.start("storescp", QStringList{"-aet", aet, "-od", folder} + extra +
                                   QStringList{QString::number(port_)});
  }
  ~Receiver() {
    process_.kill();
    process_.waitForFinished(5000);
  }
  int port() const { return port_; }
  bool listening() const {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
    return socket.waitForConnected(200);
  }

 private:
  QProcess process_;
  int port_ = 0;
};

}  // namespace

class ScuTest : public QObject {
  Q_OBJECT

 private:
  Archive archive_ = Archive::fromEnvironment();
  dicom::dcmtk::DcmtkToolkit toolkit_{kTimeouts};
  QTemporaryDir dir_;
  samples::StudySpec plain_;
  QString plainUID_;

  std::unique_ptr<dicom::Query> query() {
    auto q = toolkit_.newQuery();
    q->setNode(archive_.host());
    q->setPort(archive_.dicomPort());
    q->setCalledAE(archive_.aet());
    q->setCallingAE(archive_.stationAET());
    q->setRoot("STUDY");
    q->setLevel("STUDY");
    q->setDestination(archive_.stationAET());
    return q;
  }

  // The identifier the search window sends: criteria plus every shown value.
  dicom::DataSet identifier(const dicom::Query& q) {
    dicom::DataSet set = q.newDataSet();
    for (dicom::Tag tag :
         {dicom::tags::PatientName, dicom::tags::PatientID, dicom::tags::PatientSex,
          dicom::tags::PatientBirthDate, dicom::tags::StudyDate, dicom::tags::StudyDescription,
          dicom::tags::AccessionNumber}) {
      set.set(tag, "");
    }
    return set;
  }

  std::vector<dicom::DataSet> find(const dicom::DataSet& set) {
    const dicom::MatchCollection matches = query()->find(set);
    return std::vector<dicom::DataSet>(matches.begin(), matches.end());
  }

  QStringList seed(const samples::StudySpec& spec, const QString& name) {
    QStringList files;
    for (const auto& image : samples::writeStudy(spec, dir_.filePath(name))) files << image.path;
    archive_.upload(files);
    return files;
  }

  static samples::StudySpec small(const QString& id, unsigned seed) {
    samples::StudySpec spec;
    spec.patientID = id;
    spec.rows = 64;
    spec.columns = 48;
    spec.images = 2;
    spec.seed = seed;
    return spec;
  }

 private slots:
  void initTestCase() {
    if (!archive_.available()) QSKIP(qPrintable(archive_.problem()));
    QVERIFY(dir_.isValid());
    archive_.clear();

    plain_ = small("SCU-PLAIN", 11);
    plain_.patientName = "Doe^Jane";
    plain_.birthDate = "19610407";
    plain_.studyDate = "20240212";
    plain_.studyTime = "101500";
    plain_.studyDescription = "Screening both sides";
    plain_.accessionNumber = "ACC-SCU-1";
    plain_.studyInstanceUID = "1.2.826.0.1.3680043.8.498.4711.1";
    plainUID_ = plain_.studyInstanceUID;
    seed(plain_, "plain");

    for (const auto& [id, charset, name] : {std::tuple{"SCU-LATIN1", "ISO_IR 100", "Müller^Anna"},
                                            {"SCU-UTF8", "ISO_IR 192", "Müller^Greta"},
                                            {"SCU-UNMARKED", "", "Strauß^Lena"}}) {
      samples::StudySpec spec = small(id, 12);
      spec.specificCharacterSet = charset;
      spec.patientName = name;
      seed(spec, id);
    }
    QCOMPARE(archive_.studyCount(), 4);
  }

  void cleanupTestCase() {
    if (archive_.available()) archive_.setStationPort(archive_.stationPort());
  }

  void findReturnsEveryShownValue() {
    auto q = query();
    dicom::DataSet set = identifier(*q);
    set.setPatientID("SCU-PLAIN");
    const auto matches = find(set);
    QCOMPARE(matches.size(), size_t(1));
    const dicom::DataSet& m = matches.front();
    QCOMPARE(m.studyInstanceUID(), plainUID_);
    QCOMPARE(m.text(dicom::tags::StudyDate), plain_.studyDate);
    QCOMPARE(m.patientID(), plain_.patientID);
    QCOMPARE(m.patientName(), plain_.patientName);
    QCOMPARE(m.sex(), plain_.sex);
    QCOMPARE(m.birthDate(), plain_.birthDate);
    QCOMPARE(m.text(dicom::tags::StudyTime), plain_.studyTime);
    QCOMPARE(m.studyDescription(), plain_.studyDescription);
    QCOMPARE(m.accessionNumber(), plain_.accessionNumber);
    QCOMPARE(m.text(dicom::tags::Modality), QString("MG"));
  }

  // Names in each character set come back in Unicode, and a Unicode
  // criterion matches them.
  void namesInEveryCharacterSet_data() {
    QTest::addColumn<QString>("patientID");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("ISO_IR 100") << "SCU-LATIN1"
                                << "" << QStringList{"Müller^Anna"};
    QTest::newRow("ISO_IR 192") << "SCU-UTF8"
                                << "" << QStringList{"Müller^Greta"};
    QTest::newRow("unmarked Latin-1") << "SCU-UNMARKED"
                                      << "" << QStringList{"Strauß^Lena"};
    QTest::newRow("Unicode criterion") << ""
                                       << "Müller*" << QStringList{"Müller^Anna", "Müller^Greta"};
  }
  void namesInEveryCharacterSet() {
    QFETCH(QString, patientID);
    QFETCH(QString, name);
    QFETCH(QStringList, expected);
    auto q = query();
    dicom::DataSet set = identifier(*q);
    set.setPatientID(patientID);
    set.setPatientName(name);
    QStringList names;
    for (const auto& m : find(set)) names << m.patientName();
    names.sort();
    QCOMPARE(names, expected);
  }

  // A move delivers the study to the station; any other outcome is the
  // archive's 0xC000, whose description names it, the destination and the
  // failure.
  void move_data() {
    QTest::addColumn<QString>("destination");
    QTest::newRow("to the station") << archive_.stationAET();
    QTest::newRow("unregistered destination") << "UNREGISTERED";
    QTest::newRow("destination port closed") << archive_.nowhereAET();
    QTest::newRow("destination refuses the objects") << "REFUSER";
  }
  void move() {
    QFETCH(QString, destination);
    const bool station = destination == archive_.stationAET();
    QTemporaryDir received;
    Receiver receiver(destination, received.path(),
                      station ? QStringList{} : QStringList{"--refuse"});
    QTRY_VERIFY_WITH_TIMEOUT(receiver.listening(), 10000);
    if (station) archive_.setStationPort(receiver.port());
    if (destination == "REFUSER") archive_.setModality("REFUSER", "REFUSER", receiver.port());
    auto q = query();
    q->setDestination(destination);
    q->setStudyUID(plainUID_);
    try {
      q->move();
      QVERIFY2(station, "the move was reported as a success");
      QTRY_COMPARE_WITH_TIMEOUT(QDir(received.path()).entryList(QDir::Files).size(), 2, 10000);
    } catch (const dicom::DicomError& e) {
      QVERIFY2(!station, qPrintable(e.description()));
      QCOMPARE(e.number(), 0xC000);
      for (const QString& part : {QString("0xC000"), destination, QString("failed")})
        QVERIFY2(e.description().contains(part), qPrintable(e.description()));
    }
  }

  // The station's round trip: an image changed in one attribute goes back
  // over the archive's copy and arrives unchanged otherwise, in its own
  // transfer syntax, pixels untouched.
  void storeReplacesTheArchivedImage_data() {
    QTest::addColumn<samples::Syntax>("syntax");
    QTest::newRow("JPEG-LS") << samples::Syntax::JpegLs;
    QTest::newRow("JPEG lossless") << samples::Syntax::JpegLossless;
    QTest::newRow("RLE") << samples::Syntax::Rle;
    QTest::newRow("deflated") << samples::Syntax::Deflated;
    QTest::newRow("implicit little endian") << samples::Syntax::ImplicitLittle;
  }
  void storeReplacesTheArchivedImage() {
    QFETCH(samples::Syntax, syntax);
    samples::StudySpec spec = small("SCU-STORE-" + samples::syntaxName(syntax), 21);
    spec.images = 1;
    spec.syntax = syntax;
    const QStringList files = seed(spec, "store-" + samples::syntaxName(syntax));
    const int instances = archive_.instanceCount();

    DcmFileFormat file;
    QVERIFY(file.loadFile(files.front().toLocal8Bit().constData()).good());
    OFString sop;
    file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, sop);
    const QString sopUID = QString::fromLatin1(sop.c_str());
    const QJsonObject before = archive_.instanceTags(sopUID);
    QVERIFY(!before.isEmpty());
    file.getDataset()->putAndInsertString(DCM_SeriesDescription, "R MLO");

    dicom::dcmtk::storeObject(
        file, {archive_.host(), archive_.dicomPort(), archive_.stationAET(), archive_.aet()},
        kTimeouts);

    QCOMPARE(archive_.instanceCount(), instances);
    QCOMPARE(archive_.instanceTransferSyntax(sopUID), samples::transferSyntaxUID(syntax));
    QJsonObject after = archive_.instanceTags(sopUID);
    QCOMPARE(after.value("SeriesDescription").toString(), QString("R MLO"));
    after.remove("SeriesDescription");
    QJsonObject expected = before;
    expected.remove("SeriesDescription");
    QCOMPARE(after, expected);

    QFile copy(dir_.filePath("stored.dcm"));
    QVERIFY(copy.open(QIODevice::WriteOnly | QIODevice::Truncate));
    copy.write(archive_.instanceFile(sopUID));
    copy.close();
    DcmFileFormat stored;
    QVERIFY(stored.loadFile(copy.fileName().toLocal8Bit().constData()).good());
    const std::vector<std::uint16_t> pixels = samples::pixels(spec, 0);
    DcmDataset& data = *stored.getDataset();
    QVERIFY(data.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).good());
    const Uint16* words = nullptr;
    unsigned long count = 0;
    QVERIFY(data.findAndGetUint16Array(DCM_PixelData, words, &count).good());
    QVERIFY(std::vector<std::uint16_t>(words, words + count) == pixels);
  }

  // An object the archive cannot index (no Study Instance UID) is refused
  // with a failure status: the store fails and the archive holds nothing new.
  void storeTheArchiveRefuses() {
    samples::StudySpec spec = small("SCU-REFUSED", 22);
    spec.images = 1;
    const QString path = samples::writeStudy(spec, dir_.filePath("refused")).front().path;
    DcmFileFormat file;
    QVERIFY(file.loadFile(path.toLocal8Bit().constData()).good());
    file.getDataset()->findAndDeleteElement(DCM_StudyInstanceUID);
    const int instances = archive_.instanceCount();
    try {
      dicom::dcmtk::storeObject(
          file, {archive_.host(), archive_.dicomPort(), archive_.stationAET(), archive_.aet()},
          kTimeouts);
      QFAIL("the refused store was reported as a success");
    } catch (const dicom::DicomError& e) {
      QCOMPARE(e.number(), 0xA700);
      QVERIFY2(e.description().contains("0xA700"), qPrintable(e.description()));
      QVERIFY2(e.description().contains(archive_.aet()), qPrintable(e.description()));
    }
    QCOMPARE(archive_.instanceCount(), instances);
  }
};

QTEST_GUILESS_MAIN(ScuTest)
#include "ScuTest.moc"
