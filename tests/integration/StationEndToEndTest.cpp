// The whole station against real archives, through the real windows
// offscreen: search, retrieve, select, label, update, and what the archive
// holds afterwards, on each kind of archive and across a stopped one; a
// refused move; another sender pushing; labels that outlive a killed
// station; a list of studies worked with "Next Study" alone.

#include <QProcess>
#include <QTcpServer>
#include <QtTest>
#include <cstdio>
#include <map>

#include "Station.h"
#include "common/AppDir.h"
#include "settings/modMain.h"

Q_DECLARE_METATYPE(samples::Syntax)

class StationEndToEndTest : public QObject, StationFixture {
  Q_OBJECT
 private:
  Archive archive_;

  // An update that fails: one message box saying why, one "Send" line, and
  // the markers stay.
  void updateFails(const QString& why, int marked) {
    messages_.clear();
    QDir(stationDir_.filePath("Logs")).removeRecursively();
    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(messages_.size(), 1);
    QVERIFY2(messages_[0].startsWith("main: ") && messages_[0].contains(why),
             qPrintable(messages_[0]));
    QCOMPARE(log().count("\r\n"), 1);
    QVERIFY(log().contains(" - Send\r\n"));
    QCOMPARE(window_->dcmViewer->images().markedCount(), marked);
  }

  // The station as the composition root starts it: its settings read from
  // the file, its windows wired.
  void startStation() {
    settings_ = {};
    modMain::LoadConnectionSettings(settings_);
    openWindows();
  }

