#pragma once

#include <QImage>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "DataSet.h"

namespace dicom {

// One received image as the viewer holds it: its attributes, the picture
// decoded once for display, and the viewer state kept with it (highlight
// frame, free text marker). Created on the receiving thread, used only on
// the user-interface thread once it has been handed over.
class Image {
 public:
  virtual ~Image() = default;

  // The attribute collection: lookup is null, not a failure, when absent.
  virtual Attribute attribute(std::uint32_t group, std::uint32_t element) const = 0;
  // An attribute of the first item of a sequence (its tag as (group << 16) |
  // element); null when the sequence, the item or the attribute is absent.
  virtual Attribute itemAttribute(std::uint32_t sequence, std::uint32_t group,
                                  std::uint32_t element) const {
    (void)sequence, (void)group, (void)element;
    return Attribute();
  }
  // Sets an attribute, creating it when absent. Raises DicomError when the
  // value cannot be stored in the object.
  virtual void addOrReplace(std::uint32_t group, std::uint32_t element, const QString& value) = 0;

  virtual QString patientName() const = 0;
  virtual QString patientID() const = 0;

  // Stores the image on a remote node (C-STORE). Returns only when the peer
  // confirmed the store with a success or warning status; any other outcome
  // raises DicomError.
  virtual void send(const QString& address, std::int32_t port, const QString& callingAE,
                    const QString& calledAE) = 0;

  // The picture, decoded once, 8-bit grey, ready to be scaled to a tile.
  // A null QImage for an object whose pixels cannot be displayed.
  virtual QImage displayImage() const = 0;
  // Why the pixels cannot be displayed; empty when they can.
  virtual QString displayProblem() const { return QString(); }
  // The picture for a tile of this size: one decoded smaller than the tile
  // shows it (a JPEG 2000 image decoded at a reduced resolution) is decoded
  // again, once, at the resolution that covers it.
  virtual QImage displayImage(const QSize& tile) {
    (void)tile;
    return displayImage();
  }
  // The picture decoded anew to cover size, at the image's full resolution
  // when size is empty; nothing of it is kept.
  virtual QImage render(const QSize& size) const {
    (void)size;
    return displayImage();
  }
  // How many frames the object holds; a multi-frame object shows its middle one.
  virtual int frameCount() const { return 1; }

  // Highlight frame: width in pixels (0 = none) and colour as 0xBBGGRR.
  std::int16_t frameWidth() const { return frameWidth_; }
  void setFrameWidth(std::int16_t width) { frameWidth_ = width; }
  std::uint32_t frameColour() const { return frameColour_; }
  void setFrameColour(std::uint32_t colour) { frameColour_ = colour; }

  // Free text kept with the image; the station uses it as its changed marker.
  const QString& text() const { return text_; }
  void setText(const QString& text) { text_ = text; }

 private:
  std::int16_t frameWidth_ = 0;
  std::uint32_t frameColour_ = 0;
  QString text_;
};

using ImagePtr = std::shared_ptr<Image>;

}  // namespace dicom
