#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <map>
#include <memory>

#include "ImageCollection.h"
#include "StorageReceiver.h"

namespace dicom {

class Toolkit;

// The receiving side of the viewer, without a widget: the image collection,
// the storage receiver that fills it, and the two options that govern it.
//
// Options: [105] keeps received images in the collection (off: received
// objects are accepted but not kept); [1] reports a change after every
// received image (off: only when the association closes, so the viewer
// redraws once per study).
class Reception : public QObject {
  Q_OBJECT
 public:
  static constexpr int OptionKeepReceived = 105;
  static constexpr int OptionRedrawEachImage = 1;

  explicit Reception(Toolkit& toolkit, QObject* parent = nullptr);
  ~Reception() override;

  ImageCollection& images() { return images_; }
  const ImageCollection& images() const { return images_; }

  // The AE title the next listen() accepts as called AE title.
  void setLocalAETitle(const QString& aeTitle) { localAET_ = aeTitle; }
  // Receives on the port; DicomError when the port or AE title cannot be used.
  void listen(std::int32_t port);
  // Stops receiving (the station's exit).
  void stopListening();
  // The port received on; 0 when not listening.
  std::int32_t port() const;

  // From now on only objects of this study, sent on associations opened
  // after this call, enter the collection; see StorageReceiver.
  void expectStudy(const QString& studyInstanceUID);
  // Rises while objects arrive, however slowly (bytes received).
  std::uint64_t bytesReceived() const;
  // Reads back instances without keeping them; see StorageReceiver.
  void beginProbe(const QStringList& sopInstanceUIDs);
  std::map<QString, QStringList> endProbe();
  // The size received pictures are drawn at; see StorageReceiver.
  void setDisplayTarget(const QSize& size);

  void setOption(int id, bool value);
  bool option(int id) const;

 signals:
  // Images of an association reached the collection.
  void imageReceived();
  // A receiving association ended, after every image it carried.
  void associationClosed();
  // Something that arrived could not be used: a refused object, or an image
  // whose pixels cannot be displayed. The failure's number and description.
  void receptionProblem(qint32 number, const QString& description);

 private:
  void onImageReceived(const ImagePtr& image);

  Toolkit& toolkit_;
  ImageCollection images_;
  std::unique_ptr<StorageReceiver> receiver_;
  QString localAET_;
  QSize displayTarget_;
  bool keepReceived_ = false;
  bool redrawEachImage_ = true;
};

}  // namespace dicom
