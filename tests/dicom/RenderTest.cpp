// Decoding for display: polarity, grey scale, orientation and size of the
// picture made from a generated mammogram; the direct path for uncompressed
// grey images against DCMTK's decoder, and the objects it leaves to it.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <cstring>
#include <memory>

#include "SampleStudy.h"
#include "dicom/Shrink.h"
#include "dicom/dcmtk/DcmtkRender.h"
#include "dicom/dcmtk/DcmtkToolkit.h"

using dicom::dcmtk::renderDecoded;
using dicom::dcmtk::renderForDisplay;
using dicom::dcmtk::renderNativeGrey;

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

int maxAbsoluteDifference(const QImage& a, const QImage& b) {
  int most = 0;
  for (int y = 0; y < a.height(); ++y) {
    const uchar* la = a.constScanLine(y);
    const uchar* lb = b.constScanLine(y);
    for (int x = 0; x < a.width(); ++x) most = std::max(most, std::abs(int(la[x]) - int(lb[x])));
  }
  return most;
}

// A grey image made here rather than by the generator, for the pixel
// layouts the generator does not write (8 bits, signed values, rescale,
// bits above the stored ones).
struct Synthetic {
  int rows = 300;
  int columns = 200;
  int bitsAllocated = 16;
  int bitsStored = 12;
  bool isSigned = false;
  QString photometric = "MONOCHROME2";
  QString window;          // "center|width" (each may hold several values) or empty
  QString rescale;         // "slope|intercept" or empty
  bool junkAbove = false;  // random bits above bits stored
};

// Stored values running diagonally from the lowest to the highest value
// bits stored allows, with noise, so that windows clip on both sides.
std::unique_ptr<DcmDataset> makeImage(const Synthetic& s) {
  auto dataset = std::make_unique<DcmDataset>();
  dataset->putAndInsertUint16(DCM_Rows, static_cast<Uint16>(s.rows));
  dataset->putAndInsertUint16(DCM_Columns, static_cast<Uint16>(s.columns));
  dataset->putAndInsertUint16(DCM_BitsAllocated, static_cast<Uint16>(s.bitsAllocated));
  dataset->putAndInsertUint16(DCM_BitsStored, static_cast<Uint16>(s.bitsStored));
  dataset->putAndInsertUint16(DCM_HighBit, static_cast<Uint16>(s.bitsStored - 1));
  dataset->putAndInsertUint16(DCM_SamplesPerPixel, 1);
  dataset->putAndInsertUint16(DCM_PixelRepresentation, s.isSigned ? 1 : 0);
  dataset->putAndInsertString(DCM_PhotometricInterpretation, qPrintable(s.photometric));
  if (!s.window.isEmpty()) {
    const QStringList parts = s.window.split("|");
    dataset->putAndInsertString(DCM_WindowCenter, qPrintable(parts.value(0)));
    dataset->putAndInsertString(DCM_WindowWidth, qPrintable(parts.value(1)));
  }
  if (!s.rescale.isEmpty()) {
    const QStringList parts = s.rescale.split("|");
    dataset->putAndInsertString(DCM_RescaleSlope, qPrintable(parts.value(0)));
    dataset->putAndInsertString(DCM_RescaleIntercept, qPrintable(parts.value(1)));
  }
  const long long lowest = s.isSigned ? -(1LL << (s.bitsStored - 1)) : 0;
  const long long highest =
      s.isSigned ? (1LL << (s.bitsStored - 1)) - 1 : (1LL << s.bitsStored) - 1;
  const std::uint32_t mask = (1u << s.bitsStored) - 1u;
  std::uint32_t random = 12345;
  auto next = [&random] {
    random = random * 1103515245u + 12345u;
    return random >> 8;
  };
  const std::size_t count = static_cast<std::size_t>(s.rows) * s.columns;
  std::vector<std::uint32_t> words(count);
  for (int y = 0; y < s.rows; ++y) {
    for (int x = 0; x < s.columns; ++x) {
      const double t = (double(x) / s.columns + double(y) / s.rows) / 2.0;
      const double noise = (double(next() % 1000) / 1000.0 - 0.5) * 0.1;
      const long long value = std::clamp(
          static_cast<long long>(lowest + (t + noise) * double(highest - lowest)), lowest, highest);
      std::uint32_t word = static_cast<std::uint32_t>(value) & mask;
      if (s.junkAbove) word |= (next() << s.bitsStored) & ~mask;
      words[static_cast<std::size_t>(y) * s.columns + x] = word;
    }
  }
  if (s.bitsAllocated == 8) {
    std::vector<Uint8> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<Uint8>(words[i]);
    dataset->putAndInsertUint8Array(DCM_PixelData, bytes.data(), count);
  } else {
    std::vector<Uint16> values(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<Uint16>(words[i]);
    dataset->putAndInsertUint16Array(DCM_PixelData, values.data(), count);
  }
  dataset->updateOriginalXfer();
  return dataset;
}

// The direct path renders the object, and shows what DCMTK's decoder shows.
void compareWithDecoder(DcmDataset& dataset, double meanLimit = 0.5, int maxLimit = 2) {
  const QImage direct = renderNativeGrey(dataset);
  QVERIFY2(!direct.isNull(), "the direct path declined");
  const QImage decoded = renderDecoded(dataset);
  QVERIFY2(!decoded.isNull(), "DCMTK's decoder failed");
  QCOMPARE(direct.format(), QImage::Format_Grayscale8);
  QCOMPARE(direct.size(), decoded.size());
  const double mean = meanAbsoluteDifference(direct, decoded);
  const int most = maxAbsoluteDifference(direct, decoded);
  QVERIFY2(mean <= meanLimit && most <= maxLimit,
           qPrintable(QString("mean %1, max %2").arg(mean).arg(most)));
  // What renderForDisplay hands on is the direct path's picture.
  QCOMPARE(renderForDisplay(dataset), direct);
}
}  // namespace

