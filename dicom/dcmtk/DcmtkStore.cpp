// C-STORE of one object to the peer.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/ofstd/ofstd.h>

#include <algorithm>
#include <memory>

#include "DcmtkAssociation.h"

namespace dicom::dcmtk {
namespace {

// Each PDV the peer took is progress: a peer that stops reading ends the
// store at the idle limit, however large the object.
void onStoreProgress(void* data, T_DIMSE_StoreProgress*, T_DIMSE_C_StoreRQ*) {
  static_cast<Association*>(data)->progress();
}

}  // namespace

void storeObject(DcmFileFormat& file, const Endpoint& endpoint, const Timeouts& timeouts) {
  checkEndpoint(endpoint);
  DcmDataset* dataset = file.getDataset();
  OFString sopClass, sopInstance;
  if (dataset == nullptr || dataset->findAndGetOFString(DCM_SOPClassUID, sopClass).bad() ||
      sopClass.empty() || dataset->findAndGetOFString(DCM_SOPInstanceUID, sopInstance).bad() ||
      sopInstance.empty()) {
    throw DicomError(OwnError::InvalidObject,
                     QStringLiteral("The object cannot be stored on %1: it has no SOP Class UID or "
                                    "no SOP Instance UID.")
                         .arg(peerName(endpoint)));
  }
  const QString what =
      QStringLiteral("Storing image %1").arg(QString::fromLatin1(sopInstance.c_str()));

  // The object's own transfer syntax: as read, else as its meta header says.
  E_TransferSyntax original = dataset->getOriginalXfer();
  if (original == EXS_Unknown) {
    OFString uid;
    if (file.getMetaInfo() != nullptr &&
        file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, uid).good()) {
      original = DcmXfer(uid.c_str()).getXfer();
    }
  }
  if (original == EXS_Unknown) original = EXS_LittleEndianExplicit;
  const DcmXfer originalXfer(original);

  // The original syntax in its own context, then the uncompressed fallbacks.
  std::vector<std::string> order{originalXfer.getXferID()};
  for (const char* fallback :
       {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}) {
    if (order.front() != fallback) order.emplace_back(fallback);
  }
  std::vector<ProposedContext> contexts;
  for (const std::string& syntax : order) contexts.push_back({sopClass.c_str(), {syntax}});

  // A large object may take a while on a slow network; a stalled peer ends
  // at the idle limit long before.
  const Uint32 megabytes = dataset->getLength(original) / 1000000u;
  const CallLimits limits{
      timeouts.messageSeconds,
      timeouts.storeSeconds + static_cast<int>(std::min<Uint32>(megabytes, 3600))};
  Association association(endpoint, timeouts, contexts, what, limits);
  T_ASC_PresentationContextID context = 0;
  std::string chosen;
  for (const std::string& syntax : order) {
    context = association.acceptedContext(sopClass.c_str(), syntax);
    if (context != 0) {
      chosen = syntax;
      break;
    }
  }
  const QString failed =
      QStringLiteral("%1 on %2 failed").arg(what, peerName(association.endpoint()));
  if (context == 0) {
    association.abort();
    throw DicomError(OwnError::NoPresentationContext,
                     QStringLiteral("%1: the peer accepts SOP class %2 in none of the offered "
                                    "transfer syntaxes (%3, or uncompressed little endian).")
                         .arg(failed, QString::fromLatin1(sopClass.c_str()),
                              QString::fromLatin1(originalXfer.getXferName())));
  }
  if (chosen != originalXfer.getXferID() && originalXfer.isEncapsulated()) {
    // Only uncompressed was accepted: decode, but only what decodes without loss.
    const E_TransferSyntax target = DcmXfer(chosen.c_str()).getXfer();
    if (!originalXfer.isLossless() || dataset->chooseRepresentation(target, nullptr).bad() ||
        !dataset->canWriteXfer(target, original)) {
      association.abort();
      throw DicomError(OwnError::NoPresentationContext,
                       QStringLiteral("%1: the peer does not accept %2 and the image cannot be "
                                      "decoded without loss for an uncompressed transfer.")
                           .arg(failed, QString::fromLatin1(originalXfer.getXferName())));
    }
  }

  T_DIMSE_C_StoreRQ request{};
  request.MessageID = association.nextMessageID();
  OFStandard::strlcpy(request.AffectedSOPClassUID, sopClass.c_str(),
                      sizeof request.AffectedSOPClassUID);
  OFStandard::strlcpy(request.AffectedSOPInstanceUID, sopInstance.c_str(),
                      sizeof request.AffectedSOPInstanceUID);
  request.DataSetType = DIMSE_DATASET_PRESENT;
  request.Priority = DIMSE_PRIORITY_MEDIUM;

  T_DIMSE_C_StoreRSP response{};
  DcmDataset* detail = nullptr;
  const OFCondition cond = DIMSE_storeUser(
      association.handle(), context, &request, nullptr, dataset, onStoreProgress, &association,
      DIMSE_NONBLOCKING, association.dimseTimeout(), &response, &detail);
  std::unique_ptr<DcmDataset> detailOwner(detail);
  if (cond.bad()) throw association.failure(cond, failed);

  const std::uint16_t status = response.DimseStatus;
  if (status == STATUS_Success || status == 0xB000 || status == 0xB006 || status == 0xB007) {
    association.release();
    return;
  }
  association.abort();
  throw statusError(status, failed, detail);
}

}  // namespace dicom::dcmtk
