#pragma once

#include <memory>

#include "Peer.h"
#include "Query.h"
#include "StorageReceiver.h"

namespace dicom {

// The factory of the DICOM layer. The program holds one; only the
// composition root knows which concrete toolkit it is.
class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // A find or move on the archive, on behalf of the station.
  virtual std::unique_ptr<Query> newQuery(const Peer& archive, const StationIdentity& station) = 0;
  virtual std::unique_ptr<StorageReceiver> newReceiver() = 0;
};

}  // namespace dicom
