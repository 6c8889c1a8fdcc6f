#include "Viewer.h"

#include <QMouseEvent>
#include <QPainter>
#include <QShortcut>
#include <QWheelEvent>
#include <cmath>

#include "common/Ui.h"
#include "dicom/core/DicomError.h"
#include "dicom/core/Shrink.h"

namespace dicom {
namespace {

int shiftState(Qt::KeyboardModifiers modifiers) {
  int shift = 0;
  if (modifiers & Qt::ShiftModifier) shift |= 1;
  if (modifiers & Qt::ControlModifier) shift |= 2;
  if (modifiers & Qt::AltModifier) shift |= 4;
  return shift;
}

int buttonCode(Qt::MouseButton button) {
  switch (button) {
    case Qt::LeftButton:
      return 1;
    case Qt::RightButton:
      return 2;
    case Qt::MiddleButton:
      return 4;
    default:
      return 0;
  }
}

}  // namespace

Viewer::Viewer(Toolkit& toolkit, QWidget* parent) : QWidget(parent), reception_(toolkit) {
  setAutoFillBackground(false);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFocusPolicy(Qt::StrongFocus);
  connect(&images(), &ImageCollection::changed, this, [this] { update(); });
  // A new study, or none: the closer look ends with the images it showed.
  connect(&images(), &ImageCollection::emptied, this, [this] { showFullView(0); });
  // The study is drawn once its association has ended.
  connect(&reception_, &Reception::associationClosed, this, [this] { update(); });
  // The closer look's keys, wherever the focus is in the window.
  auto* back = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  back->setContext(Qt::WindowShortcut);
  connect(back, &QShortcut::activated, this, [this] { showFullView(0); });
  auto* fit = new QShortcut(QKeySequence(Qt::Key_Home), this);
  fit->setContext(Qt::WindowShortcut);
  connect(fit, &QShortcut::activated, this, &Viewer::resetView);
}

void Viewer::setAnnotation(Annotation annotation) {
  annotation_ = std::move(annotation);
  update();
}

Viewer::~Viewer() = default;

void Viewer::setGridSize(std::int16_t size) {
  if (size < 1) {
    throw DicomError(OwnError::InvalidArgument, QString("Invalid grid size %1.").arg(size));
  }
  gridSize_ = size;
  update();
}

QRect Viewer::tileRect(int position) const {
  const int g = gridSize_;
  const int index = position - 1;
  if (index < 0 || index >= g * g) return QRect();
  const int row = index / g;
  const int column = index % g;
  const int x0 = column * width() / g;
  const int x1 = (column + 1) * width() / g;
  const int y0 = row * height() / g;
  const int y1 = (row + 1) * height() / g;
  return QRect(x0, y0, x1 - x0, y1 - y0);
}

std::int32_t Viewer::hitTest(std::int32_t& x, std::int32_t& y) const {
  if (fullPosition_ > 0) return rect().contains(x, y) ? fullPosition_ : 0;
  const int shown = std::min(images().count(), gridSize_ * gridSize_);
  for (int position = 1; position <= shown; ++position) {
    if (tileRect(position).contains(x, y)) return position;
  }
  return 0;
}

void Viewer::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  if (fullPosition_ > 0) {
    drawFullView(painter);
    return;
  }
  const int shown = std::min(images().count(), gridSize_ * gridSize_);
  scaled_.resize(static_cast<std::size_t>(shown));
  for (int position = 1; position <= shown; ++position) {
    drawTile(painter, position, tileRect(position));
  }
}

