// Failure classes of the DICOM client: every way a find, move or store can
// go wrong ends in a DicomError with the right number and a description that
// names the peer, within the configured timeouts, and never as a success.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QElapsedTimer>
#include <QHostAddress>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "SampleStudy.h"
#include "ScuPeer.h"
#include "dicom/DicomError.h"
#include "dicom/dcmtk/DcmtkNet.h"
#include "dicom/dcmtk/DcmtkToolkit.h"

using dicom::DicomError;
using namespace dicom::OwnError;

namespace {

constexpr dicom::dcmtk::Timeouts kShort{2, 2, 2};
// The longest any single call may take with kShort, with room for a loaded machine.
constexpr qint64 kBoundMs = (2 + 2 + 2 + 4) * 1000;

QString hex(int number) {
  return "0x" + QString::number(number, 16).rightJustified(4, QLatin1Char('0')).toUpper();
}

}  // namespace

class ScuErrorTest : public QObject {
  Q_OBJECT

 private:
  dicom::dcmtk::DcmtkToolkit toolkit_{kShort};
  QTemporaryDir dir_;
  QString imagePath_;

  std::unique_ptr<dicom::Query> query(int port, const QString& called = "PEER",
                                      const QString& host = "127.0.0.1") {
    auto q = toolkit_.newQuery();
    q->setNode(host);
    q->setPort(port);
    q->setCalledAE(called);
    q->setCallingAE("BREVANT");
    q->setRoot("STUDY");
    q->setLevel("STUDY");
    q->setDestination("BREVANT");
    q->setStudyUID("1.2.826.0.1.3680043.8.498.1");
    return q;
  }

  void store(int port, const QString& called = "PEER", const QString& host = "127.0.0.1") {
    DcmFileFormat file;
    QVERIFY(file.loadFile(imagePath_.toLocal8Bit().constData()).good());
    dicom::dcmtk::storeObject(file, {host, port, "BREVANT", called}, kShort);
  }

  // Runs the call and returns the DicomError it raised; fails the test when
  // it returned normally or raised anything else.
  template <typename F>
  std::optional<DicomError> failure(F&& call) {
    try {
      call();
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
    const auto written = samples::writeStudy(spec, dir_.path());
    QCOMPARE(written.size(), size_t(1));
    imagePath_ = written.front().path;
  }

  // Invalid inputs are refused before any network activity: the peer
  // never sees an association.
  void invalidInputsNeverReachThePeer_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("called");
    QTest::addColumn<QString>("calling");
    QTest::addColumn<QString>("expected");
    QTest::newRow("port zero") << 0 << "PEER"
                               << "BREVANT"
                               << "port 0";
    QTest::newRow("negative port") << -5 << "PEER"
                                   << "BREVANT"
                                   << "port -5";
    QTest::newRow("port too large") << 65536 << "PEER"
                                    << "BREVANT"
                                    << "port 65536";
    QTest::newRow("empty called AE") << -1 << ""
                                     << "BREVANT"
                                     << "called AE title is empty";
    QTest::newRow("called AE too long") << -1 << "ABCDEFGHIJKLMNOPQ"
                                        << "BREVANT"
                                        << "ABCDEFGHIJKLMNOPQ";
    QTest::newRow("calling AE too long") << -1 << "PEER"
                                         << "CALLINGAETITLE123"
                                         << "CALLINGAETITLE123";
  }
  void invalidInputsNeverReachThePeer() {
    QFETCH(int, port);
    QFETCH(QString, called);
    QFETCH(QString, calling);
    QFETCH(QString, expected);
    scutest::RecordingPeer peer({});
    const int usedPort = port == -1 ? peer.port() : port;

    auto q = query(usedPort, called);
    q->setCallingAE(calling);
    for (int op = 0; op < 3; ++op) {
      std::optional<DicomError> e;
      if (op == 0) e = failure([&] { q->find(q->newDataSet()); });
      if (op == 1) e = failure([&] { q->move(); });
      if (op == 2) {
        e = failure([&] {
          DcmFileFormat file;
          file.loadFile(imagePath_.toLocal8Bit().constData());
          dicom::dcmtk::storeObject(file, {"127.0.0.1", usedPort, calling, called}, kShort);
        });
      }
      QVERIFY2(e.has_value(), qPrintable(QString("operation %1 did not fail").arg(op)));
      QCOMPARE(e->number(), InvalidArgument);
      QVERIFY2(e->description().contains(expected), qPrintable(e->description()));
    }
    QCOMPARE(peer.record().associations, 0);
  }

