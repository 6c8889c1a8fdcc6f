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
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDebug>
#include <QPointer>
#include <QThreadPool>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../DicomError.h"
#include "DcmtkImage.h"
#include "DcmtkRender.h"

namespace dicom::dcmtk {
namespace {

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
    UID_JPEGLSLosslessTransferSyntax,
    UID_JPEGProcess14SV1TransferSyntax,
    UID_JPEGProcess14TransferSyntax,
    UID_RLELosslessTransferSyntax,
    UID_DeflatedExplicitVRLittleEndianTransferSyntax,
    UID_LittleEndianExplicitTransferSyntax,
    UID_BigEndianExplicitTransferSyntax,
    UID_LittleEndianImplicitTransferSyntax,
    UID_JPEGLSLossyTransferSyntax,
    UID_JPEGProcess1TransferSyntax,
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
  enum class Kind { Image, Object, Closed };
  Kind kind = Kind::Closed;
  ImagePtr image;
};

// Decodes one accepted object for display. An object with pixel data that
// cannot be decoded is delivered as an object (kept, never shown) and
// reported in the log.
Delivery decode(std::unique_ptr<DcmFileFormat> file, bool hasPixelData, const Timeouts& timeouts) {
  Delivery delivery;
  QImage picture;
  if (hasPixelData) {
    try {
      picture = renderForDisplay(*file->getDataset());
    } catch (const std::exception& e) {
      qWarning("Decoding a received image failed: %s", e.what());
    }
  }
  auto image = std::make_shared<DcmtkImage>(std::move(file), timeouts);
  if (hasPixelData && picture.isNull()) {
    qWarning("A received image could not be decoded for display: %s",
             qPrintable(image->attribute(0x0008, 0x0018).defaultValue()));
  }
  image->setDisplayImage(std::move(picture));
  delivery.kind = image->displayImage().isNull() ? Delivery::Kind::Object : Delivery::Kind::Image;
  delivery.image = std::move(image);
  return delivery;
}

}  // namespace

QString checkPixelModule(DcmDataset& dataset, bool& hasPixelData) {
  DcmElement* element = nullptr;
  hasPixelData = dataset.findAndGetElement(DCM_PixelData, element).good() && element != nullptr;
  if (!hasPixelData) return QString();

  Uint16 rows = 0, columns = 0, bitsAllocated = 0, bitsStored = 0, highBit = 0, samples = 1;
  dataset.findAndGetUint16(DCM_Rows, rows);
  dataset.findAndGetUint16(DCM_Columns, columns);
  if (rows == 0 || columns == 0) return QString("Rows or Columns missing or zero");
  if (dataset.findAndGetUint16(DCM_BitsAllocated, bitsAllocated).bad() ||
      (bitsAllocated != 8 && bitsAllocated != 16)) {
    return QString("Bits Allocated %1 not supported").arg(bitsAllocated);
  }
  if (dataset.findAndGetUint16(DCM_BitsStored, bitsStored).bad() || bitsStored == 0 ||
      bitsStored > bitsAllocated) {
    return QString("Bits Stored %1 invalid").arg(bitsStored);
  }
  if (dataset.findAndGetUint16(DCM_HighBit, highBit).bad() || highBit >= bitsAllocated) {
    return QString("High Bit %1 invalid").arg(highBit);
  }
  if (dataset.findAndGetUint16(DCM_SamplesPerPixel, samples).good() &&
      (samples != 1 && samples != 3)) {
    return QString("Samples per Pixel %1 not supported").arg(samples);
  }
  Sint32 frames = 1;
  if (dataset.tagExists(DCM_NumberOfFrames)) {
    if (dataset.findAndGetSint32(DCM_NumberOfFrames, frames).bad() || frames < 1) {
      return QString("Number of Frames invalid");
    }
  }

  auto* pixels = dynamic_cast<DcmPixelData*>(element);
  const DcmXfer xfer(dataset.getOriginalXfer());
  if (xfer.isEncapsulated()) {
    DcmPixelSequence* sequence = nullptr;
    if (pixels == nullptr ||
        pixels->getEncapsulatedRepresentation(xfer.getXfer(), nullptr, sequence).bad() ||
        sequence == nullptr || sequence->card() < 2) {
      return QString("Encapsulated pixel data missing");
    }
    return QString();
  }
  const unsigned long long expected = static_cast<unsigned long long>(rows) * columns * samples *
                                      static_cast<unsigned long long>(frames) * (bitsAllocated / 8);
  const unsigned long long length = element->getLength();
  if (length != expected && length != expected + 1) {
    return QString("Pixel data length %1, expected %2").arg(length).arg(expected);
  }
  return QString();
}

