#pragma once

// What the end-to-end tests share: an archive that a script of tools/
// starts in a folder of its own, and the station run through its windows.

#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <utility>
#include <vector>

#include "Archive.h"
#include "SampleStudy.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "main/ViewLabels.h"
#include "main/frmMain.h"
#include "search/frmSearch.h"
#include "support/Files.h"

// An archive started by tools/archive.sh or tools/qrscp.sh, stopped when it goes.
struct OwnArchive {
  explicit OwnArchive(const QString& name = "archive.sh") : script(name) {}
  QString script;
  QTemporaryDir dir;
  Archive archive{QString()};
  bool run(const QString& command, const QStringList& options = {}) {
    const QStringList arguments = QStringList{command, dir.path()} + options;
    const bool done = QProcess::execute(BREVANT_TOOLS + script, arguments) == 0;
    archive = Archive(dir.filePath("archive.env"));
    return done;
  }
  ~OwnArchive() { run("stop"); }
};

// The station's side of an end-to-end test: its folder, its windows wired
// as the composition root wires them (every message box recorded in
// messages_ as "main: <text>" or "search: <text>", every question answered
// yes), and the steps an operator takes.
class StationFixture {
 protected:
  QTemporaryDir stationDir_;  // Settings.ini and Logs/ of the station
  QTemporaryDir samplesDir_;
  dicom::dcmtk::DcmtkToolkit toolkit_;
  ConnectionSettingsRecord settings_;
  search::StudyList list_;
  std::unique_ptr<frmMain> window_;
  QPointer<search::frmSearch> search_;
  QStringList messages_;
  static constexpr int kReceiveTimeoutMs = 90000;

  // The main window on settings_, shown, opening its search window as the
  // station opens it.
  void openWindows() {
    window_ = std::make_unique<frmMain>(
        toolkit_, settings_, list_, [this](QWidget* owner, search::StationHost& host) {
          auto* dialog = new search::frmSearch(toolkit_, settings_, host, list_, owner);
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
  void closeWindows() {
    delete search_.data();
    window_.reset();
  }

  // The station's error log (Logs/Error.log in its folder), empty when there is none.
  QByteArray log() const { return files::read(stationDir_.filePath("Logs/Error.log")); }

  // The station's settings for the archive, over plain TCP.
  void pointAt(const Archive& archive) {
    settings_ = {archive.aet(), archive.host(), QString::number(archive.dicomPort()),
                 archive.stationAET(), QString::number(archive.stationPort())};
  }

  // A study of four small images (256 x 208) under that accession number.
  static samples::StudySpec smallStudy(const QString& accessionNumber) {
    samples::StudySpec spec;
    spec.rows = 256;
    spec.columns = 208;
    spec.accessionNumber = accessionNumber;
    return spec;
  }

  // Writes the study and uploads it to the archive.
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
  // The same, until the images are on screen.
  void retrieveAndShow(const samples::StudySpec& spec) {
    retrieve(spec);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->picState->isVisible(), kReceiveTimeoutMs);
  }

  void clickImage(int position) {
    const QPoint centre = window_->dcmViewer->tileRect(position).center();
    QTest::mouseClick(window_->dcmViewer, Qt::LeftButton, {}, centre);
  }

  // Gives the image at the position the view after its own by its button;
  // its SOP Instance UID and new label.
  std::pair<QString, QString> relabel(int position) {
    static const QStringList views{"L CC", "R CC", "L MLO", "R MLO"};
    clickImage(position);
    const dicom::ImagePtr image = window_->dcmViewer->images().item(position);
    const int next = (views.indexOf(station::labelOf(*image)) + 1) % 4;
    window_->cmdOrientation[next]->click();
    return {image->attribute(dicom::tags::SOPInstanceUID).value(), views[next]};
  }

  void updateSucceeds() {
    messages_.clear();
    window_->Toolbar1_ButtonClick("update");
    QCOMPARE(messages_, QStringList{"main: Update was successful."});
    QCOMPARE(window_->dcmViewer->images().markedCount(), 0);
  }
};
