// C-STORE of one object to the archive, in named steps: read what the
// object is, open the association proposing its own transfer syntax and the
// uncompressed fallbacks, choose the accepted context (decoding the object
// when only an uncompressed one was accepted and it decodes without loss),
// send it, read the response, decide the result.

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

// The object to store: its identity and the transfer syntax it is in.
struct StoredObject {
  DcmDataset* dataset = nullptr;
  OFString sopClass;
  OFString sopInstance;
  E_TransferSyntax original = EXS_Unknown;
  // The syntaxes to offer, the object's own first, then the uncompressed fallbacks.
  std::vector<std::string> syntaxes;
};

StoredObject describe(DcmFileFormat& file, const Endpoint& peer) {
  StoredObject object;
  object.dataset = file.getDataset();
  DcmDataset* dataset = object.dataset;
  if (dataset == nullptr || dataset->findAndGetOFString(DCM_SOPClassUID, object.sopClass).bad() ||
      object.sopClass.empty() ||
      dataset->findAndGetOFString(DCM_SOPInstanceUID, object.sopInstance).bad() ||
      object.sopInstance.empty()) {
    throw DicomError(OwnError::InvalidObject,
                     QStringLiteral("The object cannot be stored on %1: it has no SOP Class UID or "
                                    "no SOP Instance UID.")
                         .arg(peerName(peer)));
  }
  // The object's own transfer syntax: as read, else as its meta header says.
  object.original = dataset->getOriginalXfer();
  OFString uid;
  if (object.original == EXS_Unknown && file.getMetaInfo() != nullptr &&
      file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, uid).good()) {
    object.original = DcmXfer(uid.c_str()).getXfer();
  }
  if (object.original == EXS_Unknown) object.original = EXS_LittleEndianExplicit;
  object.syntaxes = {DcmXfer(object.original).getXferID()};
  for (const char* fallback :
       {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}) {
    if (object.syntaxes.front() != fallback) object.syntaxes.emplace_back(fallback);
  }
  return object;
}

// A large object may take a while on a slow network; a stalled peer ends
// at the idle limit long before.
CallLimits limitsFor(const StoredObject& object, const Timeouts& timeouts) {
  const Uint32 megabytes = object.dataset->getLength(object.original) / 1000000u;
  return CallLimits{timeouts.messageSeconds,
                    timeouts.storeSeconds + static_cast<int>(std::min<Uint32>(megabytes, 3600))};
}

// The accepted context to send in, the object's own syntax first. When only
// an uncompressed one was accepted, the object is decoded, but only when it
// decodes without loss.
T_ASC_PresentationContextID chooseContext(Association& association, const StoredObject& object,
                                          const QString& failed) {
  const DcmXfer originalXfer(object.original);
  for (const std::string& syntax : object.syntaxes) {
    const T_ASC_PresentationContextID context =
        association.acceptedContext(object.sopClass.c_str(), syntax);
    if (context == 0) continue;
    if (syntax == originalXfer.getXferID() || !originalXfer.isEncapsulated()) return context;
    const E_TransferSyntax target = DcmXfer(syntax.c_str()).getXfer();
    if (originalXfer.isLossless() && object.dataset->chooseRepresentation(target, nullptr).good() &&
        object.dataset->canWriteXfer(target, object.original)) {
      return context;
    }
    association.abort();
    throw DicomError(OwnError::NoPresentationContext,
                     QStringLiteral("%1: the peer does not accept %2 and the image cannot be "
                                    "decoded without loss for an uncompressed transfer.")
                         .arg(failed, QString::fromLatin1(originalXfer.getXferName())));
  }
  association.abort();
  throw DicomError(OwnError::NoPresentationContext,
                   QStringLiteral("%1: the peer accepts SOP class %2 in none of the offered "
                                  "transfer syntaxes (%3, or uncompressed little endian).")
                       .arg(failed, QString::fromLatin1(object.sopClass.c_str()),
                            QString::fromLatin1(originalXfer.getXferName())));
}

// Each PDV the peer took is progress: a peer that stops reading ends the
// store at the idle limit, however large the object.
void onStoreProgress(void* association, unsigned long) {
  static_cast<Association*>(association)->progress();
}

