// Failure classes of the DICOM client: every way a find, move or store can
// go wrong ends in a DicomError with the right number and a description that
// names the peer, within the configured timeouts, and never as a success.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <optional>

#include "SampleStudy.h"
#include "ScuPeer.h"
#include "dicom/DicomError.h"
#include "dicom/dcmtk/DcmtkNet.h"
#include "dicom/dcmtk/DcmtkToolkit.h"

using dicom::DicomError;
using namespace dicom::OwnError;

namespace {

// Short association and message timeouts keep the silent peers cheap; a
// peer that answers does so within milliseconds on loopback. Name lookup
// keeps two seconds so that a slow resolver still reports an unknown host.
constexpr dicom::dcmtk::Timeouts kShort{2, 1, 1};
// The longest any single call may take with kShort, with room for a loaded machine.
constexpr qint64 kBoundMs = 8000;

enum class Op { Find, Move, Store };
constexpr Op kOps[] = {Op::Find, Op::Move, Op::Store};
const char* const kOpNames[] = {"find", "move", "store"};

// Where an operation goes, and what it asks for.
struct Target {
  int port = -1;  // -1: the port of the test's own peer
  QString called = "PEER";
  QString host = "127.0.0.1";
  QString calling = "BREVANT";
  QString destination = "BREVANT";
  QString studyUID = "1.2.826.0.1.3680043.8.498.1";
};

QString hex(int number) {
  return "0x" + QString::number(number, 16).rightJustified(4, QLatin1Char('0')).toUpper();
}

}  // namespace

Q_DECLARE_METATYPE(Op)
Q_DECLARE_METATYPE(Target)

class ScuErrorTest : public QObject {
  Q_OBJECT

 private:
  dicom::dcmtk::DcmtkToolkit toolkit_{kShort};
  QTemporaryDir dir_;
  QString imagePath_;

  // Runs one operation; returns the DicomError it raised, nothing on success.
  std::optional<DicomError> run(Op op, const Target& t) {
    try {
      if (op == Op::Store) {
        DcmFileFormat file;
        if (file.loadFile(imagePath_.toLocal8Bit().constData()).bad()) qFatal("sample unreadable");
        dicom::dcmtk::storeObject(file, {t.host, t.port, t.calling, t.called}, kShort);
        return std::nullopt;
      }
      auto q = toolkit_.newQuery();
      q->setNode(t.host);
      q->setPort(t.port);
      q->setCalledAE(t.called);
      q->setCallingAE(t.calling);
      q->setRoot("STUDY");
      q->setLevel("STUDY");
      q->setDestination(t.destination);
      q->setStudyUID(t.studyUID);
      if (op == Op::Find) q->find(q->newDataSet());
      if (op == Op::Move) q->move();
    } catch (const DicomError& e) {
      return e;
    }
    return std::nullopt;
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    samples::StudySpec spec;
    spec.rows = 64;
    spec.columns = 48;
    spec.images = 1;
    imagePath_ = samples::writeStudy(spec, dir_.path()).front().path;
  }

  // Values that cannot be used are refused before any network activity:
  // the peer never sees an association.
  void invalidInputsNeverReachThePeer_data() {
    QTest::addColumn<Target>("target");
    QTest::addColumn<QString>("expected");
    QTest::newRow("port 0") << Target{.port = 0} << "port 0";
    QTest::newRow("port 65536") << Target{.port = 65536} << "port 65536";
    QTest::newRow("empty called AE") << Target{.called = ""} << "called AE title is empty";
    QTest::newRow("called AE too long")
        << Target{.called = "ABCDEFGHIJKLMNOPQ"} << "ABCDEFGHIJKLMNOPQ";
    QTest::newRow("calling AE too long")
        << Target{.calling = "CALLINGAETITLE123"} << "CALLINGAETITLE123";
    QTest::newRow("no move destination") << Target{.destination = ""} << "move destination";
    QTest::newRow("no study") << Target{.studyUID = ""} << "Study Instance UID";
  }
  void invalidInputsNeverReachThePeer() {
    QFETCH(Target, target);
    QFETCH(QString, expected);
    scutest::RecordingPeer peer({});
    if (target.port == -1) target.port = peer.port();
    // The move request's own values concern the move alone.
    const bool moveOnly = target.destination.isEmpty() || target.studyUID.isEmpty();
    for (Op op : kOps) {
      if (moveOnly && op != Op::Move) continue;
      const auto e = run(op, target);
      QVERIFY2(e, kOpNames[int(op)]);
      QCOMPARE(e->number(), InvalidArgument);
      QVERIFY2(e->description().contains(expected), qPrintable(e->description()));
    }
    QCOMPARE(peer.record().associations, 0);
  }

