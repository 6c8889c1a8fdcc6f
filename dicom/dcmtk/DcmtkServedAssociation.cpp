#include "DcmtkServedAssociation.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dul.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "DcmtkDimse.h"
#include "DcmtkIntake.h"
#include "DcmtkText.h"
#include "DcmtkWatchdog.h"

namespace dicom::dcmtk {
namespace {

// Storage classes named here are accepted in any case; DCMTK's list of all
// storage classes is added so that a study holding reports, presentation
// states or other objects next to its images can be moved here whole.
const char* const kImageClasses[] = {
    UID_DigitalMammographyXRayImageStorageForPresentation,
    UID_DigitalMammographyXRayImageStorageForProcessing,
    UID_BreastTomosynthesisImageStorage,
    UID_ComputedRadiographyImageStorage,
    UID_DigitalXRayImageStorageForPresentation,
    UID_DigitalXRayImageStorageForProcessing,
    UID_SecondaryCaptureImageStorage,
};

// Preferred first: lossless syntaxes, so that nothing is ever degraded on
// the way here; lossy syntaxes only when the sender offers nothing else.
const char* const kStorageSyntaxes[] = {
    UID_JPEGLSLosslessTransferSyntax,       UID_JPEGProcess14SV1TransferSyntax,
    UID_JPEGProcess14TransferSyntax,        UID_RLELosslessTransferSyntax,
    UID_JPEG2000LosslessOnlyTransferSyntax, UID_DeflatedExplicitVRLittleEndianTransferSyntax,
    UID_LittleEndianExplicitTransferSyntax, UID_BigEndianExplicitTransferSyntax,
    UID_LittleEndianImplicitTransferSyntax, UID_JPEG2000TransferSyntax,
    UID_JPEGLSLossyTransferSyntax,          UID_JPEGProcess1TransferSyntax,
    UID_JPEGProcess2_4TransferSyntax,
};

const char* const kPlainSyntaxes[] = {
    UID_LittleEndianExplicitTransferSyntax,
    UID_BigEndianExplicitTransferSyntax,
    UID_LittleEndianImplicitTransferSyntax,
};

std::vector<const char*> storageClasses() {
  std::vector<const char*> classes(std::begin(kImageClasses), std::end(kImageClasses));
  for (int i = 0; i < numberOfDcmAllStorageSOPClassUIDs; ++i) {
    const char* uid = dcmAllStorageSOPClassUIDs[i];
    const bool known = std::any_of(classes.begin(), classes.end(),
                                   [uid](const char* c) { return std::strcmp(c, uid) == 0; });
    if (!known) classes.push_back(uid);
  }
  return classes;
}

QString trimmed(const char* text) {
  return QString::fromLatin1(text).trimmed();
}

// Accepts what the station receives: verification in a plain syntax, and
// storage in the syntaxes above.
void acceptContexts(T_ASC_Parameters* params) {
  const char* verification[] = {UID_VerificationSOPClass};
  ASC_acceptContextsWithPreferredTransferSyntaxes(params, verification, 1,
                                                  const_cast<const char**>(kPlainSyntaxes),
                                                  static_cast<int>(std::size(kPlainSyntaxes)));
  static const std::vector<const char*> classes = storageClasses();
  ASC_acceptContextsWithPreferredTransferSyntaxes(
      params, const_cast<const char**>(classes.data()), static_cast<int>(classes.size()),
      const_cast<const char**>(kStorageSyntaxes), static_cast<int>(std::size(kStorageSyntaxes)));
}

ObjectIntake::Mode intakeMode(StudyGuard::Mode mode) {
  switch (mode) {
    case StudyGuard::Mode::Keep:
      return ObjectIntake::Mode::Keep;
    case StudyGuard::Mode::Probe:
      return ObjectIntake::Mode::Probe;
    case StudyGuard::Mode::Refuse:
      break;
  }
  return ObjectIntake::Mode::Refuse;
}

}  // namespace

ServedAssociation::ServedAssociation(T_ASC_Association* assoc, StudyGuard::Opening opening,
                                     const ServiceContext& context)
    : assoc_(assoc), opening_(std::move(opening)), context_(context) {}

ServedAssociation::~ServedAssociation() {
  close();
}

void ServedAssociation::run() {
  bool accepted = false;
  try {
    accepted = negotiate();
    if (accepted) {
      Watchdog watchdog(associationSocket(assoc_), std::max(1, context_.timeouts.messageSeconds));
      released_ = converse(watchdog);
    }
  } catch (const std::exception& e) {
    // Nothing a peer sends may end the receiver.
    qWarning("Receiving ended in a failure: %s", e.what());
    if (accepted) ASC_abortAssociation(assoc_);
  }
  // The end of the association, after every object it carried. Once the
  // release is acknowledged nothing more can arrive, so the study is handed
  // over now: closing a released association waits for the peer to close
  // its connection, and some archives take 50 ms or more.
  if (accepted) {
    Delivery closed;
    closed.generation = opening_.generation;
    closed.delivered = delivered_;
    context_.delivery.push(std::move(closed));
  }
}

void ServedAssociation::close() {
  if (assoc_ == nullptr) return;
  if (released_) {
    ASC_dropSCPAssociation(assoc_, 1);
  } else {
    ASC_dropAssociation(assoc_);
  }
  ASC_destroyAssociation(&assoc_);
  assoc_ = nullptr;
}

// Accepts or rejects the association request; true when accepted.
bool ServedAssociation::negotiate() {
  char calling[80] = {0}, called[80] = {0};
  ASC_getAPTitles(assoc_->params, calling, sizeof calling, called, sizeof called, nullptr, 0);
  char context[80] = {0};
  ASC_getApplicationContextName(assoc_->params, context, sizeof context);
  const QString peer = QString::fromLatin1(assoc_->params->DULparams.callingPresentationAddress);
  const QString ownTitle = context_.ownTitle();

  T_ASC_RejectParameters reject = {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                   ASC_REASON_SU_NOREASON};
  bool refuse = true;
  if (trimmed(called) != ownTitle) {
    qInfo("Refused an association from %s (%s): called AE title %s is not %s", qPrintable(peer),
          qPrintable(trimmed(calling)), qPrintable(trimmed(called)), qPrintable(ownTitle));
    reject.reason = ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED;
  } else if (std::strcmp(context, UID_StandardApplicationContext) != 0) {
    reject.reason = ASC_REASON_SU_APPCONTEXTNAMENOTSUPPORTED;
  } else {
    acceptContexts(assoc_->params);
    refuse = ASC_countAcceptedPresentationContexts(assoc_->params) == 0;
    if (refuse) {
      qInfo("Refused an association from %s (%s): nothing it proposes can be received",
            qPrintable(peer), qPrintable(trimmed(calling)));
    }
  }
  if (refuse) {
    ASC_rejectAssociation(assoc_, &reject);
    return false;
  }
  const QByteArray titleBytes = ownTitle.toLatin1();
  ASC_setAPTitles(assoc_->params, nullptr, nullptr, titleBytes.constData());
  return ASC_acknowledgeAssociation(assoc_).good();
}

// Serves the commands of an accepted association. True when the peer
// released it; false when it ended any other way (it is then aborted).
// Every command set is scanned before DCMTK parses it: one that nests a
// sequence, or is larger than a command set can be, ends the association.
bool ServedAssociation::converse(Watchdog& watchdog) {
  // The watchdog ends a silent association; DCMTK's own wait backs it up.
  const int wait = std::max(1, context_.timeouts.messageSeconds) + context_.limits.objectSeconds;
  while (!context_.stopping) {
    Command command;
    QString problem;
    OFCondition cond = receiveCommand(assoc_, wait, MessageLimits{}, command, problem);
    if (cond == DUL_PEERREQUESTEDRELEASE) {
      ASC_acknowledgeRelease(assoc_);
      return true;
    }
    if (cond == DUL_PEERABORTEDASSOCIATION) return false;
    if (cond.bad()) {  // idle for the message timeout, or a broken peer
      if (!problem.isEmpty()) {
        qInfo("Aborted an association from %s (%s): %s",
              assoc_->params->DULparams.callingPresentationAddress,
              assoc_->params->DULparams.callingAPTitle, qPrintable(problem));
      }
      break;
    }
    watchdog.progress();
    T_DIMSE_Message& message = command.message;
    if (message.CommandField == DIMSE_C_ECHO_RQ) {
      cond = DIMSE_sendEchoResponse(assoc_, command.context, &message.msg.CEchoRQ, STATUS_Success,
                                    nullptr);
    } else if (message.CommandField == DIMSE_C_STORE_RQ) {
      cond = store(command.context, message.msg.CStoreRQ, watchdog);
    } else {
      cond = DIMSE_BADCOMMANDTYPE;
    }
    if (cond.bad()) break;
  }
  ASC_abortAssociation(assoc_);
  return false;
}

// One C-STORE: the guard's verdict at the command, the data set through the
// intake, the checks, the guard's commit, the response, and then the object
// handed over (counted only once the sender was told it arrived).
OFCondition ServedAssociation::store(T_ASC_PresentationContextID context,
                                     T_DIMSE_C_StoreRQ& request, Watchdog& watchdog) {
  T_ASC_PresentationContext accepted;
  if (ASC_findAcceptedPresentationContext(assoc_->params, context, &accepted).bad()) {
    return DIMSE_RECEIVEFAILED;
  }
  const E_TransferSyntax xfer = DcmXfer(accepted.acceptedTransferSyntax).getXfer();
  const std::string sopInstance = trimmed(request.AffectedSOPInstanceUID).toStdString();
  const StudyGuard::Verdict verdict = context_.guard.admit(opening_, sopInstance);
  const ReceiverLimits& limits = context_.limits;
  StudyGuard& guard = context_.guard;
  ObjectIntake intake(xfer, intakeMode(verdict.mode), {limits.maxDepth, limits.objectBytes},
                      [&guard](const std::string& study) { return guard.foreignStudy(study); });
  if (verdict.mode == StudyGuard::Mode::Refuse) intake.refuse(verdict.status, verdict.reason);
  const OFCondition received = receiveDataSet(context, intake, verdict.counts, watchdog);
  if (received.bad()) return received;  // incomplete: nothing is kept
  commit(intake, sopInstance);

  const OFCondition cond = respond(context, request, intake);
  if (intake.mode() == ObjectIntake::Mode::Refuse) {
    reportRefusal(request, intake.status(), intake.reason());
    return cond;
  }
  if (cond.bad()) {
    // The sender does not know it arrived: it may send it again.
    if (intake.mode() == ObjectIntake::Mode::Keep) {
      guard.withdraw(intake.studyInstanceUID(), sopInstance, intake.bytes());
    }
    return cond;
  }
  handOver(intake, sopInstance);
  return cond;
}

// Receives a data set PDV by PDV into the intake; a bad condition when the
// association failed: the object is incomplete and nothing is kept.
OFCondition ServedAssociation::receiveDataSet(T_ASC_PresentationContextID context,
                                              ObjectIntake& intake, bool counts,
                                              Watchdog& watchdog) {
  const int objectSeconds = context_.limits.objectSeconds;
  const int wait = std::max(1, context_.timeouts.messageSeconds) + objectSeconds;
  watchdog.setDeadline(Watchdog::Clock::now() + std::chrono::seconds(objectSeconds));
  counts_ = counts;
  counted_ = 0;
  OFCondition result = EC_Normal;
  for (bool last = false; !last;) {
    DUL_PDV pdv;
    OFCondition cond = nextPDV(assoc_, pdv, wait);
    if (cond.bad()) {
      result = cond;
      break;
    }
    if (pdv.pdvType != DUL_DATASETPDV || pdv.presentationContextID != context) {
      result = DIMSE_RECEIVEFAILED;
      break;
    }
    last = pdv.lastPDV;
    if (pdv.fragmentLength > 0) watchdog.progress();
    intake.feed(static_cast<const std::uint8_t*>(pdv.data), pdv.fragmentLength, last);
    countProgress(intake);
  }
  watchdog.setDeadline({});
  return result;
}

// The bytes of an object being kept for the retrieval (or asked back) from
// the archive are progress, from the moment its study is known to be the
// expected one; a refused object's are not.
void ServedAssociation::countProgress(const ObjectIntake& intake) {
  if (!counts_ || !intake.admitted() || intake.bytes() <= counted_) return;
  context_.guard.addProgress(intake.bytes() - counted_);
  counted_ = intake.bytes();
}

// The checks of the complete object, then the guard's commit.
void ServedAssociation::commit(ObjectIntake& intake, const std::string& sopInstanceUID) {
  intake.finish(sopInstanceUID);
  if (intake.mode() != ObjectIntake::Mode::Keep) return;
  const StudyGuard::Verdict committed =
      context_.guard.commit(opening_, intake.studyInstanceUID(), sopInstanceUID, intake.bytes());
  if (committed.mode == StudyGuard::Mode::Refuse) {
    intake.refuse(committed.status, committed.reason);
    return;
  }
  countProgress(intake);
}

// Success, or the refusal's status with its reason as the Error Comment.
OFCondition ServedAssociation::respond(T_ASC_PresentationContextID context,
                                       T_DIMSE_C_StoreRQ& request, ObjectIntake& intake) {
  const bool refused = intake.mode() == ObjectIntake::Mode::Refuse;
  T_DIMSE_C_StoreRSP response;
  std::memset(&response, 0, sizeof response);
  response.DimseStatus = refused ? intake.status() : STATUS_Success;
  response.DataSetType = DIMSE_DATASET_NULL;
  std::unique_ptr<DcmDataset> statusDetail;
  if (refused) {
    statusDetail = std::make_unique<DcmDataset>();
    statusDetail->putAndInsertString(DCM_ErrorComment,
                                     intake.reason().left(64).toLatin1().constData());
  }
  return DIMSE_sendStoreResponse(assoc_, context, &request, &response, statusDetail.get());
}

// An asked-back instance leaves its asked attributes; an object of the
// retrieval goes to the decoders.
void ServedAssociation::handOver(ObjectIntake& intake, const std::string& sopInstanceUID) {
  if (intake.mode() == ObjectIntake::Mode::Probe) {
    DataSet copy;
    for (const Tag tag : context_.guard.probeAttributes()) {
      const DcmTagKey key(static_cast<Uint16>(groupOf(tag)), static_cast<Uint16>(elementOf(tag)));
      const QString value = readText(*intake.dataset(), key);
      if (!value.isNull()) copy.set(tag, value);
    }
    context_.guard.addProbeCopy(sopInstanceUID, std::move(copy));
    return;
  }
  const bool hasPixelData = intake.hasPixelData();
  const E_TransferSyntax xfer = intake.transferSyntax();
  auto file = std::make_shared<std::unique_ptr<DcmFileFormat>>(intake.take());
  (*file)->validateMetaInfo(xfer);
  (*file)->getMetaInfo()->putAndInsertString(DCM_SourceApplicationEntityTitle,
                                             assoc_->params->DULparams.callingAPTitle);
  const Timeouts timeouts = context_.timeouts;
  const std::uint64_t generation = opening_.generation;
  const QSize target = context_.displayTarget();
  context_.delivery.submit([file, hasPixelData, timeouts, generation, target] {
    return decodeForDisplay(std::move(*file), hasPixelData, timeouts, generation, target);
  });
  delivered_ = true;
}

void ServedAssociation::reportRefusal(const T_DIMSE_C_StoreRQ& request, std::uint16_t status,
                                      const QString& reason) {
  Delivery refused;
  refused.kind = Delivery::Kind::Refused;
  refused.senderAETitle = trimmed(assoc_->params->DULparams.callingAPTitle);
  refused.senderAddress = QString::fromLatin1(assoc_->params->DULparams.callingPresentationAddress);
  refused.description =
      QString("The station refused object %1 from AE title \"%2\" at %3 (status 0x%4): %5.")
          .arg(trimmed(request.AffectedSOPInstanceUID), refused.senderAETitle,
               refused.senderAddress)
          .arg(status, 4, 16, QChar('0'))
          .arg(reason);
  context_.delivery.push(std::move(refused));
}

}  // namespace dicom::dcmtk
