// The storage receiver against real senders on the loopback interface:
// DCMTK's storescu and echoscu, and a raw socket that speaks just enough of
// the upper layer protocol to misbehave on purpose. Every hostile case ends
// with the receiver still taking a study.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>
#include <memory>

#include "SampleStudy.h"
#include "dicom/DicomError.h"
#include "dicom/dcmtk/DcmtkImage.h"
#include "dicom/dcmtk/DcmtkToolkit.h"

using dicom::ImagePtr;
using dicom::dcmtk::DcmtkImage;
using dicom::dcmtk::Timeouts;

namespace {

constexpr const char* kStationAE = "STATION";
constexpr const char* kMammoClass = "1.2.840.10008.5.1.4.1.1.1.2";

// A port nobody listens on right now.
int freePort() {
  QTcpServer server;
  server.listen(QHostAddress::AnyIPv4, 0);
  return server.serverPort();
}

struct ToolResult {
  bool ok = false;  // finished with exit code 0
  QString output;
};

// Runs storescu or echoscu against the loopback port with bounded network
// timeouts; waits at most a minute. The receiver's queued signals pile up
// until the caller spins its event loop.
ToolResult runTool(const QString& program, const QString& calledAE, int port,
                   const QStringList& extra = {}) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, QStringList{"-to", "5", "-ta", "5", "-td", "10", "-v", "-aet", "TESTSCU",
                                     "-aec", calledAE, "127.0.0.1", QString::number(port)} +
                             extra);
  const bool finished = process.waitForStarted(10000) && process.waitForFinished(60000);
  if (!finished) process.kill();
  process.waitForFinished(5000);
  return {finished && process.exitCode() == 0, QString::fromLocal8Bit(process.readAll())};
}

ToolResult storescu(int port, const QStringList& files, const QStringList& options = {}) {
  return runTool("storescu", kStationAE, port, QStringList{"-nh"} + options + files);
}

// Four images of 208 by 256 pixels.
std::vector<samples::WrittenImage> smallStudy(const QString& folder, samples::Syntax syntax) {
  samples::StudySpec sample;
  sample.rows = 256;
  sample.columns = 208;
  sample.images = 4;
  sample.syntax = syntax;
  return samples::writeStudy(sample, folder);
}

QStringList pathsOf(const std::vector<samples::WrittenImage>& study) {
  QStringList paths;
  for (const auto& image : study) paths << image.path;
  return paths;
}

// --- upper layer PDUs by hand -------------------------------------------

template <typename T>
QByteArray bigEndian(T value) {
  QByteArray bytes(sizeof(T), '\0');
  qToBigEndian<T>(value, bytes.data());
  return bytes;
}

template <typename T>
QByteArray littleEndian(T value) {
  QByteArray bytes(sizeof(T), '\0');
  qToLittleEndian<T>(value, bytes.data());
  return bytes;
}

QByteArray item(int type, const QByteArray& body) {
  return QByteArray(1, char(type)) + QByteArray(1, '\0') + bigEndian<quint16>(body.size()) + body;
}

QByteArray pdu(int type, const QByteArray& body) {
  return QByteArray(1, char(type)) + QByteArray(1, '\0') + bigEndian<quint32>(body.size()) + body;
}

// A-ASSOCIATE-RQ for the mammography class, implicit VR little endian,
// presentation context 1.
QByteArray associateRequest(const QByteArray& calledAE) {
  const auto ae = [](const QByteArray& title) { return title.leftJustified(16, ' '); };
  QByteArray body = bigEndian<quint16>(1) + QByteArray(2, '\0') + ae(calledAE) + ae("RAWSCU") +
                    QByteArray(32, '\0') + item(0x10, "1.2.840.10008.3.1.1.1");
  body += item(0x20, QByteArray("\x01\x00\x00\x00", 4) + item(0x30, kMammoClass) +
                         item(0x40, UID_LittleEndianImplicitTransferSyntax));
  body +=
      item(0x50, item(0x51, bigEndian<quint32>(16384)) + item(0x52, "1.2.826.0.1.3680043.10.1"));
  return pdu(0x01, body);
}

// One P-DATA-TF holding one PDV on presentation context 1.
QByteArray dataPdu(const QByteArray& fragment, bool command, bool last) {
  const QByteArray pdv =
      QByteArray(1, '\x01') + char((command ? 1 : 0) | (last ? 2 : 0)) + fragment;
  return pdu(0x04, bigEndian<quint32>(pdv.size()) + pdv);
}

