#pragma once

#include <QString>

namespace dicom {
class Viewer;
}

namespace search {

// What the search window may reach of the main station window when it
// starts a retrieval: the viewer, the status panel and the watchdog.
class StationHost {
 public:
  virtual ~StationHost() = default;

  virtual dicom::Viewer& viewer() = 0;
  // The station's status panel: true shows text in place of the patient information.
  virtual void State(bool visible, const QString& text) = 0;
  // Starts the no-images watchdog, unless images of this retrieval have already arrived.
  virtual void startWatchdog() = 0;
  // Asks the operator whether changed images that were not sent yet may be
  // discarded. True when there are none or the operator agrees.
  virtual bool confirmDiscardChanges() = 0;
};

}  // namespace search
