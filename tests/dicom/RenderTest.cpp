// Decoding for display: the direct path for uncompressed grey images held
// against DCMTK's image decoder, the objects it must leave to the decoder,
// the polarity of the picture, its size and the blocks a reduced picture
// averages; and JPEG 2000: a reduced decode that windows or scales
// otherwise than the full image, MONOCHROME1 shown the wrong way round, a
// lossless decode that is not exact, fragments joined wrongly, damaged
// pixel data that crashes or passes for a picture, and a frame drawn with
// another frame's window.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmjpls/djencode.h>

#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <cstdlib>
#include <functional>

#include "SampleStudy.h"
#include "dicom/core/Shrink.h"
#include "dicom/dcmtk/DcmtkJpeg2000.h"
#include "dicom/dcmtk/DcmtkRender.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "support/DcmBytes.h"

using namespace dicom::dcmtk;

namespace {

// A grey image, 200 x 300 pixels of 12 in 16 bits, MONOCHROME2, unless its
// "Keyword=value" attributes (or MONOCHROME1) say otherwise. Its stored values run from the
// lowest value its bits allow (top left) to the highest (bottom right),
// with noise; "junk" sets random bits above them, "short" cuts the pixel
// data short, "VOILUT" adds a falling VOI LUT of 4096 entries, "VOILUT-n",
// "ModalityLUT-n" and "Palette-n" (a palette colour image) tables that
// declare 4096 entries and hold n.
std::unique_ptr<DcmDataset> makeImage(const QString& spec) {
  auto d = std::make_unique<DcmDataset>();
  const QString all =
      "Rows=300 Columns=200 BitsAllocated=16 BitsStored=12 SamplesPerPixel=1 "
      "PixelRepresentation=0 PhotometricInterpretation=MONOCHROME2 " +
      QString(spec).replace("MONOCHROME1", "PhotometricInterpretation=MONOCHROME1");
  dcmbytes::put(*d, all.split(' ', Qt::SkipEmptyParts).join(';'));
  Uint16 rows = 0, columns = 0, bits = 0, stored = 0, isSigned = 0;
  Sint32 frames = 1;
  d->findAndGetUint16(DCM_Rows, rows);
  d->findAndGetUint16(DCM_Columns, columns);
  d->findAndGetUint16(DCM_BitsAllocated, bits);
  d->findAndGetUint16(DCM_BitsStored, stored);
  d->findAndGetUint16(DCM_PixelRepresentation, isSigned);
  if (d->findAndGetSint32(DCM_NumberOfFrames, frames).bad()) frames = 1;
  if (!spec.contains("HighBit")) d->putAndInsertUint16(DCM_HighBit, stored - 1);
  const long long lowest = isSigned ? -(1LL << (stored - 1)) : 0;
  const long long highest = lowest + (1LL << stored) - 1;
  const std::uint32_t mask = (1u << stored) - 1u;
  std::uint32_t random = 12345;
  auto next = [&random] { return (random = random * 1103515245u + 12345u) >> 8; };
  std::vector<Uint16> words;
  std::vector<Uint8> bytes;
  const int height = rows * frames;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < columns; ++x) {
      const double t = (double(x) / columns + double(y) / height) / 2.0;
      const double noise = (double(next() % 1000) / 1000.0 - 0.5) * 0.1;
      const long long value = std::clamp(
          lowest + static_cast<long long>((t + noise) * double(highest - lowest)), lowest, highest);
      std::uint32_t word = static_cast<std::uint32_t>(value) & mask;
      if (spec.contains("junk")) word |= (next() << stored) & ~mask;
      words.push_back(static_cast<Uint16>(word));
      bytes.push_back(static_cast<Uint8>(word));
    }
  }
  if (spec.contains("short")) words.resize(10);
  if (bits == 8) d->putAndInsertUint8Array(DCM_PixelData, bytes.data(), bytes.size());
  if (bits == 16) d->putAndInsertUint16Array(DCM_PixelData, words.data(), words.size());
  const QRegularExpression tables("(VOILUT|ModalityLUT|Palette)(-(\\d+))?");
  for (const auto& match : tables.globalMatch(spec)) {
    const Uint16 descriptor[] = {4096, 0, match.captured(1) == "Palette" ? Uint16(16) : Uint16(8)};
    std::vector<Uint16> data(match.captured(3).isEmpty() ? 4096 : match.captured(3).toUInt());
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<Uint16>(255 - i / 16);
    if (match.captured(1) == "Palette") {
      d->putAndInsertString(DCM_PhotometricInterpretation, "PALETTE COLOR");
      for (const auto& [key, values] :
           {std::pair(DCM_RedPaletteColorLookupTableDescriptor, DCM_RedPaletteColorLookupTableData),
            {DCM_GreenPaletteColorLookupTableDescriptor, DCM_GreenPaletteColorLookupTableData},
            {DCM_BluePaletteColorLookupTableDescriptor, DCM_BluePaletteColorLookupTableData}}) {
        d->putAndInsertUint16Array(key, descriptor, 3);
        d->putAndInsertUint16Array(values, data.data(), data.size());
      }
      continue;
    }
    auto* lut = new DcmItem();
    lut->putAndInsertUint16Array(DCM_LUTDescriptor, descriptor, 3);
    lut->putAndInsertUint16Array(DCM_LUTData, data.data(), data.size());
    const bool voi = match.captured(1) == "VOILUT";
    if (!voi) lut->putAndInsertString(DCM_ModalityLUTType, "US");
    d->insertSequenceItem(voi ? DCM_VOILUTSequence : DCM_ModalityLUTSequence, lut);
  }
  d->updateOriginalXfer();
  return d;
}

