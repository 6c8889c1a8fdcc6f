// C-FIND and C-MOVE on DCMTK. DCMTK's user calls return a good condition
// whatever final status the peer sends, so every final status is read here:
// only success returns; anything else raises DicomError.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/diutil.h>

#include <memory>

#include "DcmtkAssociation.h"
#include "DcmtkNet.h"
#include "DcmtkText.h"
#include "DcmtkToolkit.h"

namespace dicom::dcmtk {
namespace {

// Uncompressed syntaxes for identifiers, in order of preference.
std::vector<std::string> identifierSyntaxes() {
  return {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax};
}

// A match as the station shows it: a study whose Modality is not returned
// shows its Modalities in Study instead.
DataSet toMatch(DcmDataset& identifier) {
  DataSet match = toDataSet(identifier);
  if (match.text(tags::Modality).isEmpty() && !match.text(tags::ModalitiesInStudy).isEmpty()) {
    match.set(tags::Modality, match.text(tags::ModalitiesInStudy));
  }
  return match;
}

// How long to wait for the peer's final answer once a find was cancelled.
constexpr int kCancelAnswerSeconds = 5;

struct MoveCounts {
  Association* association = nullptr;
  bool seen = false;
  int completed = 0, failed = 0, warning = 0, remaining = 0;

  void take(const T_DIMSE_C_MoveRSP& response) {
    if (response.opts & O_MOVE_NUMBEROFCOMPLETEDSUBOPERATIONS) {
      completed = response.NumberOfCompletedSubOperations;
      seen = true;
    }
    if (response.opts & O_MOVE_NUMBEROFFAILEDSUBOPERATIONS) {
      failed = response.NumberOfFailedSubOperations;
      seen = true;
    }
    if (response.opts & O_MOVE_NUMBEROFWARNINGSUBOPERATIONS) {
      warning = response.NumberOfWarningSubOperations;
      seen = true;
    }
    if (response.opts & O_MOVE_NUMBEROFREMAININGSUBOPERATIONS) {
      remaining = response.NumberOfRemainingSubOperations;
    }
  }
};

void onMoveResponse(void* data, T_DIMSE_C_MoveRQ*, int, T_DIMSE_C_MoveRSP* response) {
  auto* counts = static_cast<MoveCounts*>(data);
  const int before = counts->completed + counts->failed + counts->warning;
  counts->take(*response);
  // A pending answer alone is no progress; sub-operations that ended are.
  if (counts->completed + counts->failed + counts->warning != before) {
    counts->association->progress();
  }
}

class DcmtkQuery : public Query {
 public:
  DcmtkQuery(const Timeouts& timeouts, const Peer& archive, const StationIdentity& station)
      : Query(archive, station), timeouts_(timeouts) {}

