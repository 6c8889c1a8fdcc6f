#include "DcmtkReceiver.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/dul.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <QThread>
#include <QThreadPool>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <iterator>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DcmtkAssociation.h"
#include "DcmtkImage.h"
#include "DcmtkIntake.h"
#include "DcmtkRender.h"
#include "DcmtkText.h"
#include "DcmtkWatchdog.h"
#include "dicom/core/DicomError.h"

namespace dicom::dcmtk {
namespace {

using Socket = DcmNativeSocketType;
using Clock = std::chrono::steady_clock;

// The stack of every thread that parses or decodes what a peer sent. The
// scanner refuses deep nesting before the parser sees it; the large stack
// is the second line.
constexpr unsigned kStackBytes = 64u * 1024 * 1024;
// No association request is larger; a bigger one is refused unread.
constexpr std::uint32_t kMaxRequestBytes = 64u * 1024;

#ifdef _WIN32
using PollFd = WSAPOLLFD;
int pollSockets(PollFd* fds, std::size_t count, int milliseconds) {
  return WSAPoll(fds, static_cast<ULONG>(count), milliseconds);
}
void closeSocket(Socket socket) {
  closesocket(socket);
}
void setBlocking(Socket socket, bool blocking) {
  u_long mode = blocking ? 0 : 1;
  ioctlsocket(socket, FIONBIO, &mode);
}
Socket acceptSocket(Socket listener) {
  return ::accept(listener, nullptr, nullptr);
}
#else
using PollFd = pollfd;
int pollSockets(PollFd* fds, std::size_t count, int milliseconds) {
  int n;
  do {
    n = ::poll(fds, static_cast<nfds_t>(count), milliseconds);
  } while (n < 0 && errno == EINTR);
  return n;
}
void closeSocket(Socket socket) {
  ::close(socket);
}
void setBlocking(Socket socket, bool blocking) {
  const int flags = ::fcntl(socket, F_GETFL);
  ::fcntl(socket, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}
Socket acceptSocket(Socket listener) {
  const Socket socket = ::accept(listener, nullptr, nullptr);
  if (socket >= 0) ::fcntl(socket, F_SETFD, FD_CLOEXEC);
  return socket;
}
#endif

// dcmnet takes an accepted socket through a process-wide variable; every
// use of it (and every acceptor network made while it could be set) goes
// through this lock.
std::mutex& externalSocketLock() {
  static std::mutex lock;
  return lock;
}

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

struct Delivery {
  enum class Kind { Image, Object, Closed, Refused };
  Kind kind = Kind::Closed;
  ImagePtr image;
  std::uint64_t generation = 0;
  bool delivered = false;  // Closed: the association delivered objects of its generation
  QString description;     // Refused
};

// Decodes one accepted object for display. An object with pixel data that
// cannot be decoded is still delivered, with its reason, so that the
// operator sees that the study holds an image that cannot be shown.
Delivery decode(std::unique_ptr<DcmFileFormat> file, bool hasPixelData, const Timeouts& timeouts,
                std::uint64_t generation, const QSize& target) {
  Delivery delivery;
  delivery.generation = generation;
  if (!hasPixelData) {
    delivery.kind = Delivery::Kind::Object;
    return delivery;
  }
  QImage picture;
  QString problem;
  try {
    picture = renderForDisplay(*file->getDataset(), target, arrivalLongSide(target));
  } catch (const std::exception& e) {
    problem = QString::fromUtf8(e.what());
  }
  if (picture.isNull() && problem.isEmpty()) problem = "its pixel data cannot be decoded";
  auto image = std::make_shared<DcmtkImage>(std::move(file), timeouts);
  image->setDisplayImage(std::move(picture));
  image->setDisplayProblem(problem);
  delivery.kind = Delivery::Kind::Image;
  delivery.image = std::move(image);
  return delivery;
}

// The next PDV of the association, reading the next P-DATA when the
// current one is used up.
OFCondition nextPDV(T_ASC_Association* assoc, DUL_PDV& pdv, int timeout) {
  OFCondition cond = DUL_NextPDV(&assoc->DULassociation, &pdv);
  if (cond.good()) return cond;
  cond = DUL_ReadPDVs(&assoc->DULassociation, nullptr, DUL_NOBLOCK, timeout);
  // DCMTK reports a P-DATA that arrived as a condition of its own.
  if (cond.bad() && cond != DUL_PDATAPDUARRIVED) return cond;
  return DUL_NextPDV(&assoc->DULassociation, &pdv);
}

// The bytes of an A-ASSOCIATE-RJ: rejected-transient by the service
// provider (presentation), local limit exceeded.
const char kBusyRejection[] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x02, 0x03, 0x02};

}  // namespace

// What the user-interface thread, the acceptor and the association threads
// share: what the station expects, and what arrived.
struct DcmtkReceiver::Shared {
  std::atomic<std::uint64_t> generation{0};
  std::atomic<std::uint64_t> bytes{0};

