// The DICOM client against loopback peers of our own: every way a find,
// move or store can go wrong ends in time in a DicomError with the right
// number and a description that names the peer, never as a success.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmnet/cond.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>
#include <future>
#include <numeric>
#include <optional>

#include "SampleStudy.h"
#include "ScuPeer.h"
#include "dicom/core/DicomError.h"
#include "dicom/dcmtk/DcmtkImage.h"
#include "dicom/dcmtk/DcmtkNet.h"
#include "dicom/dcmtk/DcmtkToolkit.h"

using dicom::DicomError;
using namespace dicom::OwnError;

namespace {

// Short timeouts keep the silent peers cheap; name lookup keeps two seconds.
dicom::dcmtk::Timeouts shortTimeouts() {
  dicom::dcmtk::Timeouts timeouts;
  timeouts.connectSeconds = 2;
  timeouts.associationSeconds = timeouts.messageSeconds = 1;
  return timeouts;
}
const dicom::dcmtk::Timeouts kShort = shortTimeouts();
constexpr qint64 kBoundMs = 8000;  // the longest any call may take with kShort

enum class Op { Find, Move, Store };

// What an operation asks for: the defaults at a port, with "key=value" changes.
using Request = QMap<QString, QString>;
Request request(int port, const QString& changes = "") {
  Request r{{"host", "127.0.0.1"},
            {"port", QString::number(port)},
            {"called", "PEER"},
            {"calling", "BREVANT"},
            {"study", "1.2.826.0.1.3680043.8.498.1"}};
  for (const QString& change : changes.split(' ', Qt::SkipEmptyParts)) {
    r[change.section('=', 0, 0)] = change.section('=', 1);
  }
  return r;
}

}  // namespace

Q_DECLARE_METATYPE(Op)

class ScuErrorTest : public QObject {
  Q_OBJECT

 private:
  dicom::dcmtk::DcmtkToolkit toolkit_{kShort};
  QTemporaryDir dir_;
  samples::StudySpec spec_;
  QString imagePath_;  // one small JPEG-LS image

  // What one operation came to: the DicomError it raised (nothing on
  // success), how long the call itself took, and a find's matches.
  struct Outcome {
    std::optional<DicomError> error;
    double seconds = 0;
    dicom::MatchCollection found;
    bool pixelsKept = true;  // a store: the image holds its pixel data as before
  };

