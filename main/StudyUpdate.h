#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <vector>

#include "dicom/core/ImageCollection.h"
#include "log/AuditTrail.h"
#include "settings/modMain.h"

namespace station {

// The study update: sends every marked image of the collection back to the
// remote node, in position order, then reads the sent images back from the
// archive and clears the marker of each only once the archive shows its
// new label. An archive that accepts a store but keeps its earlier copy
// (many do by default) must not pass for one that applied the label.
//
// Every image sent is recorded in the audit trail, with what the read-back
// established, before the run returns; when the audit trail cannot be
// written nothing is sent at all.
//
// The first failed send stops the run and is raised to the caller, after
// the images sent before it were checked; every image not confirmed keeps
// its marker. Images the archive did not apply, or whose label could not
// be confirmed, end the run in one failure that names their positions.
class StudyUpdate {
 public:
  // What the archive holds for the asked instances: for each SOP Instance
  // UID, the Series Description of every copy it returned. Raises when the
  // check could not be made at all.
  using ReadBack =
      std::function<std::map<QString, QStringList>(const std::vector<dicom::ImagePtr>&)>;

  struct Hooks {
    std::function<void(bool visible, const QString& text)> state;  // the status panel
    std::function<void()> processEvents;                           // once before each send
    ReadBack readBack;
    // The label the archive held of an image before the station changed it.
    std::function<QString(const dicom::Image&)> archivedLabel;
    // The archive confirmed this label of the image.
    std::function<void(const dicom::Image&, const QString& label)> confirmed;
  };

  StudyUpdate(dicom::ImageCollection& images, const ConnectionSettingsRecord& settings,
              Hooks hooks);

  // Runs the update with the connection settings as they stand at each send.
  // Returns the number of images sent and confirmed; throws on a failure.
  int run();

 private:
  struct Sent {
    int position;
    dicom::ImagePtr image;
    QString before, label;
    modAudit::Outcome outcome = modAudit::Outcome::Failed;
    QString detail;
  };
  // What the read-back found; the markers the archive confirms are cleared.
  struct Outcome {
    int confirmed = 0;
    std::vector<int> kept;         // the archive kept its earlier copy
    std::vector<int> unconfirmed;  // nothing, or several copies, came back
    QString checkFailure;          // why the check itself failed
  };
  void checkAuditTrail();
  std::vector<Sent> sendMarked(std::exception_ptr& failure);
  Outcome confirm(std::vector<Sent>& sent);
  void audit(const std::vector<Sent>& sent, const std::exception_ptr& failure);
  static QString describe(const Outcome& outcome);

  dicom::ImageCollection& images_;
  const ConnectionSettingsRecord& settings_;
  Hooks hooks_;
};

}  // namespace station