  std::mutex mutex;
  std::string studyUID;
  std::uint64_t retrievalBytes = 0;
  bool probing = false;
  std::set<std::string> probeUIDs;
  std::vector<Tag> probeTags;
  std::map<std::string, std::vector<DataSet>> probeCopies;
  QSize displayTarget{1024, 1024};
};

// One listening port: the acceptor, the association threads, the decoders
// and the dispatcher.
struct DcmtkReceiver::Session {
  using Mode = ObjectIntake::Mode;
  struct Admission {
    Mode mode = Mode::Refuse;
    std::uint16_t status = 0;
    QString reason;
  };

  Session(DcmtkReceiver* receiver, std::shared_ptr<Shared> state, Timeouts timeouts,
          ReceiverLimits limits, std::int32_t listenPort, QString title)
      : owner(receiver),
        shared(std::move(state)),
        timeouts(timeouts),
        limits(limits),
        port(listenPort),
        aet(std::move(title)) {
    const unsigned hardware = std::thread::hardware_concurrency();
    decoders.setMaxThreadCount(static_cast<int>(std::max(2u, std::min(hardware, 4u))));
    decoders.setStackSize(kStackBytes);
  }

  ~Session() {
    if (network != nullptr) ASC_dropNetwork(&network);
  }

  // Binds the port on the calling thread; DicomError when it cannot.
  void open() {
    OFCondition cond;
    {
      std::lock_guard<std::mutex> lock(externalSocketLock());
      cond = ASC_initializeNetwork(NET_ACCEPTOR, port, std::max(1, timeouts.associationSeconds),
                                   &network);
    }
    if (cond.bad()) {
      network = nullptr;
      throw DicomError(OwnError::PortInUse,
                       QString("Cannot receive on port %1: %2").arg(port).arg(cond.text()));
    }
    listener = DUL_networkSocket(network->network);
    if (listener == DCMNET_INVALID_SOCKET) {
      throw DicomError(OwnError::PortInUse, QString("Cannot receive on port %1.").arg(port));
    }
    setBlocking(listener, false);
  }

  void start() {
    dispatcher = std::thread([this] { dispatch(); });
    acceptor = std::thread([this] { accept(); });
  }

  void stop() {
    stopping = true;
    if (acceptor.joinable()) acceptor.join();
    {
      // Ends any read or write an association thread is blocked in.
      std::lock_guard<std::mutex> lock(activeMutex);
      for (Socket socket : active) shutdownSocket(socket);
    }
    for (auto& worker : workers) worker->wait();
    workers.clear();
    {
      std::lock_guard<std::mutex> lock(queueMutex);
      queueClosed = true;
    }
    queueReady.notify_all();
    if (dispatcher.joinable()) dispatcher.join();
    decoders.waitForDone();
  }

  void setTitle(const QString& title) {
    std::lock_guard<std::mutex> lock(titleMutex);
    aet = title;
  }

  QString title() {
    std::lock_guard<std::mutex> lock(titleMutex);
    return aet;
  }

  // --- acceptor -----------------------------------------------------------

  struct Waiting {
    Socket socket;
    Clock::time_point since;
  };