Q_DECLARE_METATYPE(Synthetic)

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

  // The direct path against DCMTK's decoder over the pixel layouts and grey
  // scales it handles.
  void directPathMatchesDecoder_data() {
    QTest::addColumn<Synthetic>("image");
    Synthetic s;
    s.window = "2048|2000";
    QTest::newRow("12 bits, MONOCHROME2, window") << s;
    s.window = "1000\\2048|500\\2000";
    QTest::newRow("12 bits, two windows: the first") << s;
    s.window = "2048|2000";
    s.photometric = "MONOCHROME1";
    QTest::newRow("12 bits, MONOCHROME1, window") << s;
    s.window = "";
    QTest::newRow("12 bits, MONOCHROME1, min-max") << s;
    s.photometric = "MONOCHROME2";
    QTest::newRow("12 bits, MONOCHROME2, min-max") << s;
    s.junkAbove = true;
    QTest::newRow("12 bits, junk above bits stored, min-max") << s;
    s.window = "1500|800";
    QTest::newRow("12 bits, junk above bits stored, window") << s;
    s = Synthetic();
    s.bitsStored = 14;
    s.window = "6000|9000";
    QTest::newRow("14 bits, MONOCHROME2, window") << s;
    s.window = "";
    s.photometric = "MONOCHROME1";
    QTest::newRow("14 bits, MONOCHROME1, min-max") << s;
    s = Synthetic();
    s.bitsStored = 16;
    QTest::newRow("16 bits, min-max") << s;
    s.window = "30000|20000";
    QTest::newRow("16 bits, window") << s;
    s.isSigned = true;
    s.window = "";
    QTest::newRow("16 bits signed, min-max") << s;
    s.window = "-1000|30000";
    s.photometric = "MONOCHROME1";
    QTest::newRow("16 bits signed, MONOCHROME1, window") << s;
    s = Synthetic();
    s.isSigned = true;
    s.junkAbove = true;
    QTest::newRow("12 bits signed, junk above, min-max") << s;
    s.window = "100|1500";
    s.photometric = "MONOCHROME1";
    QTest::newRow("12 bits signed, MONOCHROME1, window") << s;
    s = Synthetic();
    s.rescale = "2|-1024";
    s.window = "3000|4000";
    QTest::newRow("12 bits, rescale, window") << s;
    s.window = "";
    QTest::newRow("12 bits, rescale, min-max") << s;
    s.rescale = "-1|4095";
    QTest::newRow("12 bits, negative slope, min-max") << s;
    s = Synthetic();
    s.window = "2048|1";
    QTest::newRow("12 bits, window width 1") << s;
    s.window = "2048|2";
    QTest::newRow("12 bits, window width 2") << s;
    s = Synthetic();
    s.bitsAllocated = 8;
    s.bitsStored = 8;
    QTest::newRow("8 bits, min-max") << s;
    s.photometric = "MONOCHROME1";
    s.window = "128|100";
    QTest::newRow("8 bits, MONOCHROME1, window") << s;
    s = Synthetic();
    s.bitsAllocated = 8;
    s.bitsStored = 7;
    s.isSigned = true;
    s.junkAbove = true;
    QTest::newRow("7 of 8 bits signed, junk above, min-max") << s;
    s = Synthetic();
    s.rows = 4095;
    s.columns = 3329;
    s.bitsStored = 14;
    QTest::newRow("odd full size, reduced, min-max") << s;
    s.photometric = "MONOCHROME1";
    s.window = "8000|6000";
    QTest::newRow("odd full size, reduced, MONOCHROME1, window") << s;
    s = Synthetic();
    s.rows = 2049;
    s.columns = 3;
    QTest::newRow("long and thin, reduced") << s;
    s.rows = 1;
    s.columns = 1;
    QTest::newRow("1x1") << s;
    s.rows = 2;
    s.columns = 3;
    QTest::newRow("3x2") << s;
    s.bitsAllocated = 8;
    s.bitsStored = 8;
    QTest::newRow("3x2, 8 bits (odd length)") << s;
  }

  void directPathMatchesDecoder() {
    QFETCH(Synthetic, image);
    const auto dataset = makeImage(image);
    compareWithDecoder(*dataset);
  }

  // Pixel data as it is held after arriving in any uncompressed syntax: the
  // direct path reads it in this machine's byte order.
  void directPathReadsEveryUncompressedSyntax_data() {
    QTest::addColumn<int>("syntax");
    QTest::addColumn<int>("bitsAllocated");
    QTest::addColumn<bool>("wordsOfBytes");  // 8-bit pixels in OW
    for (const auto& [name, xfer] :
         {std::pair<const char*, E_TransferSyntax>{"explicit little", EXS_LittleEndianExplicit},
          {"implicit little", EXS_LittleEndianImplicit},
          {"explicit big", EXS_BigEndianExplicit},
          {"deflated", EXS_DeflatedLittleEndianExplicit}}) {
      QTest::newRow(qPrintable(QString("%1, 16 bits").arg(name))) << int(xfer) << 16 << false;
      QTest::newRow(qPrintable(QString("%1, 8 bits").arg(name))) << int(xfer) << 8 << false;
      QTest::newRow(qPrintable(QString("%1, 8 bits in OW").arg(name))) << int(xfer) << 8 << true;
    }
  }

  void directPathReadsEveryUncompressedSyntax() {
    QFETCH(int, syntax);
    QFETCH(int, bitsAllocated);
    QFETCH(bool, wordsOfBytes);
    Synthetic s;
    s.rows = 61;  // odd: the 8-bit value has a padding byte
    s.columns = 37;
    s.bitsAllocated = bitsAllocated;
    s.bitsStored = bitsAllocated == 8 ? 8 : 12;
    auto dataset = makeImage(s);
    if (wordsOfBytes) {
      // The same bytes as words in little-endian order, so that a
      // big-endian file swaps them.
      Uint8* bytes = nullptr;
      QVERIFY(
          dataset->findAndGetUint8Array(DCM_PixelData, const_cast<const Uint8*&>(bytes)).good());
      const std::size_t length = (static_cast<std::size_t>(s.rows) * s.columns + 1) / 2;
      std::vector<Uint16> words(length);
      for (std::size_t i = 0; i < length; ++i) {
        words[i] = static_cast<Uint16>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
      }
      QVERIFY(dataset->putAndInsertUint16Array(DCM_PixelData, words.data(), length).good());
    }
    const QImage expected = renderNativeGrey(*dataset);
    QVERIFY(!expected.isNull());

    const QString path = dir_.filePath(
        QString("syntax-%1-%2-%3.dcm").arg(syntax).arg(bitsAllocated).arg(wordsOfBytes));
    DcmFileFormat written(dataset.get());
    QVERIFY(written.saveFile(path.toLocal8Bit().constData(), static_cast<E_TransferSyntax>(syntax))
                .good());
    DcmFileFormat file;
    QVERIFY(file.loadFile(path.toLocal8Bit().constData()).good());
    QCOMPARE(int(file.getDataset()->getOriginalXfer()), syntax);
    compareWithDecoder(*file.getDataset());
    QCOMPARE(renderNativeGrey(*file.getDataset()), expected);
  }

  // Objects the direct path leaves to DCMTK's decoder, which still shows them.
  void leavesOtherObjectsToDecoder_data() {
    QTest::addColumn<QString>("change");
    QTest::newRow("VOI LUT sequence") << "voi-lut";
    QTest::newRow("modality LUT sequence") << "modality-lut";
    QTest::newRow("VOI LUT function SIGMOID") << "sigmoid";
    QTest::newRow("Presentation LUT Shape INVERSE") << "inverse";
    QTest::newRow("window width 0") << "width-0";
    QTest::newRow("window width 0.5") << "width-half";
    QTest::newRow("two frames") << "frames";
    QTest::newRow("high bit not bits stored - 1") << "high-bit";
    QTest::newRow("colour") << "rgb";
    QTest::newRow("rescale slope alone") << "slope-alone";
  }

  void leavesOtherObjectsToDecoder() {
    QFETCH(QString, change);
    Synthetic s;
    s.window = "2048|2000";
    auto dataset = makeImage(s);
    DcmDataset& d = *dataset;
    if (change == "voi-lut" || change == "modality-lut") {
      auto* item = new DcmItem();
      const Uint16 descriptor[] = {4096, 0, 8};
      item->putAndInsertUint16Array(DCM_LUTDescriptor, descriptor, 3);
      std::vector<Uint16> lut(4096);
      for (std::size_t i = 0; i < lut.size(); ++i) lut[i] = static_cast<Uint16>(255 - i / 16);
      item->putAndInsertUint16Array(DCM_LUTData, lut.data(), lut.size());
      if (change == "modality-lut") item->putAndInsertString(DCM_ModalityLUTType, "US");
      QVERIFY(d.insertSequenceItem(
                   change == "voi-lut" ? DCM_VOILUTSequence : DCM_ModalityLUTSequence, item)
                  .good());
    } else if (change == "sigmoid") {
      d.putAndInsertString(DCM_VOILUTFunction, "SIGMOID");
    } else if (change == "inverse") {
      d.putAndInsertString(DCM_PresentationLUTShape, "INVERSE");
    } else if (change == "width-0") {
      d.putAndInsertString(DCM_WindowWidth, "0");
    } else if (change == "width-half") {
      d.putAndInsertString(DCM_WindowWidth, "0.5");
    } else if (change == "frames") {
      // Two frames of half the height each.
      d.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(s.rows / 2));
      d.putAndInsertString(DCM_NumberOfFrames, "2");
    } else if (change == "high-bit") {
      d.putAndInsertUint16(DCM_HighBit, 15);
    } else if (change == "rgb") {
      const std::size_t count = static_cast<std::size_t>(s.rows) * s.columns;
      std::vector<Uint8> rgb(count * 3);
      for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<Uint8>(i % 251);
      d.putAndInsertString(DCM_PhotometricInterpretation, "RGB");
      d.putAndInsertUint16(DCM_SamplesPerPixel, 3);
      d.putAndInsertUint16(DCM_PlanarConfiguration, 0);
      d.putAndInsertUint16(DCM_BitsAllocated, 8);
      d.putAndInsertUint16(DCM_BitsStored, 8);
      d.putAndInsertUint16(DCM_HighBit, 7);
      d.putAndInsertUint8Array(DCM_PixelData, rgb.data(), rgb.size());
    } else if (change == "slope-alone") {
      d.putAndInsertString(DCM_RescaleSlope, "2");
    }
    QVERIFY(renderNativeGrey(d).isNull());
    const QImage shown = renderForDisplay(d);
    QVERIFY(!shown.isNull());
    QCOMPARE(shown, renderDecoded(d));
  }

  // Pixel data shorter than rows x columns is never read past its end
  // (the sanitizer build turns any overrun into a failure).
  void shortPixelDataIsNotRead_data() {
    QTest::addColumn<int>("bitsAllocated");
    QTest::addColumn<int>("missing");  // pixels short
    QTest::newRow("16 bits, one pixel short") << 16 << 1;
    QTest::newRow("16 bits, one row short") << 16 << 37;
    QTest::newRow("8 bits, two pixels short") << 8 << 2;
    QTest::newRow("16 bits, empty") << 16 << 61 * 37;
  }

  void shortPixelDataIsNotRead() {
    QFETCH(int, bitsAllocated);
    QFETCH(int, missing);
    Synthetic s;
    s.rows = 61;
    s.columns = 37;
    s.bitsAllocated = bitsAllocated;
    s.bitsStored = bitsAllocated == 8 ? 8 : 12;
    auto dataset = makeImage(s);
    const std::size_t count = static_cast<std::size_t>(s.rows) * s.columns - missing;
    if (bitsAllocated == 8) {
      std::vector<Uint8> bytes(count, 7);
      dataset->putAndInsertUint8Array(DCM_PixelData, bytes.data(), count);
    } else {
      std::vector<Uint16> words(count, 7);
      dataset->putAndInsertUint16Array(DCM_PixelData, words.data(), count);
    }
    QVERIFY(renderNativeGrey(*dataset).isNull());
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
    const QImage out = dicom::shrinkGrey(source, 6, 4, 3, 2);
    QCOMPARE(out.size(), QSize(3, 2));
    QCOMPARE(int(out.constScanLine(0)[0]), 6);
    QCOMPARE(int(out.constScanLine(0)[1]), 26);
    QCOMPARE(int(out.constScanLine(0)[2]), 46);
    QCOMPARE(int(out.constScanLine(1)[0]), 100);
    QCOMPARE(int(out.constScanLine(1)[1]), 0);
    QCOMPARE(int(out.constScanLine(1)[2]), 255);

    // The viewer's fitting: a picture whose rows are padded (6 pixels in an
    // 8-byte line) averages the same blocks, and keeps its aspect ratio.
    QImage padded(6, 4, QImage::Format_Grayscale8);
    QVERIFY(padded.bytesPerLine() > 6);
    for (int y = 0; y < 4; ++y) std::memcpy(padded.scanLine(y), source + y * 6, 6);
    QCOMPARE(dicom::fitPicture(padded, QSize(3, 10)), out);
    // Growing, or colour: smooth scaling, still within the size asked for.
    QCOMPARE(dicom::fitPicture(padded, QSize(12, 100)).size(), QSize(12, 8));
    QCOMPARE(dicom::fitPicture(padded.convertToFormat(QImage::Format_RGB32), QSize(3, 10)).size(),
             QSize(3, 2));
    QVERIFY(dicom::fitPicture(padded, QSize(0, 10)).isNull());
  }
};

QTEST_GUILESS_MAIN(RenderTest)
#include "RenderTest.moc"
