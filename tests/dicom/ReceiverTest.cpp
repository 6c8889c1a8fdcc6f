// The storage receiver against real senders on loopback: DCMTK's storescu and
// echoscu, a raw socket, storescu through a proxy that cuts its stream, and a
// sender of our own. Every hostile case ends with the receiver still taking one.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <list>

#include "SampleStudy.h"
#include "dicom/core/DicomError.h"
#include "dicom/dcmtk/DcmtkReceiver.h"
#include "dicom/dcmtk/DcmtkToolkit.h"

using dicom::dcmtk::Timeouts;

namespace {

constexpr const char* kStationAE = "STATION";

dicom::StationIdentity as(const QString& aeTitle, int port) {
  return {aeTitle, dicom::Port(QString::number(port))};
}
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

// The data set's bytes in that transfer syntax.
QByteArray bytesOf(DcmDataset& dataset, E_TransferSyntax xfer, E_GrpLenEncoding groupLength) {
  QTemporaryFile file;
  file.open();
  dataset.saveFile(file.fileName().toLocal8Bit().constData(), xfer, EET_UndefinedLength,
                   groupLength);
  return file.readAll();
}

// An association of our own to the receiver (mammograms in explicit little
// endian unless told), released or aborted at the end. It sends whatever it
// is given.
struct RawAssociation {
  T_ASC_Network* network = nullptr;
  T_ASC_Association* assoc = nullptr;
  OFCondition cond;

