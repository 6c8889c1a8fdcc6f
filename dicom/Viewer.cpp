#include "Viewer.h"

#include <QMouseEvent>
#include <QPainter>

#include "DicomError.h"
#include "Shrink.h"
#include "common/Ui.h"

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
  // The study is drawn once its association has ended.
  connect(&reception_, &Reception::associationClosed, this, [this] { update(); });
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
  const int shown = std::min(images().count(), gridSize_ * gridSize_);
  for (int position = 1; position <= shown; ++position) {
    if (tileRect(position).contains(x, y)) return position;
  }
  return 0;
}

void Viewer::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
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

  // View label top left, changed marker top right: the whole study can be
  // checked at a glance.
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(std::max(10, std::min(18, tile.height() / 16)));
  painter.setFont(font);
  const QRect textArea = inner.adjusted(6, 4, -6, -4);
  const QString label = image->attribute(0x0008, 0x103E).defaultValue();
  painter.setPen(QColor(255, 230, 80));
  painter.drawText(textArea, Qt::AlignLeft | Qt::AlignTop, label);
  if (!image->text().isEmpty()) {
    painter.setPen(QColor(255, 120, 60));
    painter.drawText(textArea, Qt::AlignRight | Qt::AlignTop, image->text());
  }
  // A tomosynthesis stack shows its middle frame; its label is the whole object's.
  if (image->frameCount() > 1) {
    painter.setPen(QColor(150, 210, 255));
    painter.drawText(textArea, Qt::AlignLeft | Qt::AlignBottom,
                     QString("%1 frames").arg(image->frameCount()));
  }

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

void Viewer::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // Pictures arriving now are decoded for the tiles of a four-image study.
  reception_.setDisplayTarget(QSize(std::max(1, width() / 2), std::max(1, height() / 2)));
}

void Viewer::mousePressEvent(QMouseEvent* event) {
  pressed_ = true;
  QWidget::mousePressEvent(event);
}

void Viewer::mouseReleaseEvent(QMouseEvent* event) {
  if (pressed_) {
    pressed_ = false;
    const QPoint p = event->position().toPoint();
    emit mouseClick(buttonCode(event->button()), shiftState(event->modifiers()), p.x(), p.y());
  }
  QWidget::mouseReleaseEvent(event);
}

}  // namespace dicom