  // Each way of not reaching a working peer, for find, move and store alike.
  void noWorkingPeer_data() {
    QTest::addColumn<QString>("peer");
    QTest::addColumn<int>("number");  // 0: a DCMTK condition, or a timeout
    QTest::addColumn<QString>("named");
    QTest::newRow("closed port") << "closed" << 0 << "";
    QTest::newRow("unknown host") << "unknown host" << UnknownHost << "is unknown";
    QTest::newRow("wrong called AE title")
        << "other AE title" << AssociationRejected << "Called AE Title Not Recognized";
    QTest::newRow("listener that never answers") << "listener" << Timeout << "no connection";
    QTest::newRow("peer that takes the request and never answers")
        << "silent" << Timeout << "no answer";
  }
  void noWorkingPeer() {
    QFETCH(QString, peer);
    QFETCH(int, number);
    QFETCH(QString, named);
    scutest::PeerBehaviour behaviour;
    behaviour.silent = peer == "silent";
    std::optional<scutest::RecordingPeer> recording;
    QTcpServer listener;  // the kernel completes connections; nobody answers
    Target target;
    if (peer == "closed") target.port = scutest::closedPort();
    if (peer == "unknown host") target = {.port = 104, .host = "host.invalid"};
    if (peer == "listener" && listener.listen(QHostAddress::LocalHost)) {
      target.port = listener.serverPort();
    }
    if (peer == "other AE title" || peer == "silent")
      target.port = recording.emplace(behaviour).port();
    if (peer == "other AE title") target.called = "SOMEONEELSE";

    for (Op op : kOps) {
      QElapsedTimer timer;
      timer.start();
      const auto e = run(op, target);
      QVERIFY2(e, kOpNames[int(op)]);
      const QString d = e->description();
      if (number != 0) {
        QCOMPARE(e->number(), number);
      } else {
        QVERIFY2((e->number() & 0xFF000000) == 0x01000000 || e->number() == Timeout, qPrintable(d));
      }
      const QString where =
          QString("\"%1\" at %2:%3").arg(target.called, target.host).arg(target.port);
      QVERIFY2(d.contains(where), qPrintable(d));
      QVERIFY2(d.contains(named, Qt::CaseInsensitive), qPrintable(d));
      QVERIFY2(timer.elapsed() < kBoundMs, qPrintable(QString::number(timer.elapsed())));
    }
    if (behaviour.silent) {
      // The requests did arrive: it is the answer that never came.
      const auto record = recording->record();
      QVERIFY(record.findIdentifier && record.moveIdentifier && record.stored);
    }
  }

  // A peer that confirmed the operation and then never answers the release
  // request cannot hold the caller: the confirmed operation still succeeds.
  void unansweredReleaseEndsInTime() {
    scutest::PeerBehaviour behaviour;
    behaviour.ignoreRelease = true;
    behaviour.moveCompleted = 1;
    for (Op op : {Op::Store, Op::Move}) {
      // The peer serves one association at a time: one peer per operation.
      scutest::RecordingPeer peer(behaviour);
      QElapsedTimer timer;
      timer.start();
      const auto e = run(op, {.port = peer.port()});
      QVERIFY2(!e, e ? qPrintable(e->description()) : "");
      QVERIFY2(timer.elapsed() < kBoundMs, qPrintable(QString::number(timer.elapsed())));
    }
  }

  // A peer that aborts the association while or after taking the object:
  // the store is a failure, never a success.
  void peerAbortsTheStore_data() {
    QTest::addColumn<QString>("option");
    QTest::newRow("abort during the object") << "--abort-during";
    QTest::newRow("abort before the response") << "--abort-after";
  }
  void peerAbortsTheStore() {
    QFETCH(QString, option);
    QTemporaryDir folder;
    const int port = scutest::closedPort();
    QProcess storescp;
    storescp.start("storescp",
                   {"-aet", "PEER", "-od", folder.path(), option, QString::number(port)});
    QVERIFY(storescp.waitForStarted(5000));
    auto listening = [&] {
      QTcpSocket socket;
      socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
      return socket.waitForConnected(200);
    };
    QTRY_VERIFY_WITH_TIMEOUT(listening(), 10000);
    const auto e = run(Op::Store, {.port = port});
    storescp.kill();
    storescp.waitForFinished(5000);
    QVERIFY(e);
    QVERIFY2(e->description().contains(QString::number(port)), qPrintable(e->description()));
  }

