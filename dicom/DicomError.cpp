#include "DicomError.h"

#include <utility>

namespace dicom {

DicomError::DicomError(std::int32_t number, QString description)
    : number_(number), description_(std::move(description)), what_(description_.toStdString()) {}

}  // namespace dicom