DIC_US sendObject(Association& association, T_ASC_PresentationContextID context,
                  const StoredObject& object, const QString& failed) {
  T_DIMSE_Message message{};
  message.CommandField = DIMSE_C_STORE_RQ;
  T_DIMSE_C_StoreRQ& request = message.msg.CStoreRQ;
  association.stampRequest(request, object.sopClass.c_str());
  OFStandard::strlcpy(request.AffectedSOPInstanceUID, object.sopInstance.c_str(),
                      sizeof request.AffectedSOPInstanceUID);
  const OFCondition cond =
      association.send(context, message, object.dataset, onStoreProgress, &association);
  if (cond.bad()) throw association.failure(cond, failed);
  return request.MessageID;
}

bool sameEndpoint(const Endpoint& a, const Endpoint& b) {
  return a.address == b.address && a.port == b.port && a.callingAE == b.callingAE &&
         a.calledAE == b.calledAE;
}

// One association offers at most 128 presentation contexts.
constexpr std::size_t kMostContexts = 128;

}  // namespace

void storeObject(DcmFileFormat& file, const Peer& archive, const StationIdentity& station,
                 const Timeouts& timeouts) {
  StoreChannel channel(timeouts);
  channel.store(file, archive, station);
  channel.release();
}

StoreChannel::StoreChannel(const Timeouts& timeouts) : timeouts_(timeouts) {}

StoreChannel::~StoreChannel() = default;

void StoreChannel::expect(DcmFileFormat& file) {
  try {
    const StoredObject object = describe(file, Endpoint{});
    propose(object.sopClass.c_str(), object.syntaxes);
  } catch (const DicomError&) {
    // Its store says what is wrong with it.
  }
}

bool StoreChannel::propose(const std::string& sopClass, const std::vector<std::string>& syntaxes) {
  std::vector<std::pair<std::string, std::string>> missing;
  for (const std::string& syntax : syntaxes) {
    const std::pair<std::string, std::string> kind{sopClass, syntax};
    if (std::find(proposed_.begin(), proposed_.end(), kind) == proposed_.end()) {
      missing.push_back(kind);
    }
  }
  if (missing.empty()) return false;
  // Beyond what one association offers, the next one offers this kind alone.
  if (proposed_.size() + missing.size() > kMostContexts) proposed_.clear();
  proposed_.insert(proposed_.end(), missing.begin(), missing.end());
  return true;
}

bool StoreChannel::reusable(const Endpoint& peer) const {
  const auto idle = std::chrono::steady_clock::now() - lastStore_;
  return association_ && sameEndpoint(peer, endpoint_) &&
         idle < std::chrono::seconds(std::max(1, timeouts_.messageSeconds / 2));
}

void StoreChannel::store(DcmFileFormat& file, const Peer& archive, const StationIdentity& station) {
  const Endpoint peer = endpointOf(archive, station);
  const StoredObject object = describe(file, peer);
  const QString what =
      QStringLiteral("Storing image %1").arg(QString::fromLatin1(object.sopInstance.c_str()));
  const bool newKind = propose(object.sopClass.c_str(), object.syntaxes);
  if (newKind || !reusable(peer)) release();
  try {
    if (association_) {
      association_->beginCall(limitsFor(object, timeouts_));
    } else {
      std::vector<ProposedContext> contexts;
      for (const auto& [sopClass, syntax] : proposed_) contexts.push_back({sopClass, {syntax}});
      association_ = std::make_unique<Association>(peer, timeouts_, contexts, what,
                                                   limitsFor(object, timeouts_));
      endpoint_ = peer;
    }
    Association& association = *association_;
    const QString failed = QStringLiteral("%1 on %2 failed").arg(what, peerName(peer));
    const T_ASC_PresentationContextID context = chooseContext(association, object, failed);
    const DIC_US messageID = sendObject(association, context, object, failed);
    Response response;
    const OFCondition cond =
        association.receive(DIMSE_C_STORE_RSP, messageID, association.dimseTimeout(), response);
    if (cond.bad()) throw association.failure(cond, failed);
    const std::uint16_t status = response.command.msg.CStoreRSP.DimseStatus;
    if (status == STATUS_Success || status == 0xB000 || status == 0xB006 || status == 0xB007) {
      lastStore_ = std::chrono::steady_clock::now();
      return;
    }
    association.abort();
    throw statusError(status, failed, response.detail.get());
  } catch (...) {
    association_.reset();  // aborted already, or aborted here
    throw;
  }
}

void StoreChannel::release() {
  if (association_) association_->release();
  association_.reset();
}

}  // namespace dicom::dcmtk
