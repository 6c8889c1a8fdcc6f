// The whole station against the real archive, driving the real windows
// offscreen: search, retrieve, select, label, update, and read the result
// back from the archive.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>

#include "Archive.h"
#include "SampleStudy.h"
#include "common/AppDir.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "main/frmMain.h"
#include "search/frmSearch.h"
#include "settings/modINI.h"
#include "settings/modMain.h"

namespace {

constexpr int kReceiveTimeoutMs = 90000;

struct Message {
  QMessageBox::Icon icon;
  QString text;
};

// The bytes of the pixel data of a DICOM file (encapsulated or native).
QByteArray pixelBytes(const QByteArray& file) {
  DcmInputBufferStream stream;
  stream.setBuffer(file.constData(), static_cast<offile_off_t>(file.size()));
  stream.setEos();
  DcmFileFormat format;
  format.transferInit();
  if (format.read(stream).bad()) return {};
  format.transferEnd();
  DcmElement* element = nullptr;
  if (format.getDataset()->findAndGetElement(DCM_PixelData, element).bad()) return {};
  DcmPixelData* pixels = dynamic_cast<DcmPixelData*>(element);
  if (pixels == nullptr) return {};
  // Encapsulated: compare the original (compressed) fragments as stored.
  E_TransferSyntax xfer = EXS_Unknown;
  const DcmRepresentationParameter* parameter = nullptr;
  pixels->getOriginalRepresentationKey(xfer, parameter);
  DcmPixelSequence* sequence = nullptr;
  if (DcmXfer(xfer).isEncapsulated() &&
      pixels->getEncapsulatedRepresentation(xfer, parameter, sequence).good() && sequence) {
    QByteArray bytes;
    for (unsigned long i = 1; i < sequence->card(); ++i) {  // item 0 is the offset table
      DcmPixelItem* item = nullptr;
      Uint8* data = nullptr;
      if (sequence->getItem(item, i).good() && item->getUint8Array(data).good() && data) {
        bytes.append(reinterpret_cast<const char*>(data),
                     static_cast<qsizetype>(item->getLength()));
      }
    }
    return bytes;
  }
  Uint8* data = nullptr;
  if (pixels->getUint8Array(data).bad() || data == nullptr) return {};
  return QByteArray(reinterpret_cast<const char*>(data),
                    static_cast<qsizetype>(pixels->getLength()));
}

QByteArray readFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class StationEndToEndTest : public QObject {
  Q_OBJECT
 private:
  Archive archive_;
  QTemporaryDir stationDir_;  // where Settings.ini and Logs/ of the station live
  QTemporaryDir samplesDir_;
  std::unique_ptr<dicom::dcmtk::DcmtkToolkit> toolkit_;
  std::unique_ptr<frmMain> window_;
  QPointer<search::frmSearch> search_;
  std::vector<Message> messages_;
  std::vector<Message> searchMessages_;
  QStringList questions_;

  QByteArray log() const { return readFile(stationDir_.filePath("Logs/Error.log")); }

  void writeSettings(const QString& locAET) {
    const QString path = stationDir_.filePath("Settings.ini");
    QFile::remove(path);
    modINI::WriteIniString("SETTINGS", "RemoteAET", archive_.aet(), path);
    modINI::WriteIniString("SETTINGS", "RemoteIP", archive_.host(), path);
    modINI::WriteIniString("SETTINGS", "RemotePort", QString::number(archive_.dicomPort()), path);
    modINI::WriteIniString("SETTINGS", "LocAET", locAET, path);
    modINI::WriteIniString("SETTINGS", "LocPort", QString::number(archive_.stationPort()), path);
  }

  void openStation() {
    window_ = std::make_unique<frmMain>(*toolkit_, [this](QWidget* owner,
                                                          search::StationHost& host) {
      auto* dialog = new search::frmSearch(*toolkit_, host, owner);
      dialog->setAttribute(Qt::WA_DeleteOnClose);
      dialog->setMessageSink([this](QMessageBox::Icon icon, const QString& text, const QString&) {
        searchMessages_.push_back({icon, text});
      });
      search_ = dialog;
      dialog->open();
    });
    window_->showMessage = [this](QMessageBox::Icon icon, const QString&, const QString& text) {
      messages_.push_back({icon, text});
    };
    window_->askYesNo = [this](const QString&, const QString& text) {
      questions_ << text;
      return true;
    };
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

  // Seeds a study and returns what was written.
  std::vector<samples::WrittenImage> seed(samples::StudySpec spec, const QString& name) {
    const QString folder = samplesDir_.filePath(name);
    auto images = samples::writeStudy(spec, folder);
    QStringList files;
    for (const auto& image : images) files << image.path;
    archive_.upload(files);
    return images;
  }

  // Search by accession number and double-click the single row.
  void retrieve(const QString& accessionNumber) {
    window_->Toolbar1_ButtonClick("search");
    QVERIFY(search_);
    search_->txtAccNum->setText(accessionNumber);
    search_->cmdSearch_Click();
    QCOMPARE(search_->grid1->rowCount(), 1);
    QCOMPARE(search_->grid1->cellText(1, 9), accessionNumber);
    search_->grid1_RowDoubleClick(1, 3);
  }

  void clickImage(int position) {
    const QPoint centre = window_->dcmViewer->tileRect(position).center();
    QTest::mouseClick(window_->dcmViewer, Qt::LeftButton, {}, centre);
  }

 private slots:
  void initTestCase() {
    archive_ = Archive::fromEnvironment();
    if (!archive_.available()) QFAIL(qPrintable("no test archive: " + archive_.problem()));
    common::setAppDirectoryForTesting(stationDir_.path());
    dicom::dcmtk::Timeouts timeouts;
    timeouts.connectSeconds = 3;
    timeouts.associationSeconds = 5;
    timeouts.messageSeconds = 20;
    toolkit_ = std::make_unique<dicom::dcmtk::DcmtkToolkit>(timeouts);
  }

  void init() {
    archive_.clear();
    archive_.setStationPort(archive_.stationPort());
    QDir(stationDir_.filePath("Logs")).removeRecursively();
    messages_.clear();
    searchMessages_.clear();
    questions_.clear();
    writeSettings(archive_.stationAET());
    openStation();
  }

  void cleanup() {
    if (search_) delete search_.data();
    window_.reset();
  }

  void cleanupTestCase() { common::setAppDirectoryForTesting(QString()); }

  void retrievesLabelsAndUpdatesAStudy_data() {
    QTest::addColumn<int>("syntax");
    QTest::newRow("explicit little endian") << int(samples::Syntax::ExplicitLittle);
    QTest::newRow("implicit little endian") << int(samples::Syntax::ImplicitLittle);
    QTest::newRow("deflated") << int(samples::Syntax::Deflated);
    QTest::newRow("jpeg lossless") << int(samples::Syntax::JpegLossless);
    QTest::newRow("jpeg-ls") << int(samples::Syntax::JpegLs);
    QTest::newRow("rle") << int(samples::Syntax::Rle);
  }
  void retrievesLabelsAndUpdatesAStudy() {
    QFETCH(int, syntax);
    samples::StudySpec spec;
    spec.syntax = static_cast<samples::Syntax>(syntax);
    spec.patientName = "Smith^Anna";
    spec.patientID = "E2E-" + QString::number(syntax);
    spec.accessionNumber = "ACC-E2E-" + QString::number(syntax);
    spec.studyDate = "20240216";
    spec.bitsStored = 16;
    spec.photometric = syntax % 2 ? "MONOCHROME1" : "MONOCHROME2";
    const auto written = seed(spec, spec.accessionNumber);
    const QString syntaxUID = samples::transferSyntaxUID(spec.syntax);

    retrieve(spec.accessionNumber);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->picState->isVisible(), kReceiveTimeoutMs);
    QVERIFY(!search_);  // the search window closed itself
    dicom::ImageCollection& images = window_->viewer().images();
    QCOMPARE(images.count(), 4);
    QCOMPARE(window_->dcmViewer->gridSize(), 2);
    QCOMPARE(window_->txtPatID->text(), spec.patientID);
    QCOMPARE(window_->txtPatName->text(), QString("Smith Anna"));
    QCOMPARE(window_->txtStudyDate->text(), QString("20240216"));
    for (int i = 1; i <= 4; ++i) QVERIFY(!images.item(i)->displayImage().isNull());

    // Find which position holds which written image (arrival order is the archive's).
    auto positionOf = [&](const QString& uid) {
      for (int i = 1; i <= images.count(); ++i) {
        if (images.item(i)->attribute(0x0008, 0x0018).value() == uid) return i;
      }
      return 0;
    };
    const int first = positionOf(written[0].sopInstanceUID);
    const int third = positionOf(written[2].sopInstanceUID);
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
    QVERIFY(window_->toolbarButton("update")->isEnabled());

    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(messages_.size(), std::size_t(1));
    QCOMPARE(messages_[0].icon, QMessageBox::Information);
    QCOMPARE(messages_[0].text, QString("Update was successful."));
    QCOMPARE(images.markedCount(), 0);
    QVERIFY(!window_->toolbarButton("update")->isEnabled());
    QVERIFY(log().isEmpty());

    // What the archive holds now, read from the archive itself.
    QCOMPARE(archive_.instanceCount(), 4);
    const QString expected[4] = {"R MLO", "R CC", "L CC", "R MLO"};
    for (int i = 0; i < 4; ++i) {
      const QString uid = written[static_cast<std::size_t>(i)].sopInstanceUID;
      QCOMPARE(archive_.instanceTags(uid).value("SeriesDescription").toString(), expected[i]);
      QCOMPARE(archive_.instanceTransferSyntax(uid), syntaxUID);
      const QByteArray original = pixelBytes(readFile(written[static_cast<std::size_t>(i)].path));
      QVERIFY(!original.isEmpty());
      QVERIFY2(pixelBytes(archive_.instanceFile(uid)) == original, "pixel data changed");
    }
  }

  void moreThanFourImagesTileThreeByThree() {
    samples::StudySpec spec;
    spec.images = 6;
    spec.rows = 512;
    spec.columns = 416;
    spec.accessionNumber = "ACC-SIX";
    seed(spec, "six");
    retrieve(spec.accessionNumber);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->picState->isVisible(), kReceiveTimeoutMs);
    QCOMPARE(window_->viewer().images().count(), 6);
    QCOMPARE(window_->dcmViewer->gridSize(), 3);
  }

