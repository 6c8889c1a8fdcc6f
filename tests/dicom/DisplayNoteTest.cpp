// A received image whose rescale cannot give a picture, sent by DCMTK's
// storescu to the real receiver over a socket, arrives drawn over its
// stored pixel range with the note that says why, not as a black tile.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "SampleStudy.h"
#include "dicom/dcmtk/DcmtkReceiver.h"

class DisplayNoteTest : public QObject {
  Q_OBJECT

 private slots:
  void receivedWithNote() {
    dicom::dcmtk::DcmtkToolkit toolkit;  // registers the decoders
    QTemporaryDir dir;
    samples::StudySpec spec;
    spec.rows = 256, spec.columns = 208, spec.images = 1;
    spec.studyInstanceUID = "1.2.826.0.1.3680043.8.498.78";
    const QString path = dir.filePath("image.dcm");
    DcmFileFormat file;
    QVERIFY(
        file.loadFile(qPrintable(samples::writeStudy(spec, dir.filePath("study"))[0].path)).good());
    file.getDataset()->putAndInsertString(DCM_RescaleSlope, "1e308");
    file.getDataset()->putAndInsertString(DCM_RescaleIntercept, "0");
    QVERIFY(file.saveFile(qPrintable(path)).good());

    dicom::dcmtk::Timeouts timeouts;
    timeouts.connectSeconds = timeouts.associationSeconds = timeouts.messageSeconds = 5;
    dicom::dcmtk::DcmtkReceiver receiver(timeouts);
    QTcpServer probe;  // a port nothing listens on
    QVERIFY(probe.listen(QHostAddress::AnyIPv4, 0));
    const int port = probe.serverPort();
    probe.close();
    receiver.listen({"STATION", dicom::Port(QString::number(port))});
    receiver.expectStudy(spec.studyInstanceUID, {"TESTSCU", "127.0.0.1", dicom::Port("104")});
    dicom::ImagePtr image;
    connect(&receiver, &dicom::StorageReceiver::imageReceived, this,
            [&image](const dicom::ImagePtr& received) { image = received; });

    QProcess storescu;
    storescu.setProcessChannelMode(QProcess::MergedChannels);
    storescu.start("storescu", {"-to", "5", "-ta", "5", "-td", "10", "-aet", "TESTSCU", "-aec",
                                "STATION", "127.0.0.1", QString::number(port), path});
    QVERIFY(storescu.waitForFinished(60000));
    const QByteArray output = storescu.readAll();
    QVERIFY2(storescu.exitCode() == 0, output.constData());
    QTRY_VERIFY_WITH_TIMEOUT(image != nullptr, 20000);

    QCOMPARE(image->displayNote(), QString("rescale ignored: out of range"));
    QCOMPARE(image->displayProblem(), QString());
    const QImage picture = image->displayImage();
    int darkest = 255, brightest = 0;
    for (int y = 0; y < picture.height(); ++y) {
      for (int x = 0; x < picture.width(); ++x) {
        darkest = std::min<int>(darkest, picture.constScanLine(y)[x]);
        brightest = std::max<int>(brightest, picture.constScanLine(y)[x]);
      }
    }
    QVERIFY2(brightest - darkest > 200,
             qPrintable(QString("%1 .. %2").arg(darkest).arg(brightest)));
  }
};

QTEST_GUILESS_MAIN(DisplayNoteTest)
#include "DisplayNoteTest.moc"
