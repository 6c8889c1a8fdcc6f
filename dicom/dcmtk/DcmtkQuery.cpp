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

struct FindState {
  MatchCollection matches;
};

void onFindResponse(void* data, T_DIMSE_C_FindRQ*, int, T_DIMSE_C_FindRSP* response,
                    DcmDataset* identifier) {
  auto* state = static_cast<FindState*>(data);
  // DCMTK only calls back for pending responses; only the two pending
  // statuses carry a match.
  if (identifier == nullptr) return;
  if (response->DimseStatus != STATUS_Pending && response->DimseStatus != STATUS_Pending + 1)
    return;
  DataSet match = toDataSet(*identifier);
  if (match.text(tags::Modality).isEmpty() && !match.text(tags::ModalitiesInStudy).isEmpty()) {
    match.set(tags::Modality, match.text(tags::ModalitiesInStudy));
  }
  state->matches.append(std::move(match));
}

struct MoveCounts {
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
  static_cast<MoveCounts*>(data)->take(*response);
}

class DcmtkQuery : public Query {
 public:
  explicit DcmtkQuery(const Timeouts& timeouts) : timeouts_(timeouts) {}

  MatchCollection find(const DataSet& identifier) override {
    const Endpoint peer = endpoint();
    checkEndpoint(peer);
    const QString model = root().trimmed().toUpper();
    const char* sopClass = nullptr;
    if (model.isEmpty() || model == "STUDY") {
      sopClass = UID_FINDStudyRootQueryRetrieveInformationModel;
    } else if (model == "PATIENT") {
      sopClass = UID_FINDPatientRootQueryRetrieveInformationModel;
    } else {
      throw DicomError(OwnError::InvalidArgument,
                       QStringLiteral("The information model \"%1\" is unknown; use STUDY or "
                                      "PATIENT.")
                           .arg(root()));
    }

    DcmDataset request;
    fromDataSet(identifier, request);
    if (!identifier.contains(tags::QueryRetrieveLevel)) {
      request.putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
    }

    const QString what = QStringLiteral("The find");
    Association association(peer, timeouts_, {{sopClass, identifierSyntaxes()}}, what);
    const QString failed = QStringLiteral("The find on %1 failed").arg(peerName(peer));
    const T_ASC_PresentationContextID context = association.acceptedContext(sopClass);
    if (context == 0) {
      association.abort();
      throw DicomError(OwnError::NoPresentationContext,
                       QStringLiteral("%1: the peer does not accept the %2 root find.")
                           .arg(failed, model.isEmpty() ? QStringLiteral("STUDY") : model));
    }

    T_DIMSE_C_FindRQ findRequest{};
    findRequest.MessageID = association.nextMessageID();
    OFStandard::strlcpy(findRequest.AffectedSOPClassUID, sopClass,
                        sizeof findRequest.AffectedSOPClassUID);
    findRequest.Priority = DIMSE_PRIORITY_MEDIUM;
    findRequest.DataSetType = DIMSE_DATASET_PRESENT;

    FindState state;
    int responses = 0;
    T_DIMSE_C_FindRSP response{};
    DcmDataset* detail = nullptr;
    const OFCondition cond = DIMSE_findUser(association.handle(), context, &findRequest, &request,
                                            responses, onFindResponse, &state, DIMSE_NONBLOCKING,
                                            association.messageTimeout(), &response, &detail);
    std::unique_ptr<DcmDataset> detailOwner(detail);
    if (cond.bad()) throw association.failure(cond, failed);
    if (response.DimseStatus != STATUS_Success) {
      association.abort();
      throw withComment(
          statusError(
              response.DimseStatus,
              QStringLiteral("%1 after %2 match(es)").arg(failed).arg(state.matches.count())),
          detail);
    }
    association.release();
    return std::move(state.matches);
  }

  void move() override {
    const Endpoint peer = endpoint();
    checkEndpoint(peer);
    checkAETitle(destination(), QStringLiteral("move destination AE title"));
    if (studyUID().trimmed().isEmpty()) {
      throw DicomError(OwnError::InvalidArgument,
                       QStringLiteral("No Study Instance UID is given for the move from %1.")
                           .arg(peerName(peer)));
    }
    const QString retrieveLevel =
        level().trimmed().isEmpty() ? QStringLiteral("STUDY") : level().trimmed().toUpper();
    if (retrieveLevel != "STUDY" && retrieveLevel != "SERIES" && retrieveLevel != "IMAGE") {
      throw DicomError(OwnError::InvalidArgument,
                       QStringLiteral("The retrieve level \"%1\" is unknown; use STUDY, SERIES or "
                                      "IMAGE.")
                           .arg(level()));
    }

    DcmDataset request;
    request.putAndInsertString(DCM_QueryRetrieveLevel, retrieveLevel.toLatin1().constData());
    request.putAndInsertString(DCM_StudyInstanceUID, studyUID().trimmed().toLatin1().constData());

    const char* sopClass = UID_MOVEStudyRootQueryRetrieveInformationModel;
    const QString what =
        QStringLiteral("The move of study %1 to \"%2\"").arg(studyUID().trimmed(), destination());
    Association association(peer, timeouts_, {{sopClass, identifierSyntaxes()}}, what);
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
    OFStandard::strlcpy(moveRequest.MoveDestination, destination().toLatin1().constData(),
                        sizeof moveRequest.MoveDestination);

    MoveCounts counts;
    T_DIMSE_C_MoveRSP response{};
    DcmDataset* detail = nullptr;
    DcmDataset* identifiers = nullptr;
    const OFCondition cond =
        DIMSE_moveUser(association.handle(), context, &moveRequest, &request, onMoveResponse,
                       &counts, DIMSE_NONBLOCKING, association.messageTimeout(), nullptr, nullptr,
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
  Endpoint endpoint() const { return Endpoint{node().trimmed(), port(), callingAE(), calledAE()}; }

  static DicomError withComment(const DicomError& error, DcmDataset* detail) {
    const QString comment = errorComment(detail);
    if (comment.isEmpty()) return error;
    return DicomError(error.number(),
                      QStringLiteral("%1 The peer says: %2").arg(error.description(), comment));
  }

  Timeouts timeouts_;
};

}  // namespace

std::unique_ptr<Query> makeQuery(const Timeouts& timeouts) {
  return std::make_unique<DcmtkQuery>(timeouts);
}

}  // namespace dicom::dcmtk
