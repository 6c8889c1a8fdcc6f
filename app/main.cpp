// The station's entry point and composition root: the only place that
// makes the concrete DCMTK layer and wires the windows together.

#include <QApplication>
#include <QFile>
#include <QFontDatabase>

#include "common/Memory.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "main/frmMain.h"
#include "search/frmSearch.h"

namespace {

// The windows are laid out for Tahoma; Debian's fonts-wine carries a
// metric-compatible one. Without it the system's sans font stands in.
void loadTahoma() {
  for (const char* path :
       {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"}) {
    if (QFile::exists(path)) QFontDatabase::addApplicationFont(path);
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  common::tuneAllocatorForLargeImages();  // before any thread or image exists
  QApplication app(argc, argv);
  QApplication::setApplicationName("Brevant");
  loadTahoma();

  dicom::dcmtk::DcmtkToolkit toolkit;
  // The station's one set of connection settings, for the whole run: loaded
  // here, changed by the settings dialog, and read by every network command
  // when it acts.
  ConnectionSettingsRecord ConnectionSettings;
  modMain::LoadConnectionSettings(ConnectionSettings);
  // The studies of the last search, worked one after another.
  search::StudyList list;
  frmMain window(toolkit, ConnectionSettings, list, [&](QWidget* owner, search::StationHost& host) {
    search::frmSearch search(toolkit, ConnectionSettings, host, list, owner);
    search.exec();
  });
  window.show();
  return app.exec();
}
