// The query on DCMTK: the find (DcmtkFind.cpp) and the move (DcmtkMove.cpp),
// each on a thread of its own while the caller waits (BlockingCall.h).

#include <memory>

#include "DcmtkNet.h"
#include "DcmtkToolkit.h"
#include "dicom/core/BlockingCall.h"

namespace dicom::dcmtk {
namespace {

class DcmtkQuery : public Query {
 public:
  DcmtkQuery(const Timeouts& timeouts, const Peer& archive, const StationIdentity& station)
      : Query(archive, station), timeouts_(timeouts) {}

  MatchCollection find(const DataSet& identifier, int maxMatches) override {
    return callOffThread([&] { return findMatches(*this, timeouts_, identifier, maxMatches); },
                         kCallStackBytes);
  }

  void move() override {
    runOffThread([&] { moveToStation(*this, timeouts_); }, kCallStackBytes);
  }

 private:
  Timeouts timeouts_;
};

}  // namespace

std::unique_ptr<Query> makeQuery(const Timeouts& timeouts, const Peer& archive,
                                 const StationIdentity& station) {
  return std::make_unique<DcmtkQuery>(timeouts, archive, station);
}

}  // namespace dicom::dcmtk