  // Accepts connections and holds them until their association request has
  // arrived whole; only then does an association take a thread.
  void accept() {
    std::vector<Waiting> waiting;
    std::vector<PollFd> fds;
    while (!stopping) {
      reapWorkers();
      fds.assign(1, PollFd{});
      fds[0].fd = listener;
      fds[0].events = POLLIN;
      for (const Waiting& w : waiting) {
        PollFd fd{};
        fd.fd = w.socket;
        fd.events = POLLIN;
        fds.push_back(fd);
      }
      // A tenth of a second at most, so that stop() and expired requests
      // are seen without a wake-up of their own.
      if (pollSockets(fds.data(), fds.size(), 100) < 0) continue;
      const auto now = Clock::now();
      std::vector<Waiting> still;
      for (std::size_t i = 0; i < waiting.size(); ++i) {
        const Waiting& w = waiting[i];
        const short events = fds[i + 1].revents;
        if (events & (POLLERR | POLLHUP | POLLNVAL)) {
          closeSocket(w.socket);
          continue;
        }
        if (events & POLLIN) {
          const int ready = requestReady(w.socket);
          if (ready < 0) {
            closeSocket(w.socket);
            continue;
          }
          if (ready > 0) {
            handOver(w.socket);
            continue;
          }
        }
        if (now - w.since >= std::chrono::seconds(std::max(1, timeouts.associationSeconds))) {
          closeSocket(w.socket);  // never sent its request in time
          continue;
        }
        still.push_back(w);
      }
      waiting.swap(still);
      if (fds[0].revents & POLLIN) {
        for (;;) {
          const Socket socket = acceptSocket(listener);
          if (socket == DCMNET_INVALID_SOCKET) break;
          if (static_cast<int>(waiting.size()) >= limits.waiting) {
            // The oldest waiting connection makes room: a crowd of silent
            // peers never locks a legitimate sender out.
            closeSocket(waiting.front().socket);
            waiting.erase(waiting.begin());
          }
          setBlocking(socket, false);
          waiting.push_back({socket, now});
        }
      }
    }
    for (const Waiting& w : waiting) closeSocket(w.socket);
  }

  // 1 when the whole association request is buffered, 0 while it is not,
  // -1 for a connection that sends anything else or has closed.
  static int requestReady(Socket socket) {
    unsigned char header[6];
    const long got = ::recv(socket, reinterpret_cast<char*>(header), sizeof header, MSG_PEEK);
    if (got == 0) return -1;
    if (got < static_cast<long>(sizeof header)) return 0;
    if (header[0] != 0x01) return -1;  // not an A-ASSOCIATE-RQ
    const std::uint32_t length = (std::uint32_t{header[2]} << 24) |
                                 (std::uint32_t{header[3]} << 16) |
                                 (std::uint32_t{header[4]} << 8) | header[5];
    if (length > kMaxRequestBytes) return -1;
    std::vector<char> whole(sizeof header + length);
    const long all = ::recv(socket, whole.data(), static_cast<int>(whole.size()), MSG_PEEK);
    return all == static_cast<long>(whole.size()) ? 1 : 0;
  }

  void handOver(Socket socket) {
    setBlocking(socket, true);
    if (static_cast<int>(workers.size()) >= limits.associations) {
      // Busy: rejected at once rather than left waiting.
      ::send(socket, kBusyRejection, sizeof kBusyRejection, 0);
      closeSocket(socket);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(activeMutex);
      active.insert(socket);
    }
    std::unique_ptr<QThread> worker(QThread::create([this, socket] { serve(socket); }));
    worker->setStackSize(kStackBytes);
    worker->start();
    workers.push_back(std::move(worker));
  }

  void reapWorkers() {
    for (auto it = workers.begin(); it != workers.end();) {
      if ((*it)->isFinished()) {
        (*it)->wait();
        it = workers.erase(it);
      } else {
        ++it;
      }
    }
  }

  // --- one association ----------------------------------------------------

