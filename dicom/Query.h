#pragma once

#include <QString>
#include <cstdint>

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

  std::int32_t port() const { return port_; }
  const QString& node() const { return node_; }
  const QString& calledAE() const { return calledAE_; }
  const QString& callingAE() const { return callingAE_; }
  const QString& root() const { return root_; }
  const QString& level() const { return level_; }
  const QString& destination() const { return destination_; }
  const QString& studyUID() const { return studyUID_; }

  // A new identifier that already asks for the return keys the result list
  // shows besides the criteria: Study Instance UID, Study Time, Modality.
  DataSet newDataSet() const;

  // C-FIND with the identifier. Returns every match once the peer reports
  // success; any other final status, or a network failure, raises DicomError.
  virtual MatchCollection find(const DataSet& identifier) = 0;

  // C-MOVE of the study named by the study key to the move destination.
  // Returns when the peer reports that every sub-operation succeeded;
  // a refused, failed or cancelled move, or failed sub-operations, raise
  // DicomError with the status and the counts in the description.
  virtual void move() = 0;

 private:
  std::int32_t port_ = 0;
  QString node_, calledAE_, callingAE_, root_, level_, destination_, studyUID_;
};

}  // namespace dicom
