#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

#include "DataSet.h"
#include "Peer.h"

namespace dicom {

// The query/retrieve information model a find or move works in.
enum class QueryRoot { Study, Patient };
// The level a move retrieves at: a whole study, series of it, or instances.
enum class QueryLevel { Study, Series, Image };

// One C-FIND or C-MOVE request to the archive, on behalf of this station. A
// new object is made for every query or retrieval; the archive, the calling
// AE title and the move destination (the station's own AE title) are fixed
// when it is made, the keys are plain request values.
class Query {
 public:
  Query(Peer archive, StationIdentity station)
      : archive_(std::move(archive)), station_(std::move(station)) {}
  virtual ~Query() = default;

  const Peer& archive() const { return archive_; }
  const StationIdentity& station() const { return station_; }

  void setRoot(QueryRoot root) { root_ = root; }
  void setLevel(QueryLevel level) { level_ = level; }
  void setStudyUID(const QString& uid) { studyUID_ = uid; }
  // The series keys of a move at SERIES or IMAGE level, and the instance
  // keys (SOP Instance UIDs) of a move at IMAGE level.
  void setSeriesUIDs(const QStringList& uids) { seriesUIDs_ = uids; }
  void setInstanceUIDs(const QStringList& uids) { instanceUIDs_ = uids; }
  // A counter that rises while the objects of a move arrive at the station
  // (bytes of the moved study received): a move goes on while it rises, and
  // ends when it stands still for the idle limit.
  void setProgressCounter(std::function<std::uint64_t()> counter) {
    progressCounter_ = std::move(counter);
  }

  // Told how far a move is, at each pending response that counts its
  // sub-operations: those done (completed, failed or with warnings) and all
  // of them. Called on the move's own thread.
  using ProgressReport = std::function<void(int done, int total)>;
  void setProgressReport(ProgressReport report) { progressReport_ = std::move(report); }
  // Asked every tenth of a second while a move runs, on a thread of its
  // own: once it says true, the move's association is aborted, so that the
  // archive stops sending, and the move raises DicomError (Stopped).
  void setStopRequest(std::function<bool()> stop) { stopRequest_ = std::move(stop); }

  QueryRoot root() const { return root_; }
  QueryLevel level() const { return level_; }
  const QString& studyUID() const { return studyUID_; }
  const QStringList& seriesUIDs() const { return seriesUIDs_; }
  const QStringList& instanceUIDs() const { return instanceUIDs_; }
  const std::function<std::uint64_t()>& progressCounter() const { return progressCounter_; }
  const ProgressReport& progressReport() const { return progressReport_; }
  const std::function<bool()>& stopRequest() const { return stopRequest_; }

  // A new identifier that already asks for the return keys the result list
  // shows besides the criteria: Study Instance UID, Study Time, Modality.
  DataSet newDataSet() const;

  // C-FIND with the identifier. Returns every match once the peer reports
  // success; any other final status, or a network failure, raises DicomError.
  // With maxMatches above 0 it stops collecting at that many matches and
  // cancels the find on the peer; the collection then reports truncated().
  virtual MatchCollection find(const DataSet& identifier, int maxMatches = 0) = 0;

  // C-MOVE to the station of the study named by the study key (at SERIES
  // and IMAGE level, of the series and instances named by their keys).
  // Returns when the peer reports that every sub-operation succeeded;
  // a refused, failed or cancelled move, or failed sub-operations, raise
  // DicomError with the status and the counts in the description.
  virtual void move() = 0;

  // C-ECHO to the archive: returns when it answers with success; a
  // rejection, another status or a network failure raises DicomError.
  virtual void echo() = 0;

 private:
  Peer archive_;
  StationIdentity station_;
  QueryRoot root_ = QueryRoot::Study;
  QueryLevel level_ = QueryLevel::Study;
  QString studyUID_;
  QStringList seriesUIDs_;
  QStringList instanceUIDs_;
  std::function<std::uint64_t()> progressCounter_;
  ProgressReport progressReport_;
  std::function<bool()> stopRequest_;
};

}  // namespace dicom
