#pragma once

#include <QObject>
#include <vector>

#include "Image.h"

namespace dicom {

// The viewer's ordered images, positions 1 to count.
class ImageCollection : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;

  int count() const { return static_cast<int>(images_.size()); }
  // The image at a 1-based position; DicomError for a position outside 1..count.
  ImagePtr item(int position) const;
  // Removes every image.
  void empty();
  void append(ImagePtr image);
  // Puts the image at a 1-based position, the later ones moving down.
  void insert(int position, ImagePtr image);

  // How many images carry the changed marker.
  int markedCount() const;

 signals:
  void changed();
  void emptied();

 private:
  std::vector<ImagePtr> images_;
};

}  // namespace dicom
