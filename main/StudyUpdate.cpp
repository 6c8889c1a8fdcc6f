#include "StudyUpdate.h"

namespace station {

StudyUpdate::StudyUpdate(dicom::ImageCollection& images, const ConnectionSettingsRecord& settings,
                         Hooks hooks)
    : images_(images), settings_(settings), hooks_(std::move(hooks)) {}

int StudyUpdate::run() {
  hooks_.state(true, "Sending Images ...");
  const int count = images_.count();
  int sent = 0;
  for (int position = 1; position <= count; ++position) {
    if (images_.item(position)->text().isEmpty()) continue;
    hooks_.state(true, "Sending Images (" + QString::number(position) + ") ...");
    hooks_.processEvents();
    // Pending events may have changed the viewer: send what stands at this
    // position now (a position that no longer exists is a failure).
    const dicom::ImagePtr image = images_.item(position);
    if (image->text().isEmpty()) continue;
    image->send(settings_.RemoteIP, settings_.RemotePort.number("RemotePort"), settings_.LocAET,
                settings_.RemoteAET);
    image->setText("");
    ++sent;
  }
  hooks_.state(false, "");
  return sent;
}

}  // namespace station
