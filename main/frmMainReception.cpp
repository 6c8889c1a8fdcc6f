// The main window's reception: the retrieval, the viewer's events, the
// watchdog and the selection of an image.

#include "Retrieval.h"
#include "ViewLabels.h"
#include "dicom/core/DicomError.h"
#include "frmMain.h"
#include "log/modError.h"

void frmMain::dcmViewer_ImageReceived() {
  tmrKill->stop();
}

void frmMain::dcmViewer_AssociationClosed() {
  for (int i = 0; i < 4; ++i) setOrientationColour(i, kGrey);
  dicom::ImageCollection& images = dcmViewer->images();
  const int count = images.count();
  if (count == 0) {
    State(true, "No Images");
    return;
  }
  dcmViewer->setGridSize(gridSizeFor(count));
  const dicom::ImagePtr first = images.item(1);
  txtStudyDate->setText(first->attribute(dicom::tags::StudyDate).value());
  txtPatID->setText(first->patientID());
  txtPatName->setText(QString(first->patientName()).replace('^', ' '));
  State(false, "");
  if (!reapplyStudy_.isEmpty() &&
      first->attribute(dicom::tags::StudyInstanceUID).value() == reapplyStudy_) {
    reapplyUnsentLabels();
  }
}

void frmMain::tmrKill_Timer() {
  State(true, "No Images");
}

void frmMain::dcmViewer_MouseClick(int, int, std::int32_t x, std::int32_t y) {
  const std::int32_t position = dcmViewer->hitTest(x, y);
  if (position == 0) return;
  selectImage(position);
}

void frmMain::selectImage(int position) {
  dicom::ImageCollection& images = dcmViewer->images();
  // An image the station cannot display cannot be judged, so not labelled.
  if (!images.item(position)->displayProblem().isEmpty()) return;
  SelectedImage = images.item(position);
  for (int i = 1; i <= images.count(); ++i) images.item(i)->setFrameWidth(0);
  SelectedImage->setFrameColour(kRed);
  SelectedImage->setFrameWidth(2);
  const QString label = station::labelOf(*images.item(position));
  for (int i = 0; i < 4; ++i) {
    setOrientationColour(i, cmdOrientation[i]->text() == label ? kLightGreen : kGrey);
  }
  dcmViewer->update();
}

void frmMain::startWatchdog() {
  // Images of this retrieval that are already in the viewer have stopped the
  // watchdog before it was started; starting it now would put "No Images"
  // over a study on display.
  if (dcmViewer->images().count() > 0) return;
  tmrKill->start();
}

void frmMain::beginRetrieval(const QString& studyInstanceUID) {
  labelling_.forget();
  list_.setCurrent(studyInstanceUID);
  list_.record(studyInstanceUID, search::StudyOutcome::Opened);
  updateListButtons();
  station::Retrieval retrieval(dcmViewer->reception(), toolkit_, settings_,
                               {[this](bool visible, const QString& text) { State(visible, text); },
                                [this] { startWatchdog(); }});
  retrieval.run(studyInstanceUID);
}

void frmMain::retrieveStudy(const QString& studyInstanceUID) {
  try {
    beginRetrieval(studyInstanceUID);
  } catch (const std::exception& error) {
    // The retrieval's failure path, as from the search window.
    const dicom::Failure failure = dicom::describe(error);
    const QString description = "The retrieval of the study failed: " + failure.description;
    modError::LogError(failure.number, description, "cmdSearch_Click");
    list_.record(studyInstanceUID, search::StudyOutcome::Failed);
    showMessage(QMessageBox::Critical, "Brevant",
                "There was an error.\r\nRead the log file for more information.");
  }
}
