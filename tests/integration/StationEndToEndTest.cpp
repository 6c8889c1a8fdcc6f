// The whole station against the real archive, through the real windows
// offscreen: search, retrieve, select, label, update, and what the archive
// holds afterwards; an update the archive does not answer; a refused move.

#include <QPointer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "Archive.h"
#include "SampleStudy.h"
#include "common/AppDir.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "main/frmMain.h"
#include "search/frmSearch.h"
#include "settings/modMain.h"

namespace {

constexpr int kReceiveTimeoutMs = 90000;

}  // namespace

Q_DECLARE_METATYPE(samples::Syntax)

class StationEndToEndTest : public QObject {
  Q_OBJECT
 private:
  Archive archive_;
  QTemporaryDir stationDir_;  // Settings.ini and Logs/ of the station
  QTemporaryDir samplesDir_;
  dicom::dcmtk::DcmtkToolkit toolkit_;
  ConnectionSettingsRecord settings_;
  std::unique_ptr<frmMain> window_;
  QPointer<search::frmSearch> search_;
  QStringList messages_;  // "<window>: <text>" of every message box

  QByteArray log() const {
    QFile file(stationDir_.filePath("Logs/Error.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  std::vector<samples::WrittenImage> seed(const samples::StudySpec& spec, Archive& archive) {
    const auto images = samples::writeStudy(spec, samplesDir_.filePath(spec.accessionNumber));
    QStringList files;
    for (const auto& image : images) files << image.path;
    archive.upload(files);
    return images;
  }

  // Searches by accession number, checks the one row the archive filled,
  // and double-clicks it.
  void retrieve(const samples::StudySpec& spec) {
    window_->Toolbar1_ButtonClick("search");
    QVERIFY(search_);
    search_->txtAccNum->setText(spec.accessionNumber);
    search_->cmdSearch_Click();
    QCOMPARE(search_->grid1->rowCount(), 1);
    QStringList cells;
    for (int column = 2; column <= 10; ++column) cells << search_->grid1->cellText(1, column);
    QCOMPARE(cells,
             (QStringList{spec.studyDate, spec.patientID,
                          QString(spec.patientName).replace('^', ' '), spec.sex, spec.birthDate,
                          spec.studyTime, spec.studyDescription, spec.accessionNumber, "MG"}));
    search_->grid1_RowDoubleClick(1, 3);
  }

  void clickImage(int position) {
    const QPoint centre = window_->dcmViewer->tileRect(position).center();
    QTest::mouseClick(window_->dcmViewer, Qt::LeftButton, {}, centre);
  }

 private slots:
  void initTestCase() {
    QVERIFY2(archive_.problem().isEmpty(), qPrintable(archive_.problem()));
    common::setAppDirectoryForTesting(stationDir_.path());
  }

  void init() {
    archive_.clear();
    QCOMPARE(archive_.instanceCount(), 0);  // the fixture's archive answers and is empty
    QDir(stationDir_.filePath("Logs")).removeRecursively();
    messages_.clear();
    // The station as the composition root starts it, its settings saved.
    settings_ = {archive_.aet(), archive_.host(), QString::number(archive_.dicomPort()),
                 archive_.stationAET(), QString::number(archive_.stationPort())};
    QVERIFY(modMain::SaveConnectionSettings(settings_));
    settings_ = {};
    window_ = std::make_unique<frmMain>(
        toolkit_, settings_, [this](QWidget* owner, search::StationHost& host) {
          auto* dialog = new search::frmSearch(toolkit_, settings_, host, owner);
          dialog->setAttribute(Qt::WA_DeleteOnClose);
          dialog->showMessage = [this](QMessageBox::Icon, const QString&, const QString& text) {
            messages_ << "search: " + text;
          };
          search_ = dialog;
          dialog->open();
        });
    window_->showMessage = [this](QMessageBox::Icon, const QString&, const QString& text) {
      messages_ << "main: " + text;
    };
    window_->askYesNo = [](const QString&, const QString&) { return true; };
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

  void cleanup() {
    delete search_.data();
    window_.reset();
  }

  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  void retrievesLabelsAndUpdatesAStudy_data() {
    QTest::addColumn<samples::Syntax>("syntax");
    using enum samples::Syntax;
    for (auto syntax : {ExplicitLittle, ImplicitLittle, Deflated, JpegLossless, JpegLs, Rle}) {
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

    retrieve(spec);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->picState->isVisible(), kReceiveTimeoutMs);
    QVERIFY(!search_);  // the search window closed itself
    dicom::ImageCollection& images = window_->dcmViewer->images();
    QCOMPARE(images.count(), 4);
    QCOMPARE(window_->dcmViewer->gridSize(), 2);
    QCOMPARE(window_->txtPatID->text(), spec.patientID);
    QCOMPARE(window_->txtPatName->text(), QString("Müller Jürgen"));
    QCOMPARE(window_->txtStudyDate->text(), spec.studyDate);
    std::map<QString, int> positionOf;  // arrival order is the archive's
    for (int i = 1; i <= 4; ++i) {
      QVERIFY(!images.item(i)->displayImage().isNull());
      positionOf[images.item(i)->attribute(0x0008, 0x0018).value()] = i;
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

    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(messages_, QStringList{"main: Update was successful."});
    QCOMPARE(images.markedCount(), 0);
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

  // An update while nothing answers at the archive's address (as when it is
  // stopped): one "Send" line, the markers stay; with the archive back, the
  // next update sends them.
  void anUnreachableArchiveKeepsTheMarkersForTheNextUpdate() {
    samples::StudySpec spec;
    spec.rows = 512;
    spec.columns = 416;
    spec.accessionNumber = "ACC-STOPPED";
    seed(spec, archive_);
    retrieve(spec);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->picState->isVisible(), kReceiveTimeoutMs);
    for (int position : {1, 2}) {
      clickImage(position);
      window_->cmdOrientation_Click(1);
    }
    QTcpServer closed;  // a port nobody listens on once it is closed again
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    settings_.RemotePort = QString::number(closed.serverPort());
    closed.close();
    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(messages_.size(), 1);
    QVERIFY2(messages_[0].startsWith("main: ") && messages_[0] != "main: Update was successful.",
             qPrintable(messages_[0]));
    QCOMPARE(log().count("\r\n"), 1);
    QVERIFY(log().contains(" - Send\r\n"));
    QCOMPARE(window_->dcmViewer->images().markedCount(), 2);

    settings_.RemotePort = QString::number(archive_.dicomPort());
    clickImage(3);
    window_->cmdOrientation_Click(1);  // labelling enables the update again
    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(messages_.last(), QString("main: Update was successful."));
    QCOMPARE(window_->dcmViewer->images().markedCount(), 0);
    for (int position : {1, 2, 3}) {
      const dicom::ImagePtr image = window_->dcmViewer->images().item(position);
      const QJsonObject tags = archive_.instanceTags(image->attribute(0x0008, 0x0018).value());
      QCOMPARE(tags.value("SeriesDescription").toString(), QString("R CC"));
    }
  }

  // A move the archive refuses (no such destination): one log line of the
  // search window, its message over the still open window, nothing received.
  void aRefusedMoveIsLoggedAndShownOverTheOpenSearchWindow() {
    samples::StudySpec spec;
    spec.rows = 256;
    spec.columns = 208;
    spec.images = 1;
    spec.accessionNumber = "ACC-REFUSED";
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
};

QTEST_MAIN(StationEndToEndTest)
#include "StationEndToEndTest.moc"
