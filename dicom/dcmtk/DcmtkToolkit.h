#pragma once

#include <memory>

#include "../Toolkit.h"

namespace dicom::dcmtk {

// How long any network step may take before it ends in a failure.
struct Timeouts {
  int connectSeconds = 5;       // TCP connect to the peer
  int associationSeconds = 10;  // association request and release
  int messageSeconds = 30;      // each DIMSE message, and an idle association
};

// The DICOM layer on DCMTK. Registers the decoders once for the process.
class DcmtkToolkit : public Toolkit {
 public:
  explicit DcmtkToolkit(Timeouts timeouts = {});
  ~DcmtkToolkit() override;

  std::unique_ptr<Query> newQuery() override;
  std::unique_ptr<StorageReceiver> newReceiver() override;

  const Timeouts& timeouts() const { return timeouts_; }

 private:
  Timeouts timeouts_;
};

}  // namespace dicom::dcmtk

namespace dicom::dcmtk {
// Made in their own units: the query (find, move) and the storage receiver.
std::unique_ptr<Query> makeQuery(const Timeouts& timeouts);
std::unique_ptr<StorageReceiver> makeReceiver(const Timeouts& timeouts);
}  // namespace dicom::dcmtk
