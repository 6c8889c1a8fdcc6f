// Outgoing associations (find, move, store) on DCMTK's dcmnet.
//
// Bounded waiting. Every step that waits on the peer has its own limit from
// Timeouts:
//   - name resolution and TCP connect: connectSeconds. The address is
//     resolved on a helper thread that we stop waiting for after
//     connectSeconds; the connect itself is bounded by DCMTK's process-global
//     dcmConnectionTimeout.
//   - association request and release: associationSeconds, given to
//     ASC_initializeNetwork as the ACSE timeout and to ASC_requestAssociation
//     (DUL_NOBLOCK) for the A-ASSOCIATE answer.
//   - every DIMSE message: messageSeconds, passed with DIMSE_NONBLOCKING to
//     DIMSE_findUser, DIMSE_moveUser and DIMSE_storeUser; the same value is
//     the socket send/receive timeout (dcmSocketSendTimeout and
//     dcmSocketReceiveTimeout), so a peer that stops in the middle of a PDU
//     cannot hold a read or write either.
// dcmConnectionTimeout and the two socket timeouts are process-globals that
// DCMTK reads while it opens the connection. They are therefore set per
// association under one mutex, held only while ASC_requestAssociation opens
// the connection, and put back to their previous values afterwards, so that
// toolkits with different timeouts (and the storage receiver, which accepts
// connections on its own thread) never see each other's values. Outgoing
// association requests are consequently opened one at a time.
//
// Error numbering (see DicomError.h):
//   - a DIMSE status the peer sent is the number itself (0xA700, 0xC000,
//     0xB000, ...); statusError() builds it;
//   - a failed DCMTK condition is 0x01MMCCCC (module, code); conditionError()
//     builds it, except that conditions meaning "no answer in time" become
//     OwnError::Timeout and a rejected association OwnError::AssociationRejected;
//   - our own findings (invalid input, unknown host, no usable presentation
//     context, an object without SOP UIDs) are OwnError values.
// Every description is an English sentence that names the peer (AE title,
// host and port) and what failed.

#include "DcmtkNet.h"

#include <arpa/inet.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/ofstd/ofstd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "DcmtkAssociation.h"

namespace dicom::dcmtk {
namespace {

QString hex4(std::uint16_t value) {
  return QStringLiteral("0x") +
         QString::number(value, 16).rightJustified(4, QLatin1Char('0')).toUpper();
}

bool isTimeout(const OFCondition& condition) {
  if (condition == DIMSE_NODATAAVAILABLE || condition == DUL_READTIMEOUT) return true;
  const QString text = QString::fromLatin1(condition.text()).toLower();
  return text.contains("timed out") || text.contains("timeout");
}

// The outcome of resolving a host name on the helper thread.
struct Resolution {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  QString address;  // numeric IPv4, empty when the name does not resolve
};

// Resolves host to a numeric IPv4 address, waiting at most seconds. The
// lookup runs on a detached thread so that a stalled resolver cannot hold the
// caller; the thread ends on its own when the resolver answers.
QString resolve(const QString& host, int seconds, bool& timedOut) {
  timedOut = false;
  auto state = std::make_shared<Resolution>();
  const std::string name = host.toStdString();
  std::thread([state, name] {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    QString address;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &result) == 0 && result != nullptr) {
      char text[INET_ADDRSTRLEN] = {};
      const auto* in = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
      if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) {
        address = QString::fromLatin1(text);
      }
    }
    if (result != nullptr) freeaddrinfo(result);
    std::lock_guard lock(state->mutex);
    state->address = address;
    state->finished = true;
    state->done.notify_all();
  }).detach();
  std::unique_lock lock(state->mutex);
  if (!state->done.wait_for(lock, std::chrono::seconds(std::max(1, seconds)),
                            [&] { return state->finished; })) {
    timedOut = true;
    return QString();
  }
  return state->address;
}

std::mutex& globalsMutex() {
  static std::mutex mutex;
  return mutex;
}

