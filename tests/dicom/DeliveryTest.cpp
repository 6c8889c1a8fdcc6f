// What the receiver hands on: its results in the order they were given,
// however long each takes to make; and a compressed image once its picture
// is decoded: its fragments leave memory for a file of the station's own,
// and come back from it unchanged whenever a closer look or a store needs
// them, as often as it needs them (where there are no unnamed files, they
// stay in memory, whole).

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QTemporaryDir>
#include <QtTest>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "SampleStudy.h"
#include "dicom/dcmtk/DcmtkDelivery.h"
#include "dicom/dcmtk/DcmtkImage.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "support/DcmBytes.h"

using dicom::dcmtk::Delivery;

namespace {

Delivery named(const QString& name) {
  Delivery delivery;
  delivery.description = name;
  return delivery;
}

// Every fragment's bytes (loading them when they are on the disk).
std::vector<QByteArray> bytesOf(DcmFileFormat& file) {
  std::vector<QByteArray> bytes;
  for (DcmPixelItem* item : dcmbytes::fragments(*file.getDataset())) {
    Uint8* data = nullptr;
    item->getUint8Array(data);
    bytes.emplace_back(reinterpret_cast<const char*>(data), static_cast<int>(item->getLength()));
  }
  return bytes;
}

// The one image of a study the generator writes, as the receiver holds it:
// every value in memory.
std::unique_ptr<DcmFileFormat> received(samples::StudySpec spec, const QString& dir,
                                        QString& sopInstanceUID) {
  spec.images = 1;
  const auto written = samples::writeStudy(spec, dir);
  sopInstanceUID = written.at(0).sopInstanceUID;
  auto file = std::make_unique<DcmFileFormat>();
  const OFCondition loaded = file->loadFile(written.at(0).path.toStdString().c_str(), EXS_Unknown,
                                            EGL_noChange, 0xFFFFFFFF);
  if (loaded.bad()) throw std::runtime_error(loaded.text());
  return file;
}

// The fragments larger than 4 KiB held in memory (smaller values are read
// with the attributes).
int loadedFragments(DcmFileFormat& file) {
  int loaded = 0;
  for (DcmPixelItem* item : dcmbytes::fragments(*file.getDataset()))
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

class DeliveryTest : public QObject {
  Q_OBJECT

 private:
  dicom::dcmtk::DcmtkToolkit toolkit_;  // the decoders, as the station registers them

 private slots:
  // A result that is ready (a refusal, the end of an association, a quick
  // decode) waits for an earlier one still being decoded; a decode that
  // fails loses its own result alone.
  void handsOnInTheOrderGiven() {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    QStringList seen;
    {
      dicom::dcmtk::OrderedDelivery delivery(2, [&](Delivery d) {
        std::lock_guard lock(mutex);
        seen << d.description;
      });
      delivery.submit([&] {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
        return named("slow image");
      });
      delivery.push(named("refusal"));
      delivery.submit([]() -> Delivery { throw std::runtime_error("undecodable"); });
      delivery.submit([] { return named("quick image"); });
      delivery.push(named("association closed"));
      QTest::qWait(100);
      {
        std::lock_guard lock(mutex);
        QCOMPARE(seen, QStringList{});
        release = true;
      }
      released.notify_all();
      delivery.close();
    }
    QCOMPARE(seen, (QStringList{"slow image", "refusal", "quick image", "association closed"}));
  }

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
    spec.syntax = syntax;
    spec.fragmentKiB = 16;  // JPEG 2000 in several fragments
    QString uid;
    auto file = received(spec, dir.path(), uid);
    const std::vector<QByteArray> sent = bytesOf(*file);
    QVERIFY(sent.size() >= 2);
    QVERIFY(loadedFragments(*file) >= 1);
    const int kept = kSpooled ? 0 : loadedFragments(*file);

    dicom::dcmtk::Delivery delivery = dicom::dcmtk::decodeForDisplay(
        std::move(file), true, dicom::dcmtk::Timeouts{}, 0, QSize(256, 256));
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
    QCOMPARE(image->attribute(dicom::tags::SOPInstanceUID).value(), uid);
  }

  // A picture as long as the tile needs: an uncompressed image, drawn again
  // in milliseconds, gets no more, and a sharper one when its tile grows; a
  // compressed one, whose decode costs most of a second, arrives at least
  // 1024 pixels long and is not decoded again for a tile that picture covers.
  void picturesFitTheirTiles_data() {
    QTest::addColumn<samples::Syntax>("syntax");
    QTest::addColumn<int>("arrived");
    QTest::addColumn<int>("grown");
    QTest::newRow("explicit") << samples::Syntax::ExplicitLittle << 512 << 1024;
    QTest::newRow("jpeg-ls") << samples::Syntax::JpegLs << 1024 << 1024;
  }
  void picturesFitTheirTiles() {
    QFETCH(samples::Syntax, syntax);
    QFETCH(int, arrived);
    QFETCH(int, grown);
    QTemporaryDir dir;
    samples::StudySpec spec;
    spec.rows = 1536;
    spec.columns = 1248;
    spec.syntax = syntax;
    QString uid;
    dicom::dcmtk::Delivery delivery = dicom::dcmtk::decodeForDisplay(
        received(spec, dir.path(), uid), true, dicom::dcmtk::Timeouts{}, 0, QSize(300, 200));
    QVERIFY(delivery.image != nullptr);
    QCOMPARE(delivery.image->displayImage().height(), arrived);
    const QImage larger = delivery.image->displayImage(QSize(900, 700));
    QCOMPARE(larger.height(), grown);
    QCOMPARE(larger.width(), grown * spec.columns / spec.rows);
  }
};

QTEST_MAIN(DeliveryTest)
#include "DeliveryTest.moc"
