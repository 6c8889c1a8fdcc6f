// The main window's labelling: the view-label buttons, the update that sends
// the labels, and the labels that outlive the station in its journal.

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

#include "ArchiveCheck.h"
#include "StudyUpdate.h"
#include "ViewLabels.h"
#include "common/AppDir.h"
#include "dicom/core/DicomError.h"
#include "frmMain.h"

QString frmMain::journalPath() {
  return common::appPath("Labels.journal");
}

void frmMain::cmdOrientation_Click(int index) {
  if (!SelectedImage) return;
  QString problem;
  if (!labelling_.give(*SelectedImage, cmdOrientation[index]->text(), &problem) &&
      !journalWarned_) {
    journalWarned_ = true;
    showMessage(QMessageBox::Warning, "Brevant",
                QString("The label was given, but it could not be recorded in %1 (%2): labels "
                        "not yet sent would be lost if the station ended now. Send them with "
                        "\"Update Study\" soon.")
                    .arg(QDir::toNativeSeparators(journalPath()), problem));
  }
  for (int i = 0; i < 4; ++i) setOrientationColour(i, kGrey);
  setOrientationColour(index, kLightGreen);
  if (updating_) {
    labelledDuringUpdate_ = true;
  } else {
    toolbarButton("update")->setEnabled(true);
  }
  dcmViewer->update();
}

void frmMain::runUpdate(QAction* button) {
  // Labels given during the update's event processing enable the button
  // again; one update at a time.
  if (updating_) return;
  button->setEnabled(false);
  updating_ = true;
  labelledDuringUpdate_ = false;
  struct Done {
    frmMain& window;
    ~Done() {
      window.updating_ = false;
      // A label given meanwhile still waits to be sent.
      if (window.labelledDuringUpdate_ && window.dcmViewer->images().markedCount() > 0) {
        window.toolbarButton("update")->setEnabled(true);
      }
    }
  } done{*this};
  station::ArchiveCheck check(dcmViewer->reception(), toolkit_, settings_);
  station::StudyUpdate update(
      dcmViewer->images(), settings_,
      {[this](bool visible, const QString& text) { State(visible, text); },
       [this] {
         dcmViewer->update();
         QCoreApplication::processEvents();
       },
       [&check](const std::vector<dicom::ImagePtr>& sent) { return check.labelsOf(sent); },
       [this](const dicom::Image& image) { return labelling_.archivedLabel(image); },
       [this](const dicom::Image& image, const QString& label) {
         labelling_.confirmed(image, label);
       }});
  const QString study =
      dcmViewer->images().count() > 0
          ? dcmViewer->images().item(1)->attribute(dicom::tags::StudyInstanceUID).value()
          : QString();
  try {
    const int confirmed = update.run();
    list_.record(study, search::StudyOutcome::Updated, confirmed);
  } catch (const dicom::DicomError& error) {
    list_.record(study, error.number() == dicom::OwnError::NotApplied
                            ? search::StudyOutcome::NotApplied
                            : search::StudyOutcome::Failed);
    throw;
  }
  dcmViewer->update();
  showMessage(QMessageBox::Information, "Brevant", "Update was successful.");
}

bool frmMain::confirmDiscard(const QString& action) {
  const int marked = dcmViewer->images().markedCount();
  if (marked == 0) return true;
  const bool discard =
      askYesNo("Brevant", QString("%1 changed image(s) of the study on display have not been "
                                  "sent to the archive with \"Update Study\".\r\n%2 "
                                  "discards these changes. Continue anyway?")
                              .arg(marked)
                              .arg(action));
  if (discard) {
    labelling_.discard(
        dcmViewer->images().item(1)->attribute(dicom::tags::StudyInstanceUID).value());
  }
  return discard;
}

bool frmMain::confirmDiscardChanges() {
  return confirmDiscard("Retrieving another study");
}

void frmMain::offerUnsentLabels() {
  const std::vector<station::LabelJournal::Entry> left = labelling_.leftUnsent();
  if (left.empty()) return;
  const station::LabelJournal::Entry& first = left.front();
  int count = 0;
  for (const auto& entry : left) count += entry.study == first.study ? 1 : 0;
  const bool again = askYesNo(
      "Brevant",
      QString("The station ended with %1 label(s) of study %2 (patient ID %3) not sent to the "
              "archive.\r\nRetrieve that study now and give its images those labels again? "
              "(No discards them.)")
          .arg(count)
          .arg(first.study, first.patientID));
  if (!again) {
    labelling_.discard(first.study);
    return;
  }
  reapplyStudy_ = first.study;
  retrieveStudy(first.study);
}

void frmMain::reapplyUnsentLabels() {
  const station::Labelling::Reapplied result = labelling_.reapply(dcmViewer->images());
  reapplyStudy_.clear();
  if (result.applied > 0) toolbarButton("update")->setEnabled(true);
  dcmViewer->update();
  QString text =
      QString("%1 label(s) were given again and wait for \"Update Study\".").arg(result.applied);
  if (!result.notApplied.isEmpty()) {
    text += "\r\nNot given again:\r\n" + result.notApplied.join("\r\n");
  }
  showMessage(result.notApplied.isEmpty() ? QMessageBox::Information : QMessageBox::Warning,
              "Brevant", text);
}
