// DICOM over TLS, end to end: the whole road through the real windows
// against an Orthanc that speaks only TLS, requires the caller's
// certificate and moves to the station over TLS, with certificates made
// here (tools/certs.sh); the refusals on either side, each named; stalled
// handshakes that hold no real store up; the connection test's verdicts.

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>
#include <QtTest>
#include <memory>
#include <vector>

#include "ScuPeer.h"
#include "Station.h"
#include "common/AppDir.h"
#include "settings/ConnectionTest.h"
#include "settings/frmSettings.h"
#include "settings/modMain.h"

class TlsEndToEndTest : public QObject, StationFixture {
  Q_OBJECT
 private:
  QTemporaryDir certs_;
  OwnArchive own_;

  Archive& archive() { return own_.archive; }
  QString cert(const QString& name) const { return certs_.filePath(name); }

  // The station's settings for the archive, TLS on, presenting the named
  // certificate; its files copied beside the executable and named relatively.
  void pointAt(const Archive& target, const QString& station = "station") {
    for (const QString suffix : {".crt", ".key"}) {
      QFile::remove(stationDir_.filePath("tls/station" + suffix));
      QVERIFY(QFile::copy(cert(station + suffix), stationDir_.filePath("tls/station" + suffix)));
    }
    StationFixture::pointAt(target);
    settings_.TlsEnabled = "1";
    settings_.TlsCertificate = "tls/station.crt";
    settings_.TlsPrivateKey = "tls/station.key";
    settings_.TlsTrustedCertificates = cert("trusted.crt");
  }

  // A search that fails: the search window's error, and the log's line.
  QByteArray searchFails() {
    QDir(stationDir_.filePath("Logs")).removeRecursively();
    messages_.clear();
    window_->Toolbar1_ButtonClick("search");
    if (!search_) return "no search window";
    search_->txtAccNum->setText("ANY");
    search_->cmdSearch_Click();
    const bool shown = messages_.value(0).startsWith("search: There was an error.");
    delete search_.data();
    return shown ? log() : "no error shown: " + messages_.join(" | ").toUtf8();
  }

  void retrieveAndShow(const samples::StudySpec& spec) {
    StationFixture::retrieveAndShow(spec);
    QCOMPARE(window_->dcmViewer->images().count(), 4);
  }

  // Seconds storescu +tls takes to have one object refused by the station
  // (it expects no study): a whole store over TLS, read and answered.
  double tlsStore(const QString& file) {
    QElapsedTimer timer;
    timer.start();
    QProcess::execute("storescu", {"+tls", cert("station.key"), cert("station.crt"), "+cf",
                                   cert("trusted.crt"), "-aet", "ORTHANC", "-aec", settings_.LocAET,
                                   "127.0.0.1", settings_.LocPort, file});
    return timer.elapsed() / 1000.0;
  }

 private slots:
  void initTestCase() {
    QVERIFY(QProcess::execute(BREVANT_TOOLS "certs.sh", {certs_.path()}) == 0);
    QVERIFY(own_.run("start", {"--tls", certs_.path(), "--check-called-aet"}));
    QVERIFY2(archive().problem().isEmpty(), qPrintable(archive().problem()));
    common::setAppDirectoryForTesting(stationDir_.path());
    QVERIFY(QDir(stationDir_.path()).mkpath("tls"));
  }
  void init() {
    QDir(stationDir_.filePath("Logs")).removeRecursively();
    QFile::remove(frmMain::journalPath());
    messages_.clear();
    pointAt(archive());
    openWindows();
  }
  void cleanup() { closeWindows(); }
  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  // Search, retrieve (the archive's sub-operations reach the station over
  // TLS), label, update and read-back, as over plain TCP.
  void wholeRoadOverTls() {
    archive().clear();
    const samples::StudySpec spec = smallStudy("ACC-TLS");
    seed(spec, archive());
    retrieveAndShow(spec);
    const auto [uid, label] = relabel(1);
    updateSucceeds();
    QCOMPARE(archive().label(uid), label);
    QVERIFY2(log().isEmpty(), log().constData());
  }

