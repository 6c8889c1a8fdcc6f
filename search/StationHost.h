#pragma once

#include <QString>

namespace search {

// What the search window may ask of the station: whether unsent changes may
// be dropped, and the retrieval of one study.
class StationHost {
 public:
  virtual ~StationHost() = default;

  // Asks the operator whether changed images that were not sent yet may be
  // discarded. True when there are none or the operator agrees.
  virtual bool confirmDiscardChanges() = 0;

  // Retrieves the study with this Study Instance UID from the archive:
  // prepares the move and the reception, shows "Receiving Images ...",
  // sends the move and starts the no-images watchdog. Raises on failure,
  // leaving done what was done.
  virtual void beginRetrieval(const QString& studyInstanceUID) = 0;
};

}  // namespace search
