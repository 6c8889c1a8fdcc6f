// Decoding for display: polarity, grey scale, orientation and size of the
// picture made from a generated mammogram.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>

#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <memory>

#include "SampleStudy.h"
#include "dicom/dcmtk/DcmtkRender.h"
#include "dicom/dcmtk/DcmtkToolkit.h"

using dicom::dcmtk::renderForDisplay;

namespace {

constexpr int kGrid = 8;

// Mean grey of each cell of a kGrid x kGrid grid over the picture.
std::vector<double> cellMeans(const QImage& picture) {
  std::vector<double> sums(kGrid * kGrid, 0.0), counts(kGrid * kGrid, 0.0);
  for (int y = 0; y < picture.height(); ++y) {
    const uchar* line = picture.constScanLine(y);
    for (int x = 0; x < picture.width(); ++x) {
      const int cell = (y * kGrid / picture.height()) * kGrid + x * kGrid / picture.width();
      sums[cell] += line[x];
      counts[cell] += 1;
    }
  }
  for (int i = 0; i < kGrid * kGrid; ++i) sums[i] /= std::max(1.0, counts[i]);
  return sums;
}

// The same grid over the stored values (MONOCHROME2 sense: high is bright).
std::vector<double> cellMeans(const std::vector<std::uint16_t>& values, int rows, int columns,
                              bool inverted, int bitsStored) {
  std::vector<double> sums(kGrid * kGrid, 0.0), counts(kGrid * kGrid, 0.0);
  const double top = (1 << bitsStored) - 1;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < columns; ++x) {
      const double v = values[static_cast<std::size_t>(y) * columns + x];
      const int cell = (y * kGrid / rows) * kGrid + x * kGrid / columns;
      sums[cell] += inverted ? top - v : v;
      counts[cell] += 1;
    }
  }
  for (int i = 0; i < kGrid * kGrid; ++i) sums[i] /= std::max(1.0, counts[i]);
  return sums;
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  double ma = 0, mb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ma += a[i];
    mb += b[i];
  }
  ma /= a.size();
  mb /= b.size();
  double sab = 0, saa = 0, sbb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return sab / std::sqrt(saa * sbb);
}

double meanAbsoluteDifference(const QImage& a, const QImage& b) {
  double sum = 0;
  for (int y = 0; y < a.height(); ++y) {
    const uchar* la = a.constScanLine(y);
    const uchar* lb = b.constScanLine(y);
    for (int x = 0; x < a.width(); ++x) sum += std::abs(int(la[x]) - int(lb[x]));
  }
  return sum / (double(a.width()) * a.height());
}

}  // namespace

class RenderTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<dicom::dcmtk::DcmtkToolkit> toolkit_;  // registers the decoders
  QTemporaryDir dir_;

  // Writes image `index` of a one-view-per-image study and renders it.
  QImage render(const samples::StudySpec& spec, int index, const QString& name,
                DcmFileFormat* keep = nullptr) {
    const auto study = samples::writeStudy(spec, dir_.path() + "/" + name);
    DcmFileFormat local;
    DcmFileFormat& file = keep ? *keep : local;
    if (file.loadFile(study.at(static_cast<std::size_t>(index)).path.toLocal8Bit().constData())
            .bad()) {
      return {};
    }
    return renderForDisplay(*file.getDataset());
  }

 private slots:
  void initTestCase() {
    toolkit_ = std::make_unique<dicom::dcmtk::DcmtkToolkit>();
    QVERIFY(dir_.isValid());
  }

  // A full-size mammogram comes out 8-bit grey, long side 2048, aspect kept;
  // MONOCHROME1 shows the same picture as MONOCHROME2.
  void polarityAndSize() {
    samples::StudySpec spec;
    spec.images = 1;
    const QImage mono2 = render(spec, 0, "mono2");
    spec.photometric = "MONOCHROME1";
    const QImage mono1 = render(spec, 0, "mono1");
    QCOMPARE(mono2.format(), QImage::Format_Grayscale8);
    QCOMPARE(mono2.size(), QSize(1664, 2048));
    QCOMPARE(mono1.size(), mono2.size());
    const double difference = meanAbsoluteDifference(mono1, mono2);
    QVERIFY2(difference < 3.0, qPrintable(QString::number(difference)));
  }

  void orientationAndContrast_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("photometric");
    QTest::addColumn<bool>("withWindow");
    QTest::newRow("L CC, window") << 0 << "MONOCHROME2" << true;
    QTest::newRow("R CC, window") << 1 << "MONOCHROME2" << true;
    QTest::newRow("R MLO, MONOCHROME1") << 3 << "MONOCHROME1" << true;
    QTest::newRow("L MLO, no window") << 2 << "MONOCHROME2" << false;
    QTest::newRow("R CC, MONOCHROME1, no window") << 1 << "MONOCHROME1" << false;
  }

  // The breast is brighter than the background, and the picture is the
  // stored image the right way round: the chest wall stays on its side.
  void orientationAndContrast() {
    QFETCH(int, index);
    QFETCH(QString, photometric);
    QFETCH(bool, withWindow);
    samples::StudySpec spec;
    spec.rows = 1024;
    spec.columns = 832;
    spec.images = 4;
    spec.photometric = photometric;
    spec.withWindow = withWindow;
    const QImage picture =
        render(spec, index, QString("view%1%2%3").arg(index).arg(photometric).arg(withWindow));
    QCOMPARE(picture.size(), QSize(832, 1024));

    const auto stored = samples::pixels(spec, index);
    const auto expected =
        cellMeans(stored, spec.rows, spec.columns, photometric == "MONOCHROME1", spec.bitsStored);
    const auto shown = cellMeans(picture);
    const double r = correlation(expected, shown);
    QVERIFY2(r > 0.9, qPrintable(QString("correlation %1").arg(r)));

    // Brightest and darkest cells: tissue against background.
    const auto [low, high] = std::minmax_element(shown.begin(), shown.end());
    QVERIFY2(*high - *low > 60, qPrintable(QString("%1..%2").arg(*low).arg(*high)));
    // The chest wall column (left or right edge) is brighter than the far edge.
    double left = 0, right = 0;
    for (int row = 0; row < kGrid; ++row) {
      left += shown[row * kGrid];
      right += shown[row * kGrid + kGrid - 1];
    }
    double storedLeft = 0, storedRight = 0;
    for (int row = 0; row < kGrid; ++row) {
      storedLeft += expected[row * kGrid];
      storedRight += expected[row * kGrid + kGrid - 1];
    }
    QCOMPARE(left > right, storedLeft > storedRight);
  }

  // A compressed object is decoded, then holds only its compressed form
  // again, so it does not take twice the memory and goes out as it came.
  void compressedObjectKeepsItsForm() {
    samples::StudySpec spec;
    spec.rows = 512;
    spec.columns = 416;
    spec.images = 1;
    const QImage plain = render(spec, 0, "plain");
    spec.syntax = samples::Syntax::JpegLs;
    DcmFileFormat file;
    const QImage decoded = render(spec, 0, "jpegls", &file);
    QCOMPARE(decoded.size(), plain.size());
    QCOMPARE(meanAbsoluteDifference(decoded, plain), 0.0);
    DcmElement* element = nullptr;
    QVERIFY(file.getDataset()->findAndGetElement(DCM_PixelData, element).good());
    auto* pixels = dynamic_cast<DcmPixelData*>(element);
    QVERIFY(pixels);
    QVERIFY(!pixels->hasRepresentation(EXS_LittleEndianExplicit));
    QCOMPARE(file.getDataset()->getCurrentXfer(), EXS_JPEGLSLossless);
  }

  void undecodablePixelsGiveNoPicture() {
    DcmDataset dataset;
    dataset.putAndInsertUint16(DCM_Rows, 64);
    dataset.putAndInsertUint16(DCM_Columns, 64);
    dataset.putAndInsertUint16(DCM_BitsAllocated, 16);
    dataset.putAndInsertUint16(DCM_BitsStored, 12);
    dataset.putAndInsertUint16(DCM_HighBit, 11);
    dataset.putAndInsertUint16(DCM_SamplesPerPixel, 1);
    dataset.putAndInsertUint16(DCM_PixelRepresentation, 0);
    dataset.putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    std::vector<Uint16> few(10, 1);
    dataset.putAndInsertUint16Array(DCM_PixelData, few.data(), 10);
    QVERIFY(renderForDisplay(dataset).isNull());
  }

  // Area averaging: every output pixel is the mean of the block it covers.
  void shrinksByAreaAverage() {
    const unsigned char source[] = {0,   10,  20, 30, 40,  50,   //
                                    2,   12,  22, 32, 42,  52,   //
                                    100, 100, 0,  0,  255, 255,  //
                                    100, 100, 0,  0,  255, 255};
    const QImage out = dicom::dcmtk::shrinkGrey(source, 6, 4, 3, 2);
    QCOMPARE(out.size(), QSize(3, 2));
    QCOMPARE(int(out.constScanLine(0)[0]), 6);
    QCOMPARE(int(out.constScanLine(0)[1]), 26);
    QCOMPARE(int(out.constScanLine(0)[2]), 46);
    QCOMPARE(int(out.constScanLine(1)[0]), 100);
    QCOMPARE(int(out.constScanLine(1)[1]), 0);
    QCOMPARE(int(out.constScanLine(1)[2]), 255);
  }
};

QTEST_GUILESS_MAIN(RenderTest)
#include "RenderTest.moc"