  static QByteArray pixelBytes(const dicom::dcmtk::DcmtkImage& image) {
    DcmElement* element = nullptr;
    Uint8* bytes = nullptr;
    if (image.file().getDataset()->findAndGetElement(DCM_PixelData, element).bad() ||
        element->getUint8Array(bytes).bad() || bytes == nullptr) {
      return {};
    }
    return QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(element->getLength()));
  }

  // Runs one operation; safe on any thread. A store of "megabytes=n" sends
  // an uncompressed object of that size; a move with "bytes=ms" sees image
  // bytes arrive, 1,000 a millisecond, for that many milliseconds, and one
  // with "stop=ms" is stopped by the station after that many.
  Outcome call(Op op, const Request& r, const dicom::dcmtk::Timeouts& timeouts = kShort,
               int maxMatches = 0) const {
    Outcome outcome;
    QElapsedTimer clock;
    try {
      const dicom::Peer archive{r["called"], r["host"], dicom::Port(r["port"])};
      const dicom::StationIdentity station{r["calling"], dicom::Port()};
      if (op == Op::Store) {
        auto file = std::make_unique<DcmFileFormat>();
        DcmDataset& d = *file->getDataset();
        if (r.contains("megabytes")) {
          std::vector<Uint16> ramp(r["megabytes"].toULong() << 19);
          std::iota(ramp.begin(), ramp.end(), Uint16(0));
          d.putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
          d.putAndInsertString(DCM_SOPInstanceUID, "1.2.826.0.1.3680043.8.498.9");
          d.putAndInsertUint16Array(DCM_PixelData, ramp.data(), ramp.size());
        } else if (file->loadFile(imagePath_.toLocal8Bit().constData()).bad()) {
          qFatal("no sample");
        }
        dicom::dcmtk::DcmtkImage image(std::move(file), timeouts);
        const QByteArray before = pixelBytes(image);
        const auto kept = qScopeGuard([&] { outcome.pixelsKept = pixelBytes(image) == before; });
        clock.start();
        image.send(archive, station);
      } else {
        // The calling AE title is the station's, and so the move's destination.
        auto q = dicom::dcmtk::makeQuery(timeouts, archive, station);
        q->setStudyUID(r["study"]);
        if (r.contains("bytes")) {
          QElapsedTimer arriving;
          arriving.start();
          q->setProgressCounter([arriving, until = r["bytes"].toLongLong()] {
            return std::uint64_t(std::min(arriving.elapsed(), until)) * 1000;
          });
        }
        clock.start();
        if (r.contains("stop")) {
          q->setStopRequest(
              [clock, after = r["stop"].toLongLong()] { return clock.elapsed() >= after; });
        }
        if (op == Op::Find) outcome.found = q->find(q->newDataSet(), maxMatches);
        if (op == Op::Move) q->move();
      }
    } catch (const DicomError& e) {
      outcome.error = e;
    }
    outcome.seconds = clock.isValid() ? clock.elapsed() / 1000.0 : 0;
    return outcome;
  }

 private slots:
  void initTestCase() {
    spec_.rows = 64;
    spec_.columns = 48;
    spec_.images = 1;
    spec_.syntax = samples::Syntax::JpegLs;
    imagePath_ = samples::writeStudy(spec_, dir_.path()).front().path;
  }

  // Values that cannot be used are refused before the peer sees anything;
  // each way of not reaching a working peer fails in time. A call leaves the
  // event loop of its thread running while it waits, as the user-interface
  // thread's must: its timers fire all along while a silent peer holds it.
  void noWorkingPeer_data() {
    QTest::addColumn<QString>("peer");  // what listens at the port
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("number");  // 0: a DCMTK condition or a timeout
    QTest::addColumn<QString>("named");
    const auto row = [](const char* tag, const char* peer, const char* target, int number,
                        const char* named) {
      QTest::newRow(tag) << QString(peer) << QString(target) << number << QString(named);
    };
    row("port 0", "recording", "port=0", InvalidArgument, "port 0");
    row("empty called AE", "recording", "called=", InvalidArgument, "called AE title is empty");
    row("calling AE too long", "recording", "calling=CALLINGAETITLE123", InvalidArgument,
        "CALLINGAETITLE123");
    row("empty station AE title", "recording", "calling=", InvalidArgument,
        "calling AE title is empty");
    row("no study", "recording", "study=", InvalidArgument, "Study Instance UID");
    row("closed port", "closed", "", 0, "");
    row("unknown host", "closed", "port=104 host=host.invalid", UnknownHost, "is unknown");
    row("wrong called AE title", "recording", "called=SOMEONEELSE", AssociationRejected,
        "Called AE Title Not Recognized");
    row("listener that never answers", "listener", "", Timeout, "no connection");
    row("peer that takes the request and never answers", "silent", "", Timeout,
        "nothing came from the peer");
    row("peer that takes the request and aborts", "abort", "", 0, "");
  }
  void noWorkingPeer() {
    QFETCH(QString, peer);
    QFETCH(QString, target);
    QFETCH(int, number);
    QFETCH(QString, named);
    scutest::PeerBehaviour behaviour;
    behaviour.silent = peer == "silent";
    behaviour.abort = peer == "abort";
    std::optional<scutest::RecordingPeer> recording;
    if (peer != "closed" && peer != "listener") recording.emplace(behaviour);
    QTcpServer listener;  // the kernel completes connections; nobody answers
    int port = recording ? recording->port() : scutest::closedPort();
    if (peer == "listener" && listener.listen(QHostAddress::LocalHost))
      port = listener.serverPort();
    const Request at = request(port, target);
    std::vector<Op> ops = {Op::Find, Op::Move, Op::Store};
    if (at["study"].isEmpty()) ops = {Op::Move};
    for (Op op : ops) {
      int ticks = 0;
      QTimer ticker;
      connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
      ticker.start(20);
      QElapsedTimer timer;
      timer.start();
      const auto e = call(op, at).error;
      QVERIFY2(e, "reported as a success");
      const QString d = e->description();
      const bool condition = (e->number() & 0xFF000000) == 0x01000000 || e->number() == Timeout;
      QVERIFY2(number ? e->number() == number : condition,
               qPrintable(QString::number(e->number())));
      QVERIFY2(d.contains(named, Qt::CaseInsensitive), qPrintable(d));
      if (number != InvalidArgument) {
        const QString where = QString("\"%1\" at %2:%3").arg(at["called"], at["host"], at["port"]);
        QVERIFY2(d.contains(where), qPrintable(d));
      }
      QVERIFY2(timer.elapsed() < kBoundMs, qPrintable(QString::number(timer.elapsed())));
      if (peer == "silent") QVERIFY2(ticks >= 20, qPrintable(QString::number(ticks)));
    }
    if (number == InvalidArgument) QCOMPARE(recording->record().associations, 0);
    if (peer == "silent" || peer == "abort") {  // the requests arrived: no answer came
      const auto record = recording->record();
      QVERIFY(record.findIdentifier && record.moveIdentifier && record.stored);
    }
  }

  // Final statuses: a store succeeds on success and warnings, a find on
  // success alone, a move when every sub-operation succeeded, even when the
  // peer never answers the release; a failure names the status, counts,
  // destination and the peer's comment.
  void statuses_data() {
    QTest::addColumn<Op>("op");
    QTest::addColumn<int>("status");
    QTest::addColumn<QList<int>>("counts");  // move: completed, failed, warning; find: count, limit
    QTest::addColumn<int>("expected");       // -1: success
    const auto row = [](const char* tag, Op op, int status, QList<int> counts, int expected) {
      QTest::newRow(tag) << op << status << counts << expected;
    };
    row("store: success", Op::Store, 0x0000, {}, -1);
    row("store: success, release unanswered", Op::Store, 0x0000, {}, -1);
    row("store: coercion warning", Op::Store, 0xB000, {}, -1);
    row("store: SOP class mismatch warning", Op::Store, 0xB007, {}, -1);
    row("store: other B code", Op::Store, 0xB123, {}, 0xB123);
    row("store: out of resources", Op::Store, 0xA700, {}, 0xA700);
    row("store: cannot understand", Op::Store, 0xC123, {}, 0xC123);
    row("store: processing failure", Op::Store, 0x0110, {}, 0x0110);
    row("store: pending is no answer", Op::Store, 0xFF00, {}, 0xFF00);
    row("find: unable to process", Op::Find, 0xC000, {}, 0xC000);
    row("find: out of resources", Op::Find, 0xA700, {}, 0xA700);
    row("find: cancelled", Op::Find, 0xFE00, {}, 0xFE00);
    row("find: warning is no success", Op::Find, 0xB000, {}, 0xB000);
    row("find: 1,000 matches cut at 400", Op::Find, 0x0000, {1000, 400}, -1);
    row("find: 1,000 matches without a limit", Op::Find, 0x0000, {1000, 0}, -1);
    row("move: success", Op::Move, 0x0000, {4, 0, 0}, -1);
    row("move: success, release unanswered", Op::Move, 0x0000, {4, 0, 0}, -1);
    row("move: success with warnings", Op::Move, 0x0000, {3, 0, 1}, -1);
    row("move: sub-operations failed", Op::Move, 0xB000, {3, 1, 0}, 0xB000);
    row("move: failure after partial delivery", Op::Move, 0xC000, {2, 2, 0}, 0xC000);
    row("move: destination unknown", Op::Move, 0xA801, {0, 0, 0}, 0xA801);
    row("move: success that counts failures", Op::Move, 0x0000, {3, 1, 0}, 0xB000);
  }
  void statuses() {
    QFETCH(Op, op);
    QFETCH(int, status);
    QFETCH(QList<int>, counts);
    QFETCH(int, expected);
    scutest::PeerBehaviour behaviour;
    behaviour.status = std::uint16_t(status);
    behaviour.storeErrorComment = "disk full";
    behaviour.ignoreRelease = QString(QTest::currentDataTag()).contains("release unanswered");
    const bool many = op == Op::Find && !counts.isEmpty();
    for (int i = 1; i <= (many ? counts[0] : 2); ++i) {
      auto match = std::make_shared<DcmDataset>();
      match->putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
      match->putAndInsertString(DCM_StudyInstanceUID, qPrintable(QString("1.2.3.%1").arg(i)));
      behaviour.findMatches.push_back(match);
    }
    if (op == Op::Move) {
      behaviour.moveCompleted = counts[0];
      behaviour.moveFailed = counts[1];
      behaviour.moveWarning = counts[2];
      behaviour.moveFailedUIDs = status == 0xB000 ? "1.2.3.4.5" : "";
    }
    scutest::RecordingPeer peer(behaviour);
    QElapsedTimer timer;
    timer.start();
    // Two stores send an uncompressed object: it goes out whole, and stays whole here,
    // whether the peer takes it or refuses it.
    const bool native = op == Op::Store && (status == 0xB000 || status == 0xA700);
    const Outcome outcome =
        call(op, request(peer.port(), native ? "megabytes=1" : ""), kShort, many ? counts[1] : 0);
    const auto& e = outcome.error;
    QVERIFY2(timer.elapsed() < kBoundMs, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(outcome.pixelsKept);
    if (expected == -1) {
      QVERIFY2(!e, e ? qPrintable(e->description()) : "");
      if (!behaviour.ignoreRelease) QVERIFY(peer.waitForEnd(1, 5000) && peer.record().released);
      if (many) {  // cut at the limit, and the find cancelled on the peer
        QCOMPARE(outcome.found.count(), counts[1] ? counts[1] : counts[0]);
        QCOMPARE(outcome.found.truncated(), counts[1] > 0);
        QCOMPARE(peer.record().cancelled, counts[1] > 0);
      }
      if (op != Op::Store) return;
      // What the peer stored is the image: the JPEG-LS object decoded without loss (the peer
      // takes only uncompressed), the uncompressed one as it is.
      const Uint16* words = nullptr;
      unsigned long count = 0;
      QVERIFY(peer.record().stored->findAndGetUint16Array(DCM_PixelData, words, &count).good());
      std::vector<std::uint16_t> sent(native ? 1 << 19 : 0);
      std::iota(sent.begin(), sent.end(), std::uint16_t(0));
      QVERIFY(std::vector<std::uint16_t>(words, words + count) ==
              (native ? sent : samples::pixels(spec_, 0)));
      return;
    }
    QVERIFY(e);
    QCOMPARE(e->number(), expected);
    QStringList parts{"0x" + QString::number(status, 16).rightJustified(4, '0').toUpper()};
    if (op == Op::Store) parts << "disk full";
    if (op == Op::Move) {
      parts << QString("%1 completed").arg(counts[0]) << QString("%1 failed").arg(counts[1])
            << QString("%1 with warnings").arg(counts[2]) << "BREVANT"
            << QString::fromStdString(behaviour.moveFailedUIDs);
    }
    for (const QString& part : parts) {
      QVERIFY2(e->description().contains(part), qPrintable(e->description()));
    }
    QVERIFY(peer.waitForEnd(1, 5000));
    if (op == Op::Store) QVERIFY(!peer.record().released);  // a refused store aborts
  }

  // An archive's answers the station must not parse: each ends the call at
  // once with the reason (scanned before DCMTK's parser sees a byte: a deep
  // sequence would end the station on the thread that parses it), the
  // association aborted, and the station goes on.
  void hostileAnswer_data() {
    QTest::addColumn<Op>("op");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("reason");
    const auto row = [](const char* tag, Op op, const char* answer, const char* reason) {
      QTest::newRow(tag) << op << QString(answer) << QString(reason);
    };
    row("find: a match nested 10,000 deep (360 KB)", Op::Find, "deepMatch=10000",
        "the data set sequences nested deeper than 64 levels");
    row("find: a match of 17 MB", Op::Find, "hugeMatch=17000000",
        "the data set element (0009,1010) declares 17000000 bytes");
    row("find: a command set nested 100,000 deep (3.2 MB)", Op::Find, "deepCommand=100000",
        "the command set sequences nested deeper than 0 levels");
    row("move: a command set nested 100,000 deep", Op::Move, "deepCommand=100000",
        "the command set sequences nested deeper than 0 levels");
    row("store: a command set nested 100,000 deep", Op::Store, "deepCommand=100000",
        "the command set sequences nested deeper than 0 levels");
  }
  void hostileAnswer() {
    QFETCH(Op, op);
    QFETCH(QString, answer);
    QFETCH(QString, reason);
    scutest::PeerBehaviour behaviour;
    const int amount = answer.section('=', 1).toInt();
    if (answer.startsWith("deepMatch")) behaviour.deepMatch = amount;
    if (answer.startsWith("hugeMatch")) behaviour.hugeMatch = std::size_t(amount);
    if (answer.startsWith("deepCommand")) behaviour.deepCommand = amount;
    scutest::RecordingPeer peer(behaviour);
    const Outcome outcome = call(op, request(peer.port()));
    const auto& e = outcome.error;
    QVERIFY2(e, "reported as a success");
    const OFCondition refused(DIMSE_PARSEFAILED);
    QCOMPARE(e->number(), dicom::conditionNumber(refused.module(), refused.code()));
    QVERIFY2(e->description().contains("the peer's answer was refused unread: " + reason) &&
                 e->description().contains(QString("\"PEER\" at 127.0.0.1:%1").arg(peer.port())),
             qPrintable(e->description()));
    QVERIFY2(outcome.seconds < 5, qPrintable(QString::number(outcome.seconds)));
    QVERIFY(peer.waitForEnd(1, 5000));
    QVERIFY(!peer.record().released);
  }

  // Peers that keep a call going without finishing it: it ends at the limit
  // reached first, overall or idle, named with the time really waited. A
  // move goes on past the idle limit while image bytes arrive, and only
  // then: pending responses and a rising completed count are no progress,
  // and the failure says what came and what did not. A move the station
  // stops ends at once, its association with it.
  void pacedPeer_data() {
    QTest::addColumn<Op>("op");
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QList<int>>("limits");  // idle (messageSeconds), overall (findSeconds)
    QTest::addColumn<QString>("named");      // in the description; empty: a success
    QTest::addColumn<int>("ends");           // seconds after the call began
    const auto row = [](const char* tag, Op op, const char* peer, QList<int> limits,
                        const char* named, int ends) {
      QTest::newRow(tag) << op << QString(peer) << limits << QString(named) << ends;
    };
    row("find: silent, overall limit", Op::Find, "silent", {20, 3}, "did not finish within 3 s", 3);
    row("move: silent", Op::Move, "silent", {2, 30}, "nothing came from the peer for 2 s", 2);
    row("move: completed rising, no image", Op::Move, "rising", {2, 30},
        "no image data arrived for 2 s (none of the study had arrived), although the peer sent", 2);
    row("move: image bytes arriving", Op::Move, "rising bytes=100000", {2, 30}, "", 4);
    row("move: image bytes, then none", Op::Move, "pending bytes=1000", {2, 30},
        "of the study had arrived before), although the peer sent", 3);
    row("move: stopped by the station", Op::Move, "pending stop=1000", {20, 30},
        "stopped by the station after", 1);
  }
  void pacedPeer() {
    QFETCH(Op, op);
    QFETCH(QString, peer);
    QFETCH(QList<int>, limits);
    QFETCH(QString, named);
    QFETCH(int, ends);
    const QString bytes = peer.section(' ', 1);
    peer = peer.section(' ', 0, 0);
    scutest::PeerBehaviour behaviour;
    behaviour.silent = peer == "silent";
    behaviour.risingUpTo = peer == "rising" ? 4 : 0;
    // 30 s: beyond every limit here; 4 s to a success while bytes arrive
    behaviour.pacedPendings = peer == "rising" && !bytes.isEmpty() ? 4 : 30;
    behaviour.findMatches = {std::make_shared<DcmDataset>()};
    behaviour.findMatches[0]->putAndInsertString(DCM_StudyInstanceUID, "1.2.3.1");
    scutest::RecordingPeer recording(behaviour);
    dicom::dcmtk::Timeouts timeouts = kShort;
    timeouts.messageSeconds = limits[0];
    timeouts.findSeconds = limits[1];
    const Outcome outcome = call(op, request(recording.port(), bytes), timeouts);
    const auto& e = outcome.error;
    const double waited = outcome.seconds;
    QVERIFY2(waited > ends - 0.5 && waited < ends + 3, qPrintable(QString::number(waited)));
    const int number = named.startsWith("stopped") ? Stopped : Timeout;
    QVERIFY2(!e == named.isEmpty() && (!e || e->number() == number),
             e ? qPrintable(e->description()) : "a success");
    if (!e) return;
    QVERIFY(recording.waitForEnd(1, 5000));
    const auto said = QRegularExpression("after ([0-9.]+) s").match(e->description());
    QVERIFY2(e->description().contains(named) && said.hasMatch() &&
                 qAbs(said.captured(1).toDouble() - waited) < 0.5,
             qPrintable(e->description() + QString(" (waited %1 s)").arg(waited)));
  }

  // The limits hold as the toolkit sets them, with no test choosing them: a
  // find answered with a pending match each second ends at its 30 s, a move
  // answered with pendings and no image at the 20 s idle limit, a store to a
  // peer that stops reading at the same. The three run side by side.
  void defaultLimits() {
    const dicom::dcmtk::Timeouts defaults = dicom::dcmtk::DcmtkToolkit().timeouts();
    struct Case {
      Op op;
      bool deaf;
      double ends;
      QString named;
    };
    const std::vector<Case> cases = {{Op::Find, false, 30, "did not finish within 30 s"},
                                     {Op::Move, false, 20, "no image data arrived for 20 s"},
                                     {Op::Store, true, 20, "nothing came from the peer for 20 s"}};
    std::vector<std::unique_ptr<scutest::RecordingPeer>> peers;
    std::vector<std::future<Outcome>> outcomes;
    for (const Case& c : cases) {
      scutest::PeerBehaviour behaviour;
      behaviour.deaf = c.deaf;
      behaviour.pacedPendings = 60;
      behaviour.findMatches = {std::make_shared<DcmDataset>()};
      behaviour.findMatches[0]->putAndInsertString(DCM_StudyInstanceUID, "1.2.3.1");
      peers.push_back(std::make_unique<scutest::RecordingPeer>(behaviour));
      // 16 MB: four times what loopback buffers hold for a peer that stops reading
      const Request r = request(peers.back()->port(), c.deaf ? "megabytes=16" : "");
      outcomes.push_back(
          std::async(std::launch::async, [=, this] { return call(c.op, r, defaults); }));
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const Outcome outcome = outcomes[i].get();
      const QString d = outcome.error ? outcome.error->description() : "a success";
      QVERIFY2(outcome.error && outcome.error->number() == Timeout && d.contains(cases[i].named),
               qPrintable(d));
      QVERIFY2(qAbs(outcome.seconds - cases[i].ends) < 1.5,
               qPrintable(QString("%1 s: %2").arg(outcome.seconds).arg(d)));
    }
  }
};

QTEST_GUILESS_MAIN(ScuErrorTest)
#include "ScuErrorTest.moc"