// Sets DCMTK's connection globals for one association request and puts the
// previous values back afterwards.
class ConnectionGlobals {
 public:
  explicit ConnectionGlobals(const Timeouts& timeouts)
      : lock_(globalsMutex()),
        connect_(dcmConnectionTimeout.get()),
        send_(dcmSocketSendTimeout.get()),
        receive_(dcmSocketReceiveTimeout.get()) {
    dcmConnectionTimeout.set(std::max(1, timeouts.connectSeconds));
    dcmSocketSendTimeout.set(std::max(1, timeouts.messageSeconds));
    dcmSocketReceiveTimeout.set(std::max(1, timeouts.messageSeconds));
  }
  ~ConnectionGlobals() {
    dcmConnectionTimeout.set(connect_);
    dcmSocketSendTimeout.set(send_);
    dcmSocketReceiveTimeout.set(receive_);
  }
  ConnectionGlobals(const ConnectionGlobals&) = delete;
  ConnectionGlobals& operator=(const ConnectionGlobals&) = delete;

 private:
  std::lock_guard<std::mutex> lock_;
  Sint32 connect_, send_, receive_;
};

}  // namespace

// ---------------------------------------------------------------------------
// Errors

QString statusMeaning(std::uint16_t status) {
  switch (status) {
    case 0x0000:
      return "success";
    case 0x0001:
      return "warning: requested optional attributes are not supported";
    case 0x0107:
      return "warning: attribute list error";
    case 0x0110:
      return "processing failure";
    case 0x0111:
      return "duplicate SOP instance";
    case 0x0112:
      return "no such SOP instance";
    case 0x0117:
      return "invalid SOP instance";
    case 0x0118:
      return "no such SOP class";
    case 0x0119:
      return "SOP class and instance do not match";
    case 0x0122:
      return "refused: SOP class not supported";
    case 0x0124:
      return "refused: not authorised";
    case 0x0210:
      return "duplicate invocation";
    case 0x0211:
      return "unrecognised operation";
    case 0x0212:
      return "mistyped argument";
    case 0x0213:
      return "resource limitation";
    case 0xA701:
      return "refused: out of resources, unable to calculate the number of matches";
    case 0xA702:
      return "refused: out of resources, unable to perform sub-operations";
    case 0xA801:
      return "refused: move destination unknown";
    case 0xA900:
      return "data set or identifier does not match the SOP class";
    case 0xB000:
      return "warning: sub-operations complete with one or more failures, or data elements coerced";
    case 0xB006:
      return "warning: elements discarded";
    case 0xB007:
      return "warning: data set does not match the SOP class";
    case 0xFE00:
      return "cancelled";
    case 0xFF00:
      return "pending";
    case 0xFF01:
      return "pending: optional keys not supported";
    default:
      break;
  }
  if ((status & 0xFF00) == 0xA700) return "refused: out of resources";
  if ((status & 0xFF00) == 0xA900) return "error: data set does not match the SOP class";
  if ((status & 0xF000) == 0xC000) return "error: unable to process";
  if ((status & 0xF000) == 0xB000) return "warning";
  return "failure";
}

QString errorComment(DcmDataset* statusDetail) {
  if (statusDetail == nullptr) return QString();
  OFString comment;
  if (statusDetail->findAndGetOFString(DCM_ErrorComment, comment).bad()) return QString();
  return QString::fromLatin1(comment.c_str()).trimmed();
}

DicomError conditionError(const OFCondition& condition, const QString& context) {
  const QString text = QString::fromLatin1(condition.text());
  if (condition == DUL_ASSOCIATIONREJECTED) {
    return DicomError(OwnError::AssociationRejected,
                      QStringLiteral("%1: the association was rejected (%2).").arg(context, text));
  }
  if (isTimeout(condition)) {
    return DicomError(
        OwnError::Timeout,
        QStringLiteral("%1: the peer did not answer in time (%2).").arg(context, text));
  }
  return DicomError(conditionNumber(condition.module(), condition.code()),
                    QStringLiteral("%1: %2.").arg(context, text));
}

DicomError statusError(std::uint16_t status, const QString& context) {
  return DicomError(static_cast<std::int32_t>(status),
                    QStringLiteral("%1: the peer answered with status %2 (%3).")
                        .arg(context, hex4(status), statusMeaning(status)));
}

// ---------------------------------------------------------------------------
// Endpoint checks

QString peerName(const Endpoint& endpoint) {
  return QStringLiteral("AE title \"%1\" at %2:%3")
      .arg(endpoint.calledAE, endpoint.address)
      .arg(endpoint.port);
}

