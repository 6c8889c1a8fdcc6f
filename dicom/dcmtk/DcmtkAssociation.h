#pragma once

// One outgoing association with bounded waiting, shared by the find, the
// move and the store.
//
// Every call is bounded twice. Its idle limit ends it when nothing has
// progressed for that long (no response, no match, no data sent, no image
// arriving at the station for a move), however slowly the peer trickles;
// its overall limit ends it when the whole call, connection and association
// included, has taken that long. A watchdog thread enforces both by shutting
// the association's socket down, which ends whatever DCMTK is blocked in;
// the failure then names the limit and the real time waited.
//
// Before the socket exists, name resolution and TCP connect are bounded by
// connectSeconds (the resolution runs on a helper thread, the connect by
// DCMTK's dcmConnectionTimeout) and the association answer by
// associationSeconds. dcmConnectionTimeout and the socket send/receive
// timeouts are process-globals that DCMTK reads while it opens the
// connection; they are set under one mutex per association request and put
// back afterwards, so outgoing association requests are opened one at a time.
//
// With TLS on (the station's settings), the association is secured by a TLS
// layer made for it; its handshake is bounded by the association limit, and
// a failed one names the certificate problem. There is no plain fall-back.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/ofstd/ofstd.h>

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DcmtkNet.h"

class DcmTransportLayer;

namespace dicom::dcmtk {

// A presentation context to propose: one abstract syntax and the transfer
// syntaxes offered for it, in order of preference.
struct ProposedContext {
  std::string abstractSyntax;
  std::vector<std::string> transferSyntaxes;
};

// Uncompressed syntaxes for the identifiers of a find or move, in order of
// preference.
std::vector<std::string> identifierSyntaxes();

// The SOP classes the station's find, move and echo propose, in this order,
// each with the identifier syntaxes. (A store proposes the object's own SOP
// class, in the object's transfer syntax and the two above.)
std::vector<ProposedContext> callContexts();
const char* findClass();
const char* moveClass();
const char* echoClass();

// The two limits of one call, in seconds; overall 0 means none.
struct CallLimits {
  int idleSeconds = 20;
  int overallSeconds = 30;
};

// One response of the peer to a request of ours: its command, its whole
// command set (the status detail, an Error Comment, is in it), and its data
// set when it has one.
struct Response {
  T_DIMSE_Message command{};
  std::unique_ptr<DcmDataset> detail;
  std::unique_ptr<DcmDataset> data;
};

class Watchdog;

// An established association. The constructor resolves the address,
// connects and negotiates, each step bounded; any failure raises DicomError
// and leaves nothing open. The association is aborted on destruction unless
// release() ended it first.
class Association {
 public:
  // purpose says what the association is for, in the descriptions of
  // failures ("The find", "Storing image 1.2.3"). The call's clock starts here.
  Association(const Endpoint& endpoint, const Timeouts& timeouts,
              const std::vector<ProposedContext>& contexts, const QString& purpose,
              CallLimits limits);
  ~Association();
  Association(const Association&) = delete;
  Association& operator=(const Association&) = delete;

  T_ASC_Association* handle() const { return association_; }
  const Endpoint& endpoint() const { return endpoint_; }
  // The wait to pass with DIMSE_NONBLOCKING to every DIMSE call: long enough
  // that the watchdog, which knows about progress, decides.
  int dimseTimeout() const;
  // The next message ID for a request on this association.
  DIC_US nextMessageID();
  // A request's header as every request of the station has it: the next
  // message ID, the SOP class, medium priority, a data set following.
  template <class Request>
  void stampRequest(Request& request, const char* sopClass) {
    request.MessageID = nextMessageID();
    OFStandard::strlcpy(request.AffectedSOPClassUID, sopClass, sizeof request.AffectedSOPClassUID);
    request.Priority = DIMSE_PRIORITY_MEDIUM;
    request.DataSetType = DIMSE_DATASET_PRESENT;
  }

  // A new call on the open association (the next store of a run): its
  // clock, its idle limit and its overall limit start again.
  void beginCall(CallLimits limits);

  // The call progressed: the idle limit starts again.
  void progress();
  // A counter that rises while the call progresses elsewhere (bytes arriving
  // at the station's receiver during a move); read by the watchdog.
  // stop, when given, ends the association once it says true (see Watchdog).
  void watchCounter(std::function<std::uint64_t()> counter, std::function<bool()> stop = {});

  // The ID of the accepted context for the abstract syntax whose accepted
  // transfer syntax is transferSyntax (any when empty); 0 when there is none.
  T_ASC_PresentationContextID acceptedContext(const std::string& abstractSyntax,
                                              const std::string& transferSyntax = {}) const;

  // Sends a request, with its data set when there is one.
  OFCondition send(T_ASC_PresentationContextID context, T_DIMSE_Message& request, DcmDataset* data,
                   DIMSE_ProgressCallback onProgress = nullptr, void* progressContext = nullptr);
  // Reads the next response, waiting at most waitSeconds (the watchdog's
  // limits first): its command, then its data set when it announces one,
  // each scanned before DCMTK parses it (DcmtkDimse.h: a command set holds
  // no sequence and at most 64 KB; a data set nests at most 64 deep and
  // holds at most 16 MB). One beyond those limits fails with
  // DIMSE_PARSEFAILED, and failure() names the reason. A response of
  // another kind than expected, or to another message, is a failure
  // (DIMSE_UNEXPECTEDRESPONSE).
  OFCondition receive(T_DIMSE_Command expected, DIC_US messageID, int waitSeconds,
                      Response& response);

  // Releases the association (bounded); an association the peer does not
  // release properly is aborted. Never raises: the operation itself has
  // already been confirmed by the peer when this is called.
  void release();
  // Aborts the association at once.
  void abort();

  // Aborts the association and returns the DicomError for a failed DIMSE
  // call: a limit that ended the call names itself and the time waited; a
  // move's trace says what came meanwhile.
  DicomError failure(const OFCondition& condition, const QString& context,
                     const std::optional<MoveTrace>& move = std::nullopt);

 private:
  QString resolveAddress(const QString& failed) const;
  T_ASC_Parameters* proposal(const QString& address, const std::vector<ProposedContext>& contexts,
                             const QString& failed);
  void request(T_ASC_Parameters* params, const QString& failed);
  void close();
  void startWatchdog(std::function<std::uint64_t()> counter, std::function<bool()> stop = {});

  Endpoint endpoint_;
  Timeouts timeouts_;
  // What makes the connection, TLS or plain and prompt; outlives the network.
  std::unique_ptr<DcmTransportLayer> tls_;
  std::unique_ptr<DcmTransportLayer> plain_;
  CallLimits limits_;
  std::chrono::steady_clock::time_point started_;
  T_ASC_Network* network_ = nullptr;
  T_ASC_Association* association_ = nullptr;
  std::unique_ptr<Watchdog> watchdog_;
  QString refusal_;  // why the last response read was refused unparsed
};

}  // namespace dicom::dcmtk
