// The main window on the fake DICOM layer: a retrieval before and after its
// move, the watchdog, the settings, the question before labels are lost, one
// update at a time, the closer look, images that cannot be shown, and the
// list worked with "Next Study" while the next study is fetched ahead.

#include <QTemporaryDir>
#include <QtTest>
#include <array>
#include <atomic>
#include <mutex>

#include "SampleStudy.h"
#include "common/AppDir.h"
#include "dicom/dcmtk/DcmtkImage.h"
#include "dicom/widgets/TileMarks.h"
#include "main/LabelJournal.h"
#include "main/ViewLabels.h"
#include "main/frmMain.h"
#include "settings/frmSettings.h"
#include "support/FakeDicom.h"
#include "support/Files.h"

class MainWindowTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir dir_;  // Settings.ini
  fake::Toolkit toolkit_;
  ConnectionSettingsRecord settings_;
  search::StudyList list_;
  std::unique_ptr<frmMain> window_;
  QStringList questions_;
  QStringList messages_;  // every message box; checked empty after each test
  bool answer_ = false;

  // The window as the station makes it, showing its messages and asking its
  // questions through the test.
  void makeWindow() {
    window_ = std::make_unique<frmMain>(toolkit_, settings_, list_, nullptr);
    window_->showMessage = [this](QMessageBox::Icon, const QString&, const QString& text) {
      messages_ << text;
    };
    window_->askYesNo = [this](const QString&, const QString& text) {
      questions_ << text;
      return answer_;
    };
    window_->show();
  }

  // A retrieval as the search window starts it. The move checks what must
  // be done before it, then hands over the images (or ones with these labels).
  void retrieve(const QStringList& labels, bool close = true) {
    std::vector<dicom::ImagePtr> images;
    for (int i = 0; i < labels.size(); ++i) {
      images.push_back(toolkit_.makeImage(QString("1.2.%1").arg(i + 1), labels[i]));
    }
    retrieveImages(images, close);
  }
  void retrieveImages(const std::vector<dicom::ImagePtr>& images, bool close = true) {
    toolkit_.script.onMove = [this, images, close] {
      QVERIFY(toolkit_.receiver);
      QCOMPARE(QString::number(toolkit_.receiver->port()), settings_.LocPort);
      QCOMPARE(toolkit_.receiver->aeTitle, settings_.LocAET);
      QCOMPARE(toolkit_.receiver->expectedStudy, QString("1.2.9"));  // that study alone
      QVERIFY(window_->picState->isVisible());
      QCOMPARE(window_->lblState->text(), QString("Receiving Images ..."));
      QCOMPARE(window_->dcmViewer->images().count(), 0);  // the previous study is gone
      QVERIFY(!window_->selectedImage());
      for (const dicom::ImagePtr& image : images) toolkit_.receiver->deliver(image);
      if (close) toolkit_.receiver->close();
    };
    window_->beginRetrieval("1.2.9");
  }

  void clickImage(int position) {
    const QPoint centre = window_->dcmViewer->tileRect(position).center();
    QTest::mouseClick(window_->dcmViewer, Qt::LeftButton, {}, centre);
  }

  // The list: three studies as a search leaves them. Every move delivers two
  // images of its study and is recorded, "<study>" when the window waited
  // for it, "<study> ahead" when it ran on a thread of its own; a move that
  // fails_ names throws, and a move fetching ahead waits after its first
  // image while holdAhead_ is set, unless the station stops it ("<study>
  // stopped").
  std::mutex movesMutex_;
  QStringList moves_;
  std::function<bool(const QString& study, bool ahead)> fails_;
  std::atomic<bool> holdAhead_{false};

  QStringList moves() {
    std::lock_guard lock(movesMutex_);
    return moves_;
  }

  void useList() {
    list_.replace({{"1.2.10", {}}, {"1.2.20", {}}, {"1.2.30", {}}});
    toolkit_.script.onStudyMove = [this](const dicom::Query& move) {
      const QString study = move.studyUID();
      const bool ahead = QThread::currentThread() != qApp->thread();
      {
        std::lock_guard lock(movesMutex_);
        moves_ << study + (ahead ? " ahead" : "");
      }
      if (fails_ && fails_(study, ahead)) throw dicom::DicomError(0xA701, "refused");
      for (int i = 1; i <= 2; ++i) {
        auto image = toolkit_.makeImage(QString("%1.%2").arg(study).arg(i));
        image->addOrReplace(dicom::tags::StudyInstanceUID, study);
        toolkit_.receiver->deliver(image);
        move.progressReport()(i, 2);
        for (int waited = 0; ahead && holdAhead_ && waited < 10000; waited += 5) {
          QThread::msleep(5);
          if (!move.stopRequest() || !move.stopRequest()()) continue;
          std::lock_guard lock(movesMutex_);
          moves_ << study + " stopped";
          return;
        }
      }
      toolkit_.receiver->close(study);
    };
  }

  // The study on screen and its number of images ("" when none).
  QString shown() const {
    const dicom::ImageCollection& images = window_->dcmViewer->images();
    if (images.count() == 0) return "";
    return images.item(1)->attribute(dicom::tags::StudyInstanceUID).value() + " x" +
           QString::number(images.count());
  }
  // The window's reception holds the whole next study.
  bool nextHeld(const QString& study) {
    const dicom::Reception& reception = window_->dcmViewer->reception();
    return reception.aheadStudy() == study && reception.aheadCount() == 2 &&
           moves().contains(study + " ahead");
  }
  bool listButtons(bool previous, bool next) const {
    return window_->toolbarButton("previous")->isEnabled() == previous &&
           window_->toolbarButton("next")->isEnabled() == next;
  }

 private slots:
  void init() {
    common::setAppDirectoryForTesting(dir_.path());
    QFile::remove(dir_.filePath("Settings.ini"));
    QFile::remove(dir_.filePath("Labels.journal"));
    questions_.clear();
    messages_.clear();
    list_ = {};
    settings_ = {};
    settings_.LocAET = "BREVANT";
    settings_.LocPort = QString("11112");
    makeWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }
  void cleanup() {
    window_.reset();
    toolkit_.script.onStudyMove = nullptr;
    moves_.clear();
    fails_ = nullptr;
    holdAhead_ = false;
    QCOMPARE(messages_, QStringList{});  // none but those the test took as expected
  }
  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  void aRetrievalReplacesTheStudyOnDisplay() {
    retrieve({"L CC", "R CC", "L MLO", "R MLO"});
    QVERIFY(!window_->picState->isVisible());
    QCOMPARE((QStringList{window_->txtPatID->text(), window_->txtPatName->text(),
                          window_->txtStudyDate->text()}),
             (QStringList{"P42", "Smith Anna", "20240115"}));
    QVERIFY(!window_->tmrKill->isActive());  // images came: no watchdog
    clickImage(2);
    const dicom::ImagePtr old = window_->selectedImage();
    QVERIFY(old);

    retrieve({"L CC", "R CC", "L MLO", "R MLO", "L CC"});
    QCOMPARE(window_->dcmViewer->gridSize(), 3);
    window_->cmdOrientation_Click(0);  // no selection in the new study: nothing happens
    QVERIFY(!old->changed());
    QVERIFY(!window_->toolbarButton("update")->isEnabled());
  }

  // The receiver hears that the retrieval has ended once its move returns,
  // and also when the move fails.
  void theRetrievalEndsWithItsMove() {
    retrieve({"L CC"});
    QCOMPARE(toolkit_.receiver->endedStudy, QString("1.2.9"));
    toolkit_.script.onMove = [this] {
      QCOMPARE(toolkit_.receiver->endedStudy, QString());
      throw dicom::DicomError(0xA701, "refused: out of resources");
    };
    QVERIFY_THROWS_EXCEPTION(dicom::DicomError, window_->beginRetrieval("1.2.9"));
    QCOMPARE(toolkit_.receiver->endedStudy, QString("1.2.9"));
  }

  // The grid grows with the study so that every image has a tile of its
  // own and a click on it reaches that image.
  void everyImageReachable_data() {
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("grid");
    for (const auto& [count, grid] :
         {std::pair{1, 2}, {4, 2}, {5, 3}, {9, 3}, {10, 4}, {16, 4}, {17, 5}}) {
      QTest::newRow(qPrintable(QString::number(count))) << count << grid;
    }
  }
  void everyImageReachable() {
    QFETCH(int, count);
    QFETCH(int, grid);
    retrieve(QStringList(count, "L CC"));
    QCOMPARE(int(window_->dcmViewer->gridSize()), grid);
    for (int position = 1; position <= count; ++position) {
      QPoint centre = window_->dcmViewer->tileRect(position).center();
      std::int32_t x = centre.x(), y = centre.y();
      QCOMPARE(window_->dcmViewer->hitTest(x, y), position);
    }
  }

  // Tiles stand by Series Number, then Instance Number, then arrival,
  // whatever order the archive sends the study in.
  void tilesInSeriesAndInstanceOrder() {
    // uid, Series Number, Instance Number, in the order they arrive
    const std::vector<std::array<QString, 3>> sent = {{"1.2.1", "2", "1"}, {"1.2.2", "1", "10"},
                                                      {"1.2.3", "", ""},   {"1.2.4", "1", "2"},
                                                      {"1.2.5", "2", "1"}, {"1.2.6", " 1", "x"}};
    std::vector<dicom::ImagePtr> images;
    for (const auto& [uid, series, instance] : sent) {
      images.push_back(toolkit_.makeImage(uid));
      if (!series.isEmpty()) images.back()->addOrReplace(dicom::tags::SeriesNumber, series);
      if (!instance.isEmpty()) images.back()->addOrReplace(dicom::tags::InstanceNumber, instance);
    }
    retrieveImages(images);
    QStringList order;
    const auto& shown = window_->dcmViewer->images();
    for (int i = 1; i <= shown.count(); ++i) {
      order << shown.item(i)->attribute(dicom::tags::SOPInstanceUID).value().section('.', -1);
    }
    QCOMPARE(order.join(' '), QString("4 2 6 1 5 3"));
  }

  // The marks of a tile stay legible together at every size: no text over
  // another, none under the warning frame or the selection frame; a tile
  // big enough shows them all.
  void marksStayLegible_data() {
    QTest::addColumn<QSize>("size");
    for (const QSize size :
         {QSize(70, 60), QSize(120, 100), QSize(180, 230), QSize(400, 500), QSize(1400, 1000)}) {
      QTest::newRow(qPrintable(QString("%1x%2").arg(size.width()).arg(size.height()))) << size;
    }
  }
  void marksStayLegible() {
    QFETCH(QSize, size);
    const dicom::TileMarks marks{
        "R MLO", "CHANGED", "50 frames", "hdr: L MLO \u2260 label", "window ignored: not finite",
        true};
    QFont big("Tahoma");
    big.setBold(true);
    big.setPixelSize(std::max(10, std::min(18, size.height() / 16)));
    QFont small = big;
    small.setPixelSize(std::max(9, big.pixelSize() * 3 / 4));
    const QRect area(QPoint(2, 2), size);  // the tile less its selection frame
    const dicom::MarkLayout m =
        dicom::layoutMarks(marks, area, QFontMetrics(big), QFontMetrics(small));
    const QRect clear = m.warningFrame.adjusted(2, 2, -2, -2);  // inside the dashed pen
    const QRect texts[] = {m.topLeft, m.topRight, m.bottomLeft, m.bottomRight, m.note};
    int shown = 0;
    for (const QRect& a : texts) {
      if (a.isEmpty()) continue;
      ++shown;
      QVERIFY2(
          clear.contains(a),
          qPrintable(QString("%1,%2 %3x%4").arg(a.x()).arg(a.y()).arg(a.width()).arg(a.height())));
      for (const QRect& b : texts) QVERIFY(&a == &b || b.isEmpty() || !a.intersects(b));
    }
    QVERIFY(!m.topLeft.isEmpty());  // the label, whatever the size
    if (size.width() >= 400) QCOMPARE(shown, 5);
  }

  // Until the first image arrives the watchdog runs; when it runs out the
  // panel says so, and again at every tick until an image comes. An
  // association without images says so at once.
  void noImages() {
    retrieve({}, false);
    QVERIFY(window_->tmrKill->isActive());
    toolkit_.receiver->deliver(toolkit_.makeImage("1.2.1"));
    QVERIFY(!window_->tmrKill->isActive());
    window_->tmrKill->setInterval(50);  // the watchdog's 20 s, shortened
    retrieve({}, false);
    QTRY_COMPARE_WITH_TIMEOUT(window_->lblState->text(), QString("No Images"), 2000);
    window_->State(true, "Receiving Images ...");
    QTRY_COMPARE_WITH_TIMEOUT(window_->lblState->text(), QString("No Images"), 2000);
    toolkit_.receiver->deliver(toolkit_.makeImage("1.2.2"));
    QVERIFY(!window_->tmrKill->isActive());
    retrieve({});
    QVERIFY(window_->picState->isVisible());
    QCOMPARE(window_->lblState->text(), QString("No Images"));
  }

  // The settings dialog edits the station's own record: the next retrieval
  // uses what it applied, and the next start finds it saved.
  void settingsReachTheStation() {
    QTimer::singleShot(0, [] {
      auto* dialog = qobject_cast<frmSettings*>(QApplication::activeModalWidget());
      QVERIFY(dialog);
      dialog->txtLocAET->setText("RENAMED");
      dialog->txtLocPort->setText("11113");
      dialog->cmdOK_Click();
    });
    window_->Toolbar1_ButtonClick("settings");
    retrieve({"L CC"});
    QCOMPARE(toolkit_.receiver->aeTitle + QString::number(toolkit_.receiver->port()),
             QString("RENAMED11113"));
    ConnectionSettingsRecord saved;
    modMain::LoadConnectionSettings(saved);
    QCOMPARE(saved.LocAET + " " + saved.LocPort, QString("RENAMED 11113"));
  }

  void changedImagesAreNotLostWithoutAsking() {
    retrieve({"L CC", "R CC"});
    QVERIFY(window_->confirmDiscardChanges());  // nothing changed: nothing asked
    QVERIFY(questions_.isEmpty());
    clickImage(1);
    window_->cmdOrientation_Click(1);
    QCOMPARE(station::labelOf(*window_->selectedImage()), QString("R CC"));
    // On the disk at once, for a station killed now to offer it at its next start.
    const auto journalled = station::LabelJournal(frmMain::journalPath()).pending();
    QVERIFY(journalled.size() == 1 && journalled[0].after == "R CC");
    answer_ = false;
    QVERIFY(!window_->confirmDiscardChanges());
    window_->Toolbar1_ButtonClick("close");
    QVERIFY(window_->isVisible());
    QCOMPARE(questions_.size(), 2);
    QVERIFY2(questions_[0].startsWith("1 changed image"), qPrintable(questions_[0]));
    answer_ = true;
    window_->Toolbar1_ButtonClick("close");
    QVERIFY(!window_->isVisible());
  }

  // Pressing "Update Study" or closing while the update's events run starts
  // no second update: two images go out once each, one message ends it, and
  // the window closes only then.
  void oneUpdateAtATime() {
    retrieve({"L CC", "R CC"});
    toolkit_.script.onMove = [] {};
    for (int position : {1, 2}) {
      clickImage(position);
      window_->cmdOrientation_Click(3);
    }
    toolkit_.script.onSend = [this](const fake::SendCall&) {
      window_->Toolbar1_ButtonClick("update");
      window_->Toolbar1_ButtonClick("close");
      QVERIFY(window_->isVisible());
    };
    answer_ = true;
    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(toolkit_.script.sends.size(), std::size_t(2));
    QCOMPARE(std::exchange(messages_, {}), QStringList{"Update was successful."});
    QCOMPARE(window_->dcmViewer->images().markedCount(), 0);
    QVERIFY(!window_->isVisible());
  }

  // The image looked at closely is the one the buttons and keys label,
  // through zooming, and after returning to the tiles.
  void closerLookLabelsTheImageItShows() {
    retrieve({"L CC", "R CC", "L MLO", "R MLO"});
    clickImage(1);
    QTest::mouseDClick(window_->dcmViewer, Qt::LeftButton, {},
                       window_->dcmViewer->tileRect(3).center());
    QCOMPARE(window_->dcmViewer->fullViewPosition(), 3);
    const dicom::ImagePtr third = window_->dcmViewer->images().item(3);
    QCOMPARE(window_->selectedImage(), third);
    window_->dcmViewer->zoomAt(3.0, QPointF(10, 10));
    QTest::mouseClick(window_->dcmViewer, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::keyClick(window_.get(), Qt::Key_2);
    QCOMPARE(station::labelOf(*third), QString("R CC"));
    QVERIFY(third->changed());
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    QCOMPARE(window_->dcmViewer->fullViewPosition(), 0);
    QCOMPARE(window_->selectedImage(), third);
  }

  // Labels a station left unsent when it ended are offered at the next
  // start and given again, each to its own image, only where the archive
  // still holds what the image carried when the label was given.
  void unsentLabelsGivenAgain() {
    station::LabelJournal journal(frmMain::journalPath());
    QVERIFY(journal.labelled({"1.2.9", "", "1.2.1", "P42", "L CC", "R MLO"}));
    QVERIFY(journal.labelled({"1.2.9", "", "1.2.2", "P42", "L CC", "L MLO"}));  // changed since
    QVERIFY(journal.labelled({"1.2.9", "", "1.2.7", "P42", "L CC", "R CC"}));   // gone
    toolkit_.script.onMove = [this] {
      toolkit_.receiver->deliver(toolkit_.makeImage("1.2.1", "L CC"));
      toolkit_.receiver->deliver(toolkit_.makeImage("1.2.2", "R CC"));
      toolkit_.receiver->close();
    };
    answer_ = true;
    makeWindow();
    QTRY_COMPARE_WITH_TIMEOUT(messages_.size(), 1, 3000);
    QVERIFY2(questions_.value(0).contains("3 label(s) of study"), qPrintable(questions_.value(0)));
    const auto& images = window_->dcmViewer->images();
    QCOMPARE(station::labelOf(*images.item(1)), QString("R MLO"));
    QVERIFY(images.item(1)->changed());
    QCOMPARE(station::labelOf(*images.item(2)), QString("R CC"));
    QVERIFY(!images.item(2)->changed());
    QVERIFY(window_->toolbarButton("update")->isEnabled());
    const QString told = messages_.takeFirst();
    QVERIFY2(told.startsWith("1 label(s) were given again") &&
                 told.contains("the archive now holds \"R CC\", not \"L CC\"") &&
                 told.contains("1.2.7 (\"R CC\") is not in the study"),
             qPrintable(told));
    // What was not given again is not offered again.
    QCOMPARE(journal.pending().size(), std::size_t{1});
  }

  // An image whose pixels cannot be shown keeps its tile, is logged, and
  // cannot be selected, so not labelled.
  void anImageThatCannotBeShown() {
    retrieveImages(
        {toolkit_.makeImage("1.2.1"), toolkit_.makeImage("1.2.2", "R CC", "a corrupt stream")});
    QCOMPARE(window_->dcmViewer->images().count(), 2);
    clickImage(2);
    QVERIFY(!window_->selectedImage());
    const QString line = QString::fromUtf8(files::read(dir_.filePath("Logs/Error.log")));
    QVERIFY2(line.contains("1.2.2 (position 2), which cannot be displayed: a corrupt stream") &&
                 line.endsWith(" - cmdSearch_Click\r\n"),
             qPrintable(line));
  }

  // What an image's header says against its label, as the tiles show it:
  // agreeing, contradicting, silent, and in the View Code Sequence only.
  void headerViewAgainstLabel_data() {
    QTest::addColumn<int>("headers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("contradicted");  // labels the header contradicts
    using H = samples::HeaderViews;
    QTest::newRow("agree") << int(H::Consistent) << "hdr: L CC"
                           << "R CC L MLO R MLO";
    QTest::newRow("disagree") << int(H::Contradicting) << "hdr: R CC"
                              << "L CC L MLO R MLO";
    QTest::newRow("absent") << int(H::Absent) << ""
                            << "";
    QTest::newRow("code only") << int(H::CodeOnly) << "hdr: CC"
                               << "L MLO R MLO";
  }
  void headerViewAgainstLabel() {
    QFETCH(int, headers);
    QFETCH(QString, text);
    QFETCH(QString, contradicted);
    samples::StudySpec spec;  // one image, labelled "L CC"
    spec.rows = 32;
    spec.columns = 24;
    spec.images = 1;
    spec.headerViews = static_cast<samples::HeaderViews>(headers);
    auto file = std::make_unique<DcmFileFormat>();
    QVERIFY(
        file->loadFile(qPrintable(samples::writeStudy(spec, dir_.filePath("h"))[0].path)).good());
    dicom::dcmtk::DcmtkImage image(std::move(file), {});
    const station::HeaderView header = station::headerView(image);
    QCOMPARE(header.text(), text);
    QStringList found;
    for (const QString label : {"L CC", "R CC", "L MLO", "R MLO", "UNLABELLED"}) {
      station::applyLabel(image, label);  // follows every relabel
      if (station::contradicts(station::headerView(image), label)) found << label;
    }
    QCOMPARE(found.join(' '), contradicted);
  }

  // The list from its start to its end: no study before the first or after
  // the last, each next study fetched ahead and shown without a move of its
  // own, none fetched past the end, and "Previous Study" retrieving as usual.
  void theListEndsAndStarts() {
    useList();
    window_->beginRetrieval("1.2.10");  // as the search window does
    QVERIFY(listButtons(false, true));
    window_->Toolbar1_ButtonClick("previous");
    QCOMPARE(shown(), QString("1.2.10 x2"));
    QTRY_VERIFY(nextHeld("1.2.20"));
    window_->Toolbar1_ButtonClick("next");
    QCOMPARE(shown(), QString("1.2.20 x2"));
    QVERIFY(listButtons(true, true));
    QTRY_VERIFY(nextHeld("1.2.30"));
    window_->Toolbar1_ButtonClick("next");
    QCOMPARE(shown(), QString("1.2.30 x2"));
    QVERIFY(!window_->picState->isVisible());
    QVERIFY(listButtons(true, false));
    window_->Toolbar1_ButtonClick("next");
    QCOMPARE(shown(), QString("1.2.30 x2"));
    QCOMPARE(window_->dcmViewer->reception().aheadStudy(), QString());
    window_->Toolbar1_ButtonClick("previous");
    QCOMPARE(shown(), QString("1.2.20 x2"));
    QTRY_VERIFY(nextHeld("1.2.30"));
    QCOMPARE(moves(),
             (QStringList{"1.2.10", "1.2.20 ahead", "1.2.30 ahead", "1.2.20", "1.2.30 ahead"}));
    QCOMPARE(list_.status("1.2.30"), QString("opened"));
  }

  // "Next Study" asks before unsent labels go, as a new retrieval does; the
  // operator who keeps them keeps the study and the one fetched ahead.
  void nextStudyAsksBeforeUnsentLabelsGo() {
    useList();
    window_->beginRetrieval("1.2.10");
    QTRY_VERIFY(nextHeld("1.2.20"));
    clickImage(2);
    window_->cmdOrientation_Click(1);
    answer_ = false;
    window_->Toolbar1_ButtonClick("next");
    QCOMPARE(questions_.size(), 1);
    QVERIFY2(questions_[0].startsWith("1 changed image"), qPrintable(questions_[0]));
    QCOMPARE(shown(), QString("1.2.10 x2"));
    QCOMPARE(window_->dcmViewer->images().markedCount(), 1);
    QVERIFY(nextHeld("1.2.20"));
    answer_ = true;
    window_->Toolbar1_ButtonClick("next");
    QCOMPARE(questions_.size(), 2);
    QCOMPARE(shown(), QString("1.2.20 x2"));
  }

  // A study still arriving when "Next Study" is pressed is shown once its
  // move has returned, with the progress of that move meanwhile.
  void nextStudyWaitsForAStudyStillArriving() {
    useList();
    holdAhead_ = true;
    window_->beginRetrieval("1.2.10");
    QTRY_COMPARE(window_->dcmViewer->reception().aheadCount(), 1);
    QCOMPARE(shown(), QString("1.2.10 x2"));  // held apart, not shown
    QStringList whileWaiting;
    QTimer::singleShot(300, this, [&] {
      whileWaiting << window_->lblState->text() << window_->lblProgress->text();
      holdAhead_ = false;
    });
    window_->Toolbar1_ButtonClick("next");
    QCOMPARE(whileWaiting, (QStringList{"Receiving Images ...", "1 of 2"}));
    QCOMPARE(shown(), QString("1.2.20 x2"));
    QVERIFY(!window_->picState->isVisible());
    QVERIFY(!window_->tmrKill->isActive());
    QTRY_VERIFY(nextHeld("1.2.30"));
    QCOMPARE(moves(), (QStringList{"1.2.10", "1.2.20 ahead", "1.2.30 ahead"}));
  }

  // The operator going elsewhere stops the move of the study still arriving
  // ahead, so that the archive does not go on sending it.
  void aDroppedFetchAheadIsStopped() {
    useList();
    holdAhead_ = true;
    window_->beginRetrieval("1.2.10");
    QTRY_COMPARE(window_->dcmViewer->reception().aheadCount(), 1);
    window_->beginRetrieval("1.2.30");
    QCOMPARE(shown(), QString("1.2.30 x2"));
    QTRY_VERIFY(moves().contains("1.2.20 stopped"));
    QVERIFY(holdAhead_);
  }

  // A study whose fetch ahead failed shows no error: "Next Study" retrieves
  // it as usual. When that retrieval fails too, its failure path shows
  // the one message.
  void aFetchAheadWhoseArchiveFails() {
    useList();
    fails_ = [](const QString& study, bool ahead) { return study == "1.2.30" || ahead; };
    const auto fetchFailures = [this] {
      return int(files::read(dir_.filePath("Logs/Error.log")).count(" - FetchAhead\r\n"));
    };
    window_->beginRetrieval("1.2.10");
    QTRY_COMPARE(fetchFailures(), 1);
    QCOMPARE(window_->dcmViewer->reception().aheadStudy(), QString());
    window_->Toolbar1_ButtonClick("next");
    QCOMPARE(shown(), QString("1.2.20 x2"));
    QVERIFY(!window_->picState->isVisible());
    QTRY_COMPARE(fetchFailures(), 2);
    window_->Toolbar1_ButtonClick("next");
    QCOMPARE(std::exchange(messages_, {}),
             QStringList{"There was an error.\r\nRead the log file for more information."});
    QCOMPARE(list_.status("1.2.30"), QString("failed"));
    QCOMPARE(moves(), (QStringList{"1.2.10", "1.2.20 ahead", "1.2.20", "1.2.30 ahead", "1.2.30"}));
  }

  // F1 tells the version of the top CMakeLists.txt and the commit, which a
  // support call asks for.
  void f1ShowsTheVersion() {
    QString shown;
    QTimer::singleShot(0, [&shown] {
      auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      QVERIFY(box);
      QCOMPARE(box->windowTitle(), QString("About Brevant"));
      for (const QLabel* label : box->findChildren<QLabel*>()) shown += label->text() + "\n";
      box->accept();
    });
    QApplication::setActiveWindow(window_.get());
    QTest::keyClick(window_.get(), Qt::Key_F1);
    QVERIFY2(shown.contains("Version " BREVANT_PROJECT_VERSION "\nCommit "), qPrintable(shown));
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