void checkAETitle(const QString& aeTitle, const QString& role) {
  if (aeTitle.trimmed().isEmpty()) {
    throw DicomError(
        OwnError::InvalidArgument,
        QStringLiteral("The %1 is empty; an AE title of 1 to 16 characters is needed.").arg(role));
  }
  if (aeTitle.size() > 16) {
    throw DicomError(OwnError::InvalidArgument,
                     QStringLiteral("The %1 \"%2\" is %3 characters long; at most 16 are allowed.")
                         .arg(role, aeTitle)
                         .arg(aeTitle.size()));
  }
  for (QChar c : aeTitle) {
    if (c.unicode() < 0x20 || c.unicode() > 0x7E || c == QLatin1Char('\\')) {
      throw DicomError(OwnError::InvalidArgument,
                       QStringLiteral("The %1 \"%2\" contains a character that an AE title cannot "
                                      "hold (only printable ASCII without backslash).")
                           .arg(role, aeTitle));
    }
  }
}

void checkEndpoint(const Endpoint& endpoint) {
  if (endpoint.address.trimmed().isEmpty()) {
    throw DicomError(OwnError::InvalidArgument,
                     QStringLiteral("No address is given for the peer with AE title \"%1\".")
                         .arg(endpoint.calledAE));
  }
  if (endpoint.port <= 0 || endpoint.port > 65535) {
    throw DicomError(OwnError::InvalidArgument,
                     QStringLiteral("The port %1 of the peer at %2 is outside 1 to 65535.")
                         .arg(endpoint.port)
                         .arg(endpoint.address));
  }
  checkAETitle(endpoint.calledAE, QStringLiteral("called AE title"));
  checkAETitle(endpoint.callingAE, QStringLiteral("calling AE title"));
}

// ---------------------------------------------------------------------------
// Association

Association::Association(const Endpoint& endpoint, const Timeouts& timeouts,
                         const std::vector<ProposedContext>& contexts, const QString& purpose)
    : endpoint_(endpoint), timeouts_(timeouts) {
  checkEndpoint(endpoint_);
  const QString peer = peerName(endpoint_);
  const QString failed = QStringLiteral("%1 with %2 failed").arg(purpose, peer);

  bool timedOut = false;
  const QString address = resolve(endpoint_.address.trimmed(), timeouts_.connectSeconds, timedOut);
  if (timedOut) {
    throw DicomError(OwnError::Timeout,
                     QStringLiteral("%1: the address \"%2\" could not be resolved within %3 s.")
                         .arg(failed, endpoint_.address)
                         .arg(timeouts_.connectSeconds));
  }
  if (address.isEmpty()) {
    throw DicomError(
        OwnError::UnknownHost,
        QStringLiteral("%1: the host name \"%2\" is unknown.").arg(failed, endpoint_.address));
  }

  OFCondition cond =
      ASC_initializeNetwork(NET_REQUESTOR, 0, std::max(1, timeouts_.associationSeconds), &network_);
  if (cond.bad()) throw conditionError(cond, failed);

  T_ASC_Parameters* params = nullptr;
  cond = ASC_createAssociationParameters(&params, ASC_DEFAULTMAXPDU);
  if (cond.bad()) {
    close();
    throw conditionError(cond, failed);
  }
  const QByteArray calling = endpoint_.callingAE.toLatin1();
  const QByteArray called = endpoint_.calledAE.toLatin1();
  ASC_setAPTitles(params, calling.constData(), called.constData(), nullptr);
  const QByteArray peerAddress =
      QStringLiteral("%1:%2").arg(address).arg(endpoint_.port).toLatin1();
  ASC_setPresentationAddresses(params, OFStandard::getHostName().c_str(), peerAddress.constData());

  T_ASC_PresentationContextID id = 1;
  for (const ProposedContext& context : contexts) {
    std::vector<const char*> syntaxes;
    for (const std::string& syntax : context.transferSyntaxes) syntaxes.push_back(syntax.c_str());
    cond = ASC_addPresentationContext(params, id, context.abstractSyntax.c_str(), syntaxes.data(),
                                      static_cast<int>(syntaxes.size()));
    if (cond.bad()) {
      ASC_destroyAssociationParameters(&params);
      close();
      throw conditionError(cond, failed);
    }
    id = static_cast<T_ASC_PresentationContextID>(id + 2);
  }

  {
    ConnectionGlobals globals(timeouts_);
    cond = ASC_requestAssociation(network_, params, &association_, nullptr, nullptr, DUL_NOBLOCK,
                                  std::max(1, timeouts_.associationSeconds));
  }
  if (cond.bad()) {
    // The association, when DCMTK made one, owns the parameters.
    if (cond == DUL_ASSOCIATIONREJECTED) {
      T_ASC_RejectParameters reject{};
      OFString reason;
      ASC_getRejectParameters(params, &reject);
      ASC_printRejectParameters(reason, &reject);
      if (association_ == nullptr) ASC_destroyAssociationParameters(&params);
      close();
      throw DicomError(OwnError::AssociationRejected,
                       QStringLiteral("%1: the peer rejected the association (%2).")
                           .arg(failed, QString::fromLatin1(reason.c_str()).simplified()));
    }
    const QString text = QString::fromLatin1(cond.text());
    if (association_ == nullptr) ASC_destroyAssociationParameters(&params);
    close();
    if (isTimeout(cond)) {
      throw DicomError(OwnError::Timeout,
                       QStringLiteral("%1: no connection or association within %2 s (%3).")
                           .arg(failed)
                           .arg(timeouts_.connectSeconds + timeouts_.associationSeconds)
                           .arg(text));
    }
    throw DicomError(
        conditionNumber(cond.module(), cond.code()),
        QStringLiteral("%1: the association could not be opened (%2).").arg(failed, text));
  }
}

