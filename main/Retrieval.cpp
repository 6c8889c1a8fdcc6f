#include "Retrieval.h"

namespace station {

Retrieval::Retrieval(dicom::Reception& reception, dicom::Toolkit& toolkit,
                     const ConnectionSettingsRecord& settings, Hooks hooks)
    : reception_(reception), toolkit_(toolkit), settings_(settings), hooks_(std::move(hooks)) {}

void Retrieval::run(const QString& studyInstanceUID) {
  std::unique_ptr<dicom::Query> query = modMain::NewArchiveQuery(toolkit_, settings_);
  query->setLevel(dicom::QueryLevel::Study);
  query->setStudyUID(studyInstanceUID);

  reception_.setOption(dicom::ReceptionOption::KeepReceived, true);
  reception_.listen(query->station());
  reception_.setOption(dicom::ReceptionOption::RedrawEachImage, false);
  reception_.images().empty();
  // Only this study, from now on, enters the viewer.
  reception_.expectStudy(studyInstanceUID, query->archive());
  hooks_.state(true, "Receiving Images ...");
  // A move goes on while its images arrive, however long a large study takes.
  dicom::Reception& reception = reception_;
  query->setProgressCounter([&reception] { return reception.bytesReceived(); });
  // The study guard closes when the move has ended, however it ended.
  try {
    query->move();
  } catch (...) {
    reception_.endRetrieval(studyInstanceUID);
    throw;
  }
  reception_.endRetrieval(studyInstanceUID);
  hooks_.startWatchdog();
}

}  // namespace station
