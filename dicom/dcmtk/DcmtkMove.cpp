// C-MOVE on DCMTK, in named steps: check and build the request, open the
// association, send the request, read the responses up to the final one,
// decide the result. The station's receiver takes the sub-operations' objects;
// what extends the move is the progress counter the station hands it (bytes
// of the moved objects arriving), never the peer's pending responses or the
// counts in them. Only an unqualified success returns; anything else raises
// DicomError.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/diutil.h>

#include <chrono>
#include <optional>

#include "DcmtkAssociation.h"
#include "DcmtkNet.h"

namespace dicom::dcmtk {
namespace {

using Clock = std::chrono::steady_clock;

QString levelName(QueryLevel level) {
  switch (level) {
    case QueryLevel::Study:
      return QStringLiteral("STUDY");
    case QueryLevel::Series:
      return QStringLiteral("SERIES");
    case QueryLevel::Image:
      return QStringLiteral("IMAGE");
  }
  return QString();
}

class MoveCall {
 public:
  MoveCall(const Query& query, const Timeouts& timeouts)
      : query_(query),
        timeouts_(timeouts),
        peer_(endpointOf(query.archive(), query.station())),
        destination_(query.station().aeTitle),
        study_(query.studyUID().trimmed()) {
    checkAETitle(destination_, QStringLiteral("move destination AE title"));
    if (study_.isEmpty()) {
      throw DicomError(OwnError::InvalidArgument,
                       QStringLiteral("No Study Instance UID is given for the move from %1.")
                           .arg(peerName(peer_)));
    }
    buildRequest();
    failed_ = QStringLiteral("%1 from %2 failed").arg(what_, peerName(peer_));
  }

  void run() {
    open();
    sendRequest();
    decide(awaitFinal());
  }

 private:
  // The identifier (level and keys) and what the descriptions call the move.
  void buildRequest() {
    const QString level = levelName(query_.level());
    keys_.putAndInsertString(DCM_QueryRetrieveLevel, level.toLatin1().constData());
    keys_.putAndInsertString(DCM_StudyInstanceUID, study_.toLatin1().constData());
    what_ = QStringLiteral("The move of study %1 to \"%2\"").arg(study_, destination_);
    if (query_.level() == QueryLevel::Study) return;
    const QStringList& series = query_.seriesUIDs();
    if (series.isEmpty()) {
      throw DicomError(OwnError::InvalidArgument,
                       QStringLiteral("No Series Instance UID is given for the %1 level move "
                                      "from %2.")
                           .arg(level, peerName(peer_)));
    }
    keys_.putAndInsertString(DCM_SeriesInstanceUID, series.join('\\').toLatin1().constData());
    what_ = QStringLiteral("The move of series %1 to \"%2\"").arg(series.join('\\'), destination_);
    if (query_.level() == QueryLevel::Series) return;
    const QStringList& instances = query_.instanceUIDs();
    if (instances.isEmpty()) {
      throw DicomError(OwnError::InvalidArgument,
                       QStringLiteral("No SOP Instance UID is given for the image level move "
                                      "from %1.")
                           .arg(peerName(peer_)));
    }
    keys_.putAndInsertString(DCM_SOPInstanceUID, instances.join('\\').toLatin1().constData());
    what_ =
        QStringLiteral("The move of %1 image(s) to \"%2\"").arg(instances.size()).arg(destination_);
  }

  void open() {
    const char* sopClass = moveClass();
    association_.emplace(peer_, timeouts_,
                         std::vector<ProposedContext>{{sopClass, identifierSyntaxes()}}, what_,
                         CallLimits{timeouts_.messageSeconds, timeouts_.moveSeconds});
    const auto& counter = query_.progressCounter();
    if (counter) bytesAtStart_ = counter();
    if (counter || query_.stopRequest()) association_->watchCounter(counter, query_.stopRequest());
    context_ = association_->acceptedContext(sopClass);
    if (context_ != 0) return;
    association_->abort();
    throw DicomError(
        OwnError::NoPresentationContext,
        QStringLiteral("%1: the peer does not accept the study root move.").arg(failed_));
  }

