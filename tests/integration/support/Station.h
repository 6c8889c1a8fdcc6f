#pragma once

// What the end-to-end tests share: an archive that a script of tools/
// starts in a folder of its own, and the station's windows wired as the
// composition root wires them, each message box recorded.

#include <QPointer>
#include <QProcess>
#include <QTemporaryDir>
#include <memory>

#include "Archive.h"
#include "main/frmMain.h"
#include "search/frmSearch.h"

// An archive started by tools/archive.sh or tools/qrscp.sh, stopped when it goes.
struct OwnArchive {
  explicit OwnArchive(const QString& name = "archive.sh") : script(name) {}
  QString script;
  QTemporaryDir dir;
  Archive archive{QString()};
  bool run(const QString& command, const QStringList& options = {}) {
    const QStringList arguments = QStringList{command, dir.path()} + options;
    const bool done = QProcess::execute(BREVANT_TOOLS + script, arguments) == 0;
    archive = Archive(dir.filePath("archive.env"));
    return done;
  }
  ~OwnArchive() { run("stop"); }
};

// The main window, shown, with its search window opened as the station opens
// it; every message box goes to messages as "main: <text>" or "search:
// <text>", every question is answered yes.
inline std::unique_ptr<frmMain> startStation(dicom::Toolkit& toolkit,
                                             ConnectionSettingsRecord& settings,
                                             search::StudyList& list,
                                             QPointer<search::frmSearch>& search,
                                             QStringList& messages) {
  auto window = std::make_unique<frmMain>(
      toolkit, settings, list, [&](QWidget* owner, search::StationHost& host) {
        auto* dialog = new search::frmSearch(toolkit, settings, host, list, owner);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->showMessage = [&messages](QMessageBox::Icon, const QString&, const QString& text) {
          messages << "search: " + text;
        };
        search = dialog;
        dialog->open();
      });
  window->showMessage = [&messages](QMessageBox::Icon, const QString&, const QString& text) {
    messages << "main: " + text;
  };
  window->askYesNo = [](const QString&, const QString&) { return true; };
  window->show();
  return window;
}

// The station's error log (Logs/Error.log in its folder), empty when there is none.
inline QByteArray errorLog(const QTemporaryDir& stationDir) {
  QFile file(stationDir.filePath("Logs/Error.log"));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
