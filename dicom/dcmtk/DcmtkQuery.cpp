// The query on DCMTK: the find (DcmtkFind.cpp) and the move (DcmtkMove.cpp).

#include <memory>

#include "DcmtkNet.h"
#include "DcmtkToolkit.h"

namespace dicom::dcmtk {
namespace {

class DcmtkQuery : public Query {
 public:
  DcmtkQuery(const Timeouts& timeouts, const Peer& archive, const StationIdentity& station)
      : Query(archive, station), timeouts_(timeouts) {}

  MatchCollection find(const DataSet& identifier, int maxMatches) override {
    return findMatches(*this, timeouts_, identifier, maxMatches);
  }

  void move() override { moveToStation(*this, timeouts_); }

 private:
  Timeouts timeouts_;
};

}  // namespace

std::unique_ptr<Query> makeQuery(const Timeouts& timeouts, const Peer& archive,
                                 const StationIdentity& station) {
  return std::make_unique<DcmtkQuery>(timeouts, archive, station);
}

}  // namespace dicom::dcmtk
