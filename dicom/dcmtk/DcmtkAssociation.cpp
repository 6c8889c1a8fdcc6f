// Outgoing associations with bounded waiting; see DcmtkAssociation.h.

#include "DcmtkAssociation.h"

#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/ofstd/ofstd.h>

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

QString seconds(double value) {
  return QString::number(value, 'f', 1);
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

}  // namespace

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
                         const std::vector<ProposedContext>& contexts, const QString& purpose,
                         CallLimits limits)
    : endpoint_(endpoint), timeouts_(timeouts), limits_(limits), started_(Clock::now()) {
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
    ConnectionGlobals globals(timeouts_, dimseTimeout());
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
    // DCMTK reports a connect that ran out of time with the same code as a
    // refused one; the time it took tells them apart.
    const double waited = secondsSince(started_);
    const bool connectTimedOut = cond.module() == OFM_dcmnet && cond.code() == DULC_TCPINITERROR &&
                                 waited >= timeouts_.connectSeconds - 0.5;
    if (isTimeout(cond) || connectTimedOut) {
      throw DicomError(OwnError::Timeout,
                       QStringLiteral("%1: no connection or association within %2 s (waited %3 "
                                      "s; %4).")
                           .arg(failed)
                           .arg(timeouts_.connectSeconds + timeouts_.associationSeconds)
                           .arg(seconds(waited), text));
    }
    throw DicomError(
        conditionNumber(cond.module(), cond.code()),
        QStringLiteral("%1: the association could not be opened (%2).").arg(failed, text));
  }
  startWatchdog({});
}

void Association::startWatchdog(std::function<std::uint64_t()> counter) {
  watchdog_.reset();
  watchdog_ = std::make_unique<Watchdog>(associationSocket(association_), limits_.idleSeconds,
                                         std::move(counter));
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

void Association::progress() {
  if (watchdog_) watchdog_->progress();
}

void Association::watchCounter(std::function<std::uint64_t()> counter) {
  if (association_ != nullptr) startWatchdog(std::move(counter));
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
  const Watchdog::Expired expired = watchdog_ ? watchdog_->expired() : Watchdog::Expired::No;
  abort();
  const QString waited = seconds(secondsSince(started_));
  if (expired == Watchdog::Expired::Idle || isTimeout(condition)) {
    return DicomError(OwnError::Timeout,
                      QStringLiteral("%1: nothing came from the peer for %2 s (no answer, no "
                                     "progress); the call was ended after %3 s in all.")
                          .arg(context)
                          .arg(limits_.idleSeconds)
                          .arg(waited));
  }
  if (expired == Watchdog::Expired::Deadline) {
    return DicomError(OwnError::Timeout,
                      QStringLiteral("%1: the peer did not finish within %2 s; the call was "
                                     "ended after %3 s.")
                          .arg(context)
                          .arg(limits_.overallSeconds)
                          .arg(waited));
  }
  return conditionError(condition, context);
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
