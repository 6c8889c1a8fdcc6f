#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "ImageCollection.h"
#include "StorageReceiver.h"

namespace dicom {

class Toolkit;

// How the reception treats what arrives. KeepReceived keeps received images
// in the collection (off: received objects are accepted but not kept);
// RedrawEachImage reports a change after every received image (off: only
// when the association closes, so the viewer redraws once per study).
enum class ReceptionOption { KeepReceived, RedrawEachImage };

// The receiving side of the viewer, without a widget: the image collection,
// the storage receiver that fills it, and the two options that govern it.
class Reception : public QObject {
  Q_OBJECT
 public:
  explicit Reception(Toolkit& toolkit, QObject* parent = nullptr);
  ~Reception() override;

  ImageCollection& images() { return images_; }
  const ImageCollection& images() const { return images_; }

  // Receives as the station (its AE title, on its port); DicomError when
  // the port or the AE title cannot be used.
  void listen(const StationIdentity& station);
  // Stops receiving (the station's exit).
  void stopListening();
  // The port received on; 0 when not listening.
  std::int32_t port() const;

  // From now on only objects of this study, moved from this archive and
  // sent on associations opened after this call, enter the collection;
  // see StorageReceiver.
  void expectStudy(const QString& studyInstanceUID, const Peer& archive);
  // The next study, fetched ahead while the expected one is on screen: its
  // objects, moved from this archive on associations opened after this
  // call, are held apart, not shown (see StorageReceiver). A study fetched
  // ahead before is dropped with what it held; an empty UID drops it alone.
  // expectStudy() drops it too.
  void expectAhead(const QString& studyInstanceUID, const Peer& archive);
  // The study fetched ahead (empty: none) and the images it holds so far.
  const QString& aheadStudy() const { return ahead_.study; }
  int aheadCount() const { return static_cast<int>(ahead_.images.size()); }
  // The study fetched ahead becomes the expected one: the collection is
  // emptied and takes the images held, as if they arrived now
  // (imageReceived(), then associationClosed() for each of its associations
  // that has ended); what still comes of it enters the collection. False,
  // and nothing changed, when none is fetched ahead.
  bool showAhead();
  // A study's move has returned (successfully or not): after a short grace
  // nothing more of it enters.
  void endRetrieval(const QString& studyInstanceUID);
  // Rises while the expected objects arrive from the archive, however
  // slowly, and with nothing else (bytes received).
  std::uint64_t bytesReceived() const;
  // The same for one study, expected or fetched ahead.
  std::uint64_t bytesReceived(const QString& studyInstanceUID) const;
  // Reads back instances from the archive without keeping them; see
  // StorageReceiver.
  void beginProbe(const QStringList& sopInstanceUIDs, const std::vector<Tag>& attributes,
                  const Peer& archive);
  std::map<QString, std::vector<DataSet>> endProbe();
  // The size received pictures are drawn at; see StorageReceiver.
  void setDisplayTarget(const QSize& size);

  // Where a received image goes among those already there: after every
  // image it does not sort before (so, with no order, at the end).
  using Order = std::function<bool(const Image& a, const Image& b)>;
  void setOrder(Order before) { order_ = std::move(before); }

  void setOption(ReceptionOption option, bool value);
  bool option(ReceptionOption option) const;

 signals:
  // Images of an association reached the collection.
  void imageReceived();
  // A receiving association ended, after every image it carried.
  void associationClosed();
  // An image that arrived cannot be displayed: the failure's number and
  // description.
  void receptionProblem(qint32 number, const QString& description);
  // An object was refused; see StorageReceiver::objectRefused().
  void objectRefused(qint32 number, const QString& description, const QString& senderAETitle,
                     const QString& senderAddress);

 private:
  void onImageReceived(const ImagePtr& image, const QString& studyInstanceUID);
  void onAssociationClosed(const QString& studyInstanceUID);
  // Puts a received image in its place in the collection.
  void place(const ImagePtr& image);

  struct Ahead {
    QString study;
    std::vector<ImagePtr> images;
    int closed = 0;  // associations of it that have ended
  };

  Toolkit& toolkit_;
  ImageCollection images_;
  std::unique_ptr<StorageReceiver> receiver_;
  QSize displayTarget_;
  Order order_;
  Ahead ahead_;
  bool keepReceived_ = false;
  bool redrawEachImage_ = true;
};

}  // namespace dicom
