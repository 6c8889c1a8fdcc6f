#pragma once

// How the benchmarks open the search window from the station's toolbar: a
// window of its own, deleted once closed, whose messages are recorded and
// which the benchmark drives through the pointer it is handed.

#include <QPointer>
#include <QStringList>

#include "main/frmMain.h"
#include "search/frmSearch.h"

namespace bench {

inline frmMain::SearchOpener searchOpener(dicom::Toolkit& toolkit,
                                          ConnectionSettingsRecord& settings,
                                          search::StudyList& list,
                                          QPointer<search::frmSearch>& search,
                                          QStringList& messages) {
  return [&](QWidget* owner, search::StationHost& host) {
    auto* dialog = new search::frmSearch(toolkit, settings, host, list, owner);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->showMessage = [&messages](QMessageBox::Icon, const QString&, const QString& text) {
      messages << text;
    };
    search = dialog;
    dialog->open();
  };
}

}  // namespace bench