  void aSecondRetrievalReplacesTheFirstStudy() {
    samples::StudySpec a;
    a.rows = 512;
    a.columns = 416;
    a.patientID = "FIRST";
    a.accessionNumber = "ACC-A";
    samples::StudySpec b = a;
    b.patientID = "SECOND";
    b.accessionNumber = "ACC-B";
    b.images = 2;
    seed(a, "a");
    seed(b, "b");
    retrieve("ACC-A");
    QTRY_VERIFY_WITH_TIMEOUT(window_->txtPatID->text() == "FIRST", kReceiveTimeoutMs);
    clickImage(1);
    QVERIFY(window_->selectedImage());
    retrieve("ACC-B");
    QVERIFY(!window_->selectedImage());
    QTRY_VERIFY_WITH_TIMEOUT(window_->txtPatID->text() == "SECOND", kReceiveTimeoutMs);
    QCOMPARE(window_->viewer().images().count(), 2);
    window_->cmdOrientation_Click(0);  // nothing selected in the new study: nothing happens
    QVERIFY(!window_->toolbarButton("update")->isEnabled());
  }

  void aRefusedMoveIsLoggedAndShownOverTheOpenSearchWindow() {
    samples::StudySpec spec;
    spec.rows = 256;
    spec.columns = 208;
    spec.images = 1;
    spec.accessionNumber = "ACC-REFUSED";
    seed(spec, "refused");
    window_.reset();
    writeSettings("UNKNOWNAET");  // no such move destination in the archive
    openStation();
    retrieve(spec.accessionNumber);
    QVERIFY(search_);  // still open
    QCOMPARE(searchMessages_.size(), std::size_t(1));
    QCOMPARE(searchMessages_[0].icon, QMessageBox::Critical);
    QCOMPARE(searchMessages_[0].text,
             QString("There was an error.\r\nRead the log file for more information."));
    QCOMPARE(log().count("\r\n"), 1);
    QVERIFY(log().contains(" - cmdSearch_Click\r\n"));
    QVERIFY(window_->picState->isVisible());
    QCOMPARE(window_->lblState->text(), QString("Receiving Images ..."));
    QCOMPARE(window_->viewer().images().count(), 0);
    QVERIFY(!window_->tmrKill->isActive());
  }