  MatchCollection find(const DataSet& identifier, int maxMatches) override {
    const Endpoint peer = endpointOf(archive(), station());
    checkEndpoint(peer);
    const bool studyRoot = root() == QueryRoot::Study;
    const char* sopClass = studyRoot ? UID_FINDStudyRootQueryRetrieveInformationModel
                                     : UID_FINDPatientRootQueryRetrieveInformationModel;

    DcmDataset request;
    fromDataSet(identifier, request);
    if (!identifier.contains(tags::QueryRetrieveLevel)) {
      request.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    }

    const QString what = QStringLiteral("The find");
    Association association(peer, timeouts_, {{sopClass, identifierSyntaxes()}}, what,
                            CallLimits{timeouts_.messageSeconds, timeouts_.findSeconds});
    const QString failed = QStringLiteral("The find on %1 failed").arg(peerName(peer));
    const T_ASC_PresentationContextID context = association.acceptedContext(sopClass);
    if (context == 0) {
      association.abort();
      throw DicomError(
          OwnError::NoPresentationContext,
          QStringLiteral("%1: the peer does not accept the %2 root find.")
              .arg(failed, studyRoot ? QStringLiteral("STUDY") : QStringLiteral("PATIENT")));
    }

    // The find runs as a loop of its own, not DCMTK's find call, so that it
    // can stop collecting at the limit and cancel the find on the peer.
    const DIC_US messageID = association.nextMessageID();
    T_DIMSE_Message message{};
    message.CommandField = DIMSE_C_FIND_RQ;
    T_DIMSE_C_FindRQ& findRequest = message.msg.CFindRQ;
    findRequest.MessageID = messageID;
    OFStandard::strlcpy(findRequest.AffectedSOPClassUID, sopClass,
                        sizeof findRequest.AffectedSOPClassUID);
    findRequest.Priority = DIMSE_PRIORITY_MEDIUM;
    findRequest.DataSetType = DIMSE_DATASET_PRESENT;
    OFCondition cond = DIMSE_sendMessageUsingMemoryData(association.handle(), context, &message,
                                                        nullptr, &request, nullptr, nullptr);
    if (cond.bad()) throw association.failure(cond, failed);

    MatchCollection matches;
    bool cancelled = false;
    for (;;) {
      const int wait = cancelled ? kCancelAnswerSeconds : association.dimseTimeout();
      T_DIMSE_Message answer{};
      T_ASC_PresentationContextID answerContext = 0;
      DcmDataset* detail = nullptr;
      cond = DIMSE_receiveCommand(association.handle(), DIMSE_NONBLOCKING, wait, &answerContext,
                                  &answer, &detail);
      std::unique_ptr<DcmDataset> detailOwner(detail);
      if (cond.bad() && cancelled) {
        // The result was decided when the find was cancelled; a peer that
        // does not confirm the cancel changes nothing about it.
        association.abort();
        break;
      }
      if (cond.bad()) throw association.failure(cond, failed);
      if (answer.CommandField != DIMSE_C_FIND_RSP ||
          answer.msg.CFindRSP.MessageIDBeingRespondedTo != messageID) {
        throw association.failure(makeDcmnetCondition(DIMSEC_UNEXPECTEDRESPONSE, OF_error,
                                                      "unexpected response to the find"),
                                  failed);
      }
      association.progress();
      const T_DIMSE_C_FindRSP& response = answer.msg.CFindRSP;
      DcmDataset* identifier = nullptr;
      if (response.DataSetType != DIMSE_DATASET_NULL) {
        cond = DIMSE_receiveDataSetInMemory(association.handle(), DIMSE_NONBLOCKING, wait,
                                            &answerContext, &identifier, nullptr, nullptr);
        if (cond.bad() && cancelled) {
          association.abort();
          break;
        }
        if (cond.bad()) throw association.failure(cond, failed);
      }
      std::unique_ptr<DcmDataset> identifierOwner(identifier);
      const std::uint16_t status = response.DimseStatus;
      if (status == STATUS_Pending || status == STATUS_Pending + 1) {
        if (identifier == nullptr || cancelled) continue;
        matches.append(toMatch(*identifier));
        if (maxMatches > 0 && matches.count() >= maxMatches) {
          cancelled = true;
          matches.setTruncated(true);
          DIMSE_sendCancelRequest(association.handle(), context, messageID);
        }
        continue;
      }
      if (cancelled) {
        // Cancelled, or finished before the cancel arrived: either way the
        // result stands.
        association.release();
        break;
      }
      if (status != STATUS_Success) {
        association.abort();
        throw statusError(status,
                          QStringLiteral("%1 after %2 match(es)").arg(failed).arg(matches.count()),
                          detail);
      }
      association.release();
      break;
    }
    return matches;
  }