  void invalidMoveRequestsAreRefused() {
    scutest::RecordingPeer peer({});
    auto q = query(peer.port());
    q->setDestination("");
    auto e = failure([&] { q->move(); });
    QVERIFY(e);
    QCOMPARE(e->number(), InvalidArgument);
    QVERIFY2(e->description().contains("move destination"), qPrintable(e->description()));

    q = query(peer.port());
    q->setStudyUID("");
    e = failure([&] { q->move(); });
    QVERIFY(e);
    QCOMPARE(e->number(), InvalidArgument);
    QVERIFY2(e->description().contains("Study Instance UID"), qPrintable(e->description()));
    QCOMPARE(peer.record().associations, 0);
  }

  void unknownHost() {
    auto q = query(104, "PEER", "host.invalid");
    auto e = failure([&] { q->find(q->newDataSet()); });
    QVERIFY(e);
    QCOMPARE(e->number(), UnknownHost);
    QVERIFY2(e->description().contains("host.invalid"), qPrintable(e->description()));

    e = failure([&] { store(104, "PEER", "host.invalid"); });
    QVERIFY(e);
    QCOMPARE(e->number(), UnknownHost);
  }

  void closedPortFailsPromptly() {
    const int port = scutest::closedPort();
    QElapsedTimer timer;
    timer.start();
    auto q = query(port);
    auto e = failure([&] { q->find(q->newDataSet()); });
    QVERIFY(e);
    QVERIFY2((e->number() & 0xFF000000) == 0x01000000 || e->number() == Timeout,
             qPrintable(hex(e->number())));
    const QString where = QStringLiteral("127.0.0.1:%1").arg(port);
    QVERIFY2(e->description().contains(where), qPrintable(e->description()));
    QVERIFY2(e->description().contains("PEER"), qPrintable(e->description()));

    e = failure([&] { store(port); });
    QVERIFY(e);
    QVERIFY2(e->description().contains(where), qPrintable(e->description()));
    e = failure([&] { query(port)->move(); });
    QVERIFY(e);
    QVERIFY(timer.elapsed() < kBoundMs);
  }

  // A peer that accepts the TCP connection and never answers the
  // association request.
  void silentListenerTimesOut() {
    scutest::SilentListener silent;
    QElapsedTimer timer;
    timer.start();
    auto q = query(silent.port());
    auto e = failure([&] { q->find(q->newDataSet()); });
    QVERIFY(e);
    QCOMPARE(e->number(), Timeout);
    QVERIFY2(e->description().contains(QString::number(silent.port())),
             qPrintable(e->description()));
    QVERIFY2(timer.elapsed() < kBoundMs, qPrintable(QString::number(timer.elapsed())));

    timer.restart();
    e = failure([&] { store(silent.port()); });
    QVERIFY(e);
    QCOMPARE(e->number(), Timeout);
    QVERIFY2(timer.elapsed() < kBoundMs, qPrintable(QString::number(timer.elapsed())));
  }

  // A peer that accepts the association, takes the request and never
  // answers it: each operation ends at the message timeout.
  void silentPeerTimesOutOnTheMessage() {
    scutest::PeerBehaviour behaviour;
    behaviour.silent = true;
    scutest::RecordingPeer peer(behaviour);
    for (int op = 0; op < 3; ++op) {
      QElapsedTimer timer;
      timer.start();
      std::optional<DicomError> e;
      if (op == 0) e = failure([&] { query(peer.port())->find(query(peer.port())->newDataSet()); });
      if (op == 1) e = failure([&] { query(peer.port())->move(); });
      if (op == 2) e = failure([&] { store(peer.port()); });
      QVERIFY2(e, qPrintable(QString("operation %1 did not fail").arg(op)));
      QCOMPARE(e->number(), Timeout);
      QVERIFY2(e->description().contains("PEER"), qPrintable(e->description()));
      QVERIFY2(timer.elapsed() < kBoundMs, qPrintable(QString::number(timer.elapsed())));
    }
    const auto record = peer.record();
    QVERIFY(record.findIdentifier);
    QVERIFY(record.moveIdentifier);
    QVERIFY(record.stored);
  }

