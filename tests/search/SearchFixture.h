#pragma once

// A search window on the fake DICOM interface, with a station host that
// records what the window asks of the main window, a message sink that
// records message boxes instead of showing them, and the error log in a
// temporary folder.

#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <memory>
#include <vector>

#include "common/AppDir.h"
#include "dicom/Viewer.h"
#include "log/modError.h"
#include "search/StationHost.h"
#include "search/frmSearch.h"
#include "settings/modMain.h"
#include "support/FakeDicom.h"

namespace searchtest {

struct Message {
  QMessageBox::Icon icon;
  QString text;
  QString caption;
  int logLinesWhenShown;
};

inline const QString kTooWide = "Please provide more specific search criteria.";
inline const QString kError = "There was an error.\r\nRead the log file for more information.";

// Records the calls in the order they come, as "State true <text>" and so on.
class RecordingHost : public search::StationHost {
 public:
  explicit RecordingHost(dicom::Toolkit& toolkit) : view(toolkit) {}
  dicom::Viewer& viewer() override { return view; }
  void State(bool visible, const QString& text) override {
    events << QString("State %1 %2").arg(visible ? "true" : "false", text);
  }
  void startWatchdog() override { events << "startWatchdog"; }
  bool confirmDiscardChanges() override {
    events << "confirmDiscardChanges";
    return confirm;
  }

  dicom::Viewer view;
  QStringList events;
  bool confirm = true;
};

inline QStringList logLines() {
  QFile file(modError::LogPath());
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll()).split("\r\n", Qt::SkipEmptyParts);
}

inline dicom::DataSet study(const QString& uid, const QString& patientID, const QString& name,
                            const QString& studyDate = "20240115") {
  dicom::DataSet match;
  match.setStudyInstanceUID(uid);
  match.set(dicom::tags::StudyDate, studyDate);
  match.setPatientID(patientID);
  match.setPatientName(name);
  match.setSex("F");
  match.setBirthDate("19600305");
  match.set(dicom::tags::StudyTime, "093000");
  match.setStudyDescription("Screening");
  match.setAccessionNumber("ACC-" + patientID);
  match.set(dicom::tags::Modality, "MG");
  return match;
}

class Fixture {
 public:
  Fixture() : host(toolkit), events(host.events) {
    common::setAppDirectoryForTesting(folder.path());
    ConnectionSettings.RemoteAET = "ARCHIVE";
    ConnectionSettings.RemoteIP = "127.0.0.1";
    ConnectionSettings.RemotePort = "11104";
    ConnectionSettings.LocAET = "STATION";
    ConnectionSettings.LocPort = "11112";
    toolkit.script.onFind = [this](const fake::QueryCall&) { events << "find"; };
    toolkit.script.onMove = [this](const fake::QueryCall&) { events << "move"; };
    toolkit.script.onListen = [this](std::int32_t port) {
      events << QString("listen %1").arg(port);
    };
    window = std::make_unique<search::frmSearch>(toolkit, host);
    window->setMessageSink(
        [this](QMessageBox::Icon icon, const QString& text, const QString& caption) {
          messages.push_back(Message{icon, text, caption, static_cast<int>(logLines().size())});
        });
  }
  ~Fixture() {
    window.reset();
    common::setAppDirectoryForTesting("");
  }

  // Runs one search that lists the given matches; the criteria only need to
  // pass the width test.
  void searchListing(std::vector<dicom::DataSet> matches) {
    toolkit.script.matches = std::move(matches);
    if (window->txtAccNum->text().isEmpty() && window->txtPatID->text().isEmpty()) {
      window->txtPatID->setText("P*");
    }
    window->cmdSearch_Click();
  }

  QStringList column(int column) const {
    QStringList cells;
    for (int row = 1; row <= window->grid1->rowCount(); ++row) {
      cells << window->grid1->cellText(row, column);
    }
    return cells;
  }

  QTemporaryDir folder;
  fake::Toolkit toolkit;
  RecordingHost host;
  QStringList& events;
  std::unique_ptr<search::frmSearch> window;
  std::vector<Message> messages;
};

}  // namespace searchtest
