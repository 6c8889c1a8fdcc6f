#pragma once

#include <QString>
#include <QStringList>
#include <map>
#include <vector>

#include "LabelJournal.h"
#include "dicom/core/ImageCollection.h"

namespace station {

// The labels of the study on display: what the archive holds of each image,
// the labels given since, and the journal that keeps those on disk until the
// archive confirms them or the operator discards them.
class Labelling {
 public:
  explicit Labelling(QString journalPath);

  // A new study is on display: nothing is known of its labels yet.
  void forget() { archived_.clear(); }
  // The label the archive holds of the image, as far as the station knows.
  QString archivedLabel(const dicom::Image& image) const;

  // Gives the image a label: the journal has it on disk before the image
  // shows it changed. When the journal cannot be written the label is
  // given all the same, and false says why in problem.
  bool give(dicom::Image& image, const QString& label, QString* problem);
  // The archive holds the label now.
  void confirmed(const dicom::Image& image, const QString& label);
  // The operator dropped the labels of the study.
  void discard(const QString& study);

  // Labels a station that ended without sending them left in the journal.
  std::vector<LabelJournal::Entry> leftUnsent() const { return journal_.pending(); }

  struct Reapplied {
    int applied = 0;
    QStringList notApplied;  // one sentence for each label not re-applied
  };
  // Gives the images of the study on display the labels the journal still
  // holds for them, each only to its own instance and only where the
  // archive still holds the label it had when the label was given.
  Reapplied reapply(dicom::ImageCollection& images);

 private:
  QString instanceOf(const dicom::Image& image) const;

  LabelJournal journal_;
  std::map<QString, QString> archived_;  // SOP Instance UID -> label the archive holds
};

}  // namespace station
