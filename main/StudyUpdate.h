#pragma once

#include <QString>
#include <functional>

#include "dicom/ImageCollection.h"
#include "settings/modMain.h"

namespace station {

// The study update: sends every marked image of the collection back to the
// remote node, in position order, and clears each marker only once the
// node has confirmed the store. The first failure stops the run and is
// raised to the caller; the failed image and every later marked image keep
// their markers.
class StudyUpdate {
 public:
  struct Hooks {
    std::function<void(bool visible, const QString& text)> state;  // the status panel
    std::function<void()> processEvents;                           // once before each send
  };

  StudyUpdate(dicom::ImageCollection& images, const ConnectionSettingsRecord& settings,
              Hooks hooks);

  // Runs the update with the connection settings as they stand at each send.
  // Returns the number of images sent; throws on the first failure.
  int run();

 private:
  dicom::ImageCollection& images_;
  const ConnectionSettingsRecord& settings_;
  Hooks hooks_;
};

}  // namespace station
