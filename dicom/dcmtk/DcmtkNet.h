#pragma once

// The network layer's shared pieces: the peer's address, the one
// translation of DCMTK conditions and DIMSE statuses into DicomError
// (DcmtkStatus.cpp), and the store (DcmtkStore.cpp).

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/ofstd/ofcond.h>

#include <QString>
#include <cstdint>

#include "DcmtkToolkit.h"
#include "dicom/core/DicomError.h"
#include "dicom/core/Peer.h"

namespace dicom::dcmtk {

// One call's two ends: the archive's address, port and AE title (called)
// and the station's AE title (calling).
struct Endpoint {
  QString address;
  std::int32_t port = 0;
  QString callingAE;
  QString calledAE;
};

// The endpoint of a call the station makes on the archive. The archive's
// port is read here: one that is no number raises.
Endpoint endpointOf(const Peer& archive, const StationIdentity& station);

// True for the conditions DCMTK raises when a read waited its whole timeout.
bool isTimeout(const OFCondition& condition);

// The DicomError for a failed DCMTK condition; context says what was being done.
DicomError conditionError(const OFCondition& condition, const QString& context);

// The DicomError for a DIMSE status the peer sent, with the Error Comment
// of its status detail when there is one.
DicomError statusError(std::uint16_t status, const QString& context,
                       DcmDataset* statusDetail = nullptr);

// The DIMSE status meaning in English, e.g. "refused: out of resources".
QString statusMeaning(std::uint16_t status);

// The Error Comment (0000,0902) of a status detail, empty when there is none.
QString errorComment(DcmDataset* statusDetail);

// Stores one object on the peer (C-STORE). Negotiates so that the object
// goes out in its own transfer syntax when the peer accepts it; otherwise
// in an uncompressed syntax when the object can be decoded losslessly.
// Returns on success or warning status; any other outcome raises DicomError.
void storeObject(DcmFileFormat& file, const Endpoint& endpoint, const Timeouts& timeouts);

}  // namespace dicom::dcmtk
