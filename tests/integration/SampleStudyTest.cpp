// The sample generator the other tests build on: what it writes must be what
// they assume (views and series, character set bytes, the pixels that
// samples::pixels promises), or their results mean nothing.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>
#include <dcmtk/oflog/oflog.h>

#include <QTemporaryDir>
#include <QtTest>

#include "SampleStudy.h"

Q_DECLARE_METATYPE(samples::Syntax)

namespace {

// The raw bytes of a string attribute; empty when absent.
QByteArray raw(DcmDataset& dataset, const DcmTagKey& key) {
  const char* value = nullptr;
  Uint32 length = 0;
  if (dataset.findAndGetString(key, value, length).bad() || value == nullptr) return {};
  return QByteArray(value, static_cast<qsizetype>(length));
}

}  // namespace

class SampleStudyTest : public QObject {
  Q_OBJECT

  QTemporaryDir temp_;
  int studies_ = 0;

  static samples::StudySpec small(int images) {
    samples::StudySpec spec;
    spec.rows = 120;
    spec.columns = 96;
    spec.images = images;
    return spec;
  }

  // Writes the study and loads its files (null where one cannot be read).
  std::vector<std::unique_ptr<DcmFileFormat>> write(const samples::StudySpec& spec) {
    std::vector<std::unique_ptr<DcmFileFormat>> files;
    for (const auto& image :
         samples::writeStudy(spec, temp_.filePath(QString::number(++studies_)))) {
      files.push_back(std::make_unique<DcmFileFormat>());
      if (files.back()->loadFile(QFile::encodeName(image.path).constData()).bad())
        files.back().reset();
    }
    return files;
  }

 private slots:
  void initTestCase() {
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);
    QVERIFY(temp_.isValid());
    DJDecoderRegistration::registerCodecs();
    DJLSDecoderRegistration::registerCodecs();
    DcmRLEDecoderRegistration::registerCodecs();
  }

  // Views cycle L CC, R CC, L MLO, R MLO, one series per view in one study.
  void viewsAndSeries() {
    const auto files = write(small(5));
    const QStringList labels = {"L CC", "R CC", "L MLO", "R MLO", "L CC"};
    QStringList series, studies;
    for (int i = 0; i < 5; ++i) {
      QVERIFY(files.at(i));
      DcmDataset& ds = *files[i]->getDataset();
      QCOMPARE(QString(raw(ds, DCM_SeriesDescription)), labels[i]);
      QCOMPARE(QString(raw(ds, DCM_ImageLaterality)), labels[i].left(1));
      QCOMPARE(QString(raw(ds, DCM_ViewPosition)), labels[i].mid(2));
      series << raw(ds, DCM_SeriesInstanceUID);
      studies << raw(ds, DCM_StudyInstanceUID);
    }
    QCOMPARE(QSet<QString>(series.begin(), series.end()).size(), 4);
    QCOMPARE(series[4], series[0]);
    QCOMPARE(QSet<QString>(studies.begin(), studies.end()).size(), 1);
  }

  // Every syntax decodes to exactly samples::pixels, which the tests compare
  // received images with; MONOCHROME1 holds the inverted values; names are
  // written in the bytes of the declared character set.
  void imageAsWritten_data() {
    QTest::addColumn<samples::Syntax>("syntax");
    QTest::addColumn<QString>("photometric");
    QTest::addColumn<int>("bits");
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    using S = samples::Syntax;
    const QString mono1 = "MONOCHROME1", mono2 = "MONOCHROME2", latin1 = "ISO_IR 100",
                  utf8 = "ISO_IR 192", none, western = "Müller^Anna", eastern = "Dvořák^Jana";
    const QByteArray westernBytes("M\xfcller^Anna"), easternBytes("Dvo\xc5\x99\xc3\xa1k^Jana");
    QTest::newRow("explicit") << S::ExplicitLittle << mono1 << 16 << none << western
                              << westernBytes;
    QTest::newRow("implicit") << S::ImplicitLittle << mono2 << 12 << latin1 << western
                              << westernBytes;
    QTest::newRow("deflated") << S::Deflated << mono2 << 14 << utf8 << eastern << easternBytes;
    QTest::newRow("jpeg-lossless")
        << S::JpegLossless << mono1 << 14 << latin1 << western << westernBytes;
    QTest::newRow("jpeg-ls") << S::JpegLs << mono2 << 16 << utf8 << eastern << easternBytes;
    QTest::newRow("rle") << S::Rle << mono1 << 12 << none << western << westernBytes;
  }
  void imageAsWritten() {
    QFETCH(samples::Syntax, syntax);
    QFETCH(QString, photometric);
    QFETCH(int, bits);
    QFETCH(QString, charset);
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    samples::StudySpec spec = small(1);
    spec.syntax = syntax;
    spec.photometric = photometric;
    spec.bitsStored = bits;
    spec.specificCharacterSet = charset;
    spec.patientName = name;
    const auto files = write(spec);
    QVERIFY(files.at(0));
    DcmDataset& ds = *files[0]->getDataset();
    QCOMPARE(raw(ds, DCM_PatientName), bytes);
    QCOMPARE(QString(raw(ds, DCM_SpecificCharacterSet)), charset);
    QCOMPARE(QString(raw(ds, DCM_PhotometricInterpretation)), photometric);
    QVERIFY(ds.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).good());
    const Uint16* words = nullptr;
    unsigned long count = 0;
    QVERIFY(ds.findAndGetUint16Array(DCM_PixelData, words, &count).good());
    const std::vector<std::uint16_t> pixels = samples::pixels(spec, 0);
    QVERIFY(std::vector<std::uint16_t>(words, words + count) == pixels);

    spec.photometric = photometric == "MONOCHROME1" ? "MONOCHROME2" : "MONOCHROME1";
    const std::vector<std::uint16_t> other = samples::pixels(spec, 0);
    for (std::size_t i = 0; i < pixels.size(); ++i) QCOMPARE(pixels[i] + other[i], (1 << bits) - 1);
  }
};

QTEST_GUILESS_MAIN(SampleStudyTest)
#include "SampleStudyTest.moc"
