#include "ArchiveCheck.h"

#include <utility>

#include "ViewLabels.h"
#include "dicom/core/Query.h"

namespace station {

ArchiveCheck::ArchiveCheck(dicom::Reception& reception, dicom::Toolkit& toolkit,
                           const ConnectionSettingsRecord& settings)
    : reception_(reception), toolkit_(toolkit), settings_(settings) {}

std::map<QString, QStringList> ArchiveCheck::labelsOf(const std::vector<dicom::ImagePtr>& images) {
  // The instances by study, then by series.
  std::map<QString, std::map<QString, QStringList>> studies;
  QStringList all;
  for (const dicom::ImagePtr& image : images) {
    const QString uid = image->attribute(dicom::tags::SOPInstanceUID).defaultValue();
    studies[image->attribute(dicom::tags::StudyInstanceUID).defaultValue()]
           [image->attribute(dicom::tags::SeriesInstanceUID).defaultValue()]
        << uid;
    all << uid;
  }
  if (reception_.port() == 0) reception_.listen(settings_.station());
  reception_.beginProbe(all, {kLabelTag}, settings_.archive());
  struct EndProbe {
    dicom::Reception& reception;
    bool ended = false;
    ~EndProbe() {
      if (!ended) reception.endProbe();
    }
  } guard{reception_};
  for (const auto& [study, series] : studies) {
    QStringList seriesUIDs, instances;
    for (const auto& [seriesUID, uids] : series) {
      seriesUIDs << seriesUID;
      instances << uids;
    }
    // One move for the whole study, naming its series and instances as
    // lists. An archive that refuses lists before sending anything is asked
    // series by series instead; one that sent part of them is not asked
    // again, since a second copy would make the check unreadable.
    const std::uint64_t before = reception_.bytesReceived();
    try {
      move(study, seriesUIDs, instances);
    } catch (const std::exception&) {
      if (series.size() == 1 || reception_.bytesReceived() != before) throw;
      for (const auto& [seriesUID, uids] : series) move(study, {seriesUID}, uids);
    }
  }
  guard.ended = true;
  std::map<QString, QStringList> labels;
  for (const auto& [uid, copies] : reception_.endProbe()) {
    for (const dicom::DataSet& copy : copies) labels[uid] << labelOf(copy);
  }
  return labels;
}

void ArchiveCheck::move(const QString& study, const QStringList& series,
                        const QStringList& instances) {
  std::unique_ptr<dicom::Query> query = modMain::NewArchiveQuery(toolkit_, settings_);
  query->setLevel(dicom::QueryLevel::Image);
  query->setStudyUID(study);
  query->setSeriesUIDs(series);
  query->setInstanceUIDs(instances);
  dicom::Reception& reception = reception_;
  query->setProgressCounter([&reception] { return reception.bytesReceived(); });
  query->move();
}

}  // namespace station