  void serve(Socket socket) {
    T_ASC_Association* assoc = nullptr;
    OFCondition cond;
    {
      std::lock_guard<std::mutex> lock(externalSocketLock());
      dcmExternalSocketHandle.set(socket);
      // The largest PDU dcmnet handles: a mammogram arrives in an eighth of
      // the PDUs the 16 KB default would take.
      cond = ASC_receiveAssociation(network, &assoc, ASC_MAXIMUMPDUSIZE, nullptr, nullptr, OFFalse,
                                    DUL_NOBLOCK, std::max(1, timeouts.associationSeconds));
      dcmExternalSocketHandle.set(DCMNET_INVALID_SOCKET);
    }
    // From here on the association owns the socket and closes it.
    const std::uint64_t generation = shared->generation.load();
    bool accepted = false;
    bool released = false;
    bool delivered = false;
    if (cond.good() && assoc != nullptr) {
      try {
        accepted = negotiate(assoc);
        if (accepted) {
          Watchdog watchdog(socket, std::max(1, timeouts.messageSeconds));
          released = converse(assoc, watchdog, generation, delivered);
        }
      } catch (const std::exception& e) {
        // Nothing a peer sends may end the receiver.
        qWarning("Receiving ended in a failure: %s", e.what());
        if (accepted) ASC_abortAssociation(assoc);
      }
    }
    // associationClosed, after every object of the association. Once the
    // release is acknowledged nothing more can arrive, so the study is
    // handed over now: dropping a released association waits for the peer
    // to close its connection, and some archives take 50 ms or more.
    if (accepted) {
      Delivery closed;
      closed.generation = generation;
      closed.delivered = delivered;
      push(ready(std::move(closed)));
    }
    {
      std::lock_guard<std::mutex> lock(activeMutex);
      active.erase(socket);
    }
    if (assoc != nullptr) {
      if (released) {
        ASC_dropSCPAssociation(assoc, 1);
      } else {
        ASC_dropAssociation(assoc);
      }
      ASC_destroyAssociation(&assoc);
    } else {
      closeSocket(socket);
    }
  }

  // Accepts or rejects the association request; true when accepted.
  bool negotiate(T_ASC_Association* assoc) {
    char calling[80] = {0}, called[80] = {0};
    ASC_getAPTitles(assoc->params, calling, sizeof calling, called, sizeof called, nullptr, 0);
    char context[80] = {0};
    ASC_getApplicationContextName(assoc->params, context, sizeof context);
    const QString peer = QString::fromLatin1(assoc->params->DULparams.callingPresentationAddress);
    const QString ownTitle = title();

    T_ASC_RejectParameters reject = {ASC_RESULT_REJECTEDPERMANENT, ASC_SOURCE_SERVICEUSER,
                                     ASC_REASON_SU_NOREASON};
    bool refuse = false;
    if (trimmed(called) != ownTitle) {
      qInfo("Refused an association from %s (%s): called AE title %s is not %s", qPrintable(peer),
            qPrintable(trimmed(calling)), qPrintable(trimmed(called)), qPrintable(ownTitle));
      reject.reason = ASC_REASON_SU_CALLEDAETITLENOTRECOGNIZED;
      refuse = true;
    } else if (std::strcmp(context, UID_StandardApplicationContext) != 0) {
      reject.reason = ASC_REASON_SU_APPCONTEXTNAMENOTSUPPORTED;
      refuse = true;
    } else {
      const char* verification[] = {UID_VerificationSOPClass};
      ASC_acceptContextsWithPreferredTransferSyntaxes(assoc->params, verification, 1,
                                                      const_cast<const char**>(kPlainSyntaxes),
                                                      static_cast<int>(std::size(kPlainSyntaxes)));
      static const std::vector<const char*> classes = storageClasses();
      ASC_acceptContextsWithPreferredTransferSyntaxes(
          assoc->params, const_cast<const char**>(classes.data()), static_cast<int>(classes.size()),
          const_cast<const char**>(kStorageSyntaxes),
          static_cast<int>(std::size(kStorageSyntaxes)));
      if (ASC_countAcceptedPresentationContexts(assoc->params) == 0) {
        qInfo("Refused an association from %s (%s): nothing it proposes can be received",
              qPrintable(peer), qPrintable(trimmed(calling)));
        refuse = true;
      }
    }
    if (refuse) {
      ASC_rejectAssociation(assoc, &reject);
      return false;
    }
    const QByteArray titleBytes = ownTitle.toLatin1();
    ASC_setAPTitles(assoc->params, nullptr, nullptr, titleBytes.constData());
    return ASC_acknowledgeAssociation(assoc).good();
  }