Association::~Association() {
  close();
}

DIC_US Association::nextMessageID() {
  return association_->nextMsgID++;
}

T_ASC_PresentationContextID Association::acceptedContext(const std::string& abstractSyntax,
                                                         const std::string& transferSyntax) const {
  if (association_ == nullptr) return 0;
  const int count = ASC_countPresentationContexts(association_->params);
  for (int i = 0; i < count; ++i) {
    T_ASC_PresentationContext pc;
    if (ASC_getPresentationContext(association_->params, i, &pc).bad()) continue;
    if (pc.resultReason != ASC_P_ACCEPTANCE) continue;
    if (abstractSyntax != pc.abstractSyntax) continue;
    if (!transferSyntax.empty() && transferSyntax != pc.acceptedTransferSyntax) continue;
    return pc.presentationContextID;
  }
  return 0;
}

void Association::release() {
  if (association_ == nullptr) return;
  if (ASC_releaseAssociation(association_).bad()) ASC_abortAssociation(association_);
  close();
}

void Association::abort() {
  if (association_ != nullptr) ASC_abortAssociation(association_);
  close();
}

DicomError Association::failure(const OFCondition& condition, const QString& context) {
  abort();
  if (isTimeout(condition)) {
    return DicomError(OwnError::Timeout, QStringLiteral("%1: no answer within %2 s (%3).")
                                             .arg(context)
                                             .arg(timeouts_.messageSeconds)
                                             .arg(QString::fromLatin1(condition.text())));
  }
  return conditionError(condition, context);
}

void Association::close() {
  if (association_ != nullptr) {
    ASC_dropAssociation(association_);
    ASC_destroyAssociation(&association_);
    association_ = nullptr;
  }
  if (network_ != nullptr) {
    ASC_dropNetwork(&network_);
    network_ = nullptr;
  }
}

// ---------------------------------------------------------------------------
// C-STORE

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

  Association association(endpoint, timeouts, contexts, what);
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
  const OFCondition cond =
      DIMSE_storeUser(association.handle(), context, &request, nullptr, dataset, nullptr, nullptr,
                      DIMSE_NONBLOCKING, association.messageTimeout(), &response, &detail);
  std::unique_ptr<DcmDataset> detailOwner(detail);
  if (cond.bad()) throw association.failure(cond, failed);

  const std::uint16_t status = response.DimseStatus;
  if (status == STATUS_Success || status == 0xB000 || status == 0xB006 || status == 0xB007) {
    association.release();
    return;
  }
  association.abort();
  DicomError error = statusError(status, failed);
  const QString comment = errorComment(detail);
  if (!comment.isEmpty()) {
    throw DicomError(error.number(),
                     QStringLiteral("%1 The peer says: %2").arg(error.description(), comment));
  }
  throw error;
}

}  // namespace dicom::dcmtk