void Viewer::drawTile(QPainter& painter, int position, const QRect& tile) {
  const ImagePtr image = images().item(position);
  const QRect inner = tile.adjusted(2, 2, -2, -2);
  Scaled& cache = scaled_[static_cast<std::size_t>(position - 1)];
  if (cache.image.lock() != image || cache.size != inner.size()) {
    const QImage picture = image->displayImage(inner.size());
    cache.image = image;
    cache.size = inner.size();
    cache.pixmap = QPixmap::fromImage(fitPicture(picture, inner.size()));
  }
  if (!cache.pixmap.isNull()) {
    const QPoint topLeft(inner.x() + (inner.width() - cache.pixmap.width()) / 2,
                         inner.y() + (inner.height() - cache.pixmap.height()) / 2);
    painter.drawPixmap(topLeft, cache.pixmap);
  } else if (!image->displayProblem().isEmpty()) {
    // The study holds an image the station cannot show: say so where it
    // would stand, so that the study never looks complete when it is not.
    painter.setPen(QColor(255, 120, 60));
    painter.drawText(
        inner.adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap,
        "This image cannot be displayed and cannot be labelled.\n" + image->displayProblem());
  }

  drawMarks(painter, *image, inner);

  if (image->frameWidth() > 0) {
    const int w = image->frameWidth();
    QPen pen(common::fromBgr(image->frameColour()));
    pen.setWidth(w);
    pen.setJoinStyle(Qt::MiterJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(tile.adjusted(w / 2, w / 2, -(w + 1) / 2, -(w + 1) / 2));
  }
}

void Viewer::drawMarks(QPainter& painter, const Image& image, const QRect& area) {
  if (!annotation_) return;
  const TileMarks marks = annotation_(image);
  QFont big = painter.font();
  big.setBold(true);
  big.setPixelSize(std::max(10, std::min(18, area.height() / 16)));
  // The bottom right is small and quiet, unless it warns; the note small.
  QFont small = big;
  small.setBold(marks.warning);
  small.setPixelSize(std::max(9, big.pixelSize() * 3 / 4));
  const MarkLayout layout = layoutMarks(marks, area, QFontMetrics(big), QFontMetrics(small));
  if (marks.warning) {
    painter.setPen(QPen(QColor(255, 150, 0), MarkLayout::kWarningPen, Qt::DashLine));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(layout.warningFrame);
  }
  const auto text = [&](const QFont& font, QColor colour, const QRect& place,
                        const QString& words) {
    if (place.isEmpty()) return;
    // A dark ground keeps a text legible over the brightest tissue.
    painter.fillRect(place.adjusted(-2, 0, 2, 0), QColor(0, 0, 0, 150));
    painter.setFont(font);
    painter.setPen(colour);
    painter.drawText(place, Qt::AlignLeft | Qt::AlignVCenter, words);
  };
  text(big, QColor(255, 230, 80), layout.topLeft, layout.topLeftText);
  text(big, QColor(255, 120, 60), layout.topRight, layout.topRightText);
  text(big, QColor(150, 210, 255), layout.bottomLeft, layout.bottomLeftText);
  text(small, marks.warning ? QColor(255, 170, 40) : QColor(150, 150, 150), layout.bottomRight,
       layout.bottomRightText);
  text(small, QColor(200, 200, 200), layout.note, layout.noteText);
}

void Viewer::showFullView(int position) {
  if (position < 0 || position > images().count()) position = 0;
  if (position == fullPosition_) return;
  fullPosition_ = position;
  fullScaled_ = QImage();
  zoom_ = 1.0;
  centre_ = QPointF(0.5, 0.5);
  if (position == 0) {
    // Nothing of the closer look stays behind.
    fullImage_.reset();
    full_ = QImage();
  } else {
    fullImage_ = images().item(position);
    full_ = fullImage_->render(size());
  }
  update();
  emit fullViewChanged(position);
}

void Viewer::resetView() {
  zoom_ = 1.0;
  centre_ = QPointF(0.5, 0.5);
  fullScaled_ = QImage();
  update();
}

QRectF Viewer::fullRect() const {
  if (full_.isNull()) return QRectF();
  const QSizeF fitted = QSizeF(full_.size()).scaled(QSizeF(size()), Qt::KeepAspectRatio) * zoom_;
  const QPointF centre(width() / 2.0, height() / 2.0);
  return QRectF(centre - QPointF(centre_.x() * fitted.width(), centre_.y() * fitted.height()),
                fitted);
}

void Viewer::zoomAt(double factor, QPointF at) {
  if (fullPosition_ == 0 || full_.isNull()) return;
  const QRectF before = fullRect();
  const QPointF point((at.x() - before.left()) / before.width(),
                      (at.y() - before.top()) / before.height());
  zoom_ = std::clamp(zoom_ * factor, 1.0, 32.0);
  const QRectF after = fullRect();
  // The picture point under `at` stays there.
  centre_ += QPointF(point.x() - (at.x() - after.left()) / after.width(),
                     point.y() - (at.y() - after.top()) / after.height());
  fullScaled_ = QImage();
  // A picture decoded below the size it is now drawn at (a JPEG 2000 level)
  // is decoded again at the level that covers it.
  const QSize drawn = fullRect().size().toSize();
  if (drawn.width() > full_.width() && fullImage_) {
    const QImage better = fullImage_->render(drawn);
    if (better.width() > full_.width()) full_ = better;
  }
  update();
}

void Viewer::drawFullView(QPainter& painter) {
  const QRectF target = fullRect();
  if (!full_.isNull()) {
    if (target.width() < full_.width()) {
      // Shrunk: reduced once per scale by area averaging, then drawn 1:1.
      if (fullScaled_.size() != target.size().toSize()) {
        fullScaled_ = fitPicture(full_, target.size().toSize());
      }
      painter.drawImage(target.topLeft(), fullScaled_);
    } else {
      // Enlarged: only the part in view is scaled.
      painter.setRenderHint(QPainter::SmoothPixmapTransform);
      const QRectF visible = target.intersected(QRectF(rect()));
      const double scale = target.width() / full_.width();
      const QRectF source((visible.left() - target.left()) / scale,
                          (visible.top() - target.top()) / scale, visible.width() / scale,
                          visible.height() / scale);
      painter.drawImage(visible, full_, source);
    }
  } else if (fullImage_ && !fullImage_->displayProblem().isEmpty()) {
    painter.setPen(QColor(255, 120, 60));
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextWordWrap, fullImage_->displayProblem());
  }
  if (!fullImage_) return;
  drawMarks(painter, *fullImage_, rect().adjusted(2, 2, -2, -2));
  if (fullImage_->frameWidth() > 0) {
    const int w = fullImage_->frameWidth();
    QPen pen(common::fromBgr(fullImage_->frameColour()));
    pen.setWidth(w);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(w / 2, w / 2, -(w + 1) / 2, -(w + 1) / 2));
  }
}

