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
  hooks_.state(true, "Receiving Images ...");
  query.move();
  hooks_.startWatchdog();
}

}  // namespace station
