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
  // The study's move has returned (successfully or not): after a short
  // grace nothing more enters.
  void endRetrieval(const QString& studyInstanceUID);
  // Rises while the expected objects arrive from the archive, however
  // slowly, and with nothing else (bytes received).
  std::uint64_t bytesReceived() const;
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
  void onImageReceived(const ImagePtr& image);

  Toolkit& toolkit_;
  ImageCollection images_;
  std::unique_ptr<StorageReceiver> receiver_;
  QSize displayTarget_;
  Order order_;
  bool keepReceived_ = false;
  bool redrawEachImage_ = true;
};

}  // namespace dicom
