#pragma once

#include <QPixmap>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <vector>

#include "Reception.h"

namespace dicom {

class Toolkit;

// The image viewer: tiles the images of its reception grid size by grid
// size and draws each image's highlight frame, view label and marker. The
// reception (the collection and the network that fills it) is widget-free
// and reached through reception().
class Viewer : public QWidget {
  Q_OBJECT
 public:
  explicit Viewer(Toolkit& toolkit, QWidget* parent = nullptr);
  ~Viewer() override;

  Reception& reception() { return reception_; }
  ImageCollection& images() { return reception_.images(); }
  const ImageCollection& images() const { return reception_.images(); }

  std::int16_t gridSize() const { return gridSize_; }
  void setGridSize(std::int16_t size);

  // The 1-based position of the image drawn at (x, y) in viewer pixels, 0 for none.
  std::int32_t hitTest(std::int32_t& x, std::int32_t& y) const;

  // The rectangle of the tile at a 1-based position, in viewer pixels.
  QRect tileRect(int position) const;

 signals:
  // Button, shift state, then X and Y in viewer pixels.
  void mouseClick(int button, int shift, std::int32_t x, std::int32_t y);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void drawTile(QPainter& painter, int position, const QRect& rect);

  Reception reception_;
  std::int16_t gridSize_ = 1;
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
