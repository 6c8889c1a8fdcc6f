// What the DICOM client puts on the wire and reads back, checked at a
// recording peer where the archive cannot show it: the find identifier
// (criteria, return keys, character set), matches in any character set, and
// a store to a peer that takes no compressed syntax (decoded without loss,
// never from a lossy original).

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmjpls/djencode.h>
#include <dcmtk/dcmjpls/djrparam.h>

#include <QTemporaryDir>
#include <QtTest>

#include "SampleStudy.h"
#include "ScuPeer.h"
#include "dicom/DicomError.h"
#include "dicom/dcmtk/DcmtkNet.h"
#include "dicom/dcmtk/DcmtkToolkit.h"

Q_DECLARE_METATYPE(samples::Syntax)

namespace {

constexpr dicom::dcmtk::Timeouts kShort{2, 2, 5};

std::string text(DcmItem& item, const DcmTagKey& key) {
  OFString value;
  if (item.findAndGetOFStringArray(key, value).bad()) return "<absent>";
  return std::string(value.c_str(), value.length());
}

std::vector<Uint16> pixelsOf(DcmDataset& dataset) {
  if (dataset.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad()) return {};
  const Uint16* data = nullptr;
  unsigned long count = 0;
  if (dataset.findAndGetUint16Array(DCM_PixelData, data, &count).bad()) return {};
  return std::vector<Uint16>(data, data + count);
}

}  // namespace

class ScuRequestTest : public QObject {
  Q_OBJECT

 private:
  dicom::dcmtk::DcmtkToolkit toolkit_{kShort};
  QTemporaryDir dir_;

  std::unique_ptr<dicom::Query> query(int port) {
    auto q = toolkit_.newQuery();
    q->setNode("127.0.0.1");
    q->setPort(port);
    q->setCalledAE("PEER");
    q->setCallingAE("STATION1");
    q->setRoot("STUDY");
    q->setLevel("STUDY");
    q->setDestination("STATION1");
    return q;
  }

  samples::StudySpec smallSpec(samples::Syntax syntax) {
    samples::StudySpec spec;
    spec.rows = 96;
    spec.columns = 64;
    spec.images = 1;
    spec.syntax = syntax;
    spec.seed = 7;
    return spec;
  }

  QString writeOne(const samples::StudySpec& spec, const QString& name) {
    const auto written = samples::writeStudy(spec, dir_.filePath(name));
    return written.front().path;
  }

  // Every attribute of the original, pixel data aside, arrived unchanged.
  void compareAttributes(DcmDataset& original, DcmDataset& received) {
    for (unsigned long i = 0; i < original.card(); ++i) {
      DcmElement* element = original.getElement(i);
      const DcmTagKey key = element->getTag();
      if (key == DCM_PixelData) continue;
      DcmElement* other = nullptr;
      QVERIFY2(received.findAndGetElement(key, other).good(),
               qPrintable(QString("missing %1").arg(key.toString().c_str())));
      OFString a, b;
      element->getOFStringArray(a);
      other->getOFStringArray(b);
      QVERIFY2(a == b, qPrintable(QString("%1 differs").arg(key.toString().c_str())));
    }
  }

 private slots:
  void initTestCase() { QVERIFY(dir_.isValid()); }

  void findIdentifierCarriesCriteriaAndReturnKeys() {
    scutest::RecordingPeer peer({});
    auto q = query(peer.port());
    dicom::DataSet identifier = q->newDataSet();
    identifier.setPatientName(QStringLiteral("Müller*"));
    identifier.setPatientID("P0042");
    identifier.set(dicom::tags::StudyDate, "20240101-20240131");
    QCOMPARE(q->find(identifier).count(), 0);

    const auto record = peer.record();
    QVERIFY(record.findIdentifier);
    DcmDataset& sent = *record.findIdentifier;
    QCOMPARE(record.findSOPClass, std::string(UID_FINDStudyRootQueryRetrieveInformationModel));
    QCOMPARE(record.callingAE, std::string("STATION1"));
    QCOMPARE(record.calledAE, std::string("PEER"));
    QCOMPARE(text(sent, DCM_SpecificCharacterSet), std::string("ISO_IR 192"));
    QCOMPARE(text(sent, DCM_PatientName), std::string("M\xC3\xBCller*"));
    QCOMPARE(text(sent, DCM_PatientID), std::string("P0042"));
    QCOMPARE(text(sent, DCM_StudyDate), std::string("20240101-20240131"));
    QCOMPARE(text(sent, DCM_QueryRetrieveLevel), std::string("STUDY"));
    // The return keys go out empty.
    QCOMPARE(text(sent, DCM_StudyInstanceUID), std::string(""));
    QCOMPARE(text(sent, DCM_StudyTime), std::string(""));
    QCOMPARE(text(sent, DCM_Modality), std::string(""));
    QVERIFY(peer.waitForEnd(1, 5000));
    QVERIFY(peer.record().released);
  }

