// The main station window driven offscreen with the fake DICOM layer:
// start-up, dispatch, the status panel, reception, selection, labelling,
// the update and the questions before changed images would be lost.

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QTemporaryDir>
#include <QtTest>

#include "common/AppDir.h"
#include "main/frmMain.h"
#include "settings/modMain.h"
#include "support/FakeDicom.h"

namespace {

struct Message {
  QMessageBox::Icon icon;
  QString title;
  QString text;
};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir dir_;
  std::unique_ptr<fake::Toolkit> toolkit_;
  std::unique_ptr<frmMain> window_;
  std::vector<Message> messages_;
  QStringList questions_;
  bool answer_ = false;
  int searchOpened_ = 0;

  QByteArray log() const {
    QFile file(dir_.filePath("Logs/Error.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  // Listens as a retrieval does and delivers images the way the receiver would.
  std::vector<std::shared_ptr<fake::Image>> receive(const QStringList& labels) {
    dicom::Viewer& viewer = window_->viewer();
    viewer.setOption(dicom::Viewer::OptionKeepReceived, true);
    viewer.listen(11112);
    viewer.images().empty();
    std::vector<std::shared_ptr<fake::Image>> images;
    int n = 0;
    for (const QString& label : labels) {
      images.push_back(toolkit_->makeImage(QString("1.2.%1").arg(++n), label, "Smith^Anna^^^",
                                           "P42", "20240115"));
      toolkit_->lastReceiver->deliver(images.back());
    }
    toolkit_->lastReceiver->close();
    return images;
  }

  void clickImage(int position) {
    const QPoint centre = window_->dcmViewer->tileRect(position).center();
    QTest::mouseClick(window_->dcmViewer, Qt::LeftButton, {}, centre);
  }

 private slots:
  void init() {
    QDir(dir_.path()).removeRecursively();
    QDir().mkpath(dir_.path());
    common::setAppDirectoryForTesting(dir_.path());
    toolkit_ = std::make_unique<fake::Toolkit>();
    toolkit_->configuration().setValue("DisableAssociationClosed", 7);
    messages_.clear();
    questions_.clear();
    answer_ = false;
    searchOpened_ = 0;
    window_ = std::make_unique<frmMain>(
        *toolkit_, [this](QWidget*, search::StationHost&) { ++searchOpened_; });
    window_->showMessage = [this](QMessageBox::Icon icon, const QString& title,
                                  const QString& text) {
      messages_.push_back({icon, title, text});
    };
    window_->askYesNo = [this](const QString&, const QString& text) {
      questions_ << text;
      return answer_;
    };
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }
  void cleanup() {
    window_.reset();
    toolkit_.reset();
  }
  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  void startsWithDefaultsAndTheUpdateDisabled() {
    QCOMPARE(window_->windowTitle(), QString("Brevant"));
    QVERIFY(!window_->toolbarButton("update")->isEnabled());
    for (const char* key : {"search", "settings", "close"})
      QVERIFY(window_->toolbarButton(key)->isEnabled());
    QCOMPARE(window_->toolbarButton("update")->text(), QString("Update Study"));
    QCOMPARE(ConnectionSettings.RemotePort, QString("0"));
    QCOMPARE(ConnectionSettings.LocPort, QString("0"));
    QCOMPARE(ConnectionSettings.RemoteAET, QString(""));
    QCOMPARE(toolkit_->configuration().value("DisableAssociationClosed", -1), 0);
    QVERIFY(window_->fraInfo->isVisible());
    QVERIFY(!window_->picState->isVisible());
    QVERIFY(!window_->tmrKill->isActive());
    QCOMPARE(window_->tmrKill->interval(), 20000);
    for (int i = 0; i < 4; ++i) QCOMPARE(window_->orientationColour(i), frmMain::kGrey);
    QCOMPARE(window_->cmdOrientation[2]->text(), QString("L MLO"));
    QCOMPARE(window_->ImgLst.size(), std::size_t(4));
    QCOMPARE(window_->imgLstGrey.size(), std::size_t(4));
    QVERIFY(window_->ImgLst[0].toImage() != window_->imgLstGrey[0].toImage());
  }

  void dispatchComparesKeysExactly() {
    window_->Toolbar1_ButtonClick("Search");
    window_->Toolbar1_ButtonClick("SEARCH");
    window_->Toolbar1_ButtonClick("unknown");
    QCOMPARE(searchOpened_, 0);
    window_->Toolbar1_ButtonClick("search");
    QCOMPARE(searchOpened_, 1);
    window_->toolbarButton("update")->trigger();  // disabled: nothing happens
    QVERIFY(messages_.empty());
    window_->Toolbar1_ButtonClick("close");
    QVERIFY(!window_->isVisible());
  }

  void statePanelTakesTurnsWithThePatientInformation() {
    window_->State(true, "Receiving Images ...");
    QVERIFY(window_->picState->isVisible());
    QVERIFY(!window_->fraInfo->isVisible());
    QCOMPARE(window_->lblState->text(), QString("Receiving Images ..."));
    window_->State(false, "kept while hidden");
    QVERIFY(!window_->picState->isVisible());
    QVERIFY(window_->fraInfo->isVisible());
    QCOMPARE(window_->lblState->text(), QString("kept while hidden"));
  }

  void resizingMovesTheButtonsAndSkipsNegativeSizes() {
    window_->resize(900, 700);
    QTRY_COMPARE(window_->width(), 900);
    const QRect outer = window_->frameGeometry();
    QCOMPARE(window_->dcmViewer->width(), (outer.width() * 15 - 220) / 15);
    QCOMPARE(window_->dcmViewer->height(), (outer.height() * 15 - 3250) / 15);
    QCOMPARE(window_->picButton->x(), (outer.width() * 15 - 3185) / 15);
    const int viewerHeight = window_->dcmViewer->height();
    window_->resize(1000, 150);  // too low for the viewer: its height stays
    QTRY_COMPARE(window_->width(), 1000);
    QCOMPARE(window_->dcmViewer->height(), viewerHeight);
    QCOMPARE(window_->dcmViewer->width(), (window_->frameGeometry().width() * 15 - 220) / 15);
    QCOMPARE(window_->fraInfo->pos(), QPoint(6, 63));
  }

  void theEndOfAnAssociationTilesAndShowsTheFirstImage() {
    receive({"L CC", "R CC", "L MLO", "R MLO"});
    QCOMPARE(window_->dcmViewer->gridSize(), 2);
    QCOMPARE(window_->txtPatName->text(), QString("Smith Anna   "));
    QCOMPARE(window_->txtPatID->text(), QString("P42"));
    QCOMPARE(window_->txtStudyDate->text(), QString("20240115"));
    QVERIFY(!window_->picState->isVisible());
    receive({"L CC", "R CC", "L MLO", "R MLO", "L CC"});
    QCOMPARE(window_->dcmViewer->gridSize(), 3);
    receive({"L CC"});
    QCOMPARE(window_->dcmViewer->gridSize(), 2);
  }

  void anAssociationWithoutImagesShowsNoImages() {
    receive({"L CC"});
    receive({});
    QVERIFY(window_->picState->isVisible());
    QCOMPARE(window_->lblState->text(), QString("No Images"));
    QCOMPARE(window_->txtPatID->text(), QString("P42"));  // the previous study's, behind the panel
  }

  void clickSelectsFramesAndLightsTheMatchingLabel() {
    auto images = receive({"L CC", "r mlo", "L MLO", "R MLO"});
    clickImage(3);
    QCOMPARE(window_->selectedImage().get(), images[2].get());
    QCOMPARE(images[2]->frameWidth(), 2);
    QCOMPARE(images[2]->frameColour(), 0x0000FFu);
    QCOMPARE(window_->orientationColour(2), frmMain::kLightGreen);
    QCOMPARE(window_->orientationColour(0), frmMain::kGrey);
    clickImage(2);  // a label that differs only in case lights nothing
    QCOMPARE(images[2]->frameWidth(), 0);
    for (int i = 0; i < 4; ++i) QCOMPARE(window_->orientationColour(i), frmMain::kGrey);
    std::int32_t x = 5000, y = 5000;
    window_->dcmViewer_MouseClick(1, 0, x, y);  // beside the images: selection stays
    QCOMPARE(window_->selectedImage().get(), images[1].get());
  }

  void labellingWritesTheCaptionMarksAndEnablesTheUpdate() {
    window_->cmdOrientation_Click(0);  // nothing selected: nothing happens
    QCOMPARE(window_->orientationColour(0), frmMain::kGrey);
    QVERIFY(!window_->toolbarButton("update")->isEnabled());

    auto images = receive({"L CC", "R CC", "L MLO", "R MLO"});
    clickImage(1);
    window_->cmdOrientation_Click(3);
    window_->cmdOrientation_Click(1);
    QCOMPARE(images[0]->attribute(0x0008, 0x103E).value(), QString("R CC"));
    QCOMPARE(images[0]->text(), QString("CHANGED"));
    QCOMPARE(window_->orientationColour(1), frmMain::kLightGreen);
    QCOMPARE(window_->orientationColour(3), frmMain::kGrey);
    QVERIFY(window_->toolbarButton("update")->isEnabled());
    clickImage(2);
    clickImage(1);
    QCOMPARE(window_->orientationColour(1), frmMain::kLightGreen);

    clickImage(2);
    QTest::keyClick(window_.get(), Qt::Key_3);  // the keyboard gives "L MLO"
    QCOMPARE(images[1]->attribute(0x0008, 0x103E).value(), QString("L MLO"));
    QCOMPARE(images[1]->text(), QString("CHANGED"));
  }

  void emptyingTheViewerClearsTheSelection() {
    auto images = receive({"L CC", "R CC"});
    clickImage(1);
    window_->viewer().images().empty();
    QVERIFY(!window_->selectedImage());
    window_->cmdOrientation_Click(2);
    QCOMPARE(images[0]->attribute(0x0008, 0x103E).value(), QString("L CC"));
    QVERIFY(images[0]->text().isEmpty());
  }

  void theWatchdogShowsNoImagesUntilAnImageArrives() {
    window_->tmrKill->setInterval(20);
    window_->State(true, "Receiving Images ...");
    window_->startWatchdog();
    QTRY_COMPARE(window_->lblState->text(), QString("No Images"));
    window_->State(true, "Receiving Images ...");
    QTRY_COMPARE(window_->lblState->text(), QString("No Images"));  // every tick repeats it
    receive({"L CC"});
    QVERIFY(!window_->tmrKill->isActive());
    window_->startWatchdog();  // images of this retrieval are there: not started
    QVERIFY(!window_->tmrKill->isActive());
  }

  void theUpdateSendsMarkedImagesAndReportsSuccess() {
    ConnectionSettings = {"ARCHIVE", "127.0.0.1", "4242", "BREVANT", "11112"};
    auto images = receive({"L CC", "R CC", "L MLO", "R MLO"});
    clickImage(2);
    window_->cmdOrientation_Click(3);
    clickImage(4);
    window_->cmdOrientation_Click(0);
    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(toolkit_->script.sends.size(), std::size_t(2));
    QCOMPARE(toolkit_->script.sends[0].seriesDescription, QString("R MLO"));
    QCOMPARE(toolkit_->script.sends[1].seriesDescription, QString("L CC"));
    QCOMPARE(window_->viewer().images().markedCount(), 0);
    QVERIFY(!window_->toolbarButton("update")->isEnabled());
    QVERIFY(!window_->picState->isVisible());
    QCOMPARE(messages_.size(), std::size_t(1));
    QCOMPARE(messages_[0].icon, QMessageBox::Information);
    QCOMPARE(messages_[0].title, QString("Brevant"));
    QCOMPARE(messages_[0].text, QString("Update was successful."));
  }

  void aFailedUpdateShowsTheMessageThenLogsSend() {
    ConnectionSettings = {"ARCHIVE", "127.0.0.1", "4242", "BREVANT", "11112"};
    auto images = receive({"L CC", "R CC"});
    for (int p : {1, 2}) {
      clickImage(p);
      window_->cmdOrientation_Click(2);
    }
    toolkit_->script.onSend = [this](const fake::SendCall&) {
      QVERIFY(log().isEmpty());  // nothing logged before the failure
      throw dicom::DicomError(0xA700, "Refused: out of resources");
    };
    window_->showMessage = [this](QMessageBox::Icon icon, const QString& title,
                                  const QString& text) {
      QVERIFY(log().isEmpty());  // the message comes before the log line
      messages_.push_back({icon, title, text});
    };
    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(messages_.size(), std::size_t(1));
    QCOMPARE(messages_[0].icon, QMessageBox::Critical);
    QCOMPARE(messages_[0].text, QString("42752 - Refused: out of resources"));
    QCOMPARE(log().count("\r\n"), 1);
    QVERIFY(log().contains(" - 42752 - Refused: out of resources - Send\r\n"));
    QCOMPARE(images[0]->text(), QString("CHANGED"));
    QCOMPARE(images[1]->text(), QString("CHANGED"));
    QCOMPARE(window_->lblState->text(), QString("Sending Images (1) ..."));
    QVERIFY(!window_->toolbarButton("update")->isEnabled());
  }

  void aPortThatIsNoNumberFailsTheUpdate() {
    ConnectionSettings = {"ARCHIVE", "127.0.0.1", "abc", "BREVANT", "11112"};
    receive({"L CC"});
    clickImage(1);
    window_->cmdOrientation_Click(0);
    window_->Toolbar1_ButtonClick("update");
    QVERIFY(toolkit_->script.sends.empty());
    QCOMPARE(messages_.size(), std::size_t(1));
    QVERIFY(messages_[0].text.contains("RemotePort"));
    QVERIFY(log().contains(" - Send\r\n"));
  }

  void changedImagesAreNotLostWithoutAsking() {
    QVERIFY(window_->confirmDiscardChanges());  // nothing marked: nothing asked
    QVERIFY(questions_.isEmpty());
    receive({"L CC", "R CC"});
    clickImage(1);
    window_->cmdOrientation_Click(1);
    answer_ = false;
    QVERIFY(!window_->confirmDiscardChanges());
    QVERIFY(questions_.last().startsWith("1 changed image"));
    window_->Toolbar1_ButtonClick("close");
    QVERIFY(window_->isVisible());
    answer_ = true;
    window_->Toolbar1_ButtonClick("close");
    QVERIFY(!window_->isVisible());
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
