#include "ImageCollection.h"

#include <algorithm>

#include "DicomError.h"

namespace dicom {

ImagePtr ImageCollection::item(int position) const {
  if (position < 1 || position > count()) {
    throw DicomError(OwnError::NoSuchImage,
                     QString("There is no image at position %1 (the viewer holds %2).")
                         .arg(position)
                         .arg(count()));
  }
  return images_[static_cast<std::size_t>(position - 1)];
}

void ImageCollection::empty() {
  images_.clear();
  emit emptied();
  emit changed();
}

void ImageCollection::append(ImagePtr image) {
  images_.push_back(std::move(image));
  emit changed();
}

void ImageCollection::insert(int position, ImagePtr image) {
  const int at = std::clamp(position, 1, count() + 1);
  images_.insert(images_.begin() + (at - 1), std::move(image));
  emit changed();
}

int ImageCollection::markedCount() const {
  return static_cast<int>(std::count_if(images_.begin(), images_.end(),
                                        [](const ImagePtr& i) { return i->changed(); }));
}

}  // namespace dicom
