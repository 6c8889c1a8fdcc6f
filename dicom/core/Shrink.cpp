#include "Shrink.h"

namespace dicom {

QImage shrinkGrey(const unsigned char* pixels, int sourceWidth, int sourceHeight, int width,
                  int height) {
  return shrinkMapped(pixels, sourceWidth, sourceHeight, static_cast<std::size_t>(sourceWidth),
                      width, height, [](unsigned char value) { return value; });
}

QImage fitPicture(const QImage& picture, const QSize& size) {
  if (picture.isNull() || size.isEmpty()) return QImage();
  const QSize target = picture.size().scaled(size, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
  if (picture.format() == QImage::Format_Grayscale8 && target.width() <= picture.width() &&
      target.height() <= picture.height()) {
    return shrinkMapped(picture.constBits(), picture.width(), picture.height(),
                        static_cast<std::size_t>(picture.bytesPerLine()), target.width(),
                        target.height(), [](uchar value) { return value; });
  }
  return picture.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

}  // namespace dicom