  void move() override {
    const Endpoint peer = endpointOf(archive(), station());
    checkEndpoint(peer);
    const QString destination = station().aeTitle;
    checkAETitle(destination, QStringLiteral("move destination AE title"));
    if (studyUID().trimmed().isEmpty()) {
      throw DicomError(OwnError::InvalidArgument,
                       QStringLiteral("No Study Instance UID is given for the move from %1.")
                           .arg(peerName(peer)));
    }
    const QString retrieveLevel = level() == QueryLevel::Study    ? QStringLiteral("STUDY")
                                  : level() == QueryLevel::Series ? QStringLiteral("SERIES")
                                                                  : QStringLiteral("IMAGE");

    DcmDataset request;
    request.putAndInsertString(DCM_QueryRetrieveLevel, retrieveLevel.toLatin1().constData());
    request.putAndInsertString(DCM_StudyInstanceUID, studyUID().trimmed().toLatin1().constData());
    QString what =
        QStringLiteral("The move of study %1 to \"%2\"").arg(studyUID().trimmed(), destination);
    if (retrieveLevel != "STUDY") {
      if (seriesUIDs().isEmpty()) {
        throw DicomError(OwnError::InvalidArgument,
                         QStringLiteral("No Series Instance UID is given for the %1 level move "
                                        "from %2.")
                             .arg(retrieveLevel, peerName(peer)));
      }
      request.putAndInsertString(DCM_SeriesInstanceUID,
                                 seriesUIDs().join('\\').toLatin1().constData());
      what = QStringLiteral("The move of series %1 to \"%2\"")
                 .arg(seriesUIDs().join('\\'), destination);
    }
    if (retrieveLevel == "IMAGE") {
      if (instanceUIDs().isEmpty()) {
        throw DicomError(OwnError::InvalidArgument,
                         QStringLiteral("No SOP Instance UID is given for the image level move "
                                        "from %1.")
                             .arg(peerName(peer)));
      }
      request.putAndInsertString(DCM_SOPInstanceUID,
                                 instanceUIDs().join('\\').toLatin1().constData());
      what = QStringLiteral("The move of %1 image(s) to \"%2\"")
                 .arg(instanceUIDs().size())
                 .arg(destination);
    }

    const char* sopClass = UID_MOVEStudyRootQueryRetrieveInformationModel;
    Association association(peer, timeouts_, {{sopClass, identifierSyntaxes()}}, what,
                            CallLimits{timeouts_.messageSeconds, timeouts_.moveSeconds});
    if (progressCounter()) association.watchCounter(progressCounter());
    const QString failed = QStringLiteral("%1 from %2 failed").arg(what, peerName(peer));
    const T_ASC_PresentationContextID context = association.acceptedContext(sopClass);
    if (context == 0) {
      association.abort();
      throw DicomError(
          OwnError::NoPresentationContext,
          QStringLiteral("%1: the peer does not accept the study root move.").arg(failed));
    }

    T_DIMSE_C_MoveRQ moveRequest{};
    moveRequest.MessageID = association.nextMessageID();
    OFStandard::strlcpy(moveRequest.AffectedSOPClassUID, sopClass,
                        sizeof moveRequest.AffectedSOPClassUID);
    moveRequest.Priority = DIMSE_PRIORITY_MEDIUM;
    moveRequest.DataSetType = DIMSE_DATASET_PRESENT;
    OFStandard::strlcpy(moveRequest.MoveDestination, destination.toLatin1().constData(),
                        sizeof moveRequest.MoveDestination);

    MoveCounts counts;
    counts.association = &association;
    T_DIMSE_C_MoveRSP response{};
    DcmDataset* detail = nullptr;
    DcmDataset* identifiers = nullptr;
    const OFCondition cond =
        DIMSE_moveUser(association.handle(), context, &moveRequest, &request, onMoveResponse,
                       &counts, DIMSE_NONBLOCKING, association.dimseTimeout(), nullptr, nullptr,
                       nullptr, &response, &detail, &identifiers, OFTrue);
    std::unique_ptr<DcmDataset> detailOwner(detail), identifiersOwner(identifiers);
    if (cond.bad()) throw association.failure(cond, failed);
    counts.take(response);

    const std::uint16_t status = response.DimseStatus;
    if (status == STATUS_Success && counts.failed == 0) {
      association.release();
      return;
    }
    association.abort();
    QString summary = counts.seen
                          ? QStringLiteral("%1 completed, %2 failed, %3 with warnings")
                                .arg(counts.completed)
                                .arg(counts.failed)
                                .arg(counts.warning)
                          : QStringLiteral("0 completed, 0 failed, 0 with warnings reported");
    if (counts.remaining > 0) summary += QStringLiteral(", %1 remaining").arg(counts.remaining);
    // A success that still counts failed sub-operations is reported as the
    // warning it should have been.
    const DicomError error =
        status == STATUS_Success
            ? DicomError(0xB000,
                         QStringLiteral("%1: the peer answered with status 0x0000 (success) "
                                        "although sub-operations failed.")
                             .arg(failed))
            : statusError(status, failed);
    QString description =
        QStringLiteral("%1 Sub-operations: %2.").arg(error.description(), summary);
    OFString failedList;
    if (identifiers != nullptr &&
        identifiers->findAndGetOFStringArray(DCM_FailedSOPInstanceUIDList, failedList).good() &&
        !failedList.empty()) {
      description +=
          QStringLiteral(" Failed instances: %1.").arg(QString::fromLatin1(failedList.c_str()));
    }
    const QString comment = errorComment(detail);
    if (!comment.isEmpty()) description += QStringLiteral(" The peer says: %1").arg(comment);
    throw DicomError(error.number(), description);
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
