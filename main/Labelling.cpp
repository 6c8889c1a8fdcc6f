#include "Labelling.h"

#include "ViewLabels.h"

namespace station {

Labelling::Labelling(QString journalPath) : journal_(std::move(journalPath)) {}

QString Labelling::instanceOf(const dicom::Image& image) const {
  return image.attribute(dicom::tags::SOPInstanceUID).defaultValue();
}

QString Labelling::archivedLabel(const dicom::Image& image) const {
  const auto it = archived_.find(instanceOf(image));
  // Never changed by the station: it still carries what the archive sent.
  return it == archived_.end() ? labelOf(image) : it->second;
}

bool Labelling::give(dicom::Image& image, const QString& label, QString* problem) {
  const QString instance = instanceOf(image);
  archived_.try_emplace(instance, labelOf(image));
  const bool journalled =
      journal_.labelled({image.attribute(dicom::tags::StudyInstanceUID).defaultValue(),
                         image.attribute(dicom::tags::SeriesInstanceUID).defaultValue(), instance,
                         image.patientID(), archived_[instance], label},
                        problem);
  applyLabel(image, label);
  return journalled;
}

void Labelling::confirmed(const dicom::Image& image, const QString& label) {
  archived_[instanceOf(image)] = label;
  journal_.settled(instanceOf(image), label);
}

void Labelling::discard(const QString& study) {
  journal_.discarded(study);
}

Labelling::Reapplied Labelling::reapply(dicom::ImageCollection& images) {
  Reapplied result;
  if (images.count() == 0) return result;
  const QString study = images.item(1)->attribute(dicom::tags::StudyInstanceUID).defaultValue();
  std::map<QString, int> positions;
  for (int i = 1; i <= images.count(); ++i) positions[instanceOf(*images.item(i))] = i;
  for (const LabelJournal::Entry& entry : journal_.pending()) {
    if (entry.study != study) continue;
    const auto it = positions.find(entry.instance);
    if (it == positions.end()) {
      result.notApplied << QString("Image %1 (\"%2\") is not in the study the archive sent.")
                               .arg(entry.instance, entry.after);
      journal_.settled(entry.instance, QString());
      continue;
    }
    dicom::Image& image = *images.item(it->second);
    const QString held = labelOf(image);
    if (held == entry.before) {
      archived_[entry.instance] = held;
      applyLabel(image, entry.after);
      ++result.applied;
      continue;
    }
    result.notApplied << (held == entry.after
                              ? QString("Image %1 already carries \"%2\" in the archive.")
                                    .arg(it->second)
                                    .arg(entry.after)
                              : QString(
                                    "Image %1: the archive now holds \"%2\", not \"%3\" as when "
                                    "\"%4\" was given; it was not changed.")
                                    .arg(it->second)
                                    .arg(held, entry.before, entry.after));
    journal_.settled(entry.instance, QString());
  }
  return result;
}

}  // namespace station