  // Final statuses. A store succeeds on success and the three warnings; a
  // find fails on anything but success, even after matches came in (never a
  // silently short list); a move fails unless every sub-operation succeeded.
  // A failure names the status, a move's counts and destination, and the
  // comment the peer gave.
  void statuses_data() {
    QTest::addColumn<Op>("op");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("completed");  // a move's sub-operations
    QTest::addColumn<int>("failed");
    QTest::addColumn<int>("warning");
    QTest::addColumn<int>("expected");  // -1: success
    QTest::newRow("store: success") << Op::Store << 0x0000 << 0 << 0 << 0 << -1;
    QTest::newRow("store: coercion warning") << Op::Store << 0xB000 << 0 << 0 << 0 << -1;
    QTest::newRow("store: elements discarded") << Op::Store << 0xB006 << 0 << 0 << 0 << -1;
    QTest::newRow("store: SOP class mismatch warning") << Op::Store << 0xB007 << 0 << 0 << 0 << -1;
    QTest::newRow("store: other B code") << Op::Store << 0xB123 << 0 << 0 << 0 << 0xB123;
    QTest::newRow("store: out of resources") << Op::Store << 0xA700 << 0 << 0 << 0 << 0xA700;
    QTest::newRow("store: cannot understand") << Op::Store << 0xC123 << 0 << 0 << 0 << 0xC123;
    QTest::newRow("store: processing failure") << Op::Store << 0x0110 << 0 << 0 << 0 << 0x0110;
    QTest::newRow("store: pending is no answer") << Op::Store << 0xFF00 << 0 << 0 << 0 << 0xFF00;
    QTest::newRow("find: unable to process") << Op::Find << 0xC000 << 0 << 0 << 0 << 0xC000;
    QTest::newRow("find: out of resources") << Op::Find << 0xA700 << 0 << 0 << 0 << 0xA700;
    QTest::newRow("find: cancelled") << Op::Find << 0xFE00 << 0 << 0 << 0 << 0xFE00;
    QTest::newRow("find: warning is no success") << Op::Find << 0xB000 << 0 << 0 << 0 << 0xB000;
    QTest::newRow("move: success") << Op::Move << 0x0000 << 4 << 0 << 0 << -1;
    QTest::newRow("move: success with warnings") << Op::Move << 0x0000 << 3 << 0 << 1 << -1;
    QTest::newRow("move: sub-operations failed") << Op::Move << 0xB000 << 3 << 1 << 0 << 0xB000;
    QTest::newRow("move: failure after partial delivery")
        << Op::Move << 0xC000 << 2 << 2 << 0 << 0xC000;
    QTest::newRow("move: destination unknown") << Op::Move << 0xA801 << 0 << 0 << 0 << 0xA801;
    QTest::newRow("move: success that counts failures")
        << Op::Move << 0x0000 << 3 << 1 << 0 << 0xB000;
  }
  void statuses() {
    QFETCH(Op, op);
    QFETCH(int, status);
    QFETCH(int, completed);
    QFETCH(int, failed);
    QFETCH(int, warning);
    QFETCH(int, expected);
    scutest::PeerBehaviour behaviour;
    behaviour.findStatus = behaviour.storeStatus = behaviour.moveStatus = std::uint16_t(status);
    behaviour.storeErrorComment = "disk full";
    for (const char* uid : {"1.2.3.1", "1.2.3.2"}) {
      auto match = std::make_shared<DcmDataset>();
      match->putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
      match->putAndInsertString(DCM_StudyInstanceUID, uid);
      behaviour.findMatches.push_back(match);
    }
    behaviour.moveCompleted = completed;
    behaviour.moveFailed = failed;
    behaviour.moveWarning = warning;
    behaviour.moveFailedUIDs = status == 0xB000 ? "1.2.3.4.5" : "";
    scutest::RecordingPeer peer(behaviour);
    const auto e = run(op, {.port = peer.port()});
    QVERIFY(peer.waitForEnd(1, 5000));
    if (expected == -1) {
      QVERIFY2(!e, e ? qPrintable(e->description()) : "");
      QVERIFY(peer.record().released);
      return;
    }
    QVERIFY(e);
    QCOMPARE(e->number(), expected);
    QStringList parts{hex(status)};
    if (op == Op::Store) parts << "disk full";
    if (op == Op::Move) {
      parts << QString("%1 completed").arg(completed) << QString("%1 failed").arg(failed)
            << QString("%1 with warnings").arg(warning) << "BREVANT"
            << QString::fromStdString(behaviour.moveFailedUIDs);
    }
    for (const QString& part : parts)
      QVERIFY2(e->description().contains(part), qPrintable(e->description()));
    if (op == Op::Store) QVERIFY(!peer.record().released);  // a refused store aborts
  }
};

QTEST_GUILESS_MAIN(ScuErrorTest)
#include "ScuErrorTest.moc"