  // The instance and outcome of the audit trail's last record.
  QString lastAudited() const {
    QFile file(stationDir_.filePath("Logs/Audit.log"));
    if (!file.open(QIODevice::ReadOnly)) return "no audit trail";
    const QStringList lines = QString::fromUtf8(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
    const QStringList f = lines.last().split("\",\"");
    return f.value(10) + " " + f.value(13);
  }

 private slots:
  void initTestCase() {
    QVERIFY2(archive_.problem().isEmpty(), qPrintable(archive_.problem()));
    const QString inherited = qEnvironmentVariable("BREVANT_STATION_DIR");
    common::setAppDirectoryForTesting(inherited.isEmpty() ? stationDir_.path() : inherited);
  }

  void init() {
    // The station killed by labelsOutliveAKill works on what its parent seeded.
    if (qEnvironmentVariableIsEmpty("BREVANT_KILL_ME")) {
      archive_.clear();
      QCOMPARE(archive_.instanceCount(), 0);  // the fixture's archive answers and is empty
    }
    QDir(stationDir_.filePath("Logs")).removeRecursively();
    QFile::remove(frmMain::journalPath());  // each test starts a station with no unsent labels
    messages_.clear();
    pointAt(archive_);
    QVERIFY(modMain::SaveConnectionSettings(settings_));
    startStation();
  }

  void cleanup() { closeWindows(); }

  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  // Labels given and not sent outlive a station killed with SIGKILL: the
  // next start offers them, retrieves the study, gives the same images the
  // same labels, marked, and an update takes them to the archive.
  void labelsOutliveAKill() {
#ifdef Q_OS_WIN
    QSKIP("the station is killed with SIGKILL");
#endif
    const samples::StudySpec spec = smallStudy("ACC-KILLED");
    if (!qEnvironmentVariableIsEmpty("BREVANT_KILL_ME")) {
      // The station that is killed: it labels two images and waits.
      retrieveAndShow(spec);
      const auto [first, firstLabel] = relabel(1);
      const auto [third, thirdLabel] = relabel(3);
      std::printf("LABELLED %s=%s;%s=%s\n", qPrintable(first), qPrintable(firstLabel),
                  qPrintable(third), qPrintable(thirdLabel));
      std::fflush(stdout);
      QTest::qWait(120000);
      return;
    }
    seed(spec, archive_);
    closeWindows();  // one station at a time on the receiving port
    QProcess station;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("BREVANT_KILL_ME", "1");
    env.insert("BREVANT_STATION_DIR", stationDir_.path());
    station.setProcessEnvironment(env);
    station.start(QCoreApplication::applicationFilePath(), {"labelsOutliveAKill"});
    QByteArray said;
    QElapsedTimer waited;
    waited.start();
    while (!said.startsWith("LABELLED") && waited.elapsed() < 60000) {
      if (!station.canReadLine() && !station.waitForReadyRead(1000)) continue;
      if (station.canReadLine()) said = station.readLine();
    }
    QVERIFY2(said.startsWith("LABELLED "), station.readAll().constData());
    station.kill();  // SIGKILL: nothing of the station runs any more
    QVERIFY(station.waitForFinished(10000));
    QCOMPARE(station.exitStatus(), QProcess::CrashExit);

    startStation();
    QTRY_VERIFY_WITH_TIMEOUT(!messages_.isEmpty(), kReceiveTimeoutMs);
    QVERIFY2(messages_.value(0).startsWith("main: 2 label(s) were given again"),
             qPrintable(messages_.join('|')));
    std::map<QString, QString> given;
    for (const QString& pair : QString::fromLatin1(said.mid(9).trimmed()).split(';')) {
      given[pair.section('=', 0, 0)] = pair.section('=', 1);
    }
    const dicom::ImageCollection& images = window_->dcmViewer->images();
    QCOMPARE(images.markedCount(), 2);
    for (int i = 1; i <= images.count(); ++i) {
      const QString uid = images.item(i)->attribute(dicom::tags::SOPInstanceUID).value();
      QCOMPARE(images.item(i)->changed(), given.count(uid) == 1);
      if (given.count(uid)) QCOMPARE(station::labelOf(*images.item(i)), given[uid]);
    }
    updateSucceeds();
    for (const auto& [uid, label] : given) QCOMPARE(archive_.label(uid), label);
  }

  void retrievesLabelsAndUpdatesAStudy_data() {
    QTest::addColumn<samples::Syntax>("syntax");
    using enum samples::Syntax;
    for (auto syntax :
         {ExplicitLittle, ImplicitLittle, Deflated, JpegLossless, JpegLs, Rle, Jpeg2000Lossless}) {
      QTest::newRow(qPrintable(samples::syntaxName(syntax))) << syntax;
    }
  }
  void retrievesLabelsAndUpdatesAStudy() {
    QFETCH(samples::Syntax, syntax);
    const int n = static_cast<int>(syntax);
    samples::StudySpec spec;
    spec.syntax = syntax;
    spec.patientName = "Müller^Jürgen";
    spec.specificCharacterSet = QStringList{"", "ISO_IR 100", "ISO_IR 192"}[n % 3];
    spec.patientID = "E2E-" + QString::number(n);
    spec.accessionNumber = "ACC-E2E-" + QString::number(n);
    spec.studyDate = "20240216";
    spec.bitsStored = 16;
    spec.photometric = n % 2 ? "MONOCHROME1" : "MONOCHROME2";
    const auto written = seed(spec, archive_);
    std::vector<QJsonObject> tags;
    std::vector<QByteArray> pixels;
    for (const auto& image : written) {
      tags.push_back(archive_.instanceTags(image.sopInstanceUID));
      pixels.push_back(archive_.instanceFrame(image.sopInstanceUID));
      QVERIFY(!pixels.back().isEmpty());
    }

    retrieveAndShow(spec);
    // The search window closed itself; it is deleted once events run, and the
    // images may all have arrived while the move was still waiting.
    QTRY_VERIFY(!search_);
    dicom::ImageCollection& images = window_->dcmViewer->images();
    QCOMPARE(images.count(), 4);
    QCOMPARE(window_->txtPatID->text(), spec.patientID);
    QCOMPARE(window_->txtPatName->text(), QString("Müller Jürgen"));
    QCOMPARE(window_->txtStudyDate->text(), spec.studyDate);
    std::map<QString, int> positionOf;  // arrival order is the archive's
    for (int i = 1; i <= 4; ++i) {
      QVERIFY(!images.item(i)->displayImage().isNull());
      positionOf[images.item(i)->attribute(dicom::tags::SOPInstanceUID).value()] = i;
    }
    const int first = positionOf[written[0].sopInstanceUID];
    const int third = positionOf[written[2].sopInstanceUID];
    QVERIFY(first > 0 && third > 0);

    clickImage(third);
    QCOMPARE(window_->selectedImage(), images.item(third));
    QCOMPARE(window_->orientationColour(2), frmMain::kLightGreen);  // written as "L MLO"
    clickImage(first);
    window_->cmdOrientation_Click(3);  // "R MLO"
    clickImage(third);
    window_->activateWindow();
    QTRY_VERIFY(window_->isActiveWindow());
    QTest::keyClick(window_.get(), Qt::Key_1);  // "L CC" from the keyboard
    QCOMPARE(images.markedCount(), 2);

    updateSucceeds();
    QVERIFY(!window_->toolbarButton("update")->isEnabled());
    QVERIFY(log().isEmpty());

    // What the archive holds now: the labels, every other attribute as it
    // was, the same transfer syntax and the same pixel bytes.
    QCOMPARE(archive_.instanceCount(), 4);
    const QString labels[4] = {"R MLO", "R CC", "L CC", "R MLO"};
    for (std::size_t i = 0; i < 4; ++i) {
      const QString uid = written[i].sopInstanceUID;
      QJsonObject now = archive_.instanceTags(uid);
      QCOMPARE(now.take("SeriesDescription").toString(), labels[i]);
      tags[i].remove("SeriesDescription");
      QCOMPARE(now, tags[i]);
      QCOMPARE(archive_.instanceTransferSyntax(uid), samples::transferSyntaxUID(syntax));
      QVERIFY2(archive_.instanceFrame(uid) == pixels[i], "pixel data changed");
    }
  }

  // A move the archive refuses (no such destination): one log line of the
  // search window, its message over the still open window, nothing received.
  void aRefusedMoveIsLoggedAndShownOverTheOpenSearchWindow() {
    samples::StudySpec spec = smallStudy("ACC-REFUSED");
    spec.images = 1;
    seed(spec, archive_);
    settings_.LocAET = "UNKNOWNAET";
    retrieve(spec);
    QVERIFY(search_);
    QCOMPARE(messages_,
             QStringList{"search: There was an error.\r\nRead the log file for more information."});
    QCOMPARE(log().count("\r\n"), 1);
    QVERIFY(log().contains(" - cmdSearch_Click\r\n"));
    QCOMPARE(window_->lblState->text(), QString("Receiving Images ..."));
    QCOMPARE(window_->dcmViewer->images().count(), 0);
    QVERIFY(!window_->tmrKill->isActive());
  }

  // The whole road on each kind of archive, started here: the labels of
  // three images, stored on one association and read back beside the
  // stores, reach an archive that replaces what it is sent again; one that
  // keeps its first copy is reported by position, not taken for success. Where the label
  // can reach the archive, an update while it is stopped fails and keeps the
  // marker, and once it is back on its ports the next update sends it.
  void updatesOnEachKindOfArchive_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("options");
    QTest::newRow("orthanc replacing") << "archive.sh" << QStringList{};
    QTest::newRow("orthanc keeping its first copy") << "archive.sh" << QStringList{"--keep-first"};
    QTest::newRow("dcmqrscp") << "qrscp.sh" << QStringList{};
  }
  void updatesOnEachKindOfArchive() {
    QFETCH(QString, script);
    QFETCH(QStringList, options);
    options << "--station-port" << QString::number(archive_.stationPort());
#ifdef Q_OS_WIN
    // Wine cannot launch the Linux scripts: the run's archive (started by
    // scripts/test-windows.sh) stands in for Orthanc replacing, a closed port
    // for the stopped archive.
    if (script != "archive.sh" || options.contains("--keep-first")) {
      QSKIP("this archive is started and stopped by a Linux script the test launches");
    }
    Archive& archive = archive_;
#else
    OwnArchive own{script};
    QVERIFY(own.run("start", options));
    Archive& archive = own.archive;
#endif
    pointAt(archive);
    const samples::StudySpec spec = smallStudy("ACC-" + script);
    seed(spec, archive);
    retrieveAndShow(spec);
    QCOMPARE(window_->dcmViewer->images().count(), 4);
    // Three images: the first ones are read back while the next are sent.
    std::vector<std::pair<QString, QString>> relabelled;
    QStringList stored;
    for (int position = 1; position <= 3; ++position) {
      relabelled.push_back(relabel(position));
      stored << archive.label(relabelled.back().first);
    }
    const auto [uid, label] = relabelled.back();
    if (options.contains("--keep-first")) {
      updateFails("kept its earlier copy, so the new label did not reach it (position(s) 1, 2, 3)",
                  3);
      for (int i = 0; i < 3; ++i) QCOMPARE(archive.label(relabelled[i].first), stored[i]);
      QCOMPARE(lastAudited(), uid + " archive kept its earlier copy");
      return;
    }
    updateSucceeds();
    QVERIFY2(log().isEmpty(), log().constData());
    for (const auto& [sent, given] : relabelled) QCOMPARE(archive.label(sent), given);
    QCOMPARE(lastAudited(), uid + " applied");

#ifdef Q_OS_WIN
    relabel(2);
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    settings_.RemotePort = QString::number(closed.serverPort());
    closed.close();
    // Winsock signals a refused connect where DCMTK's wait does not look: it
    // ends at the connect limit.
    updateFails("no connection or association", 1);
    pointAt(archive);
#else
    QVERIFY(own.run("stop"));
    const auto [refusedUid, refusedLabel] = relabel(2);
    updateFails("refused", 1);
    QCOMPARE(lastAudited(), refusedUid + " failed");
    QVERIFY(own.run("start", options << "--dicom-port" << settings_.RemotePort));
    pointAt(own.archive);
#endif
    const auto [again, newLabel] = relabel(2);  // labelling enables the update again
    updateSucceeds();
    QCOMPARE(archive.label(again), newLabel);
  }