  explicit RawAssociation(int port,
                          const char* transferSyntax = UID_LittleEndianExplicitTransferSyntax) {
    ASC_initializeNetwork(NET_REQUESTOR, 0, 5, &network);
    T_ASC_Parameters* params = nullptr;
    ASC_createAssociationParameters(&params, ASC_DEFAULTMAXPDU);
    ASC_setAPTitles(params, "RAW", kStationAE, nullptr);
    ASC_setPresentationAddresses(params, "localhost",
                                 qPrintable(QString("127.0.0.1:%1").arg(port)));
    const char* syntax[] = {transferSyntax};
    ASC_addPresentationContext(params, 1, UID_DigitalMammographyXRayImageStorageForPresentation,
                               syntax, 1);
    cond = ASC_requestAssociation(network, params, &assoc, nullptr, nullptr, DUL_NOBLOCK, 5);
    if (assoc == nullptr) ASC_destroyAssociationParameters(&params);
  }
  ~RawAssociation() {
    if (cond.good() && ASC_releaseAssociation(assoc).bad()) ASC_abortAssociation(assoc);
    if (assoc != nullptr) ASC_destroyAssociation(&assoc);
    ASC_dropNetwork(&network);
  }
  bool pdv(DUL_DATAPDV type, const char* data, qsizetype size, bool last) {
    DUL_PDV pdv{static_cast<unsigned long>(size), 1, type, last, const_cast<char*>(data)};
    DUL_PDVLIST list{1, nullptr, 0, {}, &pdv};
    return DUL_WritePDVs(&assoc->DULassociation, &list).good();
  }
  // A C-STORE-RQ for the instance (made here: DCMTK sends none without a
  // data set of its own), then the bytes as its data set in PDVs of the
  // receiver's size: the response's status and error comment (-1: none).
  std::pair<int, QString> store(const QString& sopInstanceUID, const QByteArray& bytes) {
    DcmDataset command;
    command.putAndInsertString(DCM_AffectedSOPClassUID,
                               UID_DigitalMammographyXRayImageStorageForPresentation);
    command.putAndInsertUint16(DCM_CommandField, DIMSE_C_STORE_RQ);
    command.putAndInsertUint16(DCM_MessageID, 1);
    command.putAndInsertUint16(DCM_Priority, 0);
    command.putAndInsertUint16(DCM_CommandDataSetType, 0);  // a data set follows
    command.putAndInsertString(DCM_AffectedSOPInstanceUID, qPrintable(sopInstanceUID));
    const QByteArray head = bytesOf(command, EXS_LittleEndianImplicit, EGL_withGL);
    if (cond.bad() || !pdv(DUL_COMMANDPDV, head.data(), head.size(), true)) return {-1, {}};
    qsizetype at = 0;
    do {
      const qsizetype n = std::min<qsizetype>(assoc->sendPDVLength, bytes.size() - at);
      if (!pdv(DUL_DATASETPDV, bytes.data() + at, n, at + n == bytes.size())) return {-1, {}};
      at += n;
    } while (at < bytes.size());
    T_DIMSE_Message response{};
    T_ASC_PresentationContextID context = 0;
    DcmDataset* detail = nullptr;
    cond = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, 30, &context, &response, &detail);
    std::unique_ptr<DcmDataset> owner(detail);
    OFString comment;
    if (detail != nullptr) detail->findAndGetOFString(DCM_ErrorComment, comment);
    return {cond.good() ? response.msg.CStoreRSP.DimseStatus : -1, comment.c_str()};
  }
};

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
    receiver->listen(as(kStationAE, port = freePort()));
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

  // Image 0's data set in explicit little endian, with these values (none:
  // the attribute removed).
  QByteArray encoded(const std::vector<std::pair<DcmTagKey, const char*>>& changes = {}) {
    DcmFileFormat file;
    file.loadFile(study_[0].path.toLocal8Bit().constData());
    DcmDataset& d = *file.getDataset();
    for (const auto& [key, value] : changes) {
      if (value == nullptr) delete d.remove(key);
      if (value != nullptr) d.putAndInsertString(key, value);
    }
    return bytesOf(d, EXS_LittleEndianExplicit, EGL_recalcGL);
  }

  // A receiver expecting the study, its reports recorded.
  void start(Timeouts timeouts, dicom::dcmtk::ReceiverLimits limits = {}) {
    receiver_ = std::make_unique<dicom::dcmtk::DcmtkReceiver>(timeouts, limits);
    receiver_->listen(as(kStationAE, port_ = freePort()));
    receiver_->expectStudy(kStudy);
    connect(receiver_.get(), &dicom::StorageReceiver::imageReceived, &context_,
            [this](const dicom::ImagePtr& image) {
              QVERIFY(!image->displayImage().isNull());
              events_ << "image:" + image->attribute(dicom::tags::SOPInstanceUID).value();
            });
    connect(receiver_.get(), &dicom::StorageReceiver::associationClosed, &context_,
            [this] { events_ << "closed"; });
  }
  void init() {
    events_.clear();
    start(within(2));
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
    QTest::newRow("empty command PDVs each second") << "pdvs" << QByteArray();
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
    } else if (how == "pdvs") {  // on an established association, until it ends
      RawAssociation raw(port_);
      QElapsedTimer timer;
      timer.start();
      while (raw.pdv(DUL_COMMANDPDV, "", 0, false) && !ASC_dataWaiting(raw.assoc, 1) &&
             timer.elapsed() < 10000) {
      }
      // Ended at the idle limit (2 s): neither at once nor kept alive by the PDVs.
      QVERIFY2(timer.elapsed() > 1500 && timer.elapsed() < 6000,
               qPrintable(QString::number(timer.elapsed())));
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

  // Objects no sender should make, after a proper C-STORE-RQ: each is refused
  // with its reason, none reaches the viewer, and the association goes on
  // with a valid object. A valid object and one without pixels are taken.
  void hostileObject_data() {
    QTest::addColumn<QByteArray>("bytes");  // the data set
    QTest::addColumn<QString>("instance");  // the command's SOP Instance UID; empty: image 0's
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");  // in the response's error comment
    QTest::addColumn<int>("images");      // reported
    const auto row = [](const char* tag, const QByteArray& bytes, const char* instance, int status,
                        const char* reason, int images = 0) {
      QTest::newRow(tag) << bytes << QString(instance) << status << QString(reason) << images;
    };
    const auto nested = [](int levels) {  // undefined lengths, all closed at the end
      const QByteArray open(
          "\x40\x00\x30\xA7SQ\0\0\xFF\xFF\xFF\xFF\xFE\xFF\x00\xE0\xFF\xFF\xFF\xFF", 20);
      const QByteArray close("\xFE\xFF\x0D\xE0\0\0\0\0\xFE\xFF\xDD\xE0\0\0\0\0", 16);
      return open.repeated(levels) + close.repeated(levels);
    };
    const QByteArray noPixels = encoded({{DCM_PixelData, nullptr}});
    row("valid", encoded(), "", 0x0000, "", 1);
    row("without pixel data", noPixels, "", 0x0000, "");
    row("nested 10,000 deep", nested(10000), "", 0xC000, "nested deeper than 64");
    row("nested 100,000 deep", nested(100000), "", 0xC000, "nested deeper than 64");
    row("pixel data declaring 0xFFFFFFF0 bytes",
        noPixels + QByteArray("\xE0\x7F\x10\x00OW\0\0\xF0\xFF\xFF\xFF\1\2\3\4", 16), "", 0xC000,
        "declares 4294967280 bytes");
    row("multi-frame header that lies",
        encoded({{DCM_Rows, "65535"}, {DCM_Columns, "65535"}, {DCM_NumberOfFrames, "2147483647"}}),
        "", 0xC000, "expected 18446181119461425150");
    row("High Bit 16 of 16 bits", encoded({{DCM_HighBit, "16"}}), "", 0xC000, "High Bit 16");
    row("no rows", encoded({{DCM_Rows, "0"}}), "", 0xC000, "Rows or Columns");
    row("empty data set", QByteArray(), "", 0xC000, "empty");
    row("another study", encoded({{DCM_StudyInstanceUID, "1.2.826.0.1.3680043.8.498.78"}}), "",
        0x0124, "belongs to study");
    row("another instance than the command's", encoded(), "1.2.826.0.1.3680043.8.498.79", 0xC000,
        "not the one of the request");
  }
  void hostileObject() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, instance);
    QFETCH(int, status);
    QFETCH(QString, reason);
    QFETCH(int, images);
    const QString valid = study_[0].sopInstanceUID;
    {
      RawAssociation raw(port_);
      const auto [answer, comment] = raw.store(instance.isEmpty() ? valid : instance, bytes);
      QCOMPARE(answer, status);
      QVERIFY2(comment.contains(reason), qPrintable(comment));
      QCOMPARE(raw.store(valid, encoded()).first, 0);  // the rest was read and dropped
    }
    QTRY_COMPARE_WITH_TIMEOUT(events_, QStringList(images + 1, "image:" + valid) << "closed", 5000);
  }

  // An RLE frame whose header points a segment past its fragment is refused
  // before any decoder reads it; the same frame with its true header is taken.
  void lyingRleHeader() {
    samples::StudySpec sample;
    sample.rows = 96;
    sample.columns = 80;
    sample.images = 1;
    sample.syntax = samples::Syntax::Rle;
    sample.studyInstanceUID = kStudy;
    const auto rle = samples::writeStudy(sample, dir_.filePath("rle"));
    DcmFileFormat file;
    QVERIFY(file.loadFile(rle[0].path.toLocal8Bit().constData()).good());
    DcmDataset& d = *file.getDataset();
    const QByteArray truthful = bytesOf(d, EXS_RLELossless, EGL_recalcGL);
    DcmElement* element = nullptr;
    DcmPixelSequence* sequence = nullptr;
    DcmPixelItem* fragment = nullptr;
    Uint8* bytes = nullptr;
    QVERIFY(d.findAndGetElement(DCM_PixelData, element).good());
    QVERIFY(static_cast<DcmPixelData*>(element)
                ->getEncapsulatedRepresentation(EXS_RLELossless, nullptr, sequence)
                .good());
    QVERIFY(sequence->getItem(fragment, 1).good() && fragment->getUint8Array(bytes).good());
    bytes[8] = bytes[9] = bytes[10] = 0xF0;  // the second segment's offset
    bytes[11] = 0x7F;
    const QByteArray lying = bytesOf(d, EXS_RLELossless, EGL_recalcGL);

    RawAssociation raw(port_, UID_RLELosslessTransferSyntax);
    const auto [answer, comment] = raw.store(rle[0].sopInstanceUID, lying);
    QCOMPARE(answer, 0xC000);
    QVERIFY2(comment.contains("segment offsets outside the fragment"), qPrintable(comment));
    QCOMPARE(raw.store(rle[0].sopInstanceUID, truthful).first, 0);
  }

  // What holds the receiver when a legitimate sender comes. Silent
  // connections and association requests trickled a byte each tenth of a
  // second (waited for 60 s) do not delay it; with the associations at the
  // limit it is rejected at once (transient), not left waiting.
  void crowdedReceiver_data() {
    QTest::addColumn<QList<int>>("crowd");  // silent, trickling, associations, their limit
    QTest::newRow("50 silent, 50 trickling") << QList<int>{50, 50, 0, 16};
    QTest::newRow("associations at the limit") << QList<int>{0, 0, 2, 2};
  }
  void crowdedReceiver() {
    QFETCH(QList<int>, crowd);
    const int silent = crowd[0], trickling = crowd[1], established = crowd[2];
    dicom::dcmtk::ReceiverLimits limits;
    limits.associations = crowd[3];
    start(within(60), limits);
    const QByteArray request = QByteArray("\x01\x00\x00\x00\x01\x00\x00\x01\x00\x00", 10) +
                               "STATION         TRICKLE         " + QByteArray(220, '\0');
    std::vector<std::unique_ptr<QTcpSocket>> sockets(silent + trickling);
    for (auto& socket : sockets) {
      socket = std::make_unique<QTcpSocket>();
      socket->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
      QVERIFY(socket->waitForConnected(5000));
    }
    for (int sent = 0; sent < 10; ++sent, QTest::qWait(100)) {
      for (int i = silent; i < silent + trickling; ++i) sockets[i]->write(request.mid(sent, 1));
    }
    std::list<RawAssociation> held;
    for (int i = 0; i < established; ++i) QVERIFY(held.emplace_back(port_).cond.good());
    QElapsedTimer timer;
    timer.start();
    RawAssociation sender(port_);
    if (established >= limits.associations) {
      QVERIFY(sender.cond == DUL_ASSOCIATIONREJECTED && sender.assoc != nullptr);
      T_ASC_RejectParameters reject{};
      ASC_getRejectParameters(sender.assoc->params, &reject);
      QCOMPARE(reject.result, ASC_RESULT_REJECTEDTRANSIENT);
      held.pop_back();
      bool taken = false;  // the freed place, once the released association's thread has ended
      QTRY_VERIFY_WITH_TIMEOUT((taken = taken || RawAssociation(port_).cond.good()), 5000);
      return;
    }
    QCOMPARE(sender.store(study_[0].sopInstanceUID, encoded()).first, 0);
    QTRY_COMPARE_WITH_TIMEOUT(events_.size(), 1, 5000);
    // A functional bound, not a speed target: held by the crowd, the store would wait 60 s.
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
  }

  // Listening again: on the same port the receiver stays and takes the new
  // AE title; on another port it replaces the first; a busy port fails.
  void listeningAgain() {
    receiver_->listen(as("RENAMED", port_));
    QVERIFY(runTool("echoscu", "RENAMED", port_).first);
    QVERIFY(!runTool("echoscu", kStationAE, port_).first);
    const int second = freePort();
    receiver_->listen(as(kStationAE, second));
    QCOMPARE(receiver_->port(), second);
    QVERIFY(!runTool("echoscu", kStationAE, port_).first);
    stillReceives(second);

    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::AnyIPv4, 0));
    auto fresh = dicom::dcmtk::makeReceiver(within(2));
    QVERIFY_THROWS_EXCEPTION(dicom::DicomError,
                             fresh->listen(as(kStationAE, occupant.serverPort())));
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
