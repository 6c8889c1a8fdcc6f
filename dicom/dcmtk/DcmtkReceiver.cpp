#include "DcmtkReceiver.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dcmlayer.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/dul.h>

#include <QThread>
#include <algorithm>
#include <atomic>
#include <list>
#include <set>
#include <string>

#include "DcmtkAcceptor.h"
#include "DcmtkAssociation.h"
#include "DcmtkDelivery.h"
#include "DcmtkServedAssociation.h"
#include "DcmtkSockets.h"
#include "DcmtkThread.h"
#include "DcmtkTls.h"
#include "DcmtkWatchdog.h"
#include "dicom/core/DicomError.h"

namespace dicom::dcmtk {

using sockets::Socket;

namespace {

// dcmnet takes an accepted socket through a process-wide variable; every
// use of it (and every acceptor network made while it could be set) goes
// through this lock.
std::mutex& externalSocketLock() {
  static std::mutex lock;
  return lock;
}

std::string trimmedText(const char* text) {
  return QString::fromLatin1(text).trimmed().toStdString();
}

}  // namespace

// One listening port: the network, the acceptor, the associations being
// served and the delivery of what they take.
class DcmtkReceiver::Session {
 public:
  Session(DcmtkReceiver& owner, std::int32_t port, QString title, TlsSettings tls);
  ~Session();

  // Binds the port on the calling thread; DicomError when it cannot.
  void open();
  void start();
  // Returns when every thread has ended.
  void stop();

  std::int32_t port() const { return port_; }
  const TlsSettings& tls() const { return tls_; }
  void setTitle(const QString& title);
  QString title();

 private:
  // The kind of slot an association holds.
  enum class Slot { None, Any, Archive };

  void take(Socket socket);
  T_ASC_Association* receiveRequest(Socket socket);
  Slot reserve(const std::string& callingAE);
  void release(Slot slot);
  void rejectBusy(T_ASC_Association* assoc);
  void serve(T_ASC_Association* assoc, Socket socket, StudyGuard::Opening opening, Slot slot);
  void reapWorkers();
  void deliver(Delivery delivery);
  void refuseConnection(const QString& description, const QString& address);

  DcmtkReceiver& owner_;
  const std::int32_t port_;
  const TlsSettings tls_;
  // What makes the connections: with TLS on the door, else plain prompt ones
  // (see sockets::promptLayer). Outlives the network.
  std::unique_ptr<TlsDoor> door_;
  std::unique_ptr<DcmTransportLayer> plain_;
  std::mutex titleMutex_;
  QString title_;

