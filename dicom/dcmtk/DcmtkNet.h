#pragma once

// Association handling shared by the query, the store and the receiver.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/ofstd/ofcond.h>

#include <QString>
#include <cstdint>

#include "../DicomError.h"
#include "DcmtkToolkit.h"

namespace dicom::dcmtk {

struct Endpoint {
  QString address;
  std::int32_t port = 0;
  QString callingAE;
  QString calledAE;
};

// The DicomError for a failed DCMTK condition; context says what was being done.
DicomError conditionError(const OFCondition& condition, const QString& context);

// The DicomError for a DIMSE status the peer sent.
DicomError statusError(std::uint16_t status, const QString& context);

// Stores one object on the peer (C-STORE). Negotiates so that the object
// goes out in its own transfer syntax when the peer accepts it; otherwise
// in an uncompressed syntax when the object can be decoded losslessly.
// Returns on success or warning status; any other outcome raises DicomError.
void storeObject(DcmFileFormat& file, const Endpoint& endpoint, const Timeouts& timeouts);

}  // namespace dicom::dcmtk