  // Serves the commands of an accepted association. True when the peer
  // released it; false when it ended any other way (it is then aborted).
  bool converse(T_ASC_Association* assoc, Watchdog& watchdog, std::uint64_t generation,
                bool& delivered) {
    // The watchdog ends a silent association; DCMTK's own wait backs it up.
    const int wait = std::max(1, timeouts.messageSeconds) + limits.objectSeconds;
    while (!stopping) {
      T_DIMSE_Message message;
      std::memset(&message, 0, sizeof message);
      T_ASC_PresentationContextID context = 0;
      DcmDataset* detail = nullptr;
      OFCondition cond =
          DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, wait, &context, &message, &detail);
      delete detail;
      if (cond == DUL_PEERREQUESTEDRELEASE) {
        ASC_acknowledgeRelease(assoc);
        return true;
      }
      if (cond == DUL_PEERABORTEDASSOCIATION) return false;
      if (cond.bad()) break;  // idle for the message timeout, or a broken peer
      watchdog.progress();
      if (message.CommandField == DIMSE_C_ECHO_RQ) {
        cond =
            DIMSE_sendEchoResponse(assoc, context, &message.msg.CEchoRQ, STATUS_Success, nullptr);
      } else if (message.CommandField == DIMSE_C_STORE_RQ) {
        cond = store(assoc, context, message.msg.CStoreRQ, watchdog, generation, delivered);
      } else {
        cond = DIMSE_BADCOMMANDTYPE;
      }
      if (cond.bad()) break;
    }
    ASC_abortAssociation(assoc);
    return false;
  }

