// The one translation of what can go wrong in the station's calls into the
// station's DicomError (numbering in DicomError.h):
//   - a DIMSE status the peer sent is the number itself (0xA700, 0xC000,
//     0xB000, ...);
//   - a failed DCMTK condition is 0x01MMCCCC (module, code), except that a
//     condition meaning "no answer in time" becomes OwnError::Timeout and a
//     rejected association OwnError::AssociationRejected;
//   - a limit of the station's own that ended a call is OwnError::Timeout,
//     named with the time really waited;
//   - values that cannot be used are OwnError::InvalidArgument.
// Every description is an English sentence that names the peer and what
// failed.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmnet/cond.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/dul.h>

#include "DcmtkNet.h"

namespace dicom::dcmtk {
namespace {

QString hex4(std::uint16_t value) {
  return QStringLiteral("0x") +
         QString::number(value, 16).rightJustified(4, QLatin1Char('0')).toUpper();
}

QString seconds(double value) {
  return QString::number(value, 'f', 1);
}

// A byte count as the descriptions give it: "3.2 MB", "12 bytes".
QString amount(std::uint64_t bytes) {
  if (bytes < 1000000) return QStringLiteral("%1 bytes").arg(bytes);
  return QStringLiteral("%1 MB").arg(QString::number(static_cast<double>(bytes) / 1e6, 'f', 1));
}

// A move that ended at its idle limit although the peer answered: what
// came (pending responses, their counts) and what did not (image data).
QString idleMove(const CallFailure& failure) {
  const MoveTrace& move = *failure.move;
  const QString arrived =
      move.bytes == 0
          ? QStringLiteral("none of the study had arrived")
          : QStringLiteral("%1 of the study had arrived before").arg(amount(move.bytes));
  QString counts = QStringLiteral("%1 completed, %2 failed, %3 with warnings")
                       .arg(move.completed)
                       .arg(move.failed)
                       .arg(move.warning);
  if (move.remaining > 0) counts += QStringLiteral(", %1 remaining").arg(move.remaining);
  return QStringLiteral(
             "%1: no image data arrived for %2 s (%3), although the peer sent %4 pending "
             "response(s), the last %5 s before the end, reporting %6; the call was ended "
             "after %7 s in all.")
      .arg(failure.context)
      .arg(failure.idleSeconds)
      .arg(arrived)
      .arg(move.pendings)
      .arg(seconds(move.sinceLastPending), counts, seconds(failure.waited));
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

DicomError moveError(std::uint16_t status, const QString& context, const MoveTrace& counts,
                     DcmDataset* identifier, DcmDataset* statusDetail) {
  QString summary = counts.counted
                        ? QStringLiteral("%1 completed, %2 failed, %3 with warnings")
                              .arg(counts.completed)
                              .arg(counts.failed)
                              .arg(counts.warning)
                        : QStringLiteral("0 completed, 0 failed, 0 with warnings reported");
  if (counts.remaining > 0) summary += QStringLiteral(", %1 remaining").arg(counts.remaining);
  const DicomError error =
      status == STATUS_Success
          ? DicomError(0xB000, QStringLiteral("%1: the peer answered with status 0x0000 (success) "
                                              "although sub-operations failed.")
                                   .arg(context))
          : statusError(status, context);
  QString description = QStringLiteral("%1 Sub-operations: %2.").arg(error.description(), summary);
  OFString failedList;
  if (identifier != nullptr &&
      identifier->findAndGetOFStringArray(DCM_FailedSOPInstanceUIDList, failedList).good() &&
      !failedList.empty()) {
    description +=
        QStringLiteral(" Failed instances: %1.").arg(QString::fromLatin1(failedList.c_str()));
  }
  const QString comment = errorComment(statusDetail);
  if (!comment.isEmpty()) description += QStringLiteral(" The peer says: %1").arg(comment);
  return DicomError(error.number(), description);
}

DicomError resolutionError(const QString& context, const QString& host, int seconds,
                           bool timedOut) {
  if (timedOut) {
    return DicomError(OwnError::Timeout,
                      QStringLiteral("%1: the address \"%2\" could not be resolved within %3 s.")
                          .arg(context, host)
                          .arg(seconds));
  }
  return DicomError(OwnError::UnknownHost,
                    QStringLiteral("%1: the host name \"%2\" is unknown.").arg(context, host));
}

DicomError requestError(const OFCondition& condition, const RequestFailure& failure) {
  if (condition == DUL_ASSOCIATIONREJECTED) {
    return DicomError(OwnError::AssociationRejected,
                      QStringLiteral("%1: the peer rejected the association (%2).")
                          .arg(failure.context, failure.rejection));
  }
  const QString text = QString::fromLatin1(condition.text());
  if (failure.tls && !failure.tlsProblem.isEmpty()) {
    return DicomError(OwnError::TlsHandshake, QStringLiteral("%1: the TLS handshake failed: %2.")
                                                  .arg(failure.context, failure.tlsProblem));
  }
  // DCMTK reports a connect that ran out of time with the same code as a
  // refused one; the time it took tells them apart.
  const bool connectTimedOut = condition.module() == OFM_dcmnet &&
                               condition.code() == DULC_TCPINITERROR &&
                               failure.waited >= failure.connectSeconds - 0.5;
  // A TLS handshake that stalls ends at the socket timeouts that bound it.
  const bool handshakeTimedOut = failure.tls && condition.module() == OFM_dcmtls &&
                                 failure.waited >= failure.associationSeconds - 0.5;
  if (isTimeout(condition) || connectTimedOut || handshakeTimedOut) {
    return DicomError(OwnError::Timeout,
                      QStringLiteral("%1: no connection or association within %2 s (waited %3 "
                                     "s; %4).")
                          .arg(failure.context)
                          .arg(failure.connectSeconds + failure.associationSeconds)
                          .arg(seconds(failure.waited), text));
  }
  return DicomError(
      conditionNumber(condition.module(), condition.code()),
      QStringLiteral("%1: the association could not be opened (%2).").arg(failure.context, text));
}

DicomError callError(const OFCondition& condition, const CallFailure& failure) {
  const QString waited = seconds(failure.waited);
  if (failure.limit == LimitReached::Stopped) {
    return DicomError(
        OwnError::Stopped,
        QStringLiteral("%1: stopped by the station after %2 s.").arg(failure.context, waited));
  }
  if (!failure.refusal.isEmpty() && failure.limit == LimitReached::None) {
    return DicomError(conditionNumber(condition.module(), condition.code()),
                      QStringLiteral("%1: the peer's answer was refused unread: %2.")
                          .arg(failure.context, failure.refusal));
  }
  if (failure.limit == LimitReached::Idle && failure.move && failure.move->pendings > 0) {
    return DicomError(OwnError::Timeout, idleMove(failure));
  }
  if (failure.limit == LimitReached::Idle || isTimeout(condition)) {
    return DicomError(OwnError::Timeout,
                      QStringLiteral("%1: nothing came from the peer for %2 s (no answer, no "
                                     "progress); the call was ended after %3 s in all.")
                          .arg(failure.context)
                          .arg(failure.idleSeconds)
                          .arg(waited));
  }
  if (failure.limit == LimitReached::Overall) {
    return DicomError(OwnError::Timeout,
                      QStringLiteral("%1: the peer did not finish within %2 s; the call was "
                                     "ended after %3 s.")
                          .arg(failure.context)
                          .arg(failure.overallSeconds)
                          .arg(waited));
  }
  return conditionError(condition, failure.context);
}

QString peerName(const Endpoint& endpoint) {
  return QStringLiteral("AE title \"%1\" at %2:%3")
      .arg(endpoint.calledAE, endpoint.address)
      .arg(endpoint.port);
}

void checkAETitle(const QString& aeTitle, const QString& role) {
  if (aeTitle.trimmed().isEmpty()) {
    throw DicomError(
        OwnError::InvalidArgument,
        QStringLiteral("The %1 is empty; an AE title of 1 to 16 characters is needed.").arg(role));
  }
  if (aeTitle.size() > 16) {
    throw DicomError(OwnError::InvalidArgument,
                     QStringLiteral("The %1 \"%2\" is %3 characters long; at most 16 are allowed.")
                         .arg(role, aeTitle)
                         .arg(aeTitle.size()));
  }
  for (QChar c : aeTitle) {
    if (c.unicode() < 0x20 || c.unicode() > 0x7E || c == QLatin1Char('\\')) {
      throw DicomError(OwnError::InvalidArgument,
                       QStringLiteral("The %1 \"%2\" contains a character that an AE title cannot "
                                      "hold (only printable ASCII without backslash).")
                           .arg(role, aeTitle));
    }
  }
}

Endpoint endpointOf(const Peer& archive, const StationIdentity& station) {
  const Endpoint endpoint{archive.host.trimmed(), archive.port.number(), station.aeTitle,
                          archive.aeTitle, station.tls};
  if (endpoint.address.isEmpty()) {
    throw DicomError(OwnError::InvalidArgument,
                     QStringLiteral("No address is given for the peer with AE title \"%1\".")
                         .arg(endpoint.calledAE));
  }
  if (endpoint.port <= 0 || endpoint.port > 65535) {
    throw DicomError(OwnError::InvalidArgument,
                     QStringLiteral("The port %1 of the peer at %2 is outside 1 to 65535.")
                         .arg(endpoint.port)
                         .arg(endpoint.address));
  }
  checkAETitle(endpoint.calledAE, QStringLiteral("called AE title"));
  checkAETitle(endpoint.callingAE, QStringLiteral("calling AE title"));
  return endpoint;
}

}  // namespace dicom::dcmtk
