// The station's entry point and composition root: the only place that
// makes the concrete DCMTK layer and wires the windows together.

#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "common/Memory.h"
#include "common/Version.h"
#include "dicom/dcmtk/DcmtkToolkit.h"
#include "main/frmMain.h"
#include "search/frmSearch.h"

#ifdef _WIN32  // last: its macros reach no other header
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace {

// The windows are laid out for Tahoma; Debian's fonts-wine carries a
// metric-compatible one. Without it the system's sans font stands in.
void loadTahoma() {
  for (const char* path :
       {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"}) {
    if (QFile::exists(path)) QFontDatabase::addApplicationFont(path);
  }
}

// Writes one line to standard output. The Windows executable has no console
// of its own: its output goes where the caller redirected it, else to the
// console of the shell that started it.
void printLine(const std::string& line) {
#ifdef _WIN32
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE || GetFileType(out) == FILE_TYPE_UNKNOWN) {
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
    out = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return;
  }
  const std::string text = line + "\r\n";
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
#else
  std::printf("%s\n", line.c_str());
#endif
}

bool versionAsked(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--version") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (versionAsked(argc, argv)) {  // for support and deployment tools: no window
    printLine(common::versionText().toStdString());
    return 0;
  }
  common::tuneAllocatorForLargeImages();  // before any thread or image exists
  QApplication app(argc, argv);
  QApplication::setApplicationName("Brevant");
  QApplication::setApplicationVersion(common::versionAndCommit());  // the audit trail's column
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
  // The first study's memory, made ready while the operator searches.
  std::thread preparing([] { common::prepareMemory(common::kPreparedBytes); });
  // Memory kept for the next study goes back once no study has wanted it.
  QTimer idleMemory;
  QObject::connect(&idleMemory, &QTimer::timeout, [] { common::releaseIdleBlocks(); });
  idleMemory.start(30 * 1000);
  const int code = app.exec();
  preparing.join();
  return code;
}
