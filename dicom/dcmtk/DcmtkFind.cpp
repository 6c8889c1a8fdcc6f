// C-FIND on DCMTK, in named steps: open the association, send the request,
// read each response, decide the result. It runs as a loop of its own, not
// DCMTK's find call nor DcmSCU's, so that it can stop collecting at the
// limit and cancel the find on the peer, and so that every response is read
// through the scanning reader (DcmSCU's hooks see a response only after
// DCMTK's own parser has had it). The final status decides: only success
// returns; anything else raises DicomError.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/diutil.h>

#include <optional>

#include "DcmtkAssociation.h"
#include "DcmtkNet.h"
#include "DcmtkText.h"

namespace dicom::dcmtk {
namespace {

// How long to wait for the peer's final answer once a find was cancelled.
constexpr int kCancelAnswerSeconds = 5;

// A match as the station shows it: a study whose Modality is not returned
// shows its Modalities in Study instead.
DataSet toMatch(DcmDataset& identifier) {
  DataSet match = toDataSet(identifier);
  if (match.text(tags::Modality).isEmpty() && !match.text(tags::ModalitiesInStudy).isEmpty()) {
    match.set(tags::Modality, match.text(tags::ModalitiesInStudy));
  }
  return match;
}

bool isPending(std::uint16_t status) {
  return status == STATUS_Pending || status == STATUS_Pending + 1;
}

class FindCall {
 public:
  FindCall(const Query& query, const Timeouts& timeouts, int maxMatches)
      : timeouts_(timeouts),
        maxMatches_(maxMatches),
        studyRoot_(query.root() == QueryRoot::Study),
        peer_(endpointOf(query.archive(), query.station())),
        failed_(QStringLiteral("The find on %1 failed").arg(peerName(peer_))) {}

  MatchCollection run(const DataSet& identifier) {
    open();
    sendRequest(identifier);
    while (!finished_) {
      if (std::optional<Response> response = readResponse()) take(*response);
    }
    return std::move(matches_);
  }

 private:
  const char* sopClass() const {
    return studyRoot_ ? findClass() : UID_FINDPatientRootQueryRetrieveInformationModel;
  }

  void open() {
    association_.emplace(
        peer_, timeouts_, std::vector<ProposedContext>{{sopClass(), identifierSyntaxes()}},
        QStringLiteral("The find"), CallLimits{timeouts_.messageSeconds, timeouts_.findSeconds});
    context_ = association_->acceptedContext(sopClass());
    if (context_ != 0) return;
    association_->abort();
    throw DicomError(
        OwnError::NoPresentationContext,
        QStringLiteral("%1: the peer does not accept the %2 root find.")
            .arg(failed_, studyRoot_ ? QStringLiteral("STUDY") : QStringLiteral("PATIENT")));
  }

  void sendRequest(const DataSet& identifier) {
    DcmDataset keys;
    fromDataSet(identifier, keys);
    if (!identifier.contains(tags::QueryRetrieveLevel)) {
      keys.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    }
    T_DIMSE_Message message{};
    message.CommandField = DIMSE_C_FIND_RQ;
    T_DIMSE_C_FindRQ& request = message.msg.CFindRQ;
    association_->stampRequest(request, sopClass());
    messageID_ = request.MessageID;
    const OFCondition cond = association_->send(context_, message, &keys);
    if (cond.bad()) throw association_->failure(cond, failed_);
  }

  // The next response. Once the find was cancelled its result stands: a
  // peer that does not confirm the cancel in time changes nothing about it.
  std::optional<Response> readResponse() {
    Response response;
    const int wait = cancelled_ ? kCancelAnswerSeconds : association_->dimseTimeout();
    const OFCondition cond = association_->receive(DIMSE_C_FIND_RSP, messageID_, wait, response);
    if (cond.good()) return response;
    if (!cancelled_) throw association_->failure(cond, failed_);
    association_->abort();
    finished_ = true;
    return std::nullopt;
  }

  void take(const Response& response) {
    association_->progress();
    const std::uint16_t status = response.command.msg.CFindRSP.DimseStatus;
    if (isPending(status)) return collect(response);
    finished_ = true;
    // Cancelled, or finished before the cancel arrived: either way the
    // result stands.
    if (cancelled_ || status == STATUS_Success) return association_->release();
    association_->abort();
    throw statusError(status,
                      QStringLiteral("%1 after %2 match(es)").arg(failed_).arg(matches_.count()),
                      response.detail.get());
  }

  // A pending response's match; at the limit the find is cancelled on the peer.
  void collect(const Response& response) {
    if (!response.data || cancelled_) return;
    matches_.append(toMatch(*response.data));
    if (maxMatches_ > 0 && matches_.count() >= maxMatches_) {
      cancelled_ = true;
      matches_.setTruncated(true);
      DIMSE_sendCancelRequest(association_->handle(), context_, messageID_);
    }
  }

  Timeouts timeouts_;
  int maxMatches_;
  bool studyRoot_;
  Endpoint peer_;
  QString failed_;
  std::optional<Association> association_;
  T_ASC_PresentationContextID context_ = 0;
  DIC_US messageID_ = 0;
  MatchCollection matches_;
  bool cancelled_ = false;
  bool finished_ = false;
};

}  // namespace

MatchCollection findMatches(const Query& query, const Timeouts& timeouts, const DataSet& identifier,
                            int maxMatches) {
  return FindCall(query, timeouts, maxMatches).run(identifier);
}

}  // namespace dicom::dcmtk
