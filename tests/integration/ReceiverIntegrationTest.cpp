// The storage receiver fed by the real archive: a study moved from Orthanc
// arrives whole, decoded, each object in the syntax it was stored in, and a
// changed label sent back from the received object lands in the archive.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QHostAddress>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "SampleStudy.h"
#include "dicom/DicomError.h"
#include "dicom/dcmtk/DcmtkImage.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "support/Archive.h"

using dicom::ImagePtr;
using dicom::dcmtk::DcmtkImage;

namespace {

int freePort() {
  QTcpServer server;
  server.listen(QHostAddress::AnyIPv4, 0);
  return server.serverPort();
}

struct Received {
  QStringList events;
  std::vector<ImagePtr> images;
};

}  // namespace

class ReceiverIntegrationTest : public QObject {
  Q_OBJECT

 private:
  Archive archive_;
  QTemporaryDir temp_;
  std::unique_ptr<dicom::dcmtk::DcmtkToolkit> toolkit_;

  // Uploads a study, moves it to a fresh receiver and waits for it.
  void moveHere(const samples::StudySpec& spec, const QString& name, Received& received,
                std::unique_ptr<dicom::StorageReceiver>& receiver,
                std::vector<samples::WrittenImage>& study) {
    archive_.clear();
    study = samples::writeStudy(spec, temp_.path() + "/" + name);
    QStringList files;
    for (const auto& image : study) files << image.path;
    archive_.upload(files);

    receiver = toolkit_->newReceiver();
    QObject::connect(receiver.get(), &dicom::StorageReceiver::imageReceived, receiver.get(),
                     [&received](ImagePtr image) {
                       received.events << image->attribute(0x0008, 0x0018).value();
                       received.images.push_back(image);
                     });
    QObject::connect(receiver.get(), &dicom::StorageReceiver::associationClosed, receiver.get(),
                     [&received] { received.events << "closed"; });
    const int port = freePort();
    receiver->listen(port, archive_.stationAET());
    archive_.setStationPort(port);

    QProcess movescu;
    movescu.setProcessChannelMode(QProcess::MergedChannels);
    movescu.start("movescu",
                  {"-S", "-aet", "TESTSCU", "-aem", archive_.stationAET(), "-aec", archive_.aet(),
                   "-to", "5", "-ta", "10", "-td", "60", "-k", "QueryRetrieveLevel=STUDY", "-k",
                   "StudyInstanceUID=" + studyUIDOf(study.front().path), archive_.host(),
                   QString::number(archive_.dicomPort())});
    // The receiver's signals are queued to this thread: keep the loop turning.
    QTRY_VERIFY_WITH_TIMEOUT(movescu.state() == QProcess::NotRunning, 120000);
    const QString output = QString::fromLocal8Bit(movescu.readAll());
    QVERIFY2(movescu.exitCode() == 0, qPrintable(output));
  }

  static QString studyUIDOf(const QString& path) {
    DcmFileFormat file;
    OFString uid;
    if (file.loadFile(path.toLocal8Bit().constData()).good()) {
      file.getDataset()->findAndGetOFString(DCM_StudyInstanceUID, uid);
    }
    return QString::fromLatin1(uid.c_str());
  }

 private slots:
  void initTestCase() {
    archive_ = Archive::fromEnvironment();
    if (!archive_.available()) QSKIP(qPrintable(archive_.problem()));
    QVERIFY(temp_.isValid());
    toolkit_ = std::make_unique<dicom::dcmtk::DcmtkToolkit>(dicom::dcmtk::Timeouts{5, 10, 30});
  }

  void cleanupTestCase() {
    if (archive_.available()) archive_.clear();
  }

  void movedStudyArrivesWhole_data() {
    QTest::addColumn<int>("syntax");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("columns");
    QTest::newRow("explicit, full size") << int(samples::Syntax::ExplicitLittle) << 4096 << 3328;
    QTest::newRow("jpeg-ls") << int(samples::Syntax::JpegLs) << 1024 << 832;
    QTest::newRow("jpeg lossless") << int(samples::Syntax::JpegLossless) << 1024 << 832;
    QTest::newRow("rle") << int(samples::Syntax::Rle) << 1024 << 832;
  }

