#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "dicom/core/DicomError.h"
#include "dicom/core/Reception.h"
#include "dicom/core/Toolkit.h"
#include "settings/modMain.h"

namespace station {

// The next study of the list, fetched while the operator works on the one
// on screen, without widgets. Its move runs on a thread of its own that
// nothing waits for, and the reception holds its images apart until the
// study is shown. One study at a time: fetching another, or dropping it,
// lets the reception refuse and forget what the earlier one held or still
// sends. A fetch that fails is no error of its own: the study is then
// retrieved as usual when it is opened.
class FetchAhead : public QObject {
  Q_OBJECT
 public:
  FetchAhead(dicom::Reception& reception, dicom::Toolkit& toolkit,
             const ConnectionSettingsRecord& settings, QObject* parent = nullptr);
  // Stops the moves still running and waits for them to end.
  ~FetchAhead() override;

  // Fetches this study ahead, in place of any other.
  void start(const QString& studyInstanceUID);
  // Drops the study fetched ahead with what it holds; a move still running
  // is stopped, so that the archive does not send the rest of the study
  // into the link for nothing.
  void drop();
  // The study is being shown: it is no longer this object's to drop or to
  // end. Call it once waitForMove() has returned, or the move had ended.
  void release();

  // The study fetched ahead; empty when none.
  const QString& study() const { return study_; }
  // Its move has not returned yet.
  bool running() const { return running_; }
  // Its move (or the request before it) failed: nothing of it may be shown.
  bool failed() const { return failed_; }
  // How far its move is (0 of 0 before the archive has said).
  std::pair<int, int> progress() const { return progress_; }
  // Returns once the move has returned; timers and events of this thread
  // go on meanwhile, user input waits.
  void waitForMove();

 signals:
  // How far the move of the study fetched ahead is: sub-operations done, of all.
  void progressed(int done, int total);
  // The move of the study fetched ahead has returned.
  void moveEnded(bool succeeded);

 private:
  struct Run {
    std::uint64_t id = 0;
    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<bool> stop{false};  // dropped: the move ends and the archive stops sending
  };
  void onProgress(std::uint64_t id, int done, int total);
  void onMoveEnded(std::uint64_t id, const std::optional<dicom::Failure>& failure);
  void reap(bool all);

  dicom::Reception& reception_;
  dicom::Toolkit& toolkit_;
  const ConnectionSettingsRecord& settings_;
  std::list<std::unique_ptr<Run>> runs_;
  std::uint64_t lastId_ = 0;
  std::uint64_t current_ = 0;  // the run of the study fetched ahead; 0: none
  QString study_;
  bool running_ = false;
  bool failed_ = false;
  std::pair<int, int> progress_{0, 0};
};

}  // namespace station
