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

QString failureDetail(const std::exception& error) {
  const dicom::Failure failure = dicom::describe(error);
  return QString("%1 (0x%2): %3")
      .arg(failure.number)
      .arg(static_cast<quint32>(failure.number), 4, 16, QChar('0'))
      .arg(failure.description);
}

}  // namespace

StudyUpdate::StudyUpdate(dicom::ImageCollection& images, const ConnectionSettingsRecord& settings,
                         Hooks hooks)
    : images_(images), settings_(settings), hooks_(std::move(hooks)) {}

int StudyUpdate::run() {
  checkAuditTrail();
  hooks_.state(true, "Sending Images ...");
  std::exception_ptr failure;
  std::vector<Sent> sent = sendMarked(failure);
  // What reached the archive before a failure is confirmed if it can be;
  // the failure itself is what the operator is told.
  Outcome outcome;
  try {
    outcome = confirm(sent);
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  audit(sent, failure);
  if (failure) std::rethrow_exception(failure);
  if (!outcome.kept.empty() || !outcome.unconfirmed.empty()) {
    throw dicom::DicomError(dicom::OwnError::NotApplied, describe(outcome));
  }
  hooks_.state(false, "");
  return outcome.confirmed;
}

void StudyUpdate::checkAuditTrail() {
  if (images_.markedCount() == 0) return;
  QString why;
  if (modAudit::AuditTrail::ready(&why)) return;
  throw dicom::DicomError(
      dicom::OwnError::AuditTrail,
      QString("The audit trail %1 cannot be written (%2), so nothing was sent: every relabel "
              "sent to the archive must be recorded. The images stay marked CHANGED.")
          .arg(modAudit::AuditTrail::path(), why));
}

std::vector<StudyUpdate::Sent> StudyUpdate::sendMarked(std::exception_ptr& failure) {
  std::vector<Sent> sent;
  const int count = images_.count();
  try {
    for (int position = 1; position <= count; ++position) {
      if (!images_.item(position)->changed()) continue;
      hooks_.state(true, "Sending Images (" + QString::number(position) + ") ...");
      hooks_.processEvents();
      // Pending events may have changed the viewer: send what stands at this
      // position now (a position that no longer exists is a failure).
      const dicom::ImagePtr image = images_.item(position);
      if (!image->changed()) continue;
      sent.push_back({position, image, hooks_.archivedLabel(*image), labelOf(*image),
                      modAudit::Outcome::Failed, QString()});
      try {
        image->send(settings_.archive(), settings_.station());
      } catch (const std::exception& error) {
        sent.back().detail = failureDetail(error);
        throw;
      }
      sent.back().outcome = modAudit::Outcome::NotReturned;
    }
  } catch (...) {
    failure = std::current_exception();
  }
  return sent;
}

StudyUpdate::Outcome StudyUpdate::confirm(std::vector<Sent>& sent) {
  Outcome outcome;
  std::vector<dicom::ImagePtr> asked;
  for (const Sent& s : sent) {
    if (s.outcome != modAudit::Outcome::Failed) asked.push_back(s.image);
  }
  if (asked.empty()) return outcome;
  std::map<QString, QStringList> held;
  try {
    held = hooks_.readBack(asked);
  } catch (const std::exception& error) {
    outcome.checkFailure = dicom::describe(error).description;
  }
  for (Sent& s : sent) {
    if (s.outcome == modAudit::Outcome::Failed) continue;
    const QString uid = s.image->attribute(dicom::tags::SOPInstanceUID).defaultValue();
    const auto it = held.find(uid);
    const QStringList copies = it == held.end() ? QStringList() : it->second;
    if (copies.size() != 1) {
      outcome.unconfirmed.push_back(s.position);
      s.detail = outcome.checkFailure.isEmpty() ? QString("%1 copies came back").arg(copies.size())
                                                : outcome.checkFailure;
    } else if (copies.front() != s.label) {
      outcome.kept.push_back(s.position);
      s.outcome = modAudit::Outcome::KeptEarlier;
      s.detail = QString("the archive holds \"%1\"").arg(copies.front());
    } else {
      ++outcome.confirmed;
      s.outcome = modAudit::Outcome::Applied;
      if (hooks_.confirmed) hooks_.confirmed(*s.image, s.label);
      // A label given again while the update ran still waits to be sent.
      if (labelOf(*s.image) == s.label) s.image->setChanged(false);
    }
  }
  return outcome;
}

void StudyUpdate::audit(const std::vector<Sent>& sent, const std::exception_ptr& failure) {
  if (sent.empty()) return;
  std::vector<modAudit::Record> records;
  const dicom::Peer archive = settings_.archive();
  for (const Sent& s : sent) {
    const dicom::Image& image = *s.image;
    records.push_back({settings_.station().aeTitle, archive.aeTitle, archive.host,
                       archive.port.text(), image.patientID(),
                       image.attribute(dicom::tags::StudyInstanceUID).defaultValue(),
                       image.attribute(dicom::tags::SeriesInstanceUID).defaultValue(),
                       image.attribute(dicom::tags::SOPInstanceUID).defaultValue(), s.before,
                       s.label, s.outcome, s.detail});
  }
  QString why;
  if (modAudit::AuditTrail::write(records, &why)) return;
  if (failure) return;  // that failure is told; the log line names the audit's too
  throw dicom::DicomError(
      dicom::OwnError::AuditTrail,
      QString("The images were sent, but their audit records could not be written to %1 (%2).")
          .arg(modAudit::AuditTrail::path(), why));
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
