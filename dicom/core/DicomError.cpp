#include "DicomError.h"

#include <utility>

namespace dicom {

DicomError::DicomError(std::int32_t number, QString description)
    : number_(number), description_(std::move(description)), what_(description_.toStdString()) {}

Failure describe(const std::exception& error) {
  if (const auto* dicomError = dynamic_cast<const DicomError*>(&error)) {
    return {dicomError->number(), dicomError->description()};
  }
  return {OwnError::InvalidArgument, QString::fromUtf8(error.what())};
}

}  // namespace dicom