  Admission admit(const std::string& sopInstanceUID, std::uint64_t generation) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (shared->probing) {
      if (shared->probeUIDs.count(sopInstanceUID) != 0) return {Mode::Probe, 0, {}};
      return {Mode::Refuse, 0x0124, "the station is checking labels and did not ask for it"};
    }
    if (generation != shared->generation.load()) {
      return {Mode::Refuse, 0x0124,
              "it arrived on an association opened before the current retrieval"};
    }
    if (shared->studyUID.empty()) return {Mode::Refuse, 0x0124, "no retrieval is running"};
    return {Mode::Keep, 0, {}};
  }

  // Receives a data set PDV by PDV into the intake. False when the
  // association failed: the object is incomplete and nothing is kept.
  OFCondition receiveDataSet(T_ASC_Association* assoc, T_ASC_PresentationContextID context,
                             ObjectIntake& intake, Watchdog& watchdog) {
    const int wait = std::max(1, timeouts.messageSeconds) + limits.objectSeconds;
    watchdog.setDeadline(Clock::now() + std::chrono::seconds(limits.objectSeconds));
    OFCondition result = EC_Normal;
    for (bool last = false; !last;) {
      DUL_PDV pdv;
      OFCondition cond = nextPDV(assoc, pdv, wait);
      if (cond.bad()) {
        result = cond;
        break;
      }
      if (pdv.pdvType != DUL_DATASETPDV || pdv.presentationContextID != context) {
        result = DIMSE_RECEIVEFAILED;
        break;
      }
      last = pdv.lastPDV;
      shared->bytes += pdv.fragmentLength;
      if (pdv.fragmentLength > 0) watchdog.progress();
      intake.feed(static_cast<const std::uint8_t*>(pdv.data), pdv.fragmentLength, last);
    }
    watchdog.setDeadline({});
    return result;
  }

  // Why an object is not of the study being retrieved; empty when it is.
  QString foreignStudy(const std::string& study) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (study.empty()) return "it has no Study Instance UID";
    if (study != shared->studyUID) {
      return QString("it belongs to study %1, not to the study being retrieved")
          .arg(QString::fromStdString(study));
    }
    return QString();
  }

  OFCondition store(T_ASC_Association* assoc, T_ASC_PresentationContextID context,
                    T_DIMSE_C_StoreRQ& request, Watchdog& watchdog, std::uint64_t generation,
                    bool& delivered) {
    T_ASC_PresentationContext accepted;
    if (ASC_findAcceptedPresentationContext(assoc->params, context, &accepted).bad()) {
      return DIMSE_RECEIVEFAILED;
    }
    const E_TransferSyntax xfer = DcmXfer(accepted.acceptedTransferSyntax).getXfer();
    const std::string sopInstance = trimmed(request.AffectedSOPInstanceUID).toStdString();
    const Admission admission = admit(sopInstance, generation);
    ObjectIntake intake(xfer, admission.mode, {limits.maxDepth, limits.objectBytes},
                        [this](const std::string& study) { return foreignStudy(study); });
    if (admission.mode == Mode::Refuse) intake.refuse(admission.status, admission.reason);
    const OFCondition received = receiveDataSet(assoc, context, intake, watchdog);
    if (received.bad()) return received;  // incomplete: nothing is kept
    intake.finish(sopInstance);
    if (intake.mode() == Mode::Keep) {
      const auto [status, reason] = commitBytes(generation, intake.bytes());
      if (!reason.isEmpty()) intake.refuse(status, reason);
    }

    const bool refused = intake.mode() == Mode::Refuse;
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
    const OFCondition cond =
        DIMSE_sendStoreResponse(assoc, context, &request, &response, statusDetail.get());
    if (refused) {
      reportRefusal(assoc, request, intake.status(), intake.reason());
      return cond;
    }
    // Counted only once the sender was told it arrived.
    if (cond.bad()) return cond;
    if (intake.mode() == Mode::Probe) {
      std::lock_guard<std::mutex> lock(shared->mutex);
      if (!shared->probing) return cond;
      DataSet copy;
      for (const Tag tag : shared->probeTags) {
        const DcmTagKey key(static_cast<Uint16>(groupOf(tag)), static_cast<Uint16>(elementOf(tag)));
        const QString value = readText(*intake.dataset(), key);
        if (!value.isNull()) copy.set(tag, value);
      }
      shared->probeCopies[sopInstance].push_back(std::move(copy));
      return cond;
    }
    std::unique_ptr<DcmFileFormat> file = intake.take();
    file->validateMetaInfo(xfer);
    file->getMetaInfo()->putAndInsertString(DCM_SourceApplicationEntityTitle,
                                            assoc->params->DULparams.callingAPTitle);
    submit(std::move(file), intake.hasPixelData(), generation);
    delivered = true;
    return cond;
  }

  // Adds an accepted object to the retrieval's total, unless that passes
  // the limit or a new retrieval has begun meanwhile.
  std::pair<std::uint16_t, QString> commitBytes(std::uint64_t generation, std::uint64_t bytes) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    if (generation != shared->generation.load()) {
      return {0x0124, "a new retrieval began while it arrived"};
    }
    if (shared->retrievalBytes + bytes > limits.retrievalBytes) {
      return {0xA700,
              QString("the retrieval would exceed %1 MiB").arg(limits.retrievalBytes >> 20)};
    }
    shared->retrievalBytes += bytes;
    return {0, QString()};
  }

  void reportRefusal(T_ASC_Association* assoc, const T_DIMSE_C_StoreRQ& request,
                     std::uint16_t status, const QString& reason) {
    Delivery refused;
    refused.kind = Delivery::Kind::Refused;
    refused.description =
        QString("The station refused object %1 from AE title \"%2\" at %3 (status 0x%4): %5.")
            .arg(trimmed(request.AffectedSOPInstanceUID),
                 trimmed(assoc->params->DULparams.callingAPTitle),
                 QString::fromLatin1(assoc->params->DULparams.callingPresentationAddress))
            .arg(status, 4, 16, QChar('0'))
            .arg(reason);
    push(ready(std::move(refused)));
  }

  // --- decoding and delivery --------------------------------------------

  static std::future<Delivery> ready(Delivery delivery) {
    std::promise<Delivery> promise;
    promise.set_value(std::move(delivery));
    return promise.get_future();
  }

  void submit(std::unique_ptr<DcmFileFormat> file, bool hasPixelData, std::uint64_t generation) {
    auto promise = std::make_shared<std::promise<Delivery>>();
    auto object = std::make_shared<std::unique_ptr<DcmFileFormat>>(std::move(file));
    push(promise->get_future());
    const Timeouts limitsCopy = timeouts;
    QSize target;
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      target = shared->displayTarget;
    }
    decoders.start([promise, object, hasPixelData, limitsCopy, generation, target] {
      try {
        promise->set_value(
            decode(std::move(*object), hasPixelData, limitsCopy, generation, target));
      } catch (...) {
        promise->set_exception(std::current_exception());
      }
    });
  }

  void push(std::future<Delivery> delivery) {
    {
      std::lock_guard<std::mutex> lock(queueMutex);
      queue.push_back(std::move(delivery));
    }
    queueReady.notify_one();
  }

  // Hands results to the owner's thread in the order the objects arrived.
  // Results of an earlier retrieval are dropped there, on the thread that
  // starts retrievals, so that none slips in after a new one began.
  void dispatch() {
    for (;;) {
      std::future<Delivery> next;
      {
        std::unique_lock<std::mutex> lock(queueMutex);
        queueReady.wait(lock, [this] { return queueClosed || !queue.empty(); });
        if (queue.empty()) return;
        next = std::move(queue.front());
        queue.pop_front();
      }
      Delivery delivery;
      try {
        delivery = next.get();
      } catch (const std::exception& e) {
        qWarning("A received object was lost while decoding: %s", e.what());
        continue;
      }
      DcmtkReceiver* receiver = owner;
      Shared* state = shared.get();
      switch (delivery.kind) {
        case Delivery::Kind::Image:
          QMetaObject::invokeMethod(
              receiver,
              [receiver, state, image = delivery.image, generation = delivery.generation] {
                if (generation == state->generation.load()) emit receiver->imageReceived(image);
              },
              Qt::QueuedConnection);
          break;
        case Delivery::Kind::Object:
          // Objects without pixels never enter the viewer and are not kept.
          break;
        case Delivery::Kind::Closed:
          if (!delivery.delivered) break;
          QMetaObject::invokeMethod(
              receiver,
              [receiver, state, generation = delivery.generation] {
                if (generation == state->generation.load()) emit receiver->associationClosed();
              },
              Qt::QueuedConnection);
          break;
        case Delivery::Kind::Refused:
          QMetaObject::invokeMethod(
              receiver,
              [receiver, description = delivery.description] {
                emit receiver->objectRefused(OwnError::Refused, description);
              },
              Qt::QueuedConnection);
          break;
      }
    }
  }

  DcmtkReceiver* owner;
  std::shared_ptr<Shared> shared;
  Timeouts timeouts;
  ReceiverLimits limits;
  std::int32_t port;

  std::mutex titleMutex;
  QString aet;

  T_ASC_Network* network = nullptr;
  Socket listener = DCMNET_INVALID_SOCKET;
  std::atomic<bool> stopping{false};
  std::thread acceptor;
  std::list<std::unique_ptr<QThread>> workers;  // the acceptor's alone
  std::mutex activeMutex;
  std::set<Socket> active;

  QThreadPool decoders;
  std::mutex queueMutex;
  std::condition_variable queueReady;
  std::deque<std::future<Delivery>> queue;
  bool queueClosed = false;
  std::thread dispatcher;
};

