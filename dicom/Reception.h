#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
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

  void setOption(int id, bool value);
  bool option(int id) const;

 signals:
  // Images of an association reached the collection.
  void imageReceived();
  // A receiving association ended, after every image it carried.
  void associationClosed();

 private:
  void onImageReceived(const ImagePtr& image);

  Toolkit& toolkit_;
  ImageCollection images_;
  std::unique_ptr<StorageReceiver> receiver_;
  QString localAET_;
  bool keepReceived_ = false;
  bool redrawEachImage_ = true;
};

}  // namespace dicom
