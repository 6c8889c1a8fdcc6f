#include "StudyUpdate.h"

#include "ViewLabels.h"
#include "dicom/core/DicomError.h"

namespace station {
namespace {

QString positions(const std::vector<int>& list) {
  QStringList texts;
  for (int position : list) texts << QString::number(position);
  return texts.join(", ");
}

}  // namespace

StudyUpdate::StudyUpdate(dicom::ImageCollection& images, const ConnectionSettingsRecord& settings,
                         Hooks hooks)
    : images_(images), settings_(settings), hooks_(std::move(hooks)) {}

int StudyUpdate::run() {
  hooks_.state(true, "Sending Images ...");
  const int count = images_.count();
  std::vector<Sent> sent;
  try {
    for (int position = 1; position <= count; ++position) {
      if (!images_.item(position)->changed()) continue;
      hooks_.state(true, "Sending Images (" + QString::number(position) + ") ...");
      hooks_.processEvents();
      // Pending events may have changed the viewer: send what stands at this
      // position now (a position that no longer exists is a failure).
      const dicom::ImagePtr image = images_.item(position);
      if (!image->changed()) continue;
      const QString sentLabel = labelOf(*image);
      image->send(settings_.archive(), settings_.station());
      sent.push_back({position, image, sentLabel});
    }
  } catch (...) {
    // What reached the archive before the failure is confirmed if it can
    // be; the failure itself is what the operator is told.
    try {
      confirm(sent);
    } catch (...) {
    }
    throw;
  }
  const Outcome outcome = confirm(sent);
  if (!outcome.kept.empty() || !outcome.unconfirmed.empty()) {
    throw dicom::DicomError(dicom::OwnError::NotApplied, describe(outcome));
  }
  hooks_.state(false, "");
  return outcome.confirmed;
}

StudyUpdate::Outcome StudyUpdate::confirm(const std::vector<Sent>& sent) {
  Outcome outcome;
  if (sent.empty()) return outcome;
  std::vector<dicom::ImagePtr> asked;
  for (const Sent& s : sent) asked.push_back(s.image);
  std::map<QString, QStringList> held;
  try {
    held = hooks_.readBack(asked);
  } catch (const std::exception& error) {
    outcome.checkFailure = dicom::describe(error).description;
  }
  for (const Sent& s : sent) {
    const QString uid = s.image->attribute(dicom::tags::SOPInstanceUID).defaultValue();
    const auto it = held.find(uid);
    const QStringList copies = it == held.end() ? QStringList() : it->second;
    if (copies.size() != 1) {
      outcome.unconfirmed.push_back(s.position);
    } else if (copies.front() != s.label) {
      outcome.kept.push_back(s.position);
    } else {
      ++outcome.confirmed;
      // A label given again while the update ran still waits to be sent.
      if (labelOf(*s.image) == s.label) s.image->setChanged(false);
    }
  }
  return outcome;
}

QString StudyUpdate::describe(const Outcome& outcome) {
  QStringList parts;
  if (!outcome.kept.empty()) {
    parts << QString(
                 "The archive accepted %1 image(s) but kept its earlier copy, so the new "
                 "label did not reach it (position(s) %2). Its administrator can allow "
                 "received images to replace stored ones.")
                 .arg(outcome.kept.size())
                 .arg(positions(outcome.kept));
  }
  if (!outcome.unconfirmed.empty()) {
    QString text = QString(
                       "The new label of %1 image(s) could not be confirmed from the archive "
                       "(position(s) %2)")
                       .arg(outcome.unconfirmed.size())
                       .arg(positions(outcome.unconfirmed));
    text += outcome.checkFailure.isEmpty()
                ? QString(": the archive returned none, or more than one copy, of each.")
                : QString(": %1").arg(outcome.checkFailure);
    parts << text;
  }
  parts << "These images stay marked CHANGED.";
  return parts.join(' ');
}

}  // namespace station
