#include "ArchiveCheck.h"

#include <utility>

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
    const QString uid = image->attribute(0x0008, 0x0018).defaultValue();
    studies[image->attribute(0x0020, 0x000D).defaultValue()]
           [image->attribute(0x0020, 0x000E).defaultValue()]
        << uid;
    all << uid;
  }
  if (reception_.port() == 0) {
    reception_.setLocalAETitle(settings_.LocAET);
    reception_.listen(settings_.LocPort.number("LocPort"));
  }
  reception_.beginProbe(all);
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
      move(study, seriesUIDs.join('\\'), instances);
    } catch (const std::exception&) {
      if (series.size() == 1 || reception_.bytesReceived() != before) throw;
      for (const auto& [seriesUID, uids] : series) move(study, seriesUID, uids);
    }
  }
  guard.ended = true;
  return reception_.endProbe();
}

void ArchiveCheck::move(const QString& study, const QString& series, const QStringList& instances) {
  std::unique_ptr<dicom::Query> query = toolkit_.newQuery();
  query->setPort(settings_.RemotePort.number("RemotePort"));
  query->setNode(settings_.RemoteIP);
  query->setCalledAE(settings_.RemoteAET);
  query->setCallingAE(settings_.LocAET);
  query->setRoot("STUDY");
  query->setLevel("IMAGE");
  query->setDestination(settings_.LocAET);
  query->setStudyUID(study);
  query->setSeriesUID(series);
  query->setInstanceUIDs(instances);
  dicom::Reception& reception = reception_;
  query->setProgressCounter([&reception] { return reception.bytesReceived(); });
  query->move();
}

}  // namespace station