// The mean and the largest difference between two grey pictures of one size.
std::pair<double, int> difference(const QImage& a, const QImage& b) {
  double sum = 0;
  int most = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      const int d = std::abs(a.constScanLine(y)[x] - b.constScanLine(y)[x]);
      sum += d;
      most = std::max(most, d);
    }
  }
  return {sum / (double(a.width()) * a.height()), most};
}

}  // namespace

class RenderTest : public QObject {
  Q_OBJECT

 private:
  DcmtkToolkit toolkit_;  // registers the decoders
  QTemporaryDir dir_;

 private slots:
  // path: "direct" (the direct path draws it like the decoder), "compressed"
  // (decoded by the codec, mapped like "direct"), "decoder" (left to the
  // decoder), "none" (nothing shows it). polarity: +1 the top
  // left corner darker than the bottom right, -1 brighter, 0 unchecked.
  // "big", "deflated" and "jpeg-ls" images arrived in that transfer syntax.
  void render_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("polarity");
    const auto row = [](const char* image, const char* path, int polarity) {
      QTest::newRow(image) << QString(image) << QString(path) << polarity;
    };
    row("WindowCenter=2048 WindowWidth=2000", "direct", 1);
    row("WindowCenter=1000\\2048 WindowWidth=500\\2000", "direct", 1);  // the first window
    row("MONOCHROME1 WindowCenter=2048 WindowWidth=2000", "direct", -1);
    row("MONOCHROME1 BitsStored=14", "direct", -1);
    row("junk WindowCenter=1500 WindowWidth=800", "direct", 1);
    row("MONOCHROME1 BitsStored=16 PixelRepresentation=1 "
        "WindowCenter=-1000 WindowWidth=30000",
        "direct", -1);
    row("PixelRepresentation=1 junk", "direct", 1);
    row("RescaleSlope=2 RescaleIntercept=-1024 WindowCenter=3000 WindowWidth=4000", "direct", 1);
    row("RescaleSlope=-1 RescaleIntercept=4095", "direct", -1);
    row("WindowCenter=2048 WindowWidth=1", "direct", 1);
    row("MONOCHROME1 BitsAllocated=8 BitsStored=8 WindowCenter=128 "
        "WindowWidth=100",
        "direct", -1);
    row("BitsAllocated=8 BitsStored=7 PixelRepresentation=1 junk", "direct", 1);
    row("MONOCHROME1 Rows=4095 Columns=3329 BitsStored=14", "direct", -1);
    row("Rows=2049 Columns=3", "direct", 1);
    row("Rows=1 Columns=1", "direct", 0);
    row("Rows=2 Columns=3 BitsAllocated=8 BitsStored=8", "direct", 0);  // odd length
    row("big Rows=61 Columns=37", "direct", 1);
    row("deflated Rows=61 Columns=37 BitsAllocated=8 BitsStored=8", "direct", 1);
    row("VOILUT", "decoder", -1);
    row("WindowCenter=2048 WindowWidth=2000 PresentationLUTShape=INVERSE", "direct", -1);
    row("MONOCHROME1 PresentationLUTShape=IDENTITY", "direct", 1);  // as the decoder shows it
    row("jpeg-ls MONOCHROME1 BitsStored=14", "compressed", -1);
    row("jpeg-ls Rows=100 NumberOfFrames=3", "compressed", 0);
    row("jpeg-ls BitsAllocated=8 BitsStored=8 WindowCenter=128 WindowWidth=200", "compressed", 1);
    row("WindowCenter=2048 WindowWidth=2000 VOILUTFunction=SIGMOID", "decoder", 1);
    row("Rows=100 NumberOfFrames=3", "direct", 0);  // the middle frame
    row("HighBit=15", "decoder", 0);
    row("Rows=64 Columns=64 short", "none", 0);
  }
  void render() {
    QFETCH(QString, image);
    QFETCH(QString, path);
    QFETCH(int, polarity);
    std::unique_ptr<DcmDataset> dataset = makeImage(image);
    DcmFileFormat file(dataset.get());
    const E_TransferSyntax xfer = image.startsWith("big")        ? EXS_BigEndianExplicit
                                  : image.startsWith("deflated") ? EXS_DeflatedLittleEndianExplicit
                                  : image.startsWith("jpeg-ls")  ? EXS_JPEGLSLossless
                                                                 : EXS_LittleEndianExplicit;
    if (xfer == EXS_JPEGLSLossless) {
      DJLSEncoderRegistration::registerCodecs();
      QVERIFY(file.getDataset()->chooseRepresentation(xfer, nullptr).good());
    }
    if (xfer != EXS_LittleEndianExplicit) {  // as it is held after arriving so
      const QString name = dir_.filePath("image.dcm");
      QVERIFY(file.saveFile(name.toLocal8Bit().constData(), xfer).good());
      QVERIFY(file.loadFile(name.toLocal8Bit().constData()).good());
    }
    DcmDataset& d = *file.getDataset();
    const QImage direct = renderNativeGrey(d, kDisplayLongSide, displayFrame(d));
    const QImage decoded = renderDecoded(d, kDisplayLongSide, displayFrame(d));
    const QImage shown = renderForDisplay(d);
    QCOMPARE(direct.isNull(), path != "direct");
    QCOMPARE(shown.isNull(), path == "none");
    QCOMPARE(displayNote(shown), QString());
    if (path == "none") return;
    if (path != "compressed") QCOMPARE(shown, path == "direct" ? direct : decoded);
    if (path == "compressed") {
      QCOMPARE(shown, renderCompressedGrey(d, kDisplayLongSide, displayFrame(d)));
    }
    QCOMPARE(shown.format(), QImage::Format_Grayscale8);
    QCOMPARE(shown.size(), decoded.size());
    QVERIFY(std::max(shown.width(), shown.height()) <= kDisplayLongSide);
    const auto [mean, most] = difference(shown, decoded);
    QVERIFY2(mean <= 0.5 && most <= 2, qPrintable(QString("mean %1, max %2").arg(mean).arg(most)));
    const int topLeft = shown.pixelColor(0, 0).value();
    const int bottomRight = shown.pixelColor(shown.width() - 1, shown.height() - 1).value();
    if (polarity != 0) {
      QVERIFY2(polarity * (bottomRight - topLeft) > 100,
               qPrintable(QString("top left %1, bottom right %2").arg(topLeft).arg(bottomRight)));
    }
  }

  // A window, rescale or table that cannot give a picture is set aside with
  // a note, and the picture drawn as the image without it (the range of its
  // values); a palette or a pixel module that cannot be shown is refused
  // with its reason. Never a uniform black, grey or white picture.
  void unusable_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("drawnAs");  // "none": refused
    QTest::addColumn<QString>("note");     // or the reason
    const auto row = [](const char* image, const char* drawnAs, const char* note) {
      QTest::newRow(image) << QString(image) << QString(drawnAs) << QString(note);
    };
    row("WindowCenter=nan WindowWidth=2000", "", "window ignored: not finite");
    row("WindowCenter=2048 WindowWidth=inf", "", "window ignored: not finite");
    row("WindowCenter=2048", "", "window ignored: incomplete");
    row("WindowCenter=2048 WindowWidth=0", "", "window ignored: width below 1");
    row("WindowCenter=900000 WindowWidth=10", "", "window ignored: one grey for all values");
    row("WindowCenter=0 WindowWidth=1e300", "", "window ignored: one grey for all values");
    row("WindowCenter=1e308 WindowWidth=1.7e308", "", "window ignored: out of range");
    row("RescaleSlope=-1 RescaleIntercept=4095 WindowCenter=nan WindowWidth=1",
        "RescaleSlope=-1 RescaleIntercept=4095", "window ignored: not finite");
    row("RescaleSlope=1e308 RescaleIntercept=0 WindowCenter=2048 WindowWidth=2000", "",
        "rescale ignored: out of range");
    row("RescaleSlope=0 RescaleIntercept=0", "", "rescale ignored: slope 0");
    row("RescaleSlope=nan RescaleIntercept=0", "", "rescale ignored: not finite");
    row("ModalityLUT-100", "", "modality LUT ignored: shorter than its descriptor");
    row("VOILUT-100", "", "VOI LUT ignored: shorter than its descriptor");
    // DCMTK's decoder draws these (high bit 15), told the same.
    row("HighBit=15 WindowCenter=nan WindowWidth=2000", "HighBit=15", "window ignored: not finite");
    row("HighBit=15 RescaleSlope=1e308 RescaleIntercept=0", "HighBit=15",
        "rescale ignored: out of range");
    row("Palette-100", "none", "Red Palette Color Lookup Table shorter than its descriptor");
    row("BitsStored=0", "none", "Bits Stored 0 with Bits Allocated 16");
    row("HighBit=20", "none", "High Bit 20 with Bits Stored 12 and Bits Allocated 16");
  }
  void unusable() {
    QFETCH(QString, image);
    QFETCH(QString, drawnAs);
    QFETCH(QString, note);
    QString reason;
    QImage shown;
    try {
      shown = renderForDisplay(*makeImage(image));
    } catch (const std::runtime_error& e) {
      reason = e.what();
    }
    if (drawnAs == "none") {
      QCOMPARE(reason, note);
      return;
    }
    QCOMPARE(reason, QString());
    QCOMPARE(displayNote(shown), note);
    const QImage wanted = renderForDisplay(*makeImage(drawnAs));
    QCOMPARE(shown, wanted);
    QVERIFY(wanted.pixelColor(0, 0) != wanted.pixelColor(wanted.width() - 1, wanted.height() - 1));
  }

  // An enhanced multi-frame object (tomosynthesis) keeps its window and
  // rescale in functional groups: the shown (middle) frame's own, else the
  // shared one. Drawn as the same object with them at the top level.
  void windowFromFunctionalGroups() {
    // A functional group item holding a window and a rescale.
    const auto groups = [](const char* center, const char* width, const char* slope,
                           const char* intercept) {
      auto* item = new DcmItem();
      auto* window = new DcmItem();
      window->putAndInsertString(DCM_WindowCenter, center);
      window->putAndInsertString(DCM_WindowWidth, width);
      item->insertSequenceItem(DCM_FrameVOILUTSequence, window);
      auto* rescale = new DcmItem();
      rescale->putAndInsertString(DCM_RescaleSlope, slope);
      rescale->putAndInsertString(DCM_RescaleIntercept, intercept);
      item->insertSequenceItem(DCM_PixelValueTransformationSequence, rescale);
      return item;
    };
    const QString frames = "Rows=100 NumberOfFrames=3 ";
    const QImage wanted = renderForDisplay(*makeImage(
        frames + "WindowCenter=1000 WindowWidth=500 RescaleSlope=2 RescaleIntercept=-100"));
    QVERIFY(wanted != renderForDisplay(*makeImage(frames)));

    auto perFrame = makeImage(frames);
    for (int i = 0; i < 3; ++i) {
      perFrame->insertSequenceItem(
          DCM_PerFrameFunctionalGroupsSequence,
          i == 1 ? groups("1000", "500", "2", "-100") : groups("3000", "100", "1", "0"));
    }
    QCOMPARE(renderForDisplay(*perFrame), wanted);
    auto shared = makeImage(frames);
    shared->insertSequenceItem(DCM_SharedFunctionalGroupsSequence,
                               groups("1000", "500", "2", "-100"));
    QCOMPARE(renderForDisplay(*shared), wanted);
  }
  // Each reduced pixel is the rounded mean of the mapped source block it
  // covers, whether the sizes divide by whole factors (the fast path) or
  // not, with rows longer than the picture (a stride).
  void shrinkAverages() {
    const int width = 60, height = 40, stride = 64;
    std::vector<Uint16> words(static_cast<std::size_t>(stride) * height);
    std::uint32_t random = 7;
    for (Uint16& word : words)
      word = static_cast<Uint16>((random = random * 1103515245u + 12345u) >> 16);
    const auto map = [](Uint16 word) { return static_cast<std::uint8_t>(word >> 8); };
    for (const QSize size : {QSize(15, 10), QSize(20, 10), QSize(30, 40), QSize(16, 11)}) {
      const QImage out = dicom::shrinkMapped(words.data(), width, height, stride, size.width(),
                                             size.height(), map);
      for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
          const int x0 = x * width / size.width(), x1 = (x + 1) * width / size.width();
          const int y0 = y * height / size.height(), y1 = (y + 1) * height / size.height();
          std::uint32_t sum = 0;
          for (int sy = y0; sy < y1; ++sy) {
            for (int sx = x0; sx < x1; ++sx) sum += map(words[std::size_t(sy) * stride + sx]);
          }
          const std::uint32_t count = std::uint32_t(x1 - x0) * std::uint32_t(y1 - y0);
          QCOMPARE(out.constScanLine(y)[x], uchar((sum + count / 2) / count));
        }
      }
    }
  }

  // JPEG 2000 in each syntax, reduced and whole, against the same image
  // uncompressed; damaged code streams refused with a reason.
  void decodesForDisplay() {
    using samples::Syntax;
    struct Row {
      Syntax syntax;
      const char* photometric;
      int bitsStored, fragmentKiB;
      QSize target;
      int reduction;
    };
    const Row rows[] = {
        {Syntax::Jpeg2000Lossless, "MONOCHROME2", 14, 0, {0, 0}, 0},
        {Syntax::Jpeg2000Lossless, "MONOCHROME1", 12, 64, {300, 300}, 1},
        {Syntax::Jpeg2000, "MONOCHROME2", 16, 0, {208, 256}, 2},
        {Syntax::Jpeg2000, "MONOCHROME1", 14, 64, {100, 1000}, 3},
    };
    QTemporaryDir dir;
    samples::StudySpec spec;
    spec.rows = 1024, spec.columns = 832, spec.images = 1, spec.seed = 7;
    // What every row must show: the same image uncompressed, as the station shows it.
    DcmFileFormat plain;
    QVERIFY(plain.loadFile(qPrintable(samples::writeStudy(spec, dir.filePath("plain"))[0].path))
                .good());
    const QImage reference = renderForDisplay(*plain.getDataset());
    QString error, losslessPath;
    for (const Row& row : rows) {
      spec.syntax = row.syntax, spec.photometric = row.photometric;
      spec.bitsStored = row.bitsStored, spec.fragmentKiB = row.fragmentKiB;
      const QString path =
          samples::writeStudy(spec, dir.filePath(QString::number(&row - rows)))[0].path;
      DcmFileFormat file;
      QVERIFY(file.loadFile(qPrintable(path)).good());
      Jpeg2000Info info;
      const auto full = decodeJpeg2000Frame(*file.getDataset(), 0, QSize(), error);
      const auto reduced = decodeJpeg2000Frame(*file.getDataset(), 0, row.target, error, &info);
      QVERIFY2(full && reduced, qPrintable(error));
      QCOMPARE(info.reduction, row.reduction);
      QCOMPARE(info.resolutions, 6);
      if (row.syntax == Syntax::Jpeg2000Lossless) {
        if (losslessPath.isEmpty()) losslessPath = path;  // one fragment
        const Uint16* words = nullptr;
        QVERIFY(full->findAndGetUint16Array(DCM_PixelData, words).good());
        const auto expected = samples::pixels(spec, 0);
        QVERIFY(std::equal(expected.begin(), expected.end(), words));
      }
      const QImage picture = renderForDisplay(*reduced);
      const QImage fullPicture =
          renderForDisplay(*full, QSize(), std::max(picture.width(), picture.height()));
      QCOMPARE(fullPicture.size(), picture.size());
      QVERIFY2(difference(picture, fullPicture).first < 2.0, path.toLatin1());
      QVERIFY(difference(picture, dicom::fitPicture(reference, picture.size())).first < 3.0);
    }

    const std::pair<const char*, std::function<void(std::vector<Uint8>&, DcmDataset&)>> damages[] =
        {
            {"truncated", [](auto& code, auto&) { code.resize(code.size() / 2); }},
            {"no codestream", [](auto& code, auto&) { code[1] = 0; }},
            {"size header",
             [](auto& code, auto&) { std::fill(code.begin() + 6, code.begin() + 48, 0xFF); }},
            {"another size",
             [](auto&, DcmDataset& dataset) { dataset.putAndInsertUint16(DCM_Rows, 1000); }},
        };
    for (const auto& [name, damage] : damages) {
      DcmFileFormat file;
      QVERIFY(file.loadFile(qPrintable(losslessPath)).good());
      DcmDataset& dataset = *file.getDataset();
      const auto fragments = dcmbytes::fragments(dataset);
      QVERIFY(fragments.size() >= 2);
      DcmPixelItem* item = fragments[1];
      Uint8* bytes = nullptr;
      QVERIFY(item->getUint8Array(bytes).good());
      std::vector<Uint8> code(bytes, bytes + item->getLength());
      damage(code, dataset);
      item->putUint8Array(code.data(), static_cast<Uint32>(code.size()));
      QVERIFY2(!decodeJpeg2000Frame(dataset, 0, QSize(), error), name);
      QVERIFY2(!error.isEmpty(), name);
    }
  }

  // A tomosynthesis object whose frames each carry a window of their own
  // is drawn with the shown (middle) frame's, as its uncompressed twin is.
  void perFrameWindows() {
    QTemporaryDir dir;
    samples::StudySpec spec;
    spec.rows = spec.columns = 16, spec.images = 1;
    spec.tomoObjects = 1, spec.tomoFrames = 3, spec.tomoRows = 128, spec.tomoColumns = 104;
    spec.perFrameWindows = true;
    DcmFileFormat plain, compressed;
    QVERIFY(
        plain.loadFile(qPrintable(samples::writeStudy(spec, dir.filePath("a"))[1].path)).good());
    spec.tomoSyntax = samples::Syntax::Jpeg2000Lossless;
    QVERIFY(compressed.loadFile(qPrintable(samples::writeStudy(spec, dir.filePath("b"))[1].path))
                .good());
    QVERIFY(isJpeg2000(compressed.getDataset()->getOriginalXfer()));
    const QImage shown = renderForDisplay(*plain.getDataset());
    QCOMPARE(renderForDisplay(*compressed.getDataset()), shown);
    // The frame's own window is what shows.
    delete plain.getDataset()->remove(DCM_PerFrameFunctionalGroupsSequence);
    QVERIFY(renderForDisplay(*plain.getDataset()) != shown);
  }
};

QTEST_GUILESS_MAIN(RenderTest)
#include "RenderTest.moc"