  // Matches arrive in the order sent, in Unicode whatever their character
  // set, with the study's modalities standing in for a missing Modality.
  void matchesComeBackInOrderAsUnicode() {
    scutest::PeerBehaviour behaviour;
    auto add = [&](const char* uid, const char* charset, const char* name, const char* modality,
                   const char* modalities) {
      auto m = std::make_shared<DcmDataset>();
      if (charset) m->putAndInsertString(DCM_SpecificCharacterSet, charset);
      m->putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
      m->putAndInsertString(DCM_StudyInstanceUID, uid);
      m->putAndInsertString(DCM_PatientName, name);
      if (modality) m->putAndInsertString(DCM_Modality, modality);
      if (modalities) m->putAndInsertString(DCM_ModalitiesInStudy, modalities);
      behaviour.findMatches.push_back(m);
    };
    add("1.2.3.3", "ISO_IR 100", "M\xFCller^Anna", nullptr, "MG");
    add("1.2.3.1", "ISO_IR 192", "J\xC3\xBCrgens^Eva", "", "MG\\SR");
    add("1.2.3.2", nullptr, "Strau\xDF^Lena", "CR", "MG");
    scutest::RecordingPeer peer(behaviour);
    auto q = query(peer.port());
    const dicom::MatchCollection matches = q->find(q->newDataSet());
    QCOMPARE(matches.count(), 3);
    std::vector<dicom::DataSet> list(matches.begin(), matches.end());
    QCOMPARE(list[0].studyInstanceUID(), QString("1.2.3.3"));
    QCOMPARE(list[1].studyInstanceUID(), QString("1.2.3.1"));
    QCOMPARE(list[2].studyInstanceUID(), QString("1.2.3.2"));
    QCOMPARE(list[0].patientName(), QStringLiteral("Müller^Anna"));
    QCOMPARE(list[1].patientName(), QStringLiteral("Jürgens^Eva"));
    QCOMPARE(list[2].patientName(), QStringLiteral("Strauß^Lena"));
    QCOMPARE(list[0].text(dicom::tags::Modality), QString("MG"));
    QCOMPARE(list[1].text(dicom::tags::Modality), QString("MG\\SR"));
    QCOMPARE(list[2].text(dicom::tags::Modality), QString("CR"));
  }

  // A compressed object goes to a peer that takes only uncompressed
  // syntaxes decoded without loss: attributes, SOP Instance UID and pixels
  // arrive unchanged. (That an object otherwise keeps its own syntax is
  // checked against the archive.)
  void storeDecodesForAnUncompressedPeer_data() {
    QTest::addColumn<samples::Syntax>("syntax");
    QTest::newRow("JPEG-LS") << samples::Syntax::JpegLs;
    QTest::newRow("JPEG lossless") << samples::Syntax::JpegLossless;
    QTest::newRow("RLE") << samples::Syntax::Rle;
    QTest::newRow("deflated") << samples::Syntax::Deflated;
  }
  void storeDecodesForAnUncompressedPeer() {
    QFETCH(samples::Syntax, syntax);
    const samples::StudySpec spec = smallSpec(syntax);
    const QString path = writeOne(spec, samples::syntaxName(syntax));
    scutest::RecordingPeer peer({});  // explicit or implicit little endian only

    DcmFileFormat file;
    QVERIFY(file.loadFile(path.toLocal8Bit().constData()).good());
    dicom::dcmtk::storeObject(file, {"127.0.0.1", peer.port(), "STATION1", "PEER"}, kShort);

    const auto record = peer.record();
    QVERIFY(record.stored);
    QVERIFY2(record.storedSyntax == UID_LittleEndianExplicitTransferSyntax ||
                 record.storedSyntax == UID_LittleEndianImplicitTransferSyntax,
             record.storedSyntax.c_str());
    QCOMPARE(record.storedSOPClass,
             std::string(UID_DigitalMammographyXRayImageStorageForPresentation));
    DcmFileFormat reference;
    QVERIFY(reference.loadFile(path.toLocal8Bit().constData()).good());
    QCOMPARE(record.storedSOPInstance, text(*reference.getDataset(), DCM_SOPInstanceUID));
    compareAttributes(*reference.getDataset(), *record.stored);
    const std::vector<Uint16> expected = samples::pixels(spec, 0);
    QCOMPARE(pixelsOf(*record.stored), std::vector<Uint16>(expected.begin(), expected.end()));
  }

  // A lossy object is never decoded for a peer that only takes
  // uncompressed: the store fails and nothing reaches the peer.
  void lossyObjectIsNeverConverted() {
    DJLSEncoderRegistration::registerCodecs();
    const QString path = writeOne(smallSpec(samples::Syntax::ExplicitLittle), "lossy");
    DcmFileFormat file;
    QVERIFY(file.loadFile(path.toLocal8Bit().constData()).good());
    DJLSRepresentationParameter nearLossless(2, OFTrue);
    QVERIFY(file.getDataset()->chooseRepresentation(EXS_JPEGLSLossy, &nearLossless).good());
    file.getDataset()->removeAllButCurrentRepresentations();
    const QString lossyPath = dir_.filePath("lossy.dcm");
    QVERIFY(file.saveFile(lossyPath.toLocal8Bit().constData(), EXS_JPEGLSLossy).good());

    DcmFileFormat lossy;
    QVERIFY(lossy.loadFile(lossyPath.toLocal8Bit().constData()).good());
    scutest::RecordingPeer uncompressedOnly({});
    try {
      dicom::dcmtk::storeObject(lossy, {"127.0.0.1", uncompressedOnly.port(), "STATION1", "PEER"},
                                kShort);
      QFAIL("a lossy object was sent to a peer that only takes uncompressed");
    } catch (const dicom::DicomError& e) {
      QCOMPARE(e.number(), dicom::OwnError::NoPresentationContext);
      QVERIFY2(e.description().contains("PEER"), qPrintable(e.description()));
    }
    QVERIFY(!uncompressedOnly.record().stored);

    scutest::PeerBehaviour takesIt;
    takesIt.storageSyntaxes = {UID_JPEGLSLossyTransferSyntax};
    scutest::RecordingPeer peer(takesIt);
    dicom::dcmtk::storeObject(lossy, {"127.0.0.1", peer.port(), "STATION1", "PEER"}, kShort);
    QCOMPARE(peer.record().storedSyntax, std::string(UID_JPEGLSLossyTransferSyntax));
  }
};

QTEST_GUILESS_MAIN(ScuRequestTest)
#include "ScuRequestTest.moc"