void Viewer::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  if (fullPosition_ > 0) {
    showFullView(0);
    return;
  }
  std::int32_t x = event->position().toPoint().x(), y = event->position().toPoint().y();
  const std::int32_t position = hitTest(x, y);
  if (position > 0) showFullView(position);
}

void Viewer::wheelEvent(QWheelEvent* event) {
  if (fullPosition_ == 0) {
    QWidget::wheelEvent(event);
    return;
  }
  const double steps = event->angleDelta().y() / 120.0;
  zoomAt(std::pow(1.25, steps), event->position());
  event->accept();
}

void Viewer::mouseMoveEvent(QMouseEvent* event) {
  if (fullPosition_ > 0 && pressed_ && (event->buttons() & Qt::LeftButton) && zoom_ > 1.0) {
    const QPointF now = event->position();
    if ((now.toPoint() - pressedAt_).manhattanLength() > 3) dragged_ = true;
    const QRectF shown = fullRect();
    centre_ -= QPointF((now.x() - dragFrom_.x()) / shown.width(),
                       (now.y() - dragFrom_.y()) / shown.height());
    dragFrom_ = now;
    update();
  }
  QWidget::mouseMoveEvent(event);
}

void Viewer::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  fullScaled_ = QImage();
  // Pictures arriving now are decoded for the tiles of a four-image study.
  reception_.setDisplayTarget(QSize(std::max(1, width() / 2), std::max(1, height() / 2)));
}

void Viewer::mousePressEvent(QMouseEvent* event) {
  pressed_ = true;
  dragged_ = false;
  pressedAt_ = event->position().toPoint();
  dragFrom_ = event->position();
  QWidget::mousePressEvent(event);
}

void Viewer::mouseReleaseEvent(QMouseEvent* event) {
  // A drag that panned the closer look is no click.
  if (pressed_ && !dragged_) {
    const QPoint p = event->position().toPoint();
    emit mouseClick(buttonCode(event->button()), shiftState(event->modifiers()), p.x(), p.y());
  }
  pressed_ = false;
  QWidget::mouseReleaseEvent(event);
}

}  // namespace dicom
