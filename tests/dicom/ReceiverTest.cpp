// The storage receiver against real senders on the loopback interface:
// DCMTK's storescu and echoscu, and a raw socket that misbehaves.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "SampleStudy.h"
#include "dicom/DicomError.h"
#include "dicom/dcmtk/DcmtkImage.h"
#include "dicom/dcmtk/DcmtkReceiver.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "dicom/receiver/ReceiverSupport.h"

using namespace receivertest;
using dicom::ImagePtr;
using dicom::dcmtk::DcmtkImage;
using dicom::dcmtk::Timeouts;

namespace {

constexpr const char* kStationAE = "STATION";
constexpr const char* kMammoClass = "1.2.840.10008.5.1.4.1.1.1.2";

// Everything the receiver reported, in the order it arrived.
struct Recorder {
  explicit Recorder(dicom::StorageReceiver& receiver) {
    QObject::connect(&receiver, &dicom::StorageReceiver::imageReceived, &context,
                     [this](ImagePtr image) {
                       events << "image:" + image->attribute(0x0008, 0x0018).value();
                       images.push_back(image);
                     });
    QObject::connect(&receiver, &dicom::StorageReceiver::objectReceived, &context,
                     [this](ImagePtr object) {
                       events << "object:" + object->attribute(0x0008, 0x0018).value();
                       objects.push_back(object);
                     });
    QObject::connect(&receiver, &dicom::StorageReceiver::associationClosed, &context,
                     [this] { events << "closed"; });
  }
  int closed() const { return static_cast<int>(events.count("closed")); }

  QObject context;
  QStringList events;
  std::vector<ImagePtr> images, objects;
};

std::vector<samples::WrittenImage> smallStudy(
    const QString& folder, samples::Syntax syntax = samples::Syntax::ExplicitLittle,
    unsigned seed = 1) {
  samples::StudySpec spec;
  spec.rows = 256;
  spec.columns = 208;
  spec.images = 4;
  spec.syntax = syntax;
  spec.seed = seed;
  return samples::writeStudy(spec, folder);
}

QStringList pathsOf(const std::vector<samples::WrittenImage>& study) {
  QStringList paths;
  for (const auto& image : study) paths << image.path;
  return paths;
}

QStringList expectedEvents(const std::vector<samples::WrittenImage>& study) {
  QStringList events;
  for (const auto& image : study) events << "image:" + image.sopInstanceUID;
  events << "closed";
  return events;
}

// A storescu configuration that proposes the storage class with one
// transfer syntax only, so the object travels in exactly that syntax.
QString writeProfile(const QString& folder, const QString& syntaxUID) {
  const QString path = folder + "/profile.cfg";
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return {};
  file.write(QString("[[TransferSyntaxes]]\n[Only]\nTransferSyntax1 = %1\n"
                     "[[PresentationContexts]]\n[Contexts]\nPresentationContext1 = %2\\Only\n"
                     "[[Profiles]]\n[Profile]\nPresentationContexts = Contexts\n")
                 .arg(syntaxUID, kMammoClass)
                 .toLatin1());
  return path;
}

// Loads a sample, lets the caller break it, and saves it as a new object.
template <typename Change>
QString brokenCopy(const QString& source, const QString& target, Change change) {
  DcmFileFormat file;
  if (file.loadFile(source.toLocal8Bit().constData()).bad()) return {};
  DcmDataset* dataset = file.getDataset();
  char uid[100];
  dataset->putAndInsertString(DCM_SOPInstanceUID, dcmGenerateUniqueIdentifier(uid));
  change(*dataset);
  if (file.saveFile(target.toLocal8Bit().constData(), EXS_LittleEndianExplicit).bad()) return {};
  return target;
}

QString sopInstanceOf(const QString& path) {
  DcmFileFormat file;
  OFString uid;
  if (file.loadFile(path.toLocal8Bit().constData()).good()) {
    file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uid);
  }
  return QString::fromLatin1(uid.c_str());
}

}  // namespace

class ReceiverTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<dicom::dcmtk::DcmtkToolkit> toolkit_;
  Timeouts shortTimeouts_{2, 2, 2};

  std::unique_ptr<dicom::StorageReceiver> listening(int& port, Timeouts timeouts) {
    auto receiver = dicom::dcmtk::makeReceiver(timeouts);
    for (int attempt = 0; attempt < 5; ++attempt) {
      port = freePort();
      try {
        receiver->listen(port, kStationAE);
        return receiver;
      } catch (const dicom::DicomError&) {
        // Taken in between: another free port.
      }
    }
    return nullptr;
  }

  // The check every hostile case ends with: the receiver still takes a study.
  void receivesGoodStudy(int port, Recorder& recorder, const QString& folder) {
    const auto study = smallStudy(folder, samples::Syntax::ExplicitLittle, 7);
    const int before = static_cast<int>(recorder.events.size());
    const ToolResult sent = storescu(port, kStationAE, pathsOf(study));
    QVERIFY2(sent.finished && sent.exitCode == 0, qPrintable(sent.output));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), before + 5, 20000);
    QCOMPARE(recorder.events.mid(before), expectedEvents(study));
  }

 private slots:
  void initTestCase() { toolkit_ = std::make_unique<dicom::dcmtk::DcmtkToolkit>(); }

  void receivesStudyInEachSyntax_data() {
    QTest::addColumn<int>("syntax");  // samples::Syntax, or -1 for big endian from explicit
    QTest::addColumn<QString>("wireSyntax");
    QTest::newRow("explicit little")
        << int(samples::Syntax::ExplicitLittle) << QString(UID_LittleEndianExplicitTransferSyntax);
    QTest::newRow("implicit little")
        << int(samples::Syntax::ImplicitLittle) << QString(UID_LittleEndianImplicitTransferSyntax);
    QTest::newRow("explicit big") << -1 << QString(UID_BigEndianExplicitTransferSyntax);
    QTest::newRow("deflated") << int(samples::Syntax::Deflated)
                              << QString(UID_DeflatedExplicitVRLittleEndianTransferSyntax);
    QTest::newRow("jpeg lossless")
        << int(samples::Syntax::JpegLossless) << QString(UID_JPEGProcess14SV1TransferSyntax);
    QTest::newRow("jpeg-ls") << int(samples::Syntax::JpegLs)
                             << QString(UID_JPEGLSLosslessTransferSyntax);
    QTest::newRow("rle") << int(samples::Syntax::Rle) << QString(UID_RLELosslessTransferSyntax);
  }

  // Every object arrives in the syntax it travelled in, decoded for
  // display, in the order sent, and the association's end comes last.
  void receivesStudyInEachSyntax() {
    QFETCH(int, syntax);
    QFETCH(QString, wireSyntax);
    QTemporaryDir dir;
    const auto study = smallStudy(
        dir.path(), syntax < 0 ? samples::Syntax::ExplicitLittle : samples::Syntax(syntax));
    int port = 0;
    auto receiver = listening(port, Timeouts{5, 5, 10});
    QVERIFY(receiver);
    Recorder recorder(*receiver);

    const ToolResult sent = storescu(port, kStationAE, pathsOf(study),
                                     {"-xf", writeProfile(dir.path(), wireSyntax), "Profile"});
    QVERIFY2(sent.finished && sent.exitCode == 0, qPrintable(sent.output));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.events.size(), 5, 20000);
    QCOMPARE(recorder.events, expectedEvents(study));

    for (std::size_t i = 0; i < study.size(); ++i) {
      const auto& image = dynamic_cast<DcmtkImage&>(*recorder.images[i]);
      DcmDataset* dataset = image.file().getDataset();
      QCOMPARE(QString(DcmXfer(dataset->getOriginalXfer()).getXferID()), wireSyntax);
      QCOMPARE(QString(DcmXfer(dataset->getCurrentXfer()).getXferID()), wireSyntax);
      const QImage picture = image.displayImage();
      QCOMPARE(picture.format(), QImage::Format_Grayscale8);
      QCOMPARE(picture.size(), QSize(208, 256));
      QCOMPARE(image.attribute(0x0008, 0x103E).value(), study[i].seriesDescription);
      QCOMPARE(image.patientName(), QString("Doe^Jane"));
    }
  }

  void answersEcho() {
    int port = 0;
    auto receiver = listening(port, shortTimeouts_);
    QVERIFY(receiver);
    Recorder recorder(*receiver);
    const ToolResult echo = echoscu(port, kStationAE);
    QVERIFY2(echo.finished && echo.exitCode == 0, qPrintable(echo.output));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.closed(), 1, 10000);
    QVERIFY(recorder.images.empty());
  }

  void rejectsWrongCalledAETitle() {
    int port = 0;
    auto receiver = listening(port, shortTimeouts_);
    QVERIFY(receiver);
    Recorder recorder(*receiver);
    const ToolResult echo = echoscu(port, "SOMEONEELSE");
    QVERIFY(echo.finished);
    QVERIFY2(echo.exitCode != 0, qPrintable(echo.output));
    QVERIFY2(echo.output.contains("Called AE Title Not Recognized", Qt::CaseInsensitive),
             qPrintable(echo.output));
    // A refused association is no association: nothing reaches the viewer.
    QTemporaryDir dir;
    receivesGoodStudy(port, recorder, dir.path());
    QCOMPARE(recorder.closed(), 1);
  }

  // Broken objects get a failure status and are never shown; an object
  // without pixel data is kept as an object; the association goes on.
  void refusesMalformedObjects() {
    QTemporaryDir dir;
    const auto study = smallStudy(dir.path());
    const QString good = study[0].path;
    const QString noPixels = brokenCopy(good, dir.path() + "/nopixels.dcm",
                                        [](DcmDataset& d) { delete d.remove(DCM_PixelData); });
    const QString shortPixels = brokenCopy(good, dir.path() + "/short.dcm", [](DcmDataset& d) {
      std::vector<Uint16> half(208 * 128, 100);
      d.putAndInsertUint16Array(DCM_PixelData, half.data(),
                                static_cast<unsigned long>(half.size()));
    });
    const QString highBit = brokenCopy(good, dir.path() + "/highbit.dcm", [](DcmDataset& d) {
      d.putAndInsertUint16(DCM_HighBit, 16);
    });
    const QString zeroRows = brokenCopy(good, dir.path() + "/zerorows.dcm",
                                        [](DcmDataset& d) { d.putAndInsertUint16(DCM_Rows, 0); });
    QVERIFY(!noPixels.isEmpty() && !shortPixels.isEmpty() && !highBit.isEmpty() &&
            !zeroRows.isEmpty());

    int port = 0;
    auto receiver = listening(port, shortTimeouts_);
    QVERIFY(receiver);
    Recorder recorder(*receiver);
    const ToolResult sent = storescu(port, kStationAE, {shortPixels, noPixels, highBit, zeroRows});
    QVERIFY(sent.finished);
    // In the order sent: refused, kept, refused, refused.
    QCOMPARE(sent.output.count("Store Response (Error: CannotUnderstand)"), 3);
    QVERIFY2(sent.output.indexOf("Store Response (Success)") >
                 sent.output.indexOf("Store Response (Error"),
             qPrintable(sent.output));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.closed(), 1, 10000);
    QCOMPARE(recorder.events, QStringList({"object:" + sopInstanceOf(noPixels), "closed"}));
    QVERIFY(recorder.objects[0]->displayImage().isNull());

    receivesGoodStudy(port, recorder, dir.path() + "/after");
  }

  void survivesGarbage() {
    int port = 0;
    auto receiver = listening(port, shortTimeouts_);
    QVERIFY(receiver);
    Recorder recorder(*receiver);
    const QList<QByteArray> inputs = {
        QByteArray("GET / HTTP/1.0\r\n\r\n"),
        QByteArray(4096, '\xFF'),
        // An association request claiming to be four gigabytes long.
        QByteArray("\x01\x00\xFF\xFF\xFF\xFF\x00\x01", 8),
    };
    for (const QByteArray& input : inputs) {
      QTcpSocket socket;
      socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
      QVERIFY(socket.waitForConnected(5000));
      socket.write(input);
      QVERIFY(socket.waitForBytesWritten(5000));
      QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, 15000);
    }
    QTemporaryDir dir;
    receivesGoodStudy(port, recorder, dir.path());
    QCOMPARE(recorder.closed(), 1);
  }

  // A connection that never speaks is closed after the association
  // timeout; one that associates and then idles, after the message timeout.
  void dropsSilentPeers() {
    int port = 0;
    auto receiver = listening(port, shortTimeouts_);
    QVERIFY(receiver);
    Recorder recorder(*receiver);
    {
      QTcpSocket silent;
      silent.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
      QVERIFY(silent.waitForConnected(5000));
      QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 15000);
    }
    {
      QTcpSocket idle;
      idle.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
      QVERIFY(idle.waitForConnected(5000));
      idle.write(associateRequest(kStationAE, "RAWSCU", kMammoClass,
                                  UID_LittleEndianImplicitTransferSyntax));
      const QByteArray answer = readPdu(idle);
      QVERIFY(!answer.isEmpty());
      QCOMPARE(int(answer[0]), 0x02);  // A-ASSOCIATE-AC
      QTRY_COMPARE_WITH_TIMEOUT(idle.state(), QAbstractSocket::UnconnectedState, 15000);
      QTRY_COMPARE_WITH_TIMEOUT(recorder.closed(), 1, 5000);
    }
    QTemporaryDir dir;
    receivesGoodStudy(port, recorder, dir.path());
  }

  void countsNothingFromABrokenTransfer_data() {
    QTest::addColumn<bool>("abort");
    QTest::newRow("A-ABORT mid-object") << true;
    QTest::newRow("connection dropped mid-object") << false;
  }

  void countsNothingFromABrokenTransfer() {
    QFETCH(bool, abort);
    QTemporaryDir dir;
    const auto study = smallStudy(dir.path(), samples::Syntax::ImplicitLittle);
    QFile file(study[0].path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    // The data set as it travels: the file less its preamble and meta header.
    DcmFileFormat format;
    QVERIFY(format.loadFile(study[0].path.toLocal8Bit().constData()).good());
    const Uint32 length =
        format.getDataset()->calcElementLength(EXS_LittleEndianImplicit, EET_ExplicitLength);
    const QByteArray whole = file.readAll();
    const QByteArray dataset = whole.right(static_cast<qsizetype>(length));

    int port = 0;
    auto receiver = listening(port, shortTimeouts_);
    QVERIFY(receiver);
    Recorder recorder(*receiver);
    {
      QTcpSocket peer;
      peer.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
      QVERIFY(peer.waitForConnected(5000));
      peer.write(associateRequest(kStationAE, "RAWSCU", kMammoClass,
                                  UID_LittleEndianImplicitTransferSyntax));
      const QByteArray answer = readPdu(peer);
      QVERIFY(!answer.isEmpty());
      QCOMPARE(int(answer[0]), 0x02);
      peer.write(
          dataPdu(storeCommand(kMammoClass, study[0].sopInstanceUID.toLatin1()), true, true));
      peer.write(dataPdu(dataset.left(dataset.size() / 2 & ~1), false, false));
      if (abort) peer.write(abortPdu());
      QVERIFY(peer.waitForBytesWritten(5000));
      peer.disconnectFromHost();
    }
    QTRY_COMPARE_WITH_TIMEOUT(recorder.closed(), 1, 10000);
    QCOMPARE(recorder.events, QStringList({"closed"}));
    receivesGoodStudy(port, recorder, dir.path() + "/after");
  }

  void keepsTheReceiverOnTheSamePort() {
    int port = 0;
    auto receiver = listening(port, shortTimeouts_);
    QVERIFY(receiver);
    receiver->listen(port, "RENAMED");
    QCOMPARE(receiver->port(), port);
    const ToolResult renamed = echoscu(port, "RENAMED");
    QVERIFY2(renamed.exitCode == 0, qPrintable(renamed.output));
    const ToolResult old = echoscu(port, kStationAE);
    QVERIFY(old.exitCode != 0);
  }

  void replacesTheReceiverOnANewPort() {
    int first = 0;
    auto receiver = listening(first, shortTimeouts_);
    QVERIFY(receiver);
    Recorder recorder(*receiver);
    int second = freePort();
    receiver->listen(second, kStationAE);
    QCOMPARE(receiver->port(), second);
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(first));
    QVERIFY(!probe.waitForConnected(3000));
    QTemporaryDir dir;
    receivesGoodStudy(second, recorder, dir.path());
  }

  void reportsAPortInUse() {
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::AnyIPv4, 0));
    auto receiver = dicom::dcmtk::makeReceiver(shortTimeouts_);
    try {
      receiver->listen(occupant.serverPort(), kStationAE);
      QFAIL("listen() on a busy port succeeded");
    } catch (const dicom::DicomError& e) {
      QCOMPARE(e.number(), dicom::OwnError::PortInUse);
    }
    QCOMPARE(receiver->port(), 0);
  }

  // stop() ends a receiver that is busy with a peer that never speaks,
  // without waiting for the peer's timeout; it may be called again.
  void stopsWhileAPeerHangs() {
    int port = 0;
    auto receiver = listening(port, Timeouts{60, 60, 60});
    QVERIFY(receiver);
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
