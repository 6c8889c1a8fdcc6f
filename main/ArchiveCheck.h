#pragma once

#include <QString>
#include <QStringList>
#include <map>
#include <vector>

#include "dicom/core/Image.h"
#include "dicom/core/Reception.h"
#include "dicom/core/Toolkit.h"
#include "settings/modMain.h"

namespace station {

// Reads back from the archive what it holds for images the station sent:
// the archive moves the instances, named by their SOP Instance UIDs, to the
// station's own receiver, which reads each one's attributes and drops it.
// A find cannot tell: archives answer it from their series records, or not
// at all below series level.
class ArchiveCheck {
 public:
  ArchiveCheck(dicom::Reception& reception, dicom::Toolkit& toolkit,
               const ConnectionSettingsRecord& settings);

  // For each asked instance that came back, the Series Description of
  // every copy. Raises when no check could be made (no receiver, the
  // archive unreachable).
  std::map<QString, QStringList> labelsOf(const std::vector<dicom::ImagePtr>& images);

 private:
  // An image level move of the instances, of these series, to the station.
  void move(const QString& study, const QStringList& series, const QStringList& instances);

  dicom::Reception& reception_;
  dicom::Toolkit& toolkit_;
  const ConnectionSettingsRecord& settings_;
};

}  // namespace station