  // Each refusal is named in the log; a plain sender and 50 stalled
  // handshakes hold no real store up; a retrieval over TLS works after all.
  void refusalsAreNamedAndStallsHoldNothingUp() {
    pointAt(archive(), "rogue");  // the archive does not trust the station
    QVERIFY2(searchFails().contains("does not trust the station's certificate"), log().constData());
    for (const auto& [name, words] :
         {std::pair<QString, QString>{"expired", "the archive's certificate has expired"},
          {"rogue", "the archive's certificate is not trusted"}}) {
      OwnArchive other;
      QVERIFY(other.run("start", {"--tls", certs_.path(), "--tls-name", name}));
      pointAt(other.archive);
      QVERIFY2(searchFails().contains(words.toUtf8()), log().constData());
    }
    pointAt(archive());
    const samples::StudySpec spec = smallStudy("ACC-TLS-REFUSALS");
    const QString object = seed(spec, archive())[0].path;
    retrieveAndShow(spec);  // the receiver listens with TLS from now on

    QDir(stationDir_.filePath("Logs")).removeRecursively();
    QVERIFY(QProcess::execute("storescu", {"-aec", settings_.LocAET, "127.0.0.1", settings_.LocPort,
                                           object}) != 0);
    QTRY_VERIFY(log().contains("does not speak TLS"));

    const double alone = tlsStore(object);
    std::vector<std::unique_ptr<QTcpSocket>> stalled;
    for (int i = 0; i < 50; ++i) {
      stalled.push_back(std::make_unique<QTcpSocket>());
      stalled.back()->connectToHost("127.0.0.1", settings_.LocPort.toUShort());
      QVERIFY(stalled.back()->waitForConnected(5000));
      stalled.back()->write(QByteArray::fromHex("1603010200"));  // a record header, no more
      stalled.back()->flush();
    }
    const double crowded = tlsStore(object);
    QVERIFY2(crowded - alone <= 2.0,
             qPrintable(QString("%1 s against %2 s").arg(crowded).arg(alone)));
    QElapsedTimer ended;
    ended.start();
    for (auto& socket : stalled) {
      if (socket->state() == QAbstractSocket::ConnectedState) socket->waitForDisconnected(15000);
      QCOMPARE(socket->state(), QAbstractSocket::UnconnectedState);
    }
    QVERIFY2(ended.elapsed() < 12000, "stalled handshakes outlived the association limit");

    archive().clear();
    const samples::StudySpec after = smallStudy("ACC-TLS-AFTER");
    seed(after, archive());
    retrieveAndShow(after);
  }

  // The connection test on settings as typed: each verdict in plain words,
  // and a failed test leaves the saved settings alone.
  void connectionTestVerdicts() {
    using modMain::ConnectionVerdict;
    QCOMPARE(modMain::TestConnection(toolkit_, settings_).verdict, ConnectionVerdict::Fine);
    ConnectionSettingsRecord typed = settings_;
    typed.RemoteAET = "WRONG";
    QCOMPARE(modMain::TestConnection(toolkit_, typed).verdict, ConnectionVerdict::RefusesAETitle);
    // Orthanc and dcmqrscp look the study up before the destination; a peer
    // of our own answers the test's move as an archive that checks the
    // destination first (plain TCP).
    scutest::PeerBehaviour unknownDestination;
    unknownDestination.status = 0xA801;
    scutest::RecordingPeer peer(unknownDestination);
    typed = settings_;
    typed.RemoteAET = "PEER";
    typed.RemotePort = QString::number(peer.port());
    typed.TlsEnabled = "0";
    const modMain::ConnectionReport unknown = modMain::TestConnection(toolkit_, typed);
    QVERIFY2(unknown.verdict == ConnectionVerdict::UnknownDestination, qPrintable(unknown.text));
    typed = settings_;
    typed.RemotePort = QString::number(scutest::closedPort());
    QCOMPARE(modMain::TestConnection(toolkit_, typed).verdict, ConnectionVerdict::NoAnswer);

    QVERIFY(modMain::SaveConnectionSettings(settings_));
    frmSettings dialog(settings_, toolkit_);
    dialog.txtTlsCertificate->setText(cert("rogue.crt"));
    dialog.txtTlsPrivateKey->setText(cert("rogue.key"));
    dialog.cmdTest_Click();
    QVERIFY2(dialog.lblTest->text().startsWith("The TLS handshake with the archive") &&
                 dialog.lblTest->text().contains("does not trust the station's certificate"),
             qPrintable(dialog.lblTest->text()));
    ConnectionSettingsRecord saved;
    modMain::LoadConnectionSettings(saved);
    QCOMPARE(saved, settings_);
  }
};

QTEST_MAIN(TlsEndToEndTest)
#include "TlsEndToEndTest.moc"
