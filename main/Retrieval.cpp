#include "Retrieval.h"

namespace station {

Retrieval::Retrieval(dicom::Reception& reception, const ConnectionSettingsRecord& settings,
                     Hooks hooks)
    : reception_(reception), settings_(settings), hooks_(std::move(hooks)) {}

void Retrieval::run(dicom::Query& query) {
  reception_.setOption(dicom::Reception::OptionKeepReceived, true);
  reception_.setLocalAETitle(settings_.LocAET);
  reception_.listen(settings_.LocPort.number("LocPort"));
  reception_.setOption(dicom::Reception::OptionRedrawEachImage, false);
  reception_.images().empty();
  // Only this study, from now on, enters the viewer.
  reception_.expectStudy(query.studyUID());
  hooks_.state(true, "Receiving Images ...");
  // A move goes on while its images arrive, however long a large study takes.
  dicom::Reception& reception = reception_;
  query.setProgressCounter([&reception] { return reception.bytesReceived(); });
  query.move();
  hooks_.startWatchdog();
}

}  // namespace station
