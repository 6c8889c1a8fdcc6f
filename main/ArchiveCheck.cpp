#include "ArchiveCheck.h"

#include <utility>

#include "ViewLabels.h"
#include "dicom/core/BlockingCall.h"
#include "dicom/core/Query.h"

namespace station {
namespace {

QString uidOf(const dicom::Image& image, dicom::Tag tag) {
  return image.attribute(tag).defaultValue();
}

}  // namespace

ArchiveCheck::ArchiveCheck(dicom::Reception& reception, dicom::Toolkit& toolkit,
                           const ConnectionSettingsRecord& settings)
    : reception_(reception), toolkit_(toolkit), settings_(settings) {}

ArchiveCheck::~ArchiveCheck() {
  try {
    stopReading();
    if (probing_) reception_.endProbe();
  } catch (...) {
    // Nothing is asked of the receiver any more; it refuses what still comes.
  }
}

void ArchiveCheck::expect(const std::vector<dicom::ImagePtr>& images) {
  QStringList uids;
  for (const dicom::ImagePtr& image : images) {
    uids << uidOf(*image, dicom::tags::SOPInstanceUID);
    expected_.insert(uids.back());
  }
  try {
    archive_ = settings_.archive();
    station_ = settings_.station();
    archive_.port.number();
    if (reception_.port() == 0) reception_.listen(station_);
    reception_.beginProbe(uids, {kLabelTag}, archive_);
    probing_ = true;
  } catch (...) {
    setupFailure_ = std::current_exception();
  }
}

void ArchiveCheck::add(const dicom::ImagePtr& image) {
  const Instance instance{uidOf(*image, dicom::tags::StudyInstanceUID),
                          uidOf(*image, dicom::tags::SeriesInstanceUID),
                          uidOf(*image, dicom::tags::SOPInstanceUID)};
  if (setupFailure_) return;
  if (expected_.count(instance.uid) == 0) {
    late_.push_back(instance);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(instance);
  }
  changed_.notify_all();
  if (reader_.joinable()) return;
  try {
    reader_ = std::thread([this] { readBack(); });
  } catch (...) {
    setupFailure_ = std::current_exception();  // no thread: the check cannot be made
  }
}

// The reading thread: every instance queued meanwhile goes in the next move.
void ArchiveCheck::readBack() {
  for (;;) {
    std::vector<Instance> batch;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return finishing_ || !queue_.empty(); });
      if (queue_.empty() || failure_) return;
      batch.swap(queue_);
    }
    try {
      moveAll(batch);
    } catch (...) {
      std::lock_guard lock(mutex_);
      failure_ = std::current_exception();
      return;
    }
  }
}

void ArchiveCheck::stopReading() {
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  changed_.notify_all();
  if (!reader_.joinable()) return;
  // The wait for the last move keeps the window drawn, as any call does.
  dicom::runOffThread([this] { reader_.join(); }, 1u << 20);
}

std::map<QString, QStringList> ArchiveCheck::labels() {
  if (setupFailure_) std::rethrow_exception(setupFailure_);
  stopReading();
  std::map<QString, QStringList> labels = endProbe();
  if (failure_) std::rethrow_exception(failure_);
  if (late_.empty()) return labels;
  // Images labelled while the update ran, after it began: a probe of their own.
  QStringList uids;
  for (const Instance& instance : late_) uids << instance.uid;
  reception_.beginProbe(uids, {kLabelTag}, archive_);
  probing_ = true;
  const std::vector<Instance> late = std::exchange(late_, {});
  moveAll(late);
  labels.merge(endProbe());
  return labels;
}

std::map<QString, QStringList> ArchiveCheck::endProbe() {
  probing_ = false;
  std::map<QString, QStringList> labels;
  for (const auto& [uid, copies] : reception_.endProbe()) {
    for (const dicom::DataSet& copy : copies) labels[uid] << labelOf(copy);
  }
  return labels;
}

std::map<QString, QStringList> ArchiveCheck::labelsOf(const std::vector<dicom::ImagePtr>& images) {
  expect(images);
  for (const dicom::ImagePtr& image : images) add(image);
  return labels();
}

void ArchiveCheck::moveAll(const std::vector<Instance>& instances) {
  // The instances by study, then by series.
  std::map<QString, std::map<QString, QStringList>> studies;
  for (const Instance& instance : instances) {
    studies[instance.study][instance.series] << instance.uid;
  }
  for (const auto& [study, series] : studies) {
    QStringList seriesUIDs, uids;
    for (const auto& [seriesUID, ofSeries] : series) {
      seriesUIDs << seriesUID;
      uids << ofSeries;
    }
    // One move for the whole study, naming its series and instances as
    // lists. An archive that refuses lists before sending anything is asked
    // series by series instead; one that sent part of them is not asked
    // again, since a second copy would make the check unreadable.
    const std::uint64_t before = reception_.bytesReceived();
    try {
      move(study, seriesUIDs, uids);
    } catch (const std::exception&) {
      if (series.size() == 1 || reception_.bytesReceived() != before) throw;
      for (const auto& [seriesUID, ofSeries] : series) move(study, {seriesUID}, ofSeries);
    }
  }
}

void ArchiveCheck::move(const QString& study, const QStringList& series,
                        const QStringList& instances) {
  std::unique_ptr<dicom::Query> query = toolkit_.newQuery(archive_, station_);
  query->setLevel(dicom::QueryLevel::Image);
  query->setStudyUID(study);
  query->setSeriesUIDs(series);
  query->setInstanceUIDs(instances);
  dicom::Reception& reception = reception_;
  query->setProgressCounter([&reception] { return reception.bytesReceived(); });
  query->move();
}

}  // namespace station