DcmtkReceiver::DcmtkReceiver(Timeouts timeouts, ReceiverLimits limits)
    : timeouts_(timeouts), limits_(limits), shared_(std::make_shared<Shared>()) {
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
  if (session_ && session_->port == port) {
    session_->setTitle(title);
    return;
  }
  stop();
  auto session = std::make_unique<Session>(this, shared_, timeouts_, limits_, port, title);
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
  return session_ ? session_->port : 0;
}

void DcmtkReceiver::expectStudy(const QString& studyInstanceUID) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->generation += 1;
  shared_->studyUID = studyInstanceUID.trimmed().toStdString();
  shared_->retrievalBytes = 0;
}

std::uint64_t DcmtkReceiver::bytesReceived() const {
  return shared_->bytes.load();
}

void DcmtkReceiver::beginProbe(const QStringList& sopInstanceUIDs,
                               const std::vector<Tag>& attributes) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->probing = true;
  shared_->probeUIDs.clear();
  for (const QString& uid : sopInstanceUIDs) shared_->probeUIDs.insert(uid.trimmed().toStdString());
  shared_->probeTags = attributes;
  shared_->probeCopies.clear();
}

std::map<QString, std::vector<DataSet>> DcmtkReceiver::endProbe() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->probing = false;
  std::map<QString, std::vector<DataSet>> copies;
  for (auto& [uid, sets] : shared_->probeCopies)
    copies[QString::fromStdString(uid)] = std::move(sets);
  shared_->probeCopies.clear();
  shared_->probeUIDs.clear();
  return copies;
}

void DcmtkReceiver::setDisplayTarget(const QSize& size) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (!size.isEmpty()) shared_->displayTarget = size;
}

std::unique_ptr<StorageReceiver> makeReceiver(const Timeouts& timeouts) {
  return std::make_unique<DcmtkReceiver>(timeouts);
}

}  // namespace dicom::dcmtk
