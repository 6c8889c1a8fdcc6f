// The one translation of DCMTK's conditions and of the peer's DIMSE
// statuses into the station's DicomError (numbering in DicomError.h).
//   - a DIMSE status the peer sent is the number itself (0xA700, 0xC000,
//     0xB000, ...);
//   - a failed DCMTK condition is 0x01MMCCCC (module, code), except that a
//     condition meaning "no answer in time" becomes OwnError::Timeout and a
//     rejected association OwnError::AssociationRejected.
// Every description is an English sentence that names the peer and what
// failed.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmnet/cond.h>

#include "DcmtkNet.h"

namespace dicom::dcmtk {
namespace {

QString hex4(std::uint16_t value) {
  return QStringLiteral("0x") +
         QString::number(value, 16).rightJustified(4, QLatin1Char('0')).toUpper();
}

}  // namespace

bool isTimeout(const OFCondition& condition) {
  // The conditions DCMTK raises when a read waited for its whole timeout.
  return condition == DIMSE_NODATAAVAILABLE || condition == DUL_READTIMEOUT;
}

QString statusMeaning(std::uint16_t status) {
  switch (status) {
    case 0x0000:
      return "success";
    case 0x0001:
      return "warning: requested optional attributes are not supported";
    case 0x0107:
      return "warning: attribute list error";
    case 0x0110:
      return "processing failure";
    case 0x0111:
      return "duplicate SOP instance";
    case 0x0112:
      return "no such SOP instance";
    case 0x0117:
      return "invalid SOP instance";
    case 0x0118:
      return "no such SOP class";
    case 0x0119:
      return "SOP class and instance do not match";
    case 0x0122:
      return "refused: SOP class not supported";
    case 0x0124:
      return "refused: not authorised";
    case 0x0210:
      return "duplicate invocation";
    case 0x0211:
      return "unrecognised operation";
    case 0x0212:
      return "mistyped argument";
    case 0x0213:
      return "resource limitation";
    case 0xA701:
      return "refused: out of resources, unable to calculate the number of matches";
    case 0xA702:
      return "refused: out of resources, unable to perform sub-operations";
    case 0xA801:
      return "refused: move destination unknown";
    case 0xA900:
      return "data set or identifier does not match the SOP class";
    case 0xB000:
      return "warning: sub-operations complete with one or more failures, or data elements coerced";
    case 0xB006:
      return "warning: elements discarded";
    case 0xB007:
      return "warning: data set does not match the SOP class";
    case 0xFE00:
      return "cancelled";
    case 0xFF00:
      return "pending";
    case 0xFF01:
      return "pending: optional keys not supported";
    default:
      break;
  }
  if ((status & 0xFF00) == 0xA700) return "refused: out of resources";
  if ((status & 0xFF00) == 0xA900) return "error: data set does not match the SOP class";
  if ((status & 0xF000) == 0xC000) return "error: unable to process";
  if ((status & 0xF000) == 0xB000) return "warning";
  return "failure";
}

QString errorComment(DcmDataset* statusDetail) {
  if (statusDetail == nullptr) return QString();
  OFString comment;
  if (statusDetail->findAndGetOFString(DCM_ErrorComment, comment).bad()) return QString();
  return QString::fromLatin1(comment.c_str()).trimmed();
}

DicomError conditionError(const OFCondition& condition, const QString& context) {
  const QString text = QString::fromLatin1(condition.text());
  if (condition == DUL_ASSOCIATIONREJECTED) {
    return DicomError(OwnError::AssociationRejected,
                      QStringLiteral("%1: the association was rejected (%2).").arg(context, text));
  }
  if (isTimeout(condition)) {
    return DicomError(
        OwnError::Timeout,
        QStringLiteral("%1: the peer did not answer in time (%2).").arg(context, text));
  }
  return DicomError(conditionNumber(condition.module(), condition.code()),
                    QStringLiteral("%1: %2.").arg(context, text));
}

DicomError statusError(std::uint16_t status, const QString& context, DcmDataset* statusDetail) {
  QString description = QStringLiteral("%1: the peer answered with status %2 (%3).")
                            .arg(context, hex4(status), statusMeaning(status));
  const QString comment = errorComment(statusDetail);
  if (!comment.isEmpty()) description += QStringLiteral(" The peer says: %1").arg(comment);
  return DicomError(static_cast<std::int32_t>(status), description);
}

Endpoint endpointOf(const Peer& archive, const StationIdentity& station) {
  return Endpoint{archive.host.trimmed(), archive.port.number(), station.aeTitle, archive.aeTitle};
}

}  // namespace dicom::dcmtk
