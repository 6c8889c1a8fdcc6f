// The storage receiver against real senders on loopback: DCMTK's storescu
// and echoscu, a raw socket, and storescu through a proxy that cuts its
// stream. Every hostile case ends with the receiver still taking a study.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "SampleStudy.h"
#include "dicom/DicomError.h"
#include "dicom/dcmtk/DcmtkToolkit.h"

using dicom::dcmtk::Timeouts;

namespace {

constexpr const char* kStationAE = "STATION";
constexpr const char* kStudy = "1.2.826.0.1.3680043.8.498.77";

// Every step of the network bounded by the same number of seconds.
Timeouts within(int seconds) {
  Timeouts timeouts;
  timeouts.connectSeconds = timeouts.associationSeconds = timeouts.messageSeconds = seconds;
  return timeouts;
}

int freePort() {
  QTcpServer server;
  server.listen(QHostAddress::AnyIPv4, 0);
  return server.serverPort();
}

// Runs storescu or echoscu at the port (bounded): exit code 0, and output.
std::pair<bool, QString> runTool(const QString& program, const QString& calledAE, int port,
                                 const QStringList& extra = {}) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, QStringList{"-to", "5", "-ta", "5", "-td", "10", "-v", "-aet", "TESTSCU",
                                     "-aec", calledAE, "127.0.0.1", QString::number(port)} +
                             extra);
  const bool finished = process.waitForFinished(60000);
  if (!finished) process.kill();
  process.waitForFinished(5000);
  return {finished && process.exitCode() == 0, QString::fromLocal8Bit(process.readAll())};
}

}  // namespace

class ReceiverTest : public QObject {
  Q_OBJECT

 private:
  dicom::dcmtk::DcmtkToolkit toolkit_;  // registers the decoders
  QTemporaryDir dir_;
  std::vector<samples::WrittenImage> study_;  // four small images, implicit little endian
  std::unique_ptr<dicom::StorageReceiver> receiver_;
  int port_ = 0;
  QObject context_;
  QStringList events_;  // what the receiver reported, in order

  std::unique_ptr<dicom::StorageReceiver> listening(int& port, Timeouts timeouts) {
    auto receiver = dicom::dcmtk::makeReceiver(timeouts);
    receiver->listen(port = freePort(), kStationAE);
    return receiver;
  }

  // The receiver still takes a study: its images in order, then the end.
  void stillReceives(int port) {
    const qsizetype before = events_.size();
    QStringList files, expected;
    for (const auto& image : study_) {
      files << image.path;
      expected << "image:" + image.sopInstanceUID;
    }
    expected << "closed";
    const auto [ok, output] = runTool("storescu", kStationAE, port, files);
    QVERIFY2(ok, qPrintable(output));
    QTRY_COMPARE_WITH_TIMEOUT(events_.mid(before), expected, 20000);
  }

 private slots:
  void initTestCase() {
    samples::StudySpec sample;
    sample.rows = 256;
    sample.columns = 208;
    sample.syntax = samples::Syntax::ImplicitLittle;
    sample.studyInstanceUID = kStudy;
    study_ = samples::writeStudy(sample, dir_.filePath("study"));
  }

  // A receiver with short timeouts, its reports recorded.
  void init() {
    events_.clear();
    receiver_ = listening(port_, within(2));
    receiver_->expectStudy(kStudy);
    connect(receiver_.get(), &dicom::StorageReceiver::imageReceived, &context_,
            [this](const dicom::ImagePtr& image) {
              QVERIFY(!image->displayImage().isNull());
              events_ << "image:" + image->attribute(0x0008, 0x0018).value();
            });
    connect(receiver_.get(), &dicom::StorageReceiver::associationClosed, &context_,
            [this] { events_ << "closed"; });
  }
  void cleanup() { receiver_.reset(); }