  // Every image of the study is shown once, decoded, still in the syntax it
  // was stored in; the association's end comes after the last image.
  void movedStudyArrivesWhole() {
    QFETCH(int, syntax);
    QFETCH(int, rows);
    QFETCH(int, columns);
    samples::StudySpec spec;
    spec.syntax = samples::Syntax(syntax);
    spec.rows = rows;
    spec.columns = columns;
    Received received;
    std::unique_ptr<dicom::StorageReceiver> receiver;
    std::vector<samples::WrittenImage> study;
    moveHere(spec, QTest::currentDataTag(), received, receiver, study);
    if (QTest::currentTestFailed()) return;
    QTRY_COMPARE_WITH_TIMEOUT(received.events.size(), 5, 30000);
    QCOMPARE(received.events.last(), QString("closed"));

    QSet<QString> sent, got;
    for (const auto& image : study) sent << image.sopInstanceUID;
    for (int i = 0; i < 4; ++i) got << received.events[i];
    QCOMPARE(got, sent);

    const QString syntaxUID = samples::transferSyntaxUID(spec.syntax);
    const int longSide = std::min(2048, std::max(rows, columns));
    for (const ImagePtr& image : received.images) {
      const auto& dcmtkImage = dynamic_cast<DcmtkImage&>(*image);
      QCOMPARE(QString(DcmXfer(dcmtkImage.file().getDataset()->getOriginalXfer()).getXferID()),
               syntaxUID);
      const QImage picture = image->displayImage();
      QCOMPARE(picture.format(), QImage::Format_Grayscale8);
      QCOMPARE(std::max(picture.width(), picture.height()), longSide);
    }
  }

  // A label set on a received image goes back with the image's own pixels
  // and syntax; a label the image's character set cannot hold moves the
  // object to UTF-8 with every other name intact.
  void labelsGoBackToTheArchive() {
    samples::StudySpec spec;
    spec.syntax = samples::Syntax::JpegLs;
    spec.rows = 512;
    spec.columns = 416;
    spec.specificCharacterSet = "ISO_IR 100";
    spec.patientName = QString::fromUtf8("Müller^Jürgen");
    Received received;
    std::unique_ptr<dicom::StorageReceiver> receiver;
    std::vector<samples::WrittenImage> study;
    moveHere(spec, "labels", received, receiver, study);
    if (QTest::currentTestFailed()) return;
    QTRY_COMPARE_WITH_TIMEOUT(received.events.size(), 5, 30000);

    ImagePtr first = received.images[0];
    ImagePtr second = received.images[1];
    const QString firstUID = first->attribute(0x0008, 0x0018).value();
    const QString secondUID = second->attribute(0x0008, 0x0018).value();
    QCOMPARE(first->patientName(), QString::fromUtf8("Müller^Jürgen"));

    first->addOrReplace(0x0008, 0x103E, "R MLO");
    const QString greek = QString::fromUtf8("L CC Ω");
    second->addOrReplace(0x0008, 0x103E, greek);
    QCOMPARE(second->attribute(0x0008, 0x0005).value(), QString("ISO_IR 192"));
    QCOMPARE(second->patientName(), QString::fromUtf8("Müller^Jürgen"));

    first->send(archive_.host(), archive_.dicomPort(), "TESTSCU", archive_.aet());
    second->send(archive_.host(), archive_.dicomPort(), "TESTSCU", archive_.aet());

    QCOMPARE(archive_.instanceTags(firstUID).value("SeriesDescription").toString(),
             QString("R MLO"));
    QCOMPARE(archive_.instanceTags(secondUID).value("SeriesDescription").toString(), greek);
    QCOMPARE(archive_.instanceTags(secondUID).value("PatientName").toString(),
             QString::fromUtf8("Müller^Jürgen"));
    QCOMPARE(archive_.instanceTransferSyntax(firstUID),
             samples::transferSyntaxUID(samples::Syntax::JpegLs));
  }
};

QTEST_GUILESS_MAIN(ReceiverIntegrationTest)
#include "ReceiverIntegrationTest.moc"