  T_ASC_Network* network_ = nullptr;
  Socket listener_ = DCMNET_INVALID_SOCKET;
  std::atomic<bool> stopping_{false};
  std::unique_ptr<OrderedDelivery> delivery_;
  std::unique_ptr<ServiceContext> context_;
  std::unique_ptr<Acceptor> acceptor_;
  std::list<std::unique_ptr<QThread>> workers_;  // the acceptor's alone, until stop()
  std::mutex activeMutex_;
  std::set<Socket> active_;
  int anySlots_ = 0;
  int archiveSlots_ = 0;
};

DcmtkReceiver::Session::Session(DcmtkReceiver& owner, std::int32_t port, QString title,
                                TlsSettings tls)
    : owner_(owner), port_(port), tls_(std::move(tls)), title_(std::move(title)) {}

DcmtkReceiver::Session::~Session() {
  stop();
  if (network_ != nullptr) ASC_dropNetwork(&network_);
}

void DcmtkReceiver::Session::open() {
  // With TLS on, every connection passes the door's handshake: none is
  // ever served in plain TCP.
  if (tls_.enabled) {
    door_ =
        std::make_unique<TlsDoor>(tls_, [this](const QString& description, const QString& address) {
          refuseConnection(description, address);
        });
  }
  OFCondition cond;
  {
    std::lock_guard lock(externalSocketLock());
    cond = ASC_initializeNetwork(NET_ACCEPTOR, port_,
                                 std::max(1, owner_.timeouts_.associationSeconds), &network_);
  }
  if (!door_) plain_ = sockets::promptLayer();
  if (cond.good()) {
    DcmTransportLayer* layer = door_ ? static_cast<DcmTransportLayer*>(door_.get()) : plain_.get();
    cond = ASC_setTransportLayer(network_, layer, 0);
  }
  if (cond.bad()) {
    network_ = nullptr;
    throw DicomError(OwnError::PortInUse,
                     QString("Cannot receive on port %1: %2").arg(port_).arg(cond.text()));
  }
  listener_ = DUL_networkSocket(network_->network);
  if (listener_ == DCMNET_INVALID_SOCKET) {
    throw DicomError(OwnError::PortInUse, QString("Cannot receive on port %1.").arg(port_));
  }
  sockets::setBlocking(listener_, false);
}

void DcmtkReceiver::Session::start() {
  const int decoders = std::clamp(QThread::idealThreadCount(), 2, 4);
  delivery_ = std::make_unique<OrderedDelivery>(
      decoders, [this](Delivery delivery) { deliver(std::move(delivery)); });
  context_.reset(new ServiceContext{owner_.timeouts_, owner_.limits_, owner_.guard_, *delivery_,
                                    [this] { return title(); },
                                    [this] { return owner_.displayTarget(); }, stopping_});
  const Acceptor::Limits limits{owner_.limits_.waiting, owner_.timeouts_.associationSeconds};
  acceptor_ = std::make_unique<Acceptor>(
      listener_, limits, [this](Socket s) { take(s); }, door_.get());
  acceptor_->start();
}

void DcmtkReceiver::Session::stop() {
  stopping_ = true;
  if (acceptor_) acceptor_->stop();
  {
    // Ends any read or write an association thread is blocked in.
    std::lock_guard lock(activeMutex_);
    for (Socket socket : active_) shutdownSocket(socket);
  }
  for (auto& worker : workers_) worker->wait();
  workers_.clear();
  if (delivery_) delivery_->close();
}

void DcmtkReceiver::Session::setTitle(const QString& title) {
  std::lock_guard lock(titleMutex_);
  title_ = title;
}

QString DcmtkReceiver::Session::title() {
  std::lock_guard lock(titleMutex_);
  return title_;
}

// A connection whose association request is whole (the acceptor's thread):
// the request is read, and the association gets a thread of its own or,
// with no slot for it, is rejected at once.
void DcmtkReceiver::Session::take(Socket socket) {
  reapWorkers();
  T_ASC_Association* assoc = receiveRequest(socket);
  if (assoc == nullptr) return;
  const std::string calling = trimmedText(assoc->params->DULparams.callingAPTitle);
  const Slot slot = reserve(calling);
  if (slot == Slot::None) {
    rejectBusy(assoc);
    return;
  }
  {
    std::lock_guard lock(activeMutex_);
    active_.insert(socket);
  }
  StudyGuard::Opening opening = owner_.guard_.open(calling);
  workers_.push_back(
      startThread([this, assoc, socket, opening, slot] { serve(assoc, socket, opening, slot); }));
}

// The association request waiting whole on the socket, read by DCMTK;
// nullptr (the connection closed) when it cannot be read.
T_ASC_Association* DcmtkReceiver::Session::receiveRequest(Socket socket) {
  T_ASC_Association* assoc = nullptr;
  OFCondition cond;
  {
    std::lock_guard lock(externalSocketLock());
    dcmExternalSocketHandle.set(socket);
    // The largest PDU dcmnet handles: a mammogram arrives in an eighth of
    // the PDUs the 16 KB default would take.
    cond = ASC_receiveAssociation(network_, &assoc, ASC_MAXIMUMPDUSIZE, nullptr, nullptr, OFFalse,
                                  DUL_NOBLOCK, std::max(1, owner_.timeouts_.associationSeconds));
    dcmExternalSocketHandle.set(DCMNET_INVALID_SOCKET);
  }
  if (cond.good() && assoc != nullptr) return assoc;
  // From the request on, the association owns the socket and closes it.
  if (assoc != nullptr) {
    ASC_dropAssociation(assoc);
    ASC_destroyAssociation(&assoc);
  } else {
    sockets::closeSocket(socket);
  }
  return nullptr;
}

DcmtkReceiver::Session::Slot DcmtkReceiver::Session::reserve(const std::string& callingAE) {
  std::lock_guard lock(activeMutex_);
  if (anySlots_ < owner_.limits_.associations) {
    ++anySlots_;
    return Slot::Any;
  }
  if (archiveSlots_ < owner_.limits_.archiveAssociations && owner_.guard_.keepsSlotFor(callingAE)) {
    ++archiveSlots_;
    return Slot::Archive;
  }
  return Slot::None;
}

void DcmtkReceiver::Session::release(Slot slot) {
  std::lock_guard lock(activeMutex_);
  (slot == Slot::Archive ? archiveSlots_ : anySlots_) -= 1;
}

// Busy: rejected at once rather than left waiting.
void DcmtkReceiver::Session::rejectBusy(T_ASC_Association* assoc) {
  qInfo("Rejected an association from %s (%s): every slot is taken",
        assoc->params->DULparams.callingPresentationAddress,
        assoc->params->DULparams.callingAPTitle);
  T_ASC_RejectParameters reject = {ASC_RESULT_REJECTEDTRANSIENT,
                                   ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
                                   ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED};
  ASC_rejectAssociation(assoc, &reject);
  ASC_dropAssociation(assoc);
  ASC_destroyAssociation(&assoc);
}

void DcmtkReceiver::Session::serve(T_ASC_Association* assoc, Socket socket,
                                   StudyGuard::Opening opening, Slot slot) {
  ServedAssociation served(assoc, std::move(opening), *context_);
  served.run();
  {
    // Before the socket is closed: its number may be reused at once.
    std::lock_guard lock(activeMutex_);
    active_.erase(socket);
  }
  served.close();
  release(slot);
}

void DcmtkReceiver::Session::reapWorkers() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if ((*it)->isFinished()) {
      (*it)->wait();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

// Hands a result to the owner's thread. Results of a retrieval the station
// has dropped are dropped there, on the thread that starts retrievals, so
// that none slips in after a new one began.
void DcmtkReceiver::Session::deliver(Delivery delivery) {
  DcmtkReceiver* receiver = &owner_;
  const std::uint64_t retrieval = delivery.retrieval;
  switch (delivery.kind) {
    case Delivery::Kind::Image:
      QMetaObject::invokeMethod(
          receiver,
          [receiver, retrieval, study = delivery.study, image = std::move(delivery.image)] {
            if (receiver->guard_.holds(retrieval)) emit receiver->imageReceived(image, study);
          },
          Qt::QueuedConnection);
      break;
    case Delivery::Kind::Object:
      break;  // objects without pixels never enter the viewer and are not kept
    case Delivery::Kind::Closed:
      QMetaObject::invokeMethod(
          receiver,
          [receiver, retrieval, study = delivery.study] {
            if (receiver->guard_.holds(retrieval)) emit receiver->associationClosed(study);
          },
          Qt::QueuedConnection);
      break;
    case Delivery::Kind::Refused:
      QMetaObject::invokeMethod(
          receiver,
          [receiver, refused = std::move(delivery)] {
            emit receiver->objectRefused(OwnError::Refused, refused.description,
                                         refused.senderAETitle, refused.senderAddress);
          },
          Qt::QueuedConnection);
      break;
  }
}

// A connection turned away before its association (a failed TLS
// handshake): reported as a refusal of the sender's address.
void DcmtkReceiver::Session::refuseConnection(const QString& description, const QString& address) {
  Delivery refused;
  refused.kind = Delivery::Kind::Refused;
  refused.senderAddress = address;
  refused.description = description;
  deliver(std::move(refused));
}

DcmtkReceiver::DcmtkReceiver(Timeouts timeouts, ReceiverLimits limits)
    : timeouts_(timeouts),
      limits_(limits),
      guard_(StudyGuard::Limits{limits.retrievalBytes, limits.graceSeconds}) {
  // The peer's numeric address is enough; a reverse lookup could stall.
  dcmDisableGethostbyaddr.set(OFTrue);
  qRegisterMetaType<dicom::ImagePtr>("dicom::ImagePtr");
}

DcmtkReceiver::~DcmtkReceiver() {
  stop();
}

void DcmtkReceiver::listen(const StationIdentity& station) {
  const std::int32_t port = station.port.number();
  if (port < 1 || port > 65535) {
    throw DicomError(OwnError::InvalidArgument, QString("Invalid receiving port %1.").arg(port));
  }
  checkAETitle(station.aeTitle, QStringLiteral("station's own AE title"));
  const QString title = station.aeTitle.trimmed();
  if (session_ && session_->port() == port && session_->tls() == station.tls) {
    session_->setTitle(title);
    return;
  }
  stop();
  auto session = std::make_unique<Session>(*this, port, title, station.tls);
  session->open();
  session->start();
  session_ = std::move(session);
}

void DcmtkReceiver::stop() {
  if (!session_) return;
  session_->stop();
  session_.reset();
}

std::int32_t DcmtkReceiver::port() const {
  return session_ ? session_->port() : 0;
}

void DcmtkReceiver::expectStudy(const QString& studyInstanceUID, const Peer& archive) {
  guard_.expect(studyInstanceUID.trimmed().toStdString(), archive.aeTitle.trimmed().toStdString());
}

void DcmtkReceiver::expectAhead(const QString& studyInstanceUID, const Peer& archive) {
  guard_.expectAhead(studyInstanceUID.trimmed().toStdString(),
                     archive.aeTitle.trimmed().toStdString());
}

bool DcmtkReceiver::promoteAhead() {
  return guard_.promoteAhead();
}

void DcmtkReceiver::endRetrieval(const QString& studyInstanceUID) {
  guard_.end(studyInstanceUID.trimmed().toStdString());
}

std::uint64_t DcmtkReceiver::bytesReceived() const {
  return guard_.progress();
}

std::uint64_t DcmtkReceiver::bytesReceived(const QString& studyInstanceUID) const {
  return guard_.progressOf(studyInstanceUID.trimmed().toStdString());
}

void DcmtkReceiver::beginProbe(const QStringList& sopInstanceUIDs,
                               const std::vector<Tag>& attributes, const Peer& archive) {
  guard_.beginProbe(sopInstanceUIDs, attributes, archive.aeTitle.trimmed().toStdString());
}

std::map<QString, std::vector<DataSet>> DcmtkReceiver::endProbe() {
  return guard_.endProbe();
}

void DcmtkReceiver::setDisplayTarget(const QSize& size) {
  std::lock_guard lock(targetMutex_);
  if (!size.isEmpty()) displayTarget_ = size;
}

QSize DcmtkReceiver::displayTarget() const {
  std::lock_guard lock(targetMutex_);
  return displayTarget_;
}

std::unique_ptr<StorageReceiver> makeReceiver(const Timeouts& timeouts) {
  return std::make_unique<DcmtkReceiver>(timeouts);
}

}  // namespace dicom::dcmtk
