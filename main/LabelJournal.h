#pragma once

#include <QString>
#include <vector>

namespace station {

// The labels given and not yet confirmed by the archive, kept on disk so
// that they outlive the station: a crash, a forced logout or a power cut
// before "Update Study" loses none of them.
//
// The file is a text file of one record a line, appended and synced before
// each call returns: a label given to an instance, an instance whose label
// the archive confirmed (or that was dropped), a study whose labels the
// operator discarded. Each record ends in a checksum; a record torn by a
// power cut (no line end, or a checksum that does not match) is ignored,
// so that at most the last label is lost and no half record is ever read.
// Once nothing is pending, the file is removed.
class LabelJournal {
 public:
  struct Entry {
    QString study, series, instance, patientID;
    QString before;  // the label the archive held when this one was given
    QString after;   // the label given
  };

  explicit LabelJournal(QString path);

  const QString& path() const { return path_; }

  // Each returns once its record is on the disk; false, with the reason,
  // when it could not be written.
  bool labelled(const Entry& entry, QString* error = nullptr);
  // The archive holds this label of the instance now, or it was dropped
  // (an empty label: whatever was given). A label given since stays.
  bool settled(const QString& instance, const QString& label, QString* error = nullptr);
  // The operator discarded every label of the study.
  bool discarded(const QString& study, QString* error = nullptr);

  // The labels still pending, the latest of each instance, in the order
  // they were first given.
  std::vector<Entry> pending() const;

 private:
  bool append(const QStringList& fields, QString* error);
  bool removeWhenSettled(QString* error);

  QString path_;
};

}  // namespace station
