#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

#include "DataSet.h"

namespace dicom {

// One C-FIND or C-MOVE request to a remote node. A new object is made for
// every query or retrieval; the fields are plain request values.
class Query {
 public:
  virtual ~Query() = default;

  void setPort(std::int32_t port) { port_ = port; }
  void setNode(const QString& address) { node_ = address; }
  void setCalledAE(const QString& aet) { calledAE_ = aet; }
  void setCallingAE(const QString& aet) { callingAE_ = aet; }
  // Information model: "STUDY" (study root) or "PATIENT" (patient root).
  void setRoot(const QString& model) { root_ = model; }
  // Retrieve level of a move: "STUDY", "SERIES" or "IMAGE".
  void setLevel(const QString& level) { level_ = level; }
  void setDestination(const QString& aet) { destination_ = aet; }
  void setStudyUID(const QString& uid) { studyUID_ = uid; }
  // The series key of a move at SERIES or IMAGE level (several separated by
  // backslashes), and the instance keys (SOP Instance UIDs) of a move at
  // IMAGE level.
  void setSeriesUID(const QString& uid) { seriesUID_ = uid; }
  void setInstanceUIDs(const QStringList& uids) { instanceUIDs_ = uids; }
  // A counter that rises while the objects of a move arrive at the station
  // (bytes received): a move goes on while it, or the peer's count of
  // completed sub-operations, rises, and ends when both stand still for the
  // idle limit.
  void setProgressCounter(std::function<std::uint64_t()> counter) {
    progressCounter_ = std::move(counter);
  }

  std::int32_t port() const { return port_; }
  const QString& node() const { return node_; }
  const QString& calledAE() const { return calledAE_; }
  const QString& callingAE() const { return callingAE_; }
  const QString& root() const { return root_; }
  const QString& level() const { return level_; }
  const QString& destination() const { return destination_; }
  const QString& studyUID() const { return studyUID_; }
  const QString& seriesUID() const { return seriesUID_; }
  const QStringList& instanceUIDs() const { return instanceUIDs_; }
  const std::function<std::uint64_t()>& progressCounter() const { return progressCounter_; }

  // A new identifier that already asks for the return keys the result list
  // shows besides the criteria: Study Instance UID, Study Time, Modality.
  DataSet newDataSet() const;

  // C-FIND with the identifier. Returns every match once the peer reports
  // success; any other final status, or a network failure, raises DicomError.
  // With maxMatches above 0 it stops collecting at that many matches and
  // cancels the find on the peer; the collection then reports truncated().
  virtual MatchCollection find(const DataSet& identifier, int maxMatches = 0) = 0;

  // C-MOVE to the move destination of the study named by the study key (at
  // SERIES and IMAGE level, of the series and instances named by their keys).
  // Returns when the peer reports that every sub-operation succeeded;
  // a refused, failed or cancelled move, or failed sub-operations, raise
  // DicomError with the status and the counts in the description.
  virtual void move() = 0;

 private:
  std::int32_t port_ = 0;
  QString node_, calledAE_, callingAE_, root_, level_, destination_, studyUID_, seriesUID_;
  QStringList instanceUIDs_;
  std::function<std::uint64_t()> progressCounter_;
};

}  // namespace dicom