  // A peer that confirmed the operation and then never answers the release
  // request cannot hold the caller: the confirmed operation still succeeds.
  void unansweredReleaseEndsInTime() {
    scutest::PeerBehaviour behaviour;
    behaviour.ignoreRelease = true;
    behaviour.moveCompleted = 1;
    scutest::RecordingPeer peer(behaviour);
    QElapsedTimer timer;
    timer.start();
    store(peer.port());
    QVERIFY2(timer.elapsed() < kBoundMs, qPrintable(QString::number(timer.elapsed())));
    // The peer serves one association at a time: a second one for the move.
    scutest::RecordingPeer second(behaviour);
    timer.restart();
    query(second.port())->move();
    QVERIFY2(timer.elapsed() < kBoundMs, qPrintable(QString::number(timer.elapsed())));
  }

  // A peer that aborts the association while or after taking the object:
  // the store is a failure, never a success, and the process survives the
  // broken connection.
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
    QElapsedTimer timer;
    timer.start();
    auto listening = [&] {
      QTcpSocket socket;
      socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
      return socket.waitForConnected(200);
    };
    while (!listening() && timer.elapsed() < 10000) QTest::qWait(50);

    timer.restart();
    auto e = failure([&] { store(port); });
    storescp.kill();
    storescp.waitForFinished(5000);
    QVERIFY(e);
    QVERIFY2(e->description().contains(QString::number(port)), qPrintable(e->description()));
    QVERIFY2(timer.elapsed() < kBoundMs, qPrintable(QString::number(timer.elapsed())));
  }

  void wrongCalledAETitleIsRejected() {
    scutest::RecordingPeer peer({});
    auto q = query(peer.port(), "SOMEONEELSE");
    auto e = failure([&] { q->find(q->newDataSet()); });
    QVERIFY(e);
    QCOMPARE(e->number(), AssociationRejected);
    QVERIFY2(e->description().contains("SOMEONEELSE"), qPrintable(e->description()));
    QVERIFY2(e->description().contains("Called AE Title Not Recognized", Qt::CaseInsensitive),
             qPrintable(e->description()));

    e = failure([&] { store(peer.port(), "SOMEONEELSE"); });
    QVERIFY(e);
    QCOMPARE(e->number(), AssociationRejected);
  }

  // Failure statuses of a store are failures; the three warnings are a
  // confirmed store.
  void storeStatuses_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("success") << 0x0000 << true;
    QTest::newRow("coercion warning") << 0xB000 << true;
    QTest::newRow("elements discarded") << 0xB006 << true;
    QTest::newRow("does not match SOP class (warning)") << 0xB007 << true;
    QTest::newRow("out of resources") << 0xA700 << false;
    QTest::newRow("out of resources, other") << 0xA7FF << false;
    QTest::newRow("data set does not match") << 0xA900 << false;
    QTest::newRow("cannot understand") << 0xC000 << false;
    QTest::newRow("cannot understand, other") << 0xC123 << false;
    QTest::newRow("SOP class not supported") << 0x0122 << false;
    QTest::newRow("processing failure") << 0x0110 << false;
    QTest::newRow("pending is no answer") << 0xFF00 << false;
  }
  void storeStatuses() {
    QFETCH(int, status);
    QFETCH(bool, succeeds);
    scutest::PeerBehaviour behaviour;
    behaviour.storeStatus = static_cast<std::uint16_t>(status);
    behaviour.storeErrorComment = succeeds ? "" : "disk full";
    scutest::RecordingPeer peer(behaviour);
    auto e = failure([&] { store(peer.port()); });
    if (succeeds) {
      QVERIFY2(!e, e ? qPrintable(e->description()) : "");
      QVERIFY(peer.waitForEnd(1, 5000));
      QVERIFY(peer.record().released);
      return;
    }
    QVERIFY(e);
    QCOMPARE(e->number(), status);
    QVERIFY2(e->description().contains(hex(status)), qPrintable(e->description()));
    QVERIFY2(e->description().contains("disk full"), qPrintable(e->description()));
    QVERIFY2(e->description().contains(QString::number(peer.port())), qPrintable(e->description()));
    QVERIFY(peer.waitForEnd(1, 5000));
    QVERIFY(!peer.record().released);
  }

  // A find whose final status is not success fails, even after matches
  // came in: never a silently short list.
  void findFailureStatusAfterMatches_data() {
    QTest::addColumn<int>("status");
    QTest::newRow("unable to process") << 0xC000;
    QTest::newRow("out of resources") << 0xA700;
    QTest::newRow("identifier does not match") << 0xA900;
    QTest::newRow("cancelled") << 0xFE00;
    QTest::newRow("warning is no success") << 0xB000;
  }
  void findFailureStatusAfterMatches() {
    QFETCH(int, status);
    scutest::PeerBehaviour behaviour;
    for (int i = 0; i < 2; ++i) {
      auto match = std::make_shared<DcmDataset>();
      match->putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
      match->putAndInsertString(DCM_StudyInstanceUID, ("1.2.3." + std::to_string(i)).c_str());
      behaviour.findMatches.push_back(match);
    }
    behaviour.findStatus = static_cast<std::uint16_t>(status);
    scutest::RecordingPeer peer(behaviour);
    auto q = query(peer.port());
    auto e = failure([&] { q->find(q->newDataSet()); });
    QVERIFY(e);
    QCOMPARE(e->number(), status);
    QVERIFY2(e->description().contains(hex(status)), qPrintable(e->description()));
    QVERIFY2(e->description().contains("find"), qPrintable(e->description()));
  }

  // A move fails unless every sub-operation succeeded; the description names
  // the status and the counts.
  void moveOutcomes_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("completed");
    QTest::addColumn<int>("failed");
    QTest::addColumn<int>("warning");
    QTest::addColumn<QString>("failedUIDs");
    QTest::addColumn<int>("expected");  // -1: success
    QTest::newRow("success") << 0x0000 << 4 << 0 << 0 << "" << -1;
    QTest::newRow("success with warnings") << 0x0000 << 3 << 0 << 1 << "" << -1;
    QTest::newRow("sub-operations failed") << 0xB000 << 3 << 1 << 0 << "1.2.3.4.5" << 0xB000;
    QTest::newRow("failure after partial delivery") << 0xC000 << 2 << 2 << 0 << "" << 0xC000;
    QTest::newRow("destination unknown") << 0xA801 << 0 << 0 << 0 << "" << 0xA801;
    QTest::newRow("out of resources") << 0xA702 << 0 << 4 << 0 << "" << 0xA702;
    QTest::newRow("cancelled") << 0xFE00 << 1 << 0 << 0 << "" << 0xFE00;
    QTest::newRow("success that counts failures") << 0x0000 << 3 << 1 << 0 << "" << 0xB000;
  }
  void moveOutcomes() {
    QFETCH(int, status);
    QFETCH(int, completed);
    QFETCH(int, failed);
    QFETCH(int, warning);
    QFETCH(QString, failedUIDs);
    QFETCH(int, expected);
    scutest::PeerBehaviour behaviour;
    behaviour.moveStatus = static_cast<std::uint16_t>(status);
    behaviour.moveCompleted = completed;
    behaviour.moveFailed = failed;
    behaviour.moveWarning = warning;
    behaviour.moveFailedUIDs = failedUIDs.toStdString();
    scutest::RecordingPeer peer(behaviour);
    auto e = failure([&] { query(peer.port())->move(); });
    if (expected == -1) {
      QVERIFY2(!e, e ? qPrintable(e->description()) : "");
      QVERIFY(peer.waitForEnd(1, 5000));
      QVERIFY(peer.record().released);
      return;
    }
    QVERIFY(e);
    QCOMPARE(e->number(), expected);
    const QString d = e->description();
    QVERIFY2(d.contains(hex(status)), qPrintable(d));
    QVERIFY2(d.contains(QStringLiteral("%1 completed").arg(completed)), qPrintable(d));
    QVERIFY2(d.contains(QStringLiteral("%1 failed").arg(failed)), qPrintable(d));
    QVERIFY2(d.contains(QStringLiteral("%1 with warnings").arg(warning)), qPrintable(d));
    QVERIFY2(d.contains("BREVANT"), qPrintable(d));
    if (!failedUIDs.isEmpty()) QVERIFY2(d.contains(failedUIDs), qPrintable(d));
  }
};

QTEST_GUILESS_MAIN(ScuErrorTest)
#include "ScuErrorTest.moc"
