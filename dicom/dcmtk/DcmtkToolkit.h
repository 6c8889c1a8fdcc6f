#pragma once

#include <memory>

#include "dicom/core/Toolkit.h"

namespace dicom::dcmtk {

// How long any network step may take before it ends in a failure. On a
// dead, silent or stalling peer no call waits longer than 30 s.
struct Timeouts {
  int connectSeconds = 5;       // name resolution and TCP connect to the peer
  int associationSeconds = 10;  // association request and release
  // A call, or an association at the receiver, ends when nothing has
  // progressed for this long: no response, no data, no image arriving.
  int messageSeconds = 20;
  int findSeconds = 30;    // a whole find, connection included
  int moveSeconds = 3600;  // a whole move: it goes on while it progresses
  int storeSeconds = 30;   // a whole store of one object, plus 1 s per MB of it
};

// The DICOM layer on DCMTK. Registers the decoders once for the process.
class DcmtkToolkit : public Toolkit {
 public:
  explicit DcmtkToolkit(Timeouts timeouts = {});
  ~DcmtkToolkit() override;

  std::unique_ptr<Query> newQuery(const Peer& archive, const StationIdentity& station) override;
  std::unique_ptr<StorageReceiver> newReceiver() override;

  const Timeouts& timeouts() const { return timeouts_; }

 private:
  Timeouts timeouts_;
};

}  // namespace dicom::dcmtk

namespace dicom::dcmtk {
// Made in their own units: the query (find, move) and the storage receiver.
std::unique_ptr<Query> makeQuery(const Timeouts& timeouts, const Peer& archive,
                                 const StationIdentity& station);
std::unique_ptr<StorageReceiver> makeReceiver(const Timeouts& timeouts);
}  // namespace dicom::dcmtk
