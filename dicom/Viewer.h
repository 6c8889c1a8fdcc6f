#pragma once

#include <QPixmap>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <vector>

#include "ImageCollection.h"
#include "StorageReceiver.h"
#include "Toolkit.h"

namespace dicom {

// The image viewer: holds the received images, tiles them grid size by
// grid size, draws each image's highlight frame, view label and marker,
// and receives images from the network once it listens.
//
// Options: [105] adds received images to the collection (off: received
// objects are accepted but not kept); [1] redraws after every received
// image (off: the viewer redraws when the association closes).
class Viewer : public QWidget {
  Q_OBJECT
 public:
  static constexpr int OptionKeepReceived = 105;
  static constexpr int OptionRedrawEachImage = 1;

  explicit Viewer(Toolkit& toolkit, QWidget* parent = nullptr);
  ~Viewer() override;

  ImageCollection& images() { return images_; }
  const ImageCollection& images() const { return images_; }

  std::int16_t gridSize() const { return gridSize_; }
  void setGridSize(std::int16_t size);

  // The 1-based position of the image drawn at (x, y) in viewer pixels, 0 for none.
  std::int32_t hitTest(std::int32_t& x, std::int32_t& y) const;

  // Receives on the port with the AE title set before; DicomError on failure.
  void listen(std::int32_t port);
  void setLocalAETitle(const QString& aet) { localAET_ = aet; }
  // Stops receiving (the station's exit).
  void stopListening();

  void setOption(int id, bool value);
  bool option(int id) const;

  // Objects without pixel data that were received; never shown.
  const std::vector<ImagePtr>& otherObjects() const { return otherObjects_; }

  // The rectangle of the tile at a 1-based position, in viewer pixels.
  QRect tileRect(int position) const;

 signals:
  void imageReceived();
  void associationClosed();
  // Button, shift state, then X and Y in viewer pixels.
  void mouseClick(int button, int shift, std::int32_t x, std::int32_t y);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void onImageReceived(ImagePtr image);
  void onObjectReceived(ImagePtr object);
  void onAssociationClosed();
  void drawTile(QPainter& painter, int position, const QRect& rect);

  Toolkit& toolkit_;
  ImageCollection images_;
  std::unique_ptr<StorageReceiver> receiver_;
  std::vector<ImagePtr> otherObjects_;
  QString localAET_;
  std::int16_t gridSize_ = 1;
  bool keepReceived_ = false;
  bool redrawEachImage_ = true;
  bool pressed_ = false;

  // Scaled pictures, made once per image and tile size rather than per paint.
  // The image is held weakly: a new image never matches the entry of a
  // discarded one, even when it was allocated at the same address.
  struct Scaled {
    std::weak_ptr<const Image> image;
    QSize size;
    QPixmap pixmap;
  };
  std::vector<Scaled> scaled_;
};

}  // namespace dicom
