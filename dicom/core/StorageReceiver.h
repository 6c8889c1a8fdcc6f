#pragma once

#include <QObject>
#include <QSize>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <map>
#include <vector>

#include "DataSet.h"
#include "Image.h"
#include "Peer.h"

namespace dicom {

// Receives images sent to this station (the storage service). The concrete
// receiver runs the network on threads of its own; its signals are
// delivered to the user-interface thread through queued connections, in
// the order the events happened: every object of an association before
// that association's associationClosed().
//
// It takes only what the station asked for: objects of the study named by
// expectStudy(), on associations opened after that call and, once the
// retrieval has ended (endRetrieval()), for a short grace only; or, while a
// probe runs, the instances the probe names. An instance the retrieval has
// received already is not taken again. Everything else is refused at the
// C-STORE with a failure status and reported through objectRefused().
class StorageReceiver : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  ~StorageReceiver() override = default;

  // Starts receiving on the station's port, accepting only associations
  // whose called AE title is the station's. Listening again on the running
  // port keeps the receiver (and takes the new AE title); another port
  // replaces it. Raises DicomError when the port or the AE title cannot be
  // used.
  virtual void listen(const StationIdentity& station) = 0;
  // Stops receiving; returns when the network threads have ended.
  virtual void stop() = 0;
  // The port being listened on, 0 when not listening.
  virtual std::int32_t port() const = 0;

  // From now on takes the objects of this study (an empty UID: none), on
  // associations opened after this call; what is still under way from an
  // earlier retrieval is refused, and its queued results are dropped. The
  // archive is the one the study is moved from: its associations (by their
  // calling AE title) are served even when other senders hold every usual
  // slot, and only the bytes it sends count in bytesReceived().
  virtual void expectStudy(const QString& studyInstanceUID, const Peer& archive) = 0;
  // The move of that study has returned, successfully or not: associations
  // already open deliver for a short grace, then every object is refused.
  virtual void endRetrieval(const QString& studyInstanceUID) = 0;
  // Bytes of the expected study's objects (or of the probe's instances)
  // that the archive sent: it rises while they arrive, however slowly, and
  // with nothing else (another sender, a refused object).
  virtual std::uint64_t bytesReceived() const = 0;

  // Asks back: until endProbe(), an object whose SOP Instance UID is one of
  // these is read for the asked attributes, answered with success and
  // dropped; every other object is refused. The archive is the one asked
  // to send them (as in expectStudy()).
  virtual void beginProbe(const QStringList& sopInstanceUIDs, const std::vector<Tag>& attributes,
                          const Peer& archive) = 0;
  // Ends the probe. For each instance that arrived, the asked attributes of
  // every copy that arrived, in arrival order.
  virtual std::map<QString, std::vector<DataSet>> endProbe() = 0;

  // The size a received picture is drawn at (a tile): pixel data that holds
  // lower resolutions (JPEG 2000) is decoded at the lowest that covers it.
  virtual void setDisplayTarget(const QSize& size) = 0;

 signals:
  // A complete object of the expected study with pixel data. One whose
  // pixels cannot be decoded comes with a null display image and its reason.
  void imageReceived(dicom::ImagePtr image);
  // An association that delivered images of the expected study has ended
  // (released, aborted or timed out), after the signals of all its objects.
  void associationClosed();
  // An object was refused: the failure's number, a description that names
  // the object, the sender, the status and the reason, and the sender's AE
  // title and address on their own.
  void objectRefused(qint32 number, const QString& description, const QString& senderAETitle,
                     const QString& senderAddress);
};

}  // namespace dicom

Q_DECLARE_METATYPE(dicom::ImagePtr)