  // Raw bytes (or none), storescu cut by the proxy in the first object (then
  // stalled or dropped), another called AE title: none reported, each ended.
  void hostilePeer_data() {
    QTest::addColumn<QString>("how");  // echoscu, socket, or storescu through the proxy
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("wrong called AE title") << "echoscu" << QByteArray();
    QTest::newRow("HTTP request") << "socket" << QByteArray("GET / HTTP/1.0\r\n\r\n");
    QTest::newRow("0xFF bytes") << "socket" << QByteArray(4096, '\xFF');
    QTest::newRow("four gigabyte request")
        << "socket" << QByteArray("\x01\x00\xFF\xFF\xFF\xFF\x00\x01", 8);
    QTest::newRow("silent") << "socket" << QByteArray();
    QTest::newRow("stalled mid-object") << "stall" << QByteArray();
    QTest::newRow("dropped mid-object") << "drop" << QByteArray();
  }
  void hostilePeer() {
    QFETCH(QString, how);
    QFETCH(QByteArray, bytes);
    if (how == "echoscu") {
      const auto [ok, output] = runTool("echoscu", "SOMEONEELSE", port_);
      QVERIFY2(!ok && output.contains("Called AE Title Not Recognized"), qPrintable(output));
    }
    QTcpSocket toReceiver;
    QTcpServer proxy;
    QProcess storescu;
    qint64 left = 40000;  // the bytes passed on: the association and part of the first object
    if (how == "socket") {
      toReceiver.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
      QVERIFY(toReceiver.waitForConnected(5000));
      toReceiver.write(bytes);
    } else if (how != "echoscu") {
      QVERIFY(proxy.listen(QHostAddress::LocalHost));
      connect(&proxy, &QTcpServer::newConnection, this, [&] {
        QTcpSocket* fromSender = proxy.nextPendingConnection();
        toReceiver.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
        connect(&toReceiver, &QTcpSocket::readyRead, fromSender,
                [&, fromSender] { fromSender->write(toReceiver.readAll()); });
        connect(fromSender, &QTcpSocket::readyRead, &toReceiver, [&, fromSender] {
          const QByteArray chunk = fromSender->read(left);
          left -= chunk.size();
          toReceiver.write(chunk);
          if (left == 0 && how == "drop") toReceiver.disconnectFromHost();
        });
      });
      storescu.start("storescu", {"-aec", kStationAE, "127.0.0.1",
                                  QString::number(proxy.serverPort()), study_[0].path});
      QTRY_VERIFY_WITH_TIMEOUT(left == 0, 10000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(toReceiver.state(), QAbstractSocket::UnconnectedState, 15000);
    storescu.kill();
    storescu.waitForFinished(5000);
    QCOMPARE(events_, QStringList{});
    stillReceives(port_);
  }

  // Broken objects and one of another study are refused, one without pixel
  // data is taken but not kept: none is reported as an image.
  void objectsThatCannotBeShown() {
    QStringList files;
    for (int broken = 0; broken < 5; ++broken) {
      DcmFileFormat file;
      QVERIFY(file.loadFile(study_[0].path.toLocal8Bit().constData()).good());
      DcmDataset& d = *file.getDataset();
      char uid[100];
      d.putAndInsertString(DCM_SOPInstanceUID, dcmGenerateUniqueIdentifier(uid));
      const std::vector<Uint16> half(208 * 128, 100);
      if (broken == 0) d.putAndInsertUint16Array(DCM_PixelData, half.data(), half.size());
      if (broken == 1) delete d.remove(DCM_PixelData);
      if (broken == 2) d.putAndInsertUint16(DCM_HighBit, 16);
      if (broken == 3) d.putAndInsertUint16(DCM_Rows, 0);
      if (broken == 4) d.putAndInsertString(DCM_StudyInstanceUID, "1.2.826.0.1.3680043.8.498.78");
      files << dir_.filePath(QString("broken%1.dcm").arg(broken));
      QVERIFY(
          file.saveFile(files.last().toLocal8Bit().constData(), EXS_LittleEndianExplicit).good());
    }
    const auto [ok, output] = runTool("storescu", kStationAE, port_, QStringList{"-nh"} + files);
    QVERIFY2(output.count("Store Response (Success)") == 1 && output.count("Store Response") == 5,
             qPrintable(output));
    QTRY_COMPARE_WITH_TIMEOUT(events_, QStringList{"closed"}, 10000);
    stillReceives(port_);
  }

  // Listening again: on the same port the receiver stays and takes the new
  // AE title; on another port it replaces the first; a busy port fails.
  void listeningAgain() {
    receiver_->listen(port_, "RENAMED");
    QVERIFY(runTool("echoscu", "RENAMED", port_).first);
    QVERIFY(!runTool("echoscu", kStationAE, port_).first);
    const int second = freePort();
    receiver_->listen(second, kStationAE);
    QCOMPARE(receiver_->port(), second);
    QVERIFY(!runTool("echoscu", kStationAE, port_).first);
    stillReceives(second);

    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::AnyIPv4, 0));
    auto fresh = dicom::dcmtk::makeReceiver(within(2));
    QVERIFY_THROWS_EXCEPTION(dicom::DicomError, fresh->listen(occupant.serverPort(), kStationAE));
    QCOMPARE(fresh->port(), 0);
  }

  // stop() ends a receiver busy with a peer that never speaks at once, not
  // after the peer's timeout; it may be called again.
  void stopsWhileAPeerHangs() {
    int port = 0;
    auto receiver = listening(port, within(60));
    QTcpSocket silent;
    silent.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    QVERIFY(silent.waitForConnected(5000));
    QElapsedTimer timer;
    timer.start();
    receiver->stop();
    QVERIFY(timer.elapsed() < 30000);
    QCOMPARE(receiver->port(), 0);
    receiver->stop();
    QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 5000);
  }
};

QTEST_GUILESS_MAIN(ReceiverTest)
#include "ReceiverTest.moc"
