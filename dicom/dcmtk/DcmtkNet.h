#pragma once

// The client side of the network layer: the peer's address, the station's
// three calls on the archive (DcmtkFind.cpp, DcmtkMove.cpp, DcmtkStore.cpp),
// and the one translation of everything that can go wrong in them (DCMTK
// conditions, DIMSE statuses, rejections, limits reached) into DicomError
// (DcmtkStatus.cpp).

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/ofstd/ofcond.h>

#include <QString>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DcmtkToolkit.h"
#include "dicom/core/DicomError.h"
#include "dicom/core/Peer.h"
#include "dicom/core/Query.h"

namespace dicom::dcmtk {

// The stack of every thread that makes a call on a peer or parses what a
// peer sent. What is parsed is scanned for deep nesting first; the large
// stack is the second line.
constexpr std::size_t kCallStackBytes = 64u * 1024 * 1024;

// One call's two ends: the archive's address, port and AE title (called)
// and the station's AE title (calling), and the station's TLS settings.
struct Endpoint {
  QString address;
  std::int32_t port = 0;
  QString callingAE;
  QString calledAE;
  TlsSettings tls{};
};

// The endpoint of a call the station makes on the archive: the one place
// where the archive and the station are taken apart for DCMTK. Raises
// DicomError (OwnError::InvalidArgument) for values that cannot be used:
// empty address, port outside 1..65535, unusable calling or called AE title;
// and std::invalid_argument for a port that is no number.
Endpoint endpointOf(const Peer& archive, const StationIdentity& station);

// The peer as the descriptions name it: AE title "ORTHANC" at 127.0.0.1:4242.
QString peerName(const Endpoint& endpoint);

// Raises OwnError::InvalidArgument for an AE title that cannot be used
// (empty, longer than 16 characters, backslash or control characters, not
// ASCII); role names the title in the description ("called AE title").
void checkAETitle(const QString& aeTitle, const QString& role);

// --- The station's calls. Each blocks until it is done; Query and Image
// run them off the calling thread (BlockingCall.h).

// C-FIND with the identifier; see Query::find.
MatchCollection findMatches(const Query& query, const Timeouts& timeouts, const DataSet& identifier,
                            int maxMatches);
// C-MOVE of what the query names to the station; see Query::move.
void moveToStation(const Query& query, const Timeouts& timeouts);
// C-ECHO to the query's archive; see Query::echo.
void echoArchive(const Query& query, const Timeouts& timeouts);
// Stores one object on the archive (C-STORE). Negotiates so that the object
// goes out in its own transfer syntax when the peer accepts it; otherwise
// in an uncompressed syntax when the object can be decoded losslessly.
// Returns on success or warning status; any other outcome raises DicomError.
void storeObject(DcmFileFormat& file, const Peer& archive, const StationIdentity& station,
                 const Timeouts& timeouts);

class Association;
// Stores of several objects on one association, as storeObject() makes each
// (see StoreSession): the association opens at the first store, proposing
// every kind of object expected, and carries the next ones while the peer,
// the station and the kinds stay the same and it has not stood idle for half
// the idle limit. One store at a time, from any thread.
class StoreChannel {
 public:
  explicit StoreChannel(const Timeouts& timeouts);
  ~StoreChannel();  // aborts an association still open
  StoreChannel(const StoreChannel&) = delete;
  StoreChannel& operator=(const StoreChannel&) = delete;

  // The association, when it opens, offers this object's kind too.
  void expect(DcmFileFormat& file);
  void store(DcmFileFormat& file, const Peer& archive, const StationIdentity& station);
  // Releases the association (bounded); never raises.
  void release();

 private:
  bool propose(const std::string& sopClass, const std::vector<std::string>& syntaxes);
  bool reusable(const Endpoint& peer) const;

  Timeouts timeouts_;
  std::vector<std::pair<std::string, std::string>> proposed_;  // SOP class, transfer syntax
  std::unique_ptr<Association> association_;
  Endpoint endpoint_;
  std::chrono::steady_clock::time_point lastStore_;
};

// --- The one translation into DicomError.

// True for the conditions DCMTK raises when a read waited its whole timeout.
bool isTimeout(const OFCondition& condition);

// The DicomError for a failed DCMTK condition; context says what was being done.
DicomError conditionError(const OFCondition& condition, const QString& context);

// The DicomError for a DIMSE status the peer sent, with the Error Comment
// of its status detail when there is one.
DicomError statusError(std::uint16_t status, const QString& context,
                       DcmDataset* statusDetail = nullptr);

// The DIMSE status meaning in English, e.g. "refused: out of resources".
QString statusMeaning(std::uint16_t status);

// The Error Comment (0000,0902) of a status detail, empty when there is none.
QString errorComment(DcmDataset* statusDetail);

// The peer's address could not be resolved: not within seconds (timedOut),
// or the name is unknown.
DicomError resolutionError(const QString& context, const QString& host, int seconds, bool timedOut);

// What an association request had come to when it failed.
struct RequestFailure {
  QString context;         // "The find with AE title ... failed"
  double waited = 0;       // seconds since the call began
  int connectSeconds = 0;  // the limits it had
  int associationSeconds = 0;
  QString rejection;     // the peer's reject parameters in words, for a rejection
  bool tls = false;      // the association was to be secured by TLS
  QString tlsProblem{};  // what made its handshake fail, when TLS said
};
DicomError requestError(const OFCondition& condition, const RequestFailure& failure);

// What a move had seen when it failed: its pending responses, the counts
// they reported, and the bytes of the study that arrived meanwhile.
struct MoveTrace {
  int pendings = 0;
  double sinceLastPending = 0;  // seconds between the last pending response and the failure
  int completed = 0, failed = 0, warning = 0, remaining = 0;
  bool counted = false;     // a response carried completed, failed or warning counts
  std::uint64_t bytes = 0;  // of the study's objects, arrived at the station
};

// The DicomError for a move whose final status is no unqualified success:
// the status (a success that still counts failed sub-operations is reported
// as the warning it should have been), the counts, the failed instances of
// the final identifier and the peer's comment.
DicomError moveError(std::uint16_t status, const QString& context, const MoveTrace& counts,
                     DcmDataset* identifier, DcmDataset* statusDetail);

// Which of its limits ended a call on an open association.
enum class LimitReached { None, Idle, Overall, Stopped };

// What a call on an open association had come to when it failed.
struct CallFailure {
  QString context;  // "The find on AE title ... failed"
  LimitReached limit = LimitReached::None;
  int idleSeconds = 0;
  int overallSeconds = 0;
  double waited = 0;  // seconds since the call began
  std::optional<MoveTrace> move;
  QString refusal;  // why the peer's answer was refused before it was parsed
};
DicomError callError(const OFCondition& condition, const CallFailure& failure);

}  // namespace dicom::dcmtk