QByteArray element(quint16 group, quint16 tag, QByteArray value) {
  if (value.size() % 2) value.append('\0');
  return littleEndian(group) + littleEndian(tag) + littleEndian<quint32>(value.size()) + value;
}

// The command set of a C-STORE-RQ in implicit VR little endian.
QByteArray storeCommand(const QByteArray& sopInstance) {
  const QByteArray rest =
      element(0, 0x0002, kMammoClass) + element(0, 0x0100, littleEndian<quint16>(1)) +
      element(0, 0x0110, littleEndian<quint16>(1)) + element(0, 0x0700, littleEndian<quint16>(0)) +
      element(0, 0x0800, littleEndian<quint16>(0)) + element(0, 0x1000, sopInstance);
  return element(0, 0, littleEndian<quint32>(rest.size())) + rest;
}

// Reads one whole PDU (bounded); empty when none came.
QByteArray readPdu(QTcpSocket& socket) {
  QByteArray data;
  qint64 length = 6;
  while (data.size() < length) {
    if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(10000)) return {};
    data += socket.read(length - data.size());
    if (data.size() == 6) length = 6 + qFromBigEndian<quint32>(data.constData() + 2);
  }
  return data;
}

// Loads a sample, lets the caller break it, and saves it as a new object.
template <typename Change>
QString brokenCopy(const QString& source, const QString& target, Change change) {
  DcmFileFormat file;
  if (file.loadFile(source.toLocal8Bit().constData()).bad()) return {};
  char uid[100];
  file.getDataset()->putAndInsertString(DCM_SOPInstanceUID, dcmGenerateUniqueIdentifier(uid));
  change(*file.getDataset());
  if (file.saveFile(target.toLocal8Bit().constData(), EXS_LittleEndianExplicit).bad()) return {};
  return target;
}

}  // namespace

class ReceiverTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<dicom::dcmtk::DcmtkToolkit> toolkit_;
  QTemporaryDir dir_;
  std::vector<samples::WrittenImage> study_;  // four small images, implicit little endian
  std::unique_ptr<dicom::StorageReceiver> receiver_;
  int port_ = 0;
  QObject context_;
  QStringList events_;  // what the receiver reported, in order
  std::vector<ImagePtr> images_, objects_;

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

  static QStringList expectedEvents(const std::vector<samples::WrittenImage>& study) {
    QStringList events;
    for (const auto& image : study) events << "image:" + image.sopInstanceUID;
    return events << "closed";
  }

  // The check every hostile case ends with: the receiver still takes a study.
  void stillReceives(int port) {
    const qsizetype before = events_.size();
    const ToolResult sent = storescu(port, pathsOf(study_));
    QVERIFY2(sent.ok, qPrintable(sent.output));
    QTRY_COMPARE_WITH_TIMEOUT(events_.size(), before + 5, 20000);
    QCOMPARE(events_.mid(before), expectedEvents(study_));
  }

 private slots:
  void initTestCase() {
    toolkit_ = std::make_unique<dicom::dcmtk::DcmtkToolkit>();
    QVERIFY(dir_.isValid());
    study_ = smallStudy(dir_.filePath("study"), samples::Syntax::ImplicitLittle);
  }

  // A receiver with short timeouts, its reports recorded.
  void init() {
    events_.clear();
    images_.clear();
    objects_.clear();
    receiver_ = listening(port_, Timeouts{2, 2, 2});
    QVERIFY(receiver_);
    connect(receiver_.get(), &dicom::StorageReceiver::imageReceived, &context_, [this](ImagePtr i) {
      events_ << "image:" + i->attribute(0x0008, 0x0018).value();
      images_.push_back(i);
    });
    connect(receiver_.get(), &dicom::StorageReceiver::objectReceived, &context_,
            [this](ImagePtr o) {
              events_ << "object:" + o->attribute(0x0008, 0x0018).value();
              objects_.push_back(o);
            });
    connect(receiver_.get(), &dicom::StorageReceiver::associationClosed, &context_,
            [this] { events_ << "closed"; });
  }
  void cleanup() { receiver_.reset(); }

  void receivesStudyInEachSyntax_data() {
    QTest::addColumn<int>("syntax");  // samples::Syntax, or -1 for big endian from explicit
    QTest::addColumn<QString>("wireSyntax");
    const auto row = [](const char* tag, int syntax, const char* uid) {
      QTest::newRow(tag) << syntax << QString(uid);
    };
    row("explicit little", int(samples::Syntax::ExplicitLittle),
        UID_LittleEndianExplicitTransferSyntax);
    row("implicit little", int(samples::Syntax::ImplicitLittle),
        UID_LittleEndianImplicitTransferSyntax);
    row("explicit big", -1, UID_BigEndianExplicitTransferSyntax);
    row("deflated", int(samples::Syntax::Deflated),
        UID_DeflatedExplicitVRLittleEndianTransferSyntax);
    row("jpeg lossless", int(samples::Syntax::JpegLossless), UID_JPEGProcess14SV1TransferSyntax);
    row("jpeg-ls", int(samples::Syntax::JpegLs), UID_JPEGLSLosslessTransferSyntax);
    row("rle", int(samples::Syntax::Rle), UID_RLELosslessTransferSyntax);
  }
  // Every object arrives in the syntax it travelled in, decoded for
  // display, in the order sent, and the association's end comes last.
  void receivesStudyInEachSyntax() {
    QFETCH(int, syntax);
    QFETCH(QString, wireSyntax);
    const QString folder = dir_.filePath(QTest::currentDataTag());
    const auto study =
        smallStudy(folder, syntax < 0 ? samples::Syntax::ExplicitLittle : samples::Syntax(syntax));
    // A storescu profile that proposes the class with that one syntax only.
    QFile profile(folder + "/profile.cfg");
    QVERIFY(profile.open(QIODevice::WriteOnly));
    profile.write(QString("[[TransferSyntaxes]]\n[Only]\nTransferSyntax1 = %1\n"
                          "[[PresentationContexts]]\n[Contexts]\nPresentationContext1 = %2\\Only\n"
                          "[[Profiles]]\n[Profile]\nPresentationContexts = Contexts\n")
                      .arg(wireSyntax, kMammoClass)
                      .toLatin1());
    profile.close();

    const ToolResult sent = storescu(port_, pathsOf(study), {"-xf", profile.fileName(), "Profile"});
    QVERIFY2(sent.ok, qPrintable(sent.output));
    QTRY_COMPARE_WITH_TIMEOUT(events_.size(), 5, 20000);
    QCOMPARE(events_, expectedEvents(study));
    for (std::size_t i = 0; i < study.size(); ++i) {
      const auto& image = dynamic_cast<DcmtkImage&>(*images_[i]);
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

  // Broken objects get a failure status and are never shown; an object
  // without pixel data is kept as an object; the association goes on.
  void refusesMalformedObjects() {
    const QString good = study_[0].path;
    const auto copy = [&](const char* name, auto change) {
      return brokenCopy(good, dir_.filePath(name), change);
    };
    const QString noPixels =
        copy("nopixels.dcm", [](DcmDataset& d) { delete d.remove(DCM_PixelData); });
    const QStringList files = {
        copy("short.dcm",
             [](DcmDataset& d) {
               std::vector<Uint16> half(208 * 128, 100);
               d.putAndInsertUint16Array(DCM_PixelData, half.data(), half.size());
             }),
        noPixels, copy("highbit.dcm", [](DcmDataset& d) { d.putAndInsertUint16(DCM_HighBit, 16); }),
        copy("zerorows.dcm", [](DcmDataset& d) { d.putAndInsertUint16(DCM_Rows, 0); })};
    QVERIFY(!files.contains(QString()));
    const ToolResult sent = storescu(port_, files);
    // In the order sent: refused, kept, refused, refused.
    QCOMPARE(sent.output.count("Store Response (Error: CannotUnderstand)"), 3);
    QVERIFY2(sent.output.indexOf("Store Response (Success)") >
                 sent.output.indexOf("Store Response (Error"),
             qPrintable(sent.output));
    QTRY_COMPARE_WITH_TIMEOUT(events_.count("closed"), 1, 10000);
    DcmFileFormat kept;
    OFString uid;
    QVERIFY(kept.loadFile(noPixels.toLocal8Bit().constData()).good());
    kept.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uid);
    QCOMPARE(events_, (QStringList{"object:" + QString(uid.c_str()), "closed"}));
    QVERIFY(objects_[0]->displayImage().isNull());
    stillReceives(port_);
  }

  // A raw peer: after connecting it optionally asks for an association
  // (and reads the answer), sends bytes, then hangs up or waits for the
  // receiver to drop it (association timeout, or message timeout once
  // associated). An association addressed to another AE title is rejected
  // and never reported.
  void hostilePeer_data() {
    QTest::addColumn<QByteArray>("calledAE");  // empty: no association request
    QTest::addColumn<QByteArray>("answer");    // the first bytes of the answer
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("hangUp");
    QTest::addColumn<QStringList>("events");
    // An object cut in the middle: its command, then half its data set.
    DcmFileFormat format;
    QVERIFY(format.loadFile(study_[0].path.toLocal8Bit().constData()).good());
    QFile file(study_[0].path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray dataset = file.readAll().right(
        format.getDataset()->calcElementLength(EXS_LittleEndianImplicit, EET_ExplicitLength));
    const QByteArray halfObject =
        dataPdu(storeCommand(study_[0].sopInstanceUID.toLatin1()), true, true) +
        dataPdu(dataset.left(dataset.size() / 2 & ~1), false, false);
    const QByteArray accepted("\x02", 1);
    // A-ASSOCIATE-RJ, permanent, by the service user: called AE title not recognised.
    const QByteArray rejected("\x03\x00\x00\x00\x00\x04\x00\x01\x01\x07", 10);
    const QStringList none, closed = {"closed"};
    const auto row = [](const char* tag, QByteArray calledAE, QByteArray answer, QByteArray bytes,
                        bool hangUp, QStringList events) {
      QTest::newRow(tag) << calledAE << answer << bytes << hangUp << events;
    };
    row("wrong called AE title", "SOMEONEELSE", rejected, {}, false, none);
    row("HTTP request", {}, {}, "GET / HTTP/1.0\r\n\r\n", false, none);
    row("0xFF bytes", {}, {}, QByteArray(4096, '\xFF'), false, none);
    row("four gigabyte request", {}, {}, QByteArray("\x01\x00\xFF\xFF\xFF\xFF\x00\x01", 8), false,
        none);
    row("silent", {}, {}, {}, false, none);
    row("idle after associating", kStationAE, accepted, {}, false, closed);
    row("A-ABORT mid-object", kStationAE, accepted, halfObject + pdu(0x07, QByteArray(4, '\0')),
        true, closed);
    row("dropped mid-object", kStationAE, accepted, halfObject, true, closed);
  }
  void hostilePeer() {
    QFETCH(QByteArray, calledAE);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, hangUp);
    QFETCH(QStringList, events);
    QTcpSocket peer;
    peer.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
    QVERIFY(peer.waitForConnected(5000));
    if (!calledAE.isEmpty()) {
      peer.write(associateRequest(calledAE));
      const QByteArray received = readPdu(peer);
      QVERIFY2(received.startsWith(answer), received.toHex(' ').constData());
    }
    if (!bytes.isEmpty()) {
      peer.write(bytes);
      QVERIFY(peer.waitForBytesWritten(5000));
    }
    if (hangUp) peer.disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(peer.state(), QAbstractSocket::UnconnectedState, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(events_, events, 10000);
    stillReceives(port_);
    QCOMPARE(events_.count("closed"), events.size() + 1);
  }

  // Listening again: on the same port the receiver stays and takes the new
  // AE title; on another port it replaces the first; a busy port fails.
  void listeningAgain() {
    receiver_->listen(port_, "RENAMED");
    QCOMPARE(receiver_->port(), port_);
    QVERIFY(runTool("echoscu", "RENAMED", port_).ok);
    QVERIFY(!runTool("echoscu", kStationAE, port_).ok);
    QTRY_COMPARE_WITH_TIMEOUT(events_, QStringList{"closed"}, 10000);

    const int second = freePort();
    receiver_->listen(second, kStationAE);
    QCOMPARE(receiver_->port(), second);
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
    QVERIFY(!probe.waitForConnected(3000));
    stillReceives(second);

    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::AnyIPv4, 0));
    auto fresh = dicom::dcmtk::makeReceiver(Timeouts{2, 2, 2});
    try {
      fresh->listen(occupant.serverPort(), kStationAE);
      QFAIL("listen() on a busy port succeeded");
    } catch (const dicom::DicomError& e) {
      QCOMPARE(e.number(), dicom::OwnError::PortInUse);
    }
    QCOMPARE(fresh->port(), 0);
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
