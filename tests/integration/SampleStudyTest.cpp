// The sample generator the other tests build on: what it writes must be what
// they assume (views, series, character sets, pixel layout), or their
// results mean nothing.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/oflog/oflog.h>

#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>
#include <numeric>
#include <stdexcept>

#include "SampleStudy.h"

namespace {

// The raw bytes of a string attribute; empty when absent.
QByteArray rawValue(DcmDataset& dataset, const DcmTagKey& key) {
  const char* value = nullptr;
  Uint32 length = 0;
  if (dataset.findAndGetString(key, value, length).bad() || value == nullptr) return {};
  return QByteArray(value, static_cast<qsizetype>(length));
}

// Mean of a band of columns of an image (values row by row).
double bandMean(const std::vector<std::uint16_t>& pixels, int columns, int first, int last) {
  const int rows = static_cast<int>(pixels.size()) / columns;
  double sum = 0;
  for (int y = 0; y < rows; ++y) {
    for (int x = first; x < last; ++x) sum += pixels[static_cast<std::size_t>(y * columns + x)];
  }
  return sum / (rows * (last - first));
}

}  // namespace

class SampleStudyTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);
    QVERIFY(temp_.isValid());
  }

  // Views cycle L CC, R CC, L MLO, R MLO, one series per view, and every
  // object is a For Presentation mammogram of the one study.
  void viewsAndSeries() {
    samples::StudySpec spec;
    spec.rows = 64;
    spec.columns = 48;
    spec.images = 6;
    const auto written = samples::writeStudy(spec, temp_.filePath("views"));
    QCOMPARE(int(written.size()), 6);
    const QStringList labels = {"L CC", "R CC", "L MLO", "R MLO", "L CC", "R CC"};
    QStringList series, studies;
    QSet<QString> sops;
    for (int i = 0; i < 6; ++i) {
      DcmFileFormat file;
      QVERIFY(file.loadFile(QFile::encodeName(written[i].path).constData()).good());
      DcmDataset& ds = *file.getDataset();
      QCOMPARE(written[i].seriesDescription, labels[i]);
      QCOMPARE(samples::viewLabel(i), labels[i]);
      QCOMPARE(QString(rawValue(ds, DCM_SeriesDescription)), labels[i]);
      QCOMPARE(QString(rawValue(ds, DCM_ImageLaterality)), labels[i].left(1));
      QCOMPARE(QString(rawValue(ds, DCM_ViewPosition)), labels[i].mid(2));
      QCOMPARE(QString(rawValue(ds, DCM_SOPInstanceUID)), written[i].sopInstanceUID);
      QCOMPARE(QString(rawValue(ds, DCM_SOPClassUID)), QString("1.2.840.10008.5.1.4.1.1.1.2"));
      QCOMPARE(QString(rawValue(ds, DCM_Modality)), QString("MG"));
      QCOMPARE(QString(rawValue(ds, DCM_PresentationIntentType)), QString("FOR PRESENTATION"));
      QCOMPARE(QString(rawValue(ds, DCM_InstanceNumber)), QString::number(i + 1));
      series << QString(rawValue(ds, DCM_SeriesInstanceUID));
      studies << QString(rawValue(ds, DCM_StudyInstanceUID));
      sops.insert(written[i].sopInstanceUID);
    }
    QCOMPARE(sops.size(), 6);
    QCOMPARE(QSet<QString>(studies.begin(), studies.end()).size(), 1);
    QCOMPARE(QSet<QString>(series.begin(), series.end()).size(), 4);
    QCOMPARE(series[4], series[0]);
    QCOMPARE(series[5], series[1]);
  }

  void characterSets_data() {
    QTest::addColumn<QString>("charset");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("none") << "" << QString::fromUtf8("Müller^Anna") << QByteArray("M\xfcller^Anna");
    QTest::newRow("latin-1") << "ISO_IR 100" << QString::fromUtf8("Müller^Anna")
                             << QByteArray("M\xfcller^Anna");
    QTest::newRow("utf-8") << "ISO_IR 192" << QString::fromUtf8("Dvořák^Jana")
                           << QByteArray("Dvo\xc5\x99\xc3\xa1k^Jana");
  }

  // Names are written in the bytes of the declared character set; no
  // character set attribute at all when none is asked for.
  void characterSets() {
    QFETCH(QString, charset);
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    samples::StudySpec spec;
    spec.rows = 32;
    spec.columns = 32;
    spec.images = 1;
    spec.specificCharacterSet = charset;
    spec.patientName = name;
    const auto written =
        samples::writeStudy(spec, temp_.filePath(QStringLiteral("cs-") + QTest::currentDataTag()));
    DcmFileFormat file;
    QVERIFY(file.loadFile(QFile::encodeName(written.front().path).constData()).good());
    DcmDataset& ds = *file.getDataset();
    QCOMPARE(rawValue(ds, DCM_PatientName), bytes);
    QCOMPARE(ds.tagExists(DCM_SpecificCharacterSet), !charset.isEmpty());
    if (!charset.isEmpty()) QCOMPARE(QString(rawValue(ds, DCM_SpecificCharacterSet)), charset);
  }

  // Text the character set cannot hold, or an unknown set, is refused
  // rather than written as something else.
  void unrepresentableTextIsRefused() {
    samples::StudySpec spec;
    spec.rows = 32;
    spec.columns = 32;
    spec.images = 1;
    spec.specificCharacterSet = "ISO_IR 100";
    spec.patientName = QString::fromUtf8("Dvořák^Jana");
    QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                             samples::writeStudy(spec, temp_.filePath("refused-1")));
    spec.specificCharacterSet = "ISO_IR 144";
    spec.patientName = "Doe^Jane";
    QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                             samples::writeStudy(spec, temp_.filePath("refused-2")));
  }

  // The breast lies against the chest wall of its side: the left edge for
  // left views, the right edge for right views, on a dark background.
  void chestWallFollowsLaterality() {
    samples::StudySpec spec;
    spec.rows = 400;
    spec.columns = 320;
    for (int view = 0; view < 4; ++view) {
      const auto pixels = samples::pixels(spec, view);
      const double left = bandMean(pixels, spec.columns, 0, 20);
      const double right = bandMean(pixels, spec.columns, spec.columns - 20, spec.columns);
      if (samples::viewLabel(view).startsWith('L')) {
        QVERIFY2(left > 4 * right, qPrintable(samples::viewLabel(view)));
      } else {
        QVERIFY2(right > 4 * left, qPrintable(samples::viewLabel(view)));
      }
    }
  }

  // MONOCHROME1 stores the inverted values, so that both display the same;
  // values stay within the bits stored and use most of that range.
  void photometricAndRange() {
    samples::StudySpec spec;
    spec.rows = 200;
    spec.columns = 160;
    for (int bits : {12, 14, 16}) {
      spec.bitsStored = bits;
      spec.photometric = "MONOCHROME2";
      const auto mono2 = samples::pixels(spec, 0);
      spec.photometric = "MONOCHROME1";
      const auto mono1 = samples::pixels(spec, 0);
      const int maxValue = (1 << bits) - 1;
      const auto top = *std::max_element(mono2.begin(), mono2.end());
      QVERIFY(top <= maxValue);
      QVERIFY(top > maxValue / 2);
      for (std::size_t i = 0; i < mono2.size(); ++i) {
        QCOMPARE(int(mono1[i]), maxValue - int(mono2[i]));
      }
    }
  }

  // The same seed gives the same pixels; another seed, other pixels.
  void seedDecidesPixels() {
    samples::StudySpec spec;
    spec.rows = 120;
    spec.columns = 100;
    const auto first = samples::pixels(spec, 2);
    QVERIFY(samples::pixels(spec, 2) == first);
    spec.seed = 2;
    QVERIFY(samples::pixels(spec, 2) != first);
  }

  // The window attributes come and go with withWindow.
  void windowIsOptional() {
    samples::StudySpec spec;
    spec.rows = 32;
    spec.columns = 32;
    spec.images = 1;
    for (bool window : {true, false}) {
      spec.withWindow = window;
      const auto written =
          samples::writeStudy(spec, temp_.filePath(window ? "window-on" : "window-off"));
      DcmFileFormat file;
      QVERIFY(file.loadFile(QFile::encodeName(written.front().path).constData()).good());
      QCOMPARE(file.getDataset()->tagExists(DCM_WindowCenter), window);
      QCOMPARE(file.getDataset()->tagExists(DCM_WindowWidth), window);
    }
  }

 private:
  QTemporaryDir temp_;
};

QTEST_GUILESS_MAIN(SampleStudyTest)
#include "SampleStudyTest.moc"
