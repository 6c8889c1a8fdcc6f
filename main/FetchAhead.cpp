#include "FetchAhead.h"

#include <QEventLoop>
#include <optional>

#include "dicom/core/DicomError.h"
#include "log/modError.h"

namespace station {
namespace {

// Dropping a study fetched ahead names no archive.
dicom::Peer noArchive() {
  return {QString(), QString(), dicom::Port()};
}

}  // namespace

FetchAhead::FetchAhead(dicom::Reception& reception, dicom::Toolkit& toolkit,
                       const ConnectionSettingsRecord& settings, QObject* parent)
    : QObject(parent), reception_(reception), toolkit_(toolkit), settings_(settings) {}

FetchAhead::~FetchAhead() {
  for (auto& run : runs_) run->stop = true;
  reap(true);
}

void FetchAhead::start(const QString& studyInstanceUID) {
  drop();
  reap(false);
  current_ = ++lastId_;
  study_ = studyInstanceUID;
  progress_ = {0, 0};
  std::shared_ptr<dicom::Query> query;
  try {
    query = modMain::NewArchiveQuery(toolkit_, settings_);
  } catch (const std::exception&) {
    // Settings that cannot make a move: opening the study says so.
    failed_ = true;
    return;
  }
  query->setLevel(dicom::QueryLevel::Study);
  query->setStudyUID(studyInstanceUID);
  reception_.expectAhead(studyInstanceUID, query->archive());
  dicom::Reception& reception = reception_;
  const std::uint64_t id = current_;
  query->setProgressCounter(
      [&reception, studyInstanceUID] { return reception.bytesReceived(studyInstanceUID); });
  query->setProgressReport([this, id](int done, int total) {
    QMetaObject::invokeMethod(
        this, [this, id, done, total] { onProgress(id, done, total); }, Qt::QueuedConnection);
  });
  auto run = std::make_unique<Run>();
  run->id = id;
  Run* started = run.get();
  query->setStopRequest([started] { return started->stop.load(); });
  running_ = true;
  run->thread = std::thread([this, query, started] {
    std::optional<dicom::Failure> failure;
    try {
      query->move();
    } catch (const std::exception& error) {
      failure = dicom::describe(error);
    }
    const std::uint64_t id = started->id;
    QMetaObject::invokeMethod(
        this, [this, id, failure] { onMoveEnded(id, failure); }, Qt::QueuedConnection);
    started->done = true;
  });
  runs_.push_back(std::move(run));
}

void FetchAhead::drop() {
  if (current_ == 0 && study_.isEmpty()) return;
  for (auto& run : runs_) run->stop = true;
  if (!failed_) reception_.expectAhead(QString(), noArchive());
  release();
}

void FetchAhead::release() {
  current_ = 0;
  study_.clear();
  running_ = false;
  failed_ = false;
  progress_ = {0, 0};
}

void FetchAhead::waitForMove() {
  if (!running_) return;
  QEventLoop loop;
  connect(this, &FetchAhead::moveEnded, &loop, &QEventLoop::quit);
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

void FetchAhead::onProgress(std::uint64_t id, int done, int total) {
  if (id != current_) return;
  progress_ = {done, total};
  emit progressed(done, total);
}

void FetchAhead::onMoveEnded(std::uint64_t id, const std::optional<dicom::Failure>& failure) {
  // A run dropped meanwhile ends unheard: its study may be on screen now,
  // retrieved on its own.
  if (id != current_) return;
  running_ = false;
  reception_.endRetrieval(study_);
  if (failure) {
    failed_ = true;
    // What it held goes. No message: the study is retrieved as usual when
    // it is opened, with that retrieval's failure path.
    reception_.expectAhead(QString(), noArchive());
    modError::LogError(failure->number,
                       QString("The next study, %1, could not be fetched ahead (it is retrieved "
                               "when it is opened): %2")
                           .arg(study_, failure->description),
                       "FetchAhead");
  }
  emit moveEnded(!failure);
}

void FetchAhead::reap(bool all) {
  for (auto it = runs_.begin(); it != runs_.end();) {
    if (all || (*it)->done) {
      (*it)->thread.join();
      it = runs_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace station