  // A day's list: one search finds three studies, and the operator works
  // them with "Next Study" alone, labelling and updating each; each label is
  // read back from the archive. Before each "Next Study" the whole next
  // study is held already, so its move reached the archive while the
  // operator worked on the one before, and it is on screen at once.
  void aListWorkedWithNextStudyOnly() {
    for (int i = 0; i < 3; ++i) {
      samples::StudySpec spec = smallStudy("ACC-LIST-" + QString::number(i));
      spec.patientID = "LIST-1";
      spec.studyDate = QString("2024030%1").arg(i + 1);
      seed(spec, archive_);
    }
    window_->Toolbar1_ButtonClick("search");
    QVERIFY(search_);
    search_->txtPatID->setText("LIST-1");
    search_->cmdSearch_Click();
    QCOMPARE(search_->grid1->rowCount(), 3);
    search_->grid1_RowDoubleClick(1, 3);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->picState->isVisible(), kReceiveTimeoutMs);
    QTRY_VERIFY(!search_);
    const dicom::Reception& reception = window_->dcmViewer->reception();
    const dicom::ImageCollection& images = window_->dcmViewer->images();
    for (int n = 0; n < 3; ++n) {
      const QString study = list_.rows()[std::size_t(n)].studyInstanceUID;
      QCOMPARE(list_.current(), std::optional<int>(n));
      QCOMPARE(images.count(), 4);
      for (int i = 1; i <= 4; ++i) {
        QCOMPARE(images.item(i)->attribute(dicom::tags::StudyInstanceUID).value(), study);
      }
      const auto [uid, label] = relabel(n + 1);
      updateSucceeds();
      QCOMPARE(archive_.label(uid), label);
      QCOMPARE(list_.status(study), QString("updated, 1 relabelled"));
      if (n == 2) break;
      const QString next = list_.rows()[std::size_t(n + 1)].studyInstanceUID;
      QTRY_VERIFY_WITH_TIMEOUT(reception.aheadStudy() == next && reception.aheadCount() == 4,
                               kReceiveTimeoutMs);
      window_->Toolbar1_ButtonClick("next");
      QCOMPARE(images.count(), 4);
      QTRY_VERIFY(!window_->picState->isVisible());
    }
    QVERIFY(!window_->toolbarButton("next")->isEnabled());
    QCOMPARE(reception.aheadStudy(), QString());
    QVERIFY2(log().isEmpty(), log().constData());
  }

  // Another sender (storescu) pushes an object of another study to the
  // station before the retrieval and once the study is on screen (during
  // one: ReceiverGuardTest): the viewer ends up with exactly the retrieved
  // study, its last tile selectable as the grid grows past 3 and 4 (every
  // tile of each grid: MainWindowTest), and each push is refused with a log
  // line naming the sender.
  void anotherSendersPushIsRefused_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("when");
    QTest::newRow("10 images, pushed before") << 10 << "before";
    QTest::newRow("17 images, pushed after") << 17 << "after";
  }
  void anotherSendersPushIsRefused() {
    QFETCH(int, count);
    QFETCH(QString, when);
#ifdef Q_OS_WIN
    QSKIP("the other sender is storescu, a Linux program Wine cannot launch from the test");
#endif
    samples::StudySpec spec, other;
    spec.rows = other.rows = 1024;
    spec.columns = other.columns = 832;
    spec.images = count;
    spec.patientID = "RETRIEVED";
    spec.accessionNumber = "ACC-RETRIEVED";
    seed(spec, archive_);
    other.images = 1;
    other.patientID = "PUSHED";
    const QString pushed = samples::writeStudy(other, samplesDir_.filePath("pushed"))[0].path;
    // The station listens from its first retrieval on.
    retrieveAndShow(spec);
    QProcess push;  // storescu as another AE title
    push.setProcessChannelMode(QProcess::MergedChannels);
    push.start("storescu", {"-aet", "OTHERSENDER", "-aec", archive_.stationAET(), "127.0.0.1",
                            QString::number(archive_.stationPort()), pushed});
    QVERIFY(push.waitForFinished(30000));
    QVERIFY2(push.exitCode() != 0, push.readAll().constData());
    if (when == "before") retrieveAndShow(spec);
    QTRY_COMPARE(log().count("\r\n"), 1);
    QVERIFY(log().contains("from AE title \"OTHERSENDER\"") && log().endsWith(" - Receive\r\n"));
    // An association that carried nothing of the retrieval (a C-ECHO) ends
    // without "No Images" over the study on display.
    QCOMPARE(
        QProcess::execute("echoscu", {"-aec", archive_.stationAET(), "127.0.0.1",
                                      QString::number(window_->dcmViewer->reception().port())}),
        0);
    QTest::qWait(200);
    QVERIFY(!window_->picState->isVisible());
    QCOMPARE(window_->txtPatID->text(), spec.patientID);
    QCOMPARE(window_->dcmViewer->images().count(), count);
    clickImage(count);
    QCOMPARE(window_->selectedImage(), window_->dcmViewer->images().item(count));
  }
};

QTEST_MAIN(StationEndToEndTest)
#include "StationEndToEndTest.moc"
