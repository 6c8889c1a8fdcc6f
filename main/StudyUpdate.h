#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <vector>

#include "dicom/core/ImageCollection.h"
#include "dicom/core/Toolkit.h"
#include "log/AuditTrail.h"
#include "settings/modMain.h"

namespace station {

// The study update: sends every marked image of the collection back to the
// remote node, in position order, on one association, and reads the sent
// images back from the archive, each once its store was confirmed, while
// the next ones are sent; it clears the marker of each only once the
// archive shows its new label. An archive that accepts a store but keeps its
// earlier copy (many do by default) must not pass for one that applied the
// label.
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
  // The read-back of the images sent. expect() names, before the first
  // store, every image the run may send; add() is told of each image once
  // the archive confirmed its store, and may read it back at once, beside
  // the next stores; labels() waits for every read-back and gives what the
  // archive holds for each instance added: the Series Description of every
  // copy it returned. labels() raises when the check could not be made.
  class ReadBack {
   public:
    virtual ~ReadBack() = default;
    virtual void expect(const std::vector<dicom::ImagePtr>& images) = 0;
    virtual void add(const dicom::ImagePtr& image) = 0;
    virtual std::map<QString, QStringList> labels() = 0;
  };

  struct Hooks {
    std::function<void(bool visible, const QString& text)> state;  // the status panel
    std::function<void()> processEvents;                           // once before each send
    ReadBack* readBack;
    // The label the archive held of an image before the station changed it.
    std::function<QString(const dicom::Image&)> archivedLabel;
    // The archive confirmed this label of the image.
    std::function<void(const dicom::Image&, const QString& label)> confirmed;
  };

  // The stores go through a session of the toolkit.
  StudyUpdate(dicom::Toolkit& toolkit, dicom::ImageCollection& images,
              const ConnectionSettingsRecord& settings, Hooks hooks);

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
  void sendAll(dicom::StoreSession& session, std::vector<Sent>& sent);
  Outcome confirm(std::vector<Sent>& sent);
  void audit(const std::vector<Sent>& sent, const std::exception_ptr& failure);
  static QString describe(const Outcome& outcome);

  dicom::Toolkit& toolkit_;
  dicom::ImageCollection& images_;
  const ConnectionSettingsRecord& settings_;
  Hooks hooks_;
};

}  // namespace station
