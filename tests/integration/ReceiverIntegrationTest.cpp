// Labels on objects that the storage receiver took from the real archive
// (a C-MOVE by DCMTK's movescu) go back to the archive. The whole retrieval
// into the viewer and the update in every transfer syntax are the
// end-to-end test's; what remains here is a label the object's character
// set cannot hold.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QHostAddress>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "SampleStudy.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "support/Archive.h"

class ReceiverIntegrationTest : public QObject {
  Q_OBJECT

 private:
  Archive archive_;
  QTemporaryDir temp_;
  std::unique_ptr<dicom::dcmtk::DcmtkToolkit> toolkit_;

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

  // A label set on a received image goes back with the image's own syntax;
  // a label the image's character set cannot hold moves the object to UTF-8
  // with every other name intact.
  void labelsGoBackToTheArchive() {
    samples::StudySpec sample;
    sample.syntax = samples::Syntax::JpegLs;
    sample.rows = 512;
    sample.columns = 416;
    sample.specificCharacterSet = "ISO_IR 100";
    sample.patientName = QString::fromUtf8("Müller^Jürgen");
    archive_.clear();
    const auto study = samples::writeStudy(sample, temp_.path() + "/labels");
    QStringList files;
    for (const auto& image : study) files << image.path;
    archive_.upload(files);

    std::vector<dicom::ImagePtr> received;
    int closed = 0;
    auto receiver = toolkit_->newReceiver();
    connect(receiver.get(), &dicom::StorageReceiver::imageReceived, this,
            [&](dicom::ImagePtr image) { received.push_back(image); });
    connect(receiver.get(), &dicom::StorageReceiver::associationClosed, this, [&] { ++closed; });
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));
    const int port = probe.serverPort();
    probe.close();
    receiver->listen(port, archive_.stationAET());
    archive_.setStationPort(port);

    DcmFileFormat file;
    OFString studyUID;
    QVERIFY(file.loadFile(files.front().toLocal8Bit().constData()).good());
    file.getDataset()->findAndGetOFString(DCM_StudyInstanceUID, studyUID);
    QProcess movescu;
    movescu.setProcessChannelMode(QProcess::MergedChannels);
    movescu.start("movescu",
                  {"-S", "-aet", "TESTSCU", "-aem", archive_.stationAET(), "-aec", archive_.aet(),
                   "-to", "5", "-ta", "10", "-td", "60", "-k", "QueryRetrieveLevel=STUDY", "-k",
                   QString("StudyInstanceUID=") + studyUID.c_str(), archive_.host(),
                   QString::number(archive_.dicomPort())});
    // The receiver's signals are queued to this thread: keep the loop turning.
    QTRY_VERIFY_WITH_TIMEOUT(movescu.state() == QProcess::NotRunning, 120000);
    QVERIFY2(movescu.exitCode() == 0, movescu.readAll().constData());
    QTRY_COMPARE_WITH_TIMEOUT(closed, 1, 30000);
    QCOMPARE(received.size(), std::size_t(4));

    dicom::ImagePtr first = received[0];
    dicom::ImagePtr second = received[1];
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
    QCOMPARE(archive_.instanceTransferSyntax(secondUID),
             samples::transferSyntaxUID(samples::Syntax::JpegLs));
  }
};

QTEST_GUILESS_MAIN(ReceiverIntegrationTest)
#include "ReceiverIntegrationTest.moc"