  void sendRequest() {
    T_DIMSE_Message message{};
    message.CommandField = DIMSE_C_MOVE_RQ;
    T_DIMSE_C_MoveRQ& request = message.msg.CMoveRQ;
    association_->stampRequest(request, moveClass());
    messageID_ = request.MessageID;
    OFStandard::strlcpy(request.MoveDestination, destination_.toLatin1().constData(),
                        sizeof request.MoveDestination);
    const OFCondition cond = association_->send(context_, message, &keys_);
    if (cond.bad()) throw association_->failure(cond, failed_, trace());
  }

  // Reads responses up to the final one. A pending response is noted, for
  // the description of a failure, and is no progress.
  Response awaitFinal() {
    for (;;) {
      Response response;
      const OFCondition cond = association_->receive(DIMSE_C_MOVE_RSP, messageID_,
                                                     association_->dimseTimeout(), response);
      if (cond.bad()) throw association_->failure(cond, failed_, trace());
      const T_DIMSE_C_MoveRSP& answer = response.command.msg.CMoveRSP;
      takeCounts(answer);
      if ((answer.DimseStatus & 0xFF00) != 0xFF00) return response;
      ++trace_.pendings;
      lastPending_ = Clock::now();
      report(answer);
    }
  }

  // How far the move is, when the pending response counts what remains.
  void report(const T_DIMSE_C_MoveRSP& answer) const {
    if (!query_.progressReport() || !(answer.opts & O_MOVE_NUMBEROFREMAININGSUBOPERATIONS)) return;
    const int done = trace_.completed + trace_.failed + trace_.warning;
    query_.progressReport()(done, done + trace_.remaining);
  }

  void takeCounts(const T_DIMSE_C_MoveRSP& answer) {
    if (answer.opts & O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS) {
      trace_.completed = answer.NumberOfCompletedSubOperations;
      trace_.counted = true;
    }
    if (answer.opts & O_MOVE_NUMBEROFFAILEDSUBOPERATIONS) {
      trace_.failed = answer.NumberOfFailedSubOperations;
      trace_.counted = true;
    }
    if (answer.opts & O_MOVE_NUMBEROFWARNINGSUBOPERATIONS) {
      trace_.warning = answer.NumberOfWarningSubOperations;
      trace_.counted = true;
    }
    if (answer.opts & O_MOVE_NUMBEROFREMAININGSUBOPERATIONS) {
      trace_.remaining = answer.NumberOfRemainingSubOperations;
    }
  }

  // What came so far: the pending responses, and the bytes that arrived.
  MoveTrace trace() const {
    MoveTrace trace = trace_;
    trace.sinceLastPending = std::chrono::duration<double>(Clock::now() - lastPending_).count();
    if (const auto& counter = query_.progressCounter()) trace.bytes = counter() - bytesAtStart_;
    return trace;
  }

  void decide(const Response& final) {
    const std::uint16_t status = final.command.msg.CMoveRSP.DimseStatus;
    if (status == STATUS_Success && trace_.failed == 0) return association_->release();
    association_->abort();
    throw moveError(status, failed_, trace_, final.data.get(), final.detail.get());
  }

  const Query& query_;
  Timeouts timeouts_;
  Endpoint peer_;
  QString destination_;
  QString study_;
  DcmDataset keys_;
  QString what_;
  QString failed_;
  std::optional<Association> association_;
  T_ASC_PresentationContextID context_ = 0;
  DIC_US messageID_ = 0;
  MoveTrace trace_;
  Clock::time_point lastPending_;
  std::uint64_t bytesAtStart_ = 0;
};

}  // namespace

void moveToStation(const Query& query, const Timeouts& timeouts) {
  MoveCall(query, timeouts).run();
}

}  // namespace dicom::dcmtk
