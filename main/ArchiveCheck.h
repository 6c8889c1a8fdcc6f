#pragma once

#include <QString>
#include <QStringList>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "StudyUpdate.h"
#include "dicom/core/Image.h"
#include "dicom/core/Peer.h"
#include "dicom/core/Reception.h"
#include "dicom/core/Toolkit.h"
#include "settings/modMain.h"

namespace station {

// Reads back from the archive what it holds for images the station sent:
// the archive moves the instances, named by their SOP Instance UIDs, to the
// station's own receiver, which reads each one's attributes and drops it.
// A find cannot tell: archives answer it from their series records, or not
// at all below series level.
//
// The read-back runs beside the update's stores: each image whose store the
// archive confirmed is asked back on an association of its own, by a thread
// of its own, while the next ones are sent; images confirmed meanwhile are
// asked back together in the next move. Each instance is asked back once,
// so that a second copy still means the archive holds two. The first move
// that fails ends the read-back, and the check as a whole then fails.
class ArchiveCheck : public StudyUpdate::ReadBack {
 public:
  ArchiveCheck(dicom::Reception& reception, dicom::Toolkit& toolkit,
               const ConnectionSettingsRecord& settings);
  ~ArchiveCheck() override;
  ArchiveCheck(const ArchiveCheck&) = delete;
  ArchiveCheck& operator=(const ArchiveCheck&) = delete;

  // Listens (when the station does not yet) and lets the receiver take the
  // expected instances; a failure here is the check's, raised by labels().
  void expect(const std::vector<dicom::ImagePtr>& images) override;
  void add(const dicom::ImagePtr& image) override;
  std::map<QString, QStringList> labels() override;

  // All at once, after the stores: expect(), add() and labels() in one.
  std::map<QString, QStringList> labelsOf(const std::vector<dicom::ImagePtr>& images);

 private:
  // An instance to ask back, by study and series.
  struct Instance {
    QString study, series, uid;
  };
  void readBack();
  void moveAll(const std::vector<Instance>& instances);
  // An image level move of the instances, of these series, to the station.
  void move(const QString& study, const QStringList& series, const QStringList& instances);
  std::map<QString, QStringList> endProbe();
  void stopReading();

  dicom::Reception& reception_;
  dicom::Toolkit& toolkit_;
  const ConnectionSettingsRecord& settings_;
  // The peers as they stood when the read-back began: the thread reads no
  // settings the window may change meanwhile.
  dicom::Peer archive_;
  dicom::StationIdentity station_;
  bool probing_ = false;
  std::set<QString> expected_;
  std::vector<Instance> late_;  // added, but not expected: asked back after the rest
  std::exception_ptr setupFailure_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Instance> queue_;  // confirmed stores not asked back yet
  bool finishing_ = false;
  std::exception_ptr failure_;  // the first failed move
  std::thread reader_;
};

}  // namespace station
