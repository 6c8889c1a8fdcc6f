#include "Query.h"

namespace dicom {

DataSet Query::newDataSet() const {
  DataSet identifier;
  identifier.set(tags::StudyInstanceUID, "");
  identifier.set(tags::StudyTime, "");
  identifier.set(tags::Modality, "");
  identifier.set(tags::ModalitiesInStudy, "");
  return identifier;
}

}  // namespace dicom
