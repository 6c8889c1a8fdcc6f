#pragma once

#include <QString>
#include <functional>

#include "dicom/core/Reception.h"
#include "dicom/core/Toolkit.h"
#include "settings/modMain.h"

namespace station {

// The retrieval of one study into the station, without widgets: prepares the
// move and the reception, shows the status, sends the move and starts the
// watchdog, in this order. A failure at any step is raised to the caller;
// the steps before it stay done.
class Retrieval {
 public:
  struct Hooks {
    std::function<void(bool visible, const QString& text)> state;  // the status panel
    std::function<void()> startWatchdog;                           // the no-images watchdog
  };

  Retrieval(dicom::Reception& reception, dicom::Toolkit& toolkit,
            const ConnectionSettingsRecord& settings, Hooks hooks);

  // Moves the study with this Study Instance UID to the station.
  void run(const QString& studyInstanceUID);

 private:
  dicom::Reception& reception_;
  dicom::Toolkit& toolkit_;
  const ConnectionSettingsRecord& settings_;
  Hooks hooks_;
};

}  // namespace station