// One listening port: the network thread, the decoders and the dispatcher.
struct DcmtkReceiver::Session {
  Session(DcmtkReceiver* receiver, Timeouts limits, std::int32_t listenPort, QString title)
      : owner(receiver), timeouts(limits), port(listenPort), aet(std::move(title)) {
    const unsigned hardware = std::thread::hardware_concurrency();
    decoders.setMaxThreadCount(static_cast<int>(std::max(2u, std::min(hardware, 4u))));
  }

  ~Session() {
    if (network != nullptr) ASC_dropNetwork(&network);
    if (wakeFd >= 0) ::close(wakeFd);
  }

  // Binds the port on the calling thread; DicomError when it cannot.
  void open() {
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
      throw DicomError(OwnError::Internal, QString("Cannot create the receiver's wake-up event."));
    }
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
    listenFd = DUL_networkSocket(network->network);
    if (listenFd < 0) {
      throw DicomError(OwnError::PortInUse, QString("Cannot receive on port %1.").arg(port));
    }
    ::fcntl(listenFd, F_SETFL, ::fcntl(listenFd, F_GETFL) | O_NONBLOCK);
  }

  void start() {
    dispatcher = std::thread([this] { dispatch(); });
    networkThread = std::thread([this] { run(); });
  }

  void stop() {
    stopping = true;
    const std::uint64_t one = 1;
    if (wakeFd >= 0) [[maybe_unused]]
      auto written = ::write(wakeFd, &one, sizeof one);
    {
      // Ends any read or write the network thread is blocked in.
      std::lock_guard<std::mutex> lock(connectionMutex);
      if (connectionFd >= 0) ::shutdown(connectionFd, SHUT_RDWR);
    }
    if (networkThread.joinable()) networkThread.join();
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

  // --- network thread ---------------------------------------------------

  void run() {
    while (!stopping) {
      pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
      const int n = ::poll(fds, 2, -1);
      if (n < 0 && errno != EINTR) break;
      if (stopping) break;
      if (n <= 0 || !(fds[0].revents & POLLIN)) continue;
      const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
          // Out of descriptors or similar: wait a moment rather than spin.
          pollfd wake = {wakeFd, POLLIN, 0};
          ::poll(&wake, 1, 200);
        }
        continue;
      }
      serve(fd);
    }
  }

  // Waits until the peer sends something, the timeout passes or stop().
  bool waitForData(int fd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int n;
    do {
      n = ::poll(fds, 2, timeoutMs);
    } while (n < 0 && errno == EINTR);
    return n > 0 && !stopping && (fds[0].revents & (POLLIN | POLLHUP | POLLERR));
  }

  void setConnection(int fd) {
    std::lock_guard<std::mutex> lock(connectionMutex);
    connectionFd = fd;
  }

  void serve(int fd) {
    setConnection(fd);
    if (!waitForData(fd, std::max(1, timeouts.associationSeconds) * 1000)) {
      setConnection(-1);
      ::close(fd);
      return;
    }
    T_ASC_Association* assoc = nullptr;
    OFCondition cond;
    {
      std::lock_guard<std::mutex> lock(externalSocketLock());
      dcmExternalSocketHandle.set(fd);
      // The largest PDU dcmnet handles: a mammogram arrives in an eighth of
      // the PDUs the 16 KB default would take.
      cond = ASC_receiveAssociation(network, &assoc, ASC_MAXIMUMPDUSIZE, nullptr, nullptr, OFFalse,
                                    DUL_NOBLOCK, std::max(1, timeouts.associationSeconds));
      dcmExternalSocketHandle.set(DCMNET_INVALID_SOCKET);
    }
    // From here on the association owns the socket and closes it.
    if (cond.bad() || assoc == nullptr) {
      end(assoc, false);
      return;
    }
    bool accepted = false;
    bool released = false;
    try {
      accepted = negotiate(assoc);
      if (accepted) released = converse(assoc);
    } catch (const std::exception& e) {
      // Nothing a peer sends may end the network thread.
      qWarning("Receiving ended in a failure: %s", e.what());
      if (accepted) ASC_abortAssociation(assoc);
    }
    // associationClosed, after every object of the association. Once the
    // release is acknowledged nothing more can arrive, so the study is
    // handed over now: dropping a released association waits for the peer
    // to close its connection, and some archives take 50 ms or more.
    if (accepted) push(ready(Delivery{}));
    end(assoc, released);
  }

  void end(T_ASC_Association* assoc, bool released) {
    setConnection(-1);
    if (assoc == nullptr) return;
    if (released) {
      ASC_dropSCPAssociation(assoc, 1);
    } else {
      ASC_dropAssociation(assoc);
    }
    ASC_destroyAssociation(&assoc);
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
  bool converse(T_ASC_Association* assoc) {
    const int messageSeconds = std::max(1, timeouts.messageSeconds);
    while (!stopping) {
      T_DIMSE_Message message;
      std::memset(&message, 0, sizeof message);
      T_ASC_PresentationContextID context = 0;
      DcmDataset* detail = nullptr;
      OFCondition cond = DIMSE_receiveCommand(assoc, DIMSE_NONBLOCKING, messageSeconds, &context,
                                              &message, &detail);
      delete detail;
      if (cond == DUL_PEERREQUESTEDRELEASE) {
        ASC_acknowledgeRelease(assoc);
        return true;
      }
      if (cond == DUL_PEERABORTEDASSOCIATION) return false;
      if (cond.bad()) break;  // idle for the message timeout, or a broken peer
      if (message.CommandField == DIMSE_C_ECHO_RQ) {
        cond =
            DIMSE_sendEchoResponse(assoc, context, &message.msg.CEchoRQ, STATUS_Success, nullptr);
      } else if (message.CommandField == DIMSE_C_STORE_RQ) {
        cond = store(assoc, context, message.msg.CStoreRQ);
      } else {
        cond = DIMSE_BADCOMMANDTYPE;
      }
      if (cond.bad()) break;
    }
    ASC_abortAssociation(assoc);
    return false;
  }

  OFCondition store(T_ASC_Association* assoc, T_ASC_PresentationContextID context,
                    T_DIMSE_C_StoreRQ& request) {
    auto file = std::make_unique<DcmFileFormat>();
    DcmDataset* dataset = file->getDataset();
    T_ASC_PresentationContextID dataContext = 0;
    OFCondition cond =
        DIMSE_receiveDataSetInMemory(assoc, DIMSE_NONBLOCKING, std::max(1, timeouts.messageSeconds),
                                     &dataContext, &dataset, nullptr, nullptr);
    if (cond.bad()) return cond;  // the object is incomplete: nothing is kept

    bool hasPixelData = false;
    QString problem;
    if (dataContext != context) {
      problem = "Data set and command on different presentation contexts";
    } else {
      problem = checkPixelModule(*dataset, hasPixelData);
    }

    T_DIMSE_C_StoreRSP response;
    std::memset(&response, 0, sizeof response);
    response.DimseStatus = problem.isEmpty() ? STATUS_Success : STATUS_STORE_Error_CannotUnderstand;
    response.DataSetType = DIMSE_DATASET_NULL;
    std::unique_ptr<DcmDataset> statusDetail;
    if (!problem.isEmpty()) {
      qWarning("Refused a received object (%s): %s", request.AffectedSOPInstanceUID,
               qPrintable(problem));
      statusDetail = std::make_unique<DcmDataset>();
      statusDetail->putAndInsertString(DCM_ErrorComment, problem.left(64).toLatin1().constData());
    }
    cond = DIMSE_sendStoreResponse(assoc, context, &request, &response, statusDetail.get());
    // Counted only once the sender was told it arrived.
    if (cond.bad() || !problem.isEmpty()) return cond;

    file->validateMetaInfo(dataset->getOriginalXfer());
    const char* peerTitle = assoc->params->DULparams.callingAPTitle;
    file->getMetaInfo()->putAndInsertString(DCM_SourceApplicationEntityTitle, peerTitle);
    submit(std::move(file), hasPixelData);
    return cond;
  }

  // --- decoding and delivery --------------------------------------------

  static std::future<Delivery> ready(Delivery delivery) {
    std::promise<Delivery> promise;
    promise.set_value(std::move(delivery));
    return promise.get_future();
  }

  void submit(std::unique_ptr<DcmFileFormat> file, bool hasPixelData) {
    auto promise = std::make_shared<std::promise<Delivery>>();
    auto object = std::make_shared<std::unique_ptr<DcmFileFormat>>(std::move(file));
    push(promise->get_future());
    const Timeouts limits = timeouts;
    decoders.start([promise, object, hasPixelData, limits] {
      try {
        promise->set_value(decode(std::move(*object), hasPixelData, limits));
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
      switch (delivery.kind) {
        case Delivery::Kind::Image:
          QMetaObject::invokeMethod(
              receiver, [receiver, image = delivery.image] { emit receiver->imageReceived(image); },
              Qt::QueuedConnection);
          break;
        case Delivery::Kind::Object:
          // Objects without displayable pixels never enter the viewer and
          // are not kept.
          break;
        case Delivery::Kind::Closed:
          QMetaObject::invokeMethod(
              receiver, [receiver] { emit receiver->associationClosed(); }, Qt::QueuedConnection);
          break;
      }
    }
  }

  DcmtkReceiver* owner;
  Timeouts timeouts;
  std::int32_t port;

  std::mutex titleMutex;
  QString aet;

  T_ASC_Network* network = nullptr;
  int listenFd = -1;
  int wakeFd = -1;
  std::atomic<bool> stopping{false};
  std::mutex connectionMutex;
  int connectionFd = -1;
  std::thread networkThread;

  QThreadPool decoders;
  std::mutex queueMutex;
  std::condition_variable queueReady;
  std::deque<std::future<Delivery>> queue;
  bool queueClosed = false;
  std::thread dispatcher;
};

DcmtkReceiver::DcmtkReceiver(Timeouts timeouts) : timeouts_(timeouts) {
  // The peer's numeric address is enough; a reverse lookup could stall.
  dcmDisableGethostbyaddr.set(OFTrue);
  qRegisterMetaType<dicom::ImagePtr>("dicom::ImagePtr");
}

DcmtkReceiver::~DcmtkReceiver() {
  stop();
}

void DcmtkReceiver::listen(std::int32_t port, const QString& aeTitle) {
  if (port < 1 || port > 65535) {
    throw DicomError(OwnError::InvalidArgument, QString("Invalid receiving port %1.").arg(port));
  }
  const QString title = aeTitle.trimmed();
  if (title.isEmpty() || title.size() > 16 || title.contains('\\')) {
    throw DicomError(OwnError::InvalidArgument, QString("Invalid AE title \"%1\".").arg(aeTitle));
  }
  if (session_ && session_->port == port) {
    session_->setTitle(title);
    return;
  }
  stop();
  auto session = std::make_unique<Session>(this, timeouts_, port, title);
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

std::unique_ptr<StorageReceiver> makeReceiver(const Timeouts& timeouts) {
  return std::make_unique<DcmtkReceiver>(timeouts);
}

}  // namespace dicom::dcmtk
