// JPEG 2000 decoding for display. Catches a reduced decode that windows or
// scales otherwise than the full image, MONOCHROME1 shown the wrong way
// round, a lossless decode that is not exact, fragments joined wrongly,
// damaged pixel data that crashes or passes for a picture, and a frame
// drawn with another frame's window.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>

#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <cstdlib>
#include <functional>

#include "SampleStudy.h"
#include "dicom/core/Shrink.h"
#include "dicom/dcmtk/DcmtkJpeg2000.h"
#include "dicom/dcmtk/DcmtkRender.h"

using namespace dicom::dcmtk;

namespace {

double meanAbsoluteDifference(const QImage& a, const QImage& b) {
  double sum = 0;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x)
      sum += std::abs(a.constScanLine(y)[x] - b.constScanLine(y)[x]);
  }
  return sum / (double(a.width()) * a.height());
}

}  // namespace

class Jpeg2000Test : public QObject {
  Q_OBJECT
 private slots:
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
      QVERIFY2(meanAbsoluteDifference(picture, fullPicture) < 2.0, path.toLatin1());
      QVERIFY(meanAbsoluteDifference(picture, dicom::fitPicture(reference, picture.size())) < 3.0);
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
      DcmElement* element = nullptr;
      DcmPixelSequence* sequence = nullptr;
      DcmPixelItem* item = nullptr;
      Uint8* bytes = nullptr;
      QVERIFY(dataset.findAndGetElement(DCM_PixelData, element).good());
      static_cast<DcmPixelData*>(element)->getEncapsulatedRepresentation(dataset.getOriginalXfer(),
                                                                         nullptr, sequence);
      QVERIFY(sequence && sequence->getItem(item, 1).good() && item->getUint8Array(bytes).good());
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

QTEST_GUILESS_MAIN(Jpeg2000Test)
#include "Jpeg2000Test.moc"
