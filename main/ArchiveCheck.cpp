#include "ArchiveCheck.h"

#include <utility>

#include "dicom/Query.h"

namespace station {

ArchiveCheck::ArchiveCheck(dicom::Reception& reception, dicom::Toolkit& toolkit,
                           const ConnectionSettingsRecord& settings)
    : reception_(reception), toolkit_(toolkit), settings_(settings) {}

std::map<QString, QStringList> ArchiveCheck::labelsOf(const std::vector<dicom::ImagePtr>& images) {
  // One move per series: an image level move names one study and one series.
  std::map<std::pair<QString, QString>, QStringList> series;
  QStringList all;
  for (const dicom::ImagePtr& image : images) {
    const QString uid = image->attribute(0x0008, 0x0018).defaultValue();
    series[{image->attribute(0x0020, 0x000D).defaultValue(),
            image->attribute(0x0020, 0x000E).defaultValue()}]
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
  for (const auto& [key, instances] : series) {
    std::unique_ptr<dicom::Query> query = toolkit_.newQuery();
    query->setPort(settings_.RemotePort.number("RemotePort"));
    query->setNode(settings_.RemoteIP);
    query->setCalledAE(settings_.RemoteAET);
    query->setCallingAE(settings_.LocAET);
    query->setRoot("STUDY");
    query->setLevel("IMAGE");
    query->setDestination(settings_.LocAET);
    query->setStudyUID(key.first);
    query->setSeriesUID(key.second);
    query->setInstanceUIDs(instances);
    dicom::Reception& reception = reception_;
    query->setProgressCounter([&reception] { return reception.bytesReceived(); });
    query->move();
  }
  guard.ended = true;
  return reception_.endProbe();
}

}  // namespace station
