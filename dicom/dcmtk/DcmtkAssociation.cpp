// Outgoing associations with bounded waiting; see DcmtkAssociation.h.

#include "DcmtkAssociation.h"

#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/ofstd/ofstd.h>

#include "DcmtkDimse.h"
#include "DcmtkSockets.h"
#include "DcmtkTls.h"
#include "DcmtkWatchdog.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace dicom::dcmtk {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
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
// previous values back afterwards. The socket's own send and receive
// timeouts only back the watchdog up: they lie beyond the call's limits, so
// that a stalled peer always ends in the watchdog's named timeout rather
// than in an I/O error of whichever wait ran out first.
class ConnectionGlobals {
 public:
  ConnectionGlobals(const Timeouts& timeouts, int socketSeconds)
      : lock_(globalsMutex()),
        connect_(dcmConnectionTimeout.get()),
        send_(dcmSocketSendTimeout.get()),
        receive_(dcmSocketReceiveTimeout.get()) {
    dcmConnectionTimeout.set(std::max(1, timeouts.connectSeconds));
    dcmSocketSendTimeout.set(std::max(1, socketSeconds));
    dcmSocketReceiveTimeout.set(std::max(1, socketSeconds));
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

// The message a response answers, and whether a data set follows it; for
// the responses the station's calls wait for.
DIC_US respondedTo(const T_DIMSE_Message& message) {
  switch (message.CommandField) {
    case DIMSE_C_FIND_RSP:
      return message.msg.CFindRSP.MessageIDBeingRespondedTo;
    case DIMSE_C_MOVE_RSP:
      return message.msg.CMoveRSP.MessageIDBeingRespondedTo;
    case DIMSE_C_STORE_RSP:
      return message.msg.CStoreRSP.MessageIDBeingRespondedTo;
    case DIMSE_C_ECHO_RSP:
      return message.msg.CEchoRSP.MessageIDBeingRespondedTo;
    default:
      return 0;
  }
}

bool hasDataSet(const T_DIMSE_Message& message) {
  switch (message.CommandField) {
    case DIMSE_C_FIND_RSP:
      return message.msg.CFindRSP.DataSetType != DIMSE_DATASET_NULL;
    case DIMSE_C_MOVE_RSP:
      return message.msg.CMoveRSP.DataSetType != DIMSE_DATASET_NULL;
    case DIMSE_C_STORE_RSP:
      return message.msg.CStoreRSP.DataSetType != DIMSE_DATASET_NULL;
    default:
      return false;
  }
}

LimitReached limitOf(Watchdog::Expired expired) {
  switch (expired) {
    case Watchdog::Expired::Idle:
      return LimitReached::Idle;
    case Watchdog::Expired::Deadline:
      return LimitReached::Overall;
    case Watchdog::Expired::Stopped:
      return LimitReached::Stopped;
    default:
      return LimitReached::None;
  }
}

}  // namespace

std::vector<std::string> identifierSyntaxes() {
  return {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax};
}

const char* findClass() {
  return UID_FINDStudyRootQueryRetrieveInformationModel;
}

const char* moveClass() {
  return UID_MOVEStudyRootQueryRetrieveInformationModel;
}

const char* echoClass() {
  return UID_VerificationSOPClass;
}

std::vector<ProposedContext> callContexts() {
  return {{findClass(), identifierSyntaxes()},
          {moveClass(), identifierSyntaxes()},
          {echoClass(), identifierSyntaxes()}};
}

// ---------------------------------------------------------------------------
// Association

Association::Association(const Endpoint& endpoint, const Timeouts& timeouts,
                         const std::vector<ProposedContext>& contexts, const QString& purpose,
                         CallLimits limits)
    : endpoint_(endpoint), timeouts_(timeouts), limits_(limits), started_(Clock::now()) {
  const QString failed = QStringLiteral("%1 with %2 failed").arg(purpose, peerName(endpoint_));
  const QString address = resolveAddress(failed);
  if (endpoint_.tls.enabled) {
    try {
      tls_ = makeTlsLayer(endpoint_.tls, NET_REQUESTOR);
    } catch (const DicomError& e) {
      throw DicomError(e.number(), QStringLiteral("%1: %2").arg(failed, e.description()));
    }
  }
  OFCondition cond =
      ASC_initializeNetwork(NET_REQUESTOR, 0, std::max(1, timeouts_.associationSeconds), &network_);
  if (!tls_) plain_ = sockets::promptLayer();
  if (cond.good()) cond = ASC_setTransportLayer(network_, tls_ ? tls_.get() : plain_.get(), 0);
  if (cond.bad()) {
    close();
    throw conditionError(cond, failed);
  }
  request(proposal(address, contexts, failed), failed);
  startWatchdog({});
}

QString Association::resolveAddress(const QString& failed) const {
  bool timedOut = false;
  const QString address = resolve(endpoint_.address, timeouts_.connectSeconds, timedOut);
  if (timedOut || address.isEmpty()) {
    throw resolutionError(failed, endpoint_.address, timeouts_.connectSeconds, timedOut);
  }
  return address;
}

// The association request's parameters: the two AE titles, the addresses
// and the proposed contexts.
T_ASC_Parameters* Association::proposal(const QString& address,
                                        const std::vector<ProposedContext>& contexts,
                                        const QString& failed) {
  T_ASC_Parameters* params = nullptr;
  OFCondition cond = ASC_createAssociationParameters(&params, ASC_DEFAULTMAXPDU);
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
  if (tls_) ASC_setTransportLayerType(params, OFTrue);

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
  return params;
}

void Association::request(T_ASC_Parameters* params, const QString& failed) {
  OFCondition cond;
  {
    // A TLS handshake blocks on the socket: its timeouts bound it to the
    // association limit until the association stands.
    ConnectionGlobals globals(timeouts_, tls_ ? timeouts_.associationSeconds : dimseTimeout());
    clearTlsFailure();
    cond = ASC_requestAssociation(network_, params, &association_, nullptr, nullptr, DUL_NOBLOCK,
                                  std::max(1, timeouts_.associationSeconds));
  }
  if (cond.good()) {
    if (tls_) setSocketTimeouts(associationSocket(association_), dimseTimeout());
    return;
  }
  RequestFailure facts{failed, secondsSince(started_), timeouts_.connectSeconds,
                       timeouts_.associationSeconds, QString()};
  facts.tls = tls_ != nullptr;
  if (tls_) facts.tlsProblem = tlsFailure(QStringLiteral("the archive"), cond);
  if (cond == DUL_ASSOCIATIONREJECTED) {
    T_ASC_RejectParameters reject{};
    OFString reason;
    ASC_getRejectParameters(params, &reject);
    ASC_printRejectParameters(reason, &reject);
    facts.rejection = QString::fromLatin1(reason.c_str()).simplified();
  }
  // The association, when DCMTK made one, owns the parameters.
  if (association_ == nullptr) ASC_destroyAssociationParameters(&params);
  close();
  throw requestError(cond, facts);
}

void Association::startWatchdog(std::function<std::uint64_t()> counter,
                                std::function<bool()> stop) {
  watchdog_.reset();
  watchdog_ = std::make_unique<Watchdog>(associationSocket(association_), limits_.idleSeconds,
                                         std::move(counter), std::move(stop));
  if (limits_.overallSeconds > 0) {
    watchdog_->setDeadline(started_ + std::chrono::seconds(limits_.overallSeconds));
  }
}

Association::~Association() {
  close();
}

int Association::dimseTimeout() const {
  // The watchdog ends the call at its limits; DCMTK's own wait only backs it up.
  return std::max(limits_.idleSeconds, limits_.overallSeconds) + timeouts_.associationSeconds;
}

void Association::beginCall(CallLimits limits) {
  limits_ = limits;
  started_ = Clock::now();
  refusal_.clear();
  if (association_ != nullptr) startWatchdog({});
}

void Association::progress() {
  if (watchdog_) watchdog_->progress();
}

void Association::watchCounter(std::function<std::uint64_t()> counter, std::function<bool()> stop) {
  if (association_ != nullptr) startWatchdog(std::move(counter), std::move(stop));
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

OFCondition Association::send(T_ASC_PresentationContextID context, T_DIMSE_Message& request,
                              DcmDataset* data, DIMSE_ProgressCallback onProgress,
                              void* progressContext) {
  return DIMSE_sendMessageUsingMemoryData(association_, context, &request, nullptr, data,
                                          onProgress, progressContext, nullptr);
}

OFCondition Association::receive(T_DIMSE_Command expected, DIC_US messageID, int waitSeconds,
                                 Response& response) {
  // Every command set and data set of the peer is scanned before it is
  // parsed; what goes beyond the limits ends the call, named in refusal_.
  Command command;
  OFCondition cond = receiveCommand(association_, waitSeconds, MessageLimits{}, command, refusal_);
  if (cond.bad()) return cond;
  response.command = command.message;
  response.detail = std::move(command.set);
  if (response.command.CommandField != expected || respondedTo(response.command) != messageID) {
    return makeDcmnetCondition(DIMSEC_UNEXPECTEDRESPONSE, OF_error,
                               "an unexpected response to the request");
  }
  if (!hasDataSet(response.command)) return cond;
  return receiveDataSet(association_, command.context, waitSeconds, MessageLimits{}, response.data,
                        refusal_);
}

DicomError Association::failure(const OFCondition& condition, const QString& context,
                                const std::optional<MoveTrace>& move) {
  const Watchdog::Expired expired = watchdog_ ? watchdog_->expired() : Watchdog::Expired::No;
  abort();
  return callError(
      condition, CallFailure{context, limitOf(expired), limits_.idleSeconds, limits_.overallSeconds,
                             secondsSince(started_), move, refusal_});
}

void Association::close() {
  // The watchdog goes first: it must never shut down a socket that a later
  // connection reuses.
  watchdog_.reset();
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

}  // namespace dicom::dcmtk
