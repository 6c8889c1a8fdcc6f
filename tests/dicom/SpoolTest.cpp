// A compressed image once its picture is decoded: its fragments leave
// memory for a file of the station's own, and come back from it unchanged
// whenever a closer look or a store needs them, as often as it needs them
// (where there are no unnamed files, they stay in memory, whole).

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>

#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <vector>

#include "SampleStudy.h"
#include "dicom/dcmtk/DcmtkDelivery.h"
#include "dicom/dcmtk/DcmtkImage.h"
#include "dicom/dcmtk/DcmtkToolkit.h"

namespace {

// The fragments of the object's encapsulated pixel data.
std::vector<DcmPixelItem*> fragments(DcmFileFormat& file) {
  DcmDataset& dataset = *file.getDataset();
  DcmElement* element = nullptr;
  DcmPixelSequence* sequence = nullptr;
  std::vector<DcmPixelItem*> items;
  auto* pixels = dataset.findAndGetElement(DCM_PixelData, element).good()
                     ? dynamic_cast<DcmPixelData*>(element)
                     : nullptr;
  if (pixels == nullptr ||
      pixels->getEncapsulatedRepresentation(dataset.getOriginalXfer(), nullptr, sequence).bad()) {
    return items;
  }
  for (unsigned long i = 0; i < sequence->card(); ++i) {
    DcmPixelItem* item = nullptr;
    if (sequence->getItem(item, i).good()) items.push_back(item);
  }
  return items;
}

// Every fragment's bytes (loading them when they are on the disk).
std::vector<QByteArray> bytesOf(DcmFileFormat& file) {
  std::vector<QByteArray> bytes;
  for (DcmPixelItem* item : fragments(file)) {
    Uint8* data = nullptr;
    item->getUint8Array(data);
    bytes.emplace_back(reinterpret_cast<const char*>(data), static_cast<int>(item->getLength()));
  }
  return bytes;
}

// The fragments larger than 4 KiB held in memory (smaller values are read
// with the attributes).
int loadedFragments(DcmFileFormat& file) {
  int loaded = 0;
  for (DcmPixelItem* item : fragments(file))
    loaded += item->getLength() > 4096 && item->valueLoaded();
  return loaded;
}

// Where the fragments go once decoded: a file on Linux; elsewhere (no
// unnamed files) they stay in memory, as they arrived.
#ifdef __linux__
constexpr bool kSpooled = true;
#else
constexpr bool kSpooled = false;
#endif

}  // namespace

class SpoolTest : public QObject {
  Q_OBJECT

 private:
  dicom::dcmtk::DcmtkToolkit toolkit_;  // the decoders, as the station registers them

 private slots:
  void fragmentsLeaveMemoryAndComeBack_data() {
    QTest::addColumn<samples::Syntax>("syntax");
    QTest::newRow("jpeg-ls") << samples::Syntax::JpegLs;
    QTest::newRow("rle") << samples::Syntax::Rle;
    QTest::newRow("jpeg2000-lossless") << samples::Syntax::Jpeg2000Lossless;
  }
  void fragmentsLeaveMemoryAndComeBack() {
    QFETCH(samples::Syntax, syntax);
    QTemporaryDir dir;
    samples::StudySpec spec;
    spec.rows = 512;
    spec.columns = 416;
    spec.images = 1;
    spec.syntax = syntax;
    spec.fragmentKiB = 16;  // JPEG 2000 in several fragments
    const auto written = samples::writeStudy(spec, dir.path());
    // As the receiver holds it: every value in memory.
    auto received = std::make_unique<DcmFileFormat>();
    QVERIFY(received
                ->loadFile(written.at(0).path.toStdString().c_str(), EXS_Unknown, EGL_noChange,
                           0xFFFFFFFF)
                .good());
    const std::vector<QByteArray> sent = bytesOf(*received);
    QVERIFY(sent.size() >= 2);
    QVERIFY(loadedFragments(*received) >= 1);
    const int kept = kSpooled ? 0 : loadedFragments(*received);

    dicom::dcmtk::Delivery delivery = dicom::dcmtk::decodeForDisplay(
        std::move(received), true, dicom::dcmtk::Timeouts{}, 0, QSize(256, 256));
    auto* image = dynamic_cast<dicom::dcmtk::DcmtkImage*>(delivery.image.get());
    QVERIFY(image != nullptr);
    QVERIFY(!image->displayImage().isNull());
    QCOMPARE(loadedFragments(image->file()), kept);

    // A closer look, twice: decoded from the file, let go again.
    for (int look = 0; look < 2; ++look) {
      QVERIFY(!image->render(QSize()).isNull());
      QCOMPARE(loadedFragments(image->file()), kept);
    }
    // What a store sends: a copy with every fragment as it arrived.
    DcmFileFormat copy(image->file());
    image->releaseLoaded();
    QCOMPARE(bytesOf(copy), sent);
    QCOMPARE(loadedFragments(image->file()), kept);
    QCOMPARE(image->attribute(dicom::tags::SOPInstanceUID).value(), written.at(0).sopInstanceUID);
  }
};

QTEST_MAIN(SpoolTest)
#include "SpoolTest.moc"