  void aStoppedArchiveKeepsTheMarkersForTheNextUpdate() {
    // A private archive of this test, so that stopping it harms no other test.
    QTemporaryDir state;
    const QString script = QString(BREVANT_SOURCE_DIR) + "/tools/archive.sh";
    auto run = [&](const QStringList& args) {
      QProcess process;
      process.start(script, args);
      QVERIFY(process.waitForFinished(60000));
      QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
    };
    const QStringList startArgs = {"start",          state.path(),
                                   "--station-aet",  archive_.stationAET(),
                                   "--station-port", QString::number(archive_.stationPort())};
    const Archive fixture = archive_;
    struct Restore {
      Archive& current;
      const Archive& fixture;
      std::function<void()> stop;
      ~Restore() {
        stop();
        current = fixture;
      }
    } restore{archive_, fixture, [&] { QProcess::execute(script, {"stop", state.path()}); }};
    run(startArgs);
    archive_ = Archive::fromFile(state.filePath("archive.env"));
    QVERIFY(archive_.available());
    samples::StudySpec spec;
    spec.rows = 512;
    spec.columns = 416;
    spec.accessionNumber = "ACC-STOPPED";
    const auto written = seed(spec, "stopped");
    window_.reset();
    writeSettings(archive_.stationAET());
    openStation();
    retrieve(spec.accessionNumber);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->picState->isVisible(), kReceiveTimeoutMs);
    for (int position : {1, 2}) {
      clickImage(position);
      window_->cmdOrientation_Click(1);
    }

    run({"stop", state.path()});
    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(messages_.size(), std::size_t(1));
    QCOMPARE(messages_[0].icon, QMessageBox::Critical);
    QCOMPARE(log().count("\r\n"), 1);
    QVERIFY(log().contains(" - Send\r\n"));
    QCOMPARE(window_->viewer().images().markedCount(), 2);

    run(startArgs);
    archive_ = Archive::fromFile(state.filePath("archive.env"));
    ConnectionSettings.RemotePort = QString::number(archive_.dicomPort());
    clickImage(3);
    window_->cmdOrientation_Click(1);  // labelling enables the update again
    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(messages_.back().text, QString("Update was successful."));
    QCOMPARE(window_->viewer().images().markedCount(), 0);
    QCOMPARE(archive_.instanceCount(), 3);  // the restarted archive started empty
  }
};

QTEST_MAIN(StationEndToEndTest)
#include "StationEndToEndTest.moc"
