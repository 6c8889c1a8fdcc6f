#pragma once

#include <QImage>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "DataSet.h"
#include "Peer.h"

namespace dicom {

// One received image as the viewer holds it: its attributes, the picture
// decoded once for display, and the viewer state kept with it (highlight
// frame, changed marker). Created on the receiving thread, used only on
// the user-interface thread once it has been handed over.
class Image {
 public:
  virtual ~Image() = default;

  // The attribute collection: lookup is null, not a failure, when absent.
  Attribute attribute(Tag tag) const { return lookup(tag); }
  Attribute attribute(std::uint32_t group, std::uint32_t element) const {
    return lookup(makeTag(group, element));
  }
  // An attribute of the first item of a sequence; null when the sequence,
  // the item or the attribute is absent.
  Attribute itemAttribute(Tag sequence, Tag tag) const { return lookupInItem(sequence, tag); }
  // Sets an attribute, creating it when absent. Raises DicomError when the
  // value cannot be stored in the object.
  void addOrReplace(Tag tag, const QString& value) { store(tag, value); }
  void addOrReplace(std::uint32_t group, std::uint32_t element, const QString& value) {
    store(makeTag(group, element), value);
  }

  virtual QString patientName() const = 0;
  virtual QString patientID() const = 0;

  // Stores the image on the archive (C-STORE) as the station. Returns only
  // when the peer confirmed the store with a success or warning status; any
  // other outcome raises DicomError.
  virtual void send(const Peer& archive, const StationIdentity& station) = 0;

  // The picture, decoded once, 8-bit grey, ready to be scaled to a tile.
  // A null QImage for an object whose pixels cannot be displayed.
  virtual QImage displayImage() const = 0;
  // Why the pixels cannot be displayed; empty when they can.
  virtual QString displayProblem() const { return QString(); }
  // What the picture shows otherwise than the object asks, and why: a
  // window, rescale or lookup table that cannot give a picture is ignored
  // and the picture drawn over the range of the pixel values (e.g. "window
  // ignored: not finite"). Empty when it is drawn as the object asks.
  virtual QString displayNote() const { return QString(); }
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

  // The changed marker: set when the station changed an attribute that has
  // not reached the archive yet.
  bool changed() const { return changed_; }
  void setChanged(bool changed) { changed_ = changed; }

 protected:
  virtual Attribute lookup(Tag tag) const = 0;
  virtual Attribute lookupInItem(Tag sequence, Tag tag) const {
    (void)sequence, (void)tag;
    return Attribute();
  }
  virtual void store(Tag tag, const QString& value) = 0;

 private:
  std::int16_t frameWidth_ = 0;
  std::uint32_t frameColour_ = 0;
  bool changed_ = false;
};

using ImagePtr = std::shared_ptr<Image>;

}  // namespace dicom
