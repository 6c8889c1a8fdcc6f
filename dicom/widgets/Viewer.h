#pragma once

#include <QPixmap>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "dicom/core/Reception.h"
#include "dicom/widgets/TileMarks.h"

namespace dicom {

class Toolkit;

// The image viewer: tiles the images of its reception grid size by grid
// size and draws each image's highlight frame and the marks the station
// gives for it. The reception (the collection and the network that fills
// it) is widget-free and reached through reception().
//
// A double-click on a tile shows that image alone over the whole viewer
// (the closer look), decoded afresh at the best resolution the area allows;
// the wheel zooms around the pointer, dragging pans, Home (resetView())
// fits it again, and a second double-click or Escape (showFullView(0))
// returns to the tiles and releases the decoded picture.
class Viewer : public QWidget {
  Q_OBJECT
 public:
  using Annotation = std::function<TileMarks(const Image&)>;

  explicit Viewer(Toolkit& toolkit, QWidget* parent = nullptr);
  ~Viewer() override;

  Reception& reception() { return reception_; }
  ImageCollection& images() { return reception_.images(); }
  const ImageCollection& images() const { return reception_.images(); }

  // The marks drawn over each image; none until one is set.
  void setAnnotation(Annotation annotation);

  std::int16_t gridSize() const { return gridSize_; }
  void setGridSize(std::int16_t size);

  // The 1-based position of the image drawn at (x, y) in viewer pixels, 0 for none.
  std::int32_t hitTest(std::int32_t& x, std::int32_t& y) const;

  // The rectangle of the tile at a 1-based position, in viewer pixels.
  QRect tileRect(int position) const;

  // The image shown alone, 0 while the tiles are shown.
  int fullViewPosition() const { return fullPosition_; }
  // Shows the image at a position alone; 0 returns to the tiles.
  void showFullView(int position);
  // Fits the image shown alone into the viewer again.
  void resetView();
  // The zoom of the image shown alone: 1 fits it into the viewer.
  double zoom() const { return zoom_; }
  // Zooms by factor keeping the image point under the viewer point at still.
  void zoomAt(double factor, QPointF at);

 signals:
  // Button, shift state, then X and Y in viewer pixels.
  void mouseClick(int button, int shift, std::int32_t x, std::int32_t y);
  // The image shown alone changed: its position, 0 for the tiles again.
  void fullViewChanged(int position);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void drawTile(QPainter& painter, int position, const QRect& rect);
  void drawFullView(QPainter& painter);
  // The image's marks over its area.
  void drawMarks(QPainter& painter, const Image& image, const QRect& area);
  // Where the picture shown alone lies, in viewer pixels.
  QRectF fullRect() const;

  Reception reception_;
  Annotation annotation_;
  std::int16_t gridSize_ = 1;
  bool pressed_ = false;
  QPoint pressedAt_;
  QPointF dragFrom_;
  bool dragged_ = false;

  // The closer look: the image, its picture decoded for it, the zoom and
  // the picture point (0..1) at the viewer's centre.
  int fullPosition_ = 0;
  ImagePtr fullImage_;
  QImage full_;
  double zoom_ = 1.0;
  QPointF centre_{0.5, 0.5};
  QImage fullScaled_;  // full_ reduced to the current scale, when it shrinks

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
