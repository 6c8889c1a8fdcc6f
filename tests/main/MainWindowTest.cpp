// The main window on the fake DICOM layer: a retrieval before and after its
// move, the watchdog, the settings, the question before labels are lost, one
// update at a time, the closer look, and images that cannot be shown.

#include <QTemporaryDir>
#include <QtTest>

#include "SampleStudy.h"
#include "common/AppDir.h"
#include "dicom/HeaderView.h"
#include "dicom/dcmtk/DcmtkImage.h"
#include "main/frmMain.h"
#include "settings/frmSettings.h"
#include "support/FakeDicom.h"

class MainWindowTest : public QObject {
  Q_OBJECT
 private:
  QTemporaryDir dir_;  // Settings.ini
  fake::Toolkit toolkit_;
  ConnectionSettingsRecord settings_;
  std::unique_ptr<frmMain> window_;
  QStringList questions_;
  bool answer_ = false;

  // A retrieval as the search window starts it. The move checks what must
  // be done before it, then hands over images with these labels.
  void retrieve(const QStringList& labels, bool close = true) {
    toolkit_.script.onMove = [this, labels, close] {
      QVERIFY(toolkit_.receiver);
      QCOMPARE(toolkit_.receiver->port(), settings_.LocPort.number("LocPort"));
      QCOMPARE(toolkit_.receiver->aeTitle, settings_.LocAET);
      QCOMPARE(toolkit_.receiver->expectedStudy, QString("1.2.9"));  // that study alone
      QVERIFY(window_->picState->isVisible());
      QCOMPARE(window_->lblState->text(), QString("Receiving Images ..."));
      QCOMPARE(window_->dcmViewer->images().count(), 0);  // the previous study is gone
      QVERIFY(!window_->selectedImage());
      for (int i = 0; i < labels.size(); ++i) {
        toolkit_.receiver->deliver(toolkit_.makeImage(QString("1.2.%1").arg(i + 1), labels[i]));
      }
      if (close) toolkit_.receiver->close();
    };
    auto query = toolkit_.newQuery();
    query->setStudyUID("1.2.9");
    window_->beginRetrieval(*query);
  }

  void clickImage(int position) {
    const QPoint centre = window_->dcmViewer->tileRect(position).center();
    QTest::mouseClick(window_->dcmViewer, Qt::LeftButton, {}, centre);
  }

 private slots:
  void init() {
    common::setAppDirectoryForTesting(dir_.path());
    QFile::remove(dir_.filePath("Settings.ini"));
    questions_.clear();
    window_ = std::make_unique<frmMain>(toolkit_, settings_, nullptr);
    window_->showMessage = [](QMessageBox::Icon, const QString&, const QString& text) {
      QFAIL(qPrintable("unexpected message: " + text));
    };
    window_->askYesNo = [this](const QString&, const QString& text) {
      questions_ << text;
      return answer_;
    };
    settings_.LocAET = "BREVANT";  // the window loaded an empty settings folder
    settings_.LocPort = QString("11112");
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }
  void cleanup() { window_.reset(); }
  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  void aRetrievalReplacesTheStudyOnDisplay() {
    retrieve({"L CC", "R CC", "L MLO", "R MLO"});
    QVERIFY(!window_->picState->isVisible());
    QCOMPARE(window_->dcmViewer->gridSize(), 2);
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
    QVERIFY(old->text().isEmpty());
    QVERIFY(!window_->toolbarButton("update")->isEnabled());
  }

  // Until the first image arrives the watchdog runs; when it fires the panel
  // says so. An association without images says so at once.
  void noImages() {
    retrieve({}, false);
    QVERIFY(window_->tmrKill->isActive());
    toolkit_.receiver->deliver(toolkit_.makeImage("1.2.1"));
    QVERIFY(!window_->tmrKill->isActive());
    retrieve({}, false);
    window_->tmrKill_Timer();
    QCOMPARE(window_->lblState->text(), QString("No Images"));
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
    QCOMPARE(saved.LocAET + " " + saved.LocPort.text(), QString("RENAMED 11113"));
  }

  void changedImagesAreNotLostWithoutAsking() {
    retrieve({"L CC", "R CC"});
    QVERIFY(window_->confirmDiscardChanges());  // nothing changed: nothing asked
    QVERIFY(questions_.isEmpty());
    clickImage(1);
    window_->cmdOrientation_Click(1);
    QCOMPARE(window_->selectedImage()->attribute(0x0008, 0x103E).value(), QString("R CC"));
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
    QStringList messages;
    window_->showMessage = [&](QMessageBox::Icon, const QString&, const QString& text) {
      messages << text;
    };
    toolkit_.script.onSend = [this](const fake::SendCall&) {
      window_->Toolbar1_ButtonClick("update");
      window_->Toolbar1_ButtonClick("close");
      QVERIFY(window_->isVisible());
    };
    answer_ = true;
    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(toolkit_.script.sends.size(), std::size_t(2));
    QCOMPARE(messages, QStringList{"Update was successful."});
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
    QCOMPARE(third->attribute(0x0008, 0x103E).value() + third->text(), QString("R CCCHANGED"));
    QTest::keyClick(window_.get(), Qt::Key_Escape);
    QCOMPARE(window_->dcmViewer->fullViewPosition(), 0);
    QCOMPARE(window_->selectedImage(), third);
  }

  // An image whose pixels cannot be shown keeps its tile, is logged, and
  // cannot be selected, so not labelled.
  void anImageThatCannotBeShown() {
    toolkit_.script.onMove = [this] {
      toolkit_.receiver->deliver(toolkit_.makeImage("1.2.1"));
      toolkit_.receiver->deliver(toolkit_.makeImage("1.2.2", "R CC", "a corrupt stream"));
      toolkit_.receiver->close();
    };
    auto query = toolkit_.newQuery();
    window_->beginRetrieval(*query);
    QCOMPARE(window_->dcmViewer->images().count(), 2);
    clickImage(2);
    QVERIFY(!window_->selectedImage());
    QFile log(dir_.filePath("Logs/Error.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString line = QString::fromUtf8(log.readAll());
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
    const dicom::HeaderView header = dicom::headerView(image);
    QCOMPARE(header.text(), text);
    QStringList found;
    for (const QString label : {"L CC", "R CC", "L MLO", "R MLO", "UNLABELLED"}) {
      image.addOrReplace(0x0008, 0x103E, label);  // follows every relabel
      if (dicom::contradicts(dicom::headerView(image), label)) found << label;
    }
    QCOMPARE(found.join(' '), contradicted);
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
