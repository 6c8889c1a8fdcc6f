#pragma once

#include <QString>
#include <vector>

namespace modAudit {

// What became of one image an update sent, as the archive's read-back
// established it.
enum class Outcome {
  Applied,      // the archive returned one copy, carrying the new label
  KeptEarlier,  // the archive accepted the store but kept its earlier copy
  NotReturned,  // the archive returned no copy, or more than one
  Failed,       // the store itself failed
};

// One relabel sent to the archive.
struct Record {
  QString stationAET;
  QString archiveAET, archiveHost, archivePort;
  QString patientID, studyUID, seriesUID, sopInstanceUID;
  QString labelBefore, labelAfter;
  Outcome outcome = Outcome::Failed;
  QString detail;  // the status or error number, and why, for a failure
};

// The audit trail, Logs/Audit.log beside the executable: who changed the
// view label of which image, when, from what to what, and whether the
// archive took it. CSV (RFC 4180, UTF-8) with a header line, one record a
// line, only ever appended and synced to the disk; the station never
// rewrites, shortens or rotates it.
class AuditTrail {
 public:
  static QString path();
  static const QString& header();

  // True when records can be appended now; why not in reason.
  static bool ready(QString* reason);
  // Appends the records (and the header first, to a new file), stamped
  // with the time, the operating-system user and the station's version;
  // returns once they are on the disk, false with the reason otherwise.
  static bool write(const std::vector<Record>& records, QString* reason);

  // One record as its line, without the line end.
  static QString line(const Record& record, const QString& timeUtc, const QString& user,
                      const QString& version);
  static QString outcomeText(Outcome outcome);
  // The name of the operating-system user running the station.
  static QString operatingSystemUser();
};

}  // namespace modAudit
