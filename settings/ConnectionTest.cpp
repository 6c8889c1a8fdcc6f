#include "ConnectionTest.h"

#include "dicom/core/DicomError.h"
#include "dicom/core/Query.h"
#include "dicom/core/Toolkit.h"

namespace modMain {
namespace {

// A study UID no archive can hold: the UUID-derived root with the nil UUID.
const char* const kImpossibleStudy = "2.25.0";
constexpr std::int32_t kMoveDestinationUnknown = 0xA801;

// "The archive "PACS" at 10.0.0.5:104"; "the archive ..." within a sentence.
QString archiveName(const ConnectionSettingsRecord& settings, bool first = true) {
  return QStringLiteral("%1 archive \"%2\" at %3:%4")
      .arg(first ? QStringLiteral("The") : QStringLiteral("the"))
      .arg(settings.RemoteAET.trimmed(), settings.RemoteIP.trimmed(),
           settings.RemotePort.trimmed());
}

// What a failure of the echo, or of the move's association, says.
ConnectionReport verdictOf(const dicom::Failure& failure,
                           const ConnectionSettingsRecord& settings) {
  const QString archive = archiveName(settings);
  const QString detail = QStringLiteral("\r\n\r\n%1").arg(failure.description);
  switch (failure.number) {
    case dicom::OwnError::AssociationRejected:
      return {ConnectionVerdict::RefusesAETitle,
              QStringLiteral("%1 refuses our AE title: check the archive's AE title and that "
                             "the archive accepts the station's AE title \"%2\".%3")
                  .arg(archive, settings.LocAET.trimmed(), detail)};
    case dicom::OwnError::Timeout:
    case dicom::OwnError::UnknownHost:
      return {ConnectionVerdict::NoAnswer,
              QStringLiteral("%1 gave no answer within the limit.%2").arg(archive, detail)};
    case dicom::OwnError::TlsHandshake:
    case dicom::OwnError::TlsSettings:
      return {ConnectionVerdict::TlsFailure, QStringLiteral("The TLS handshake with %1 failed.%2")
                                                 .arg(archiveName(settings, false), detail)};
    default:
      break;
  }
  // A connection refused at once: nothing listens there.
  if (failure.description.contains(QStringLiteral("Connection refused"), Qt::CaseInsensitive)) {
    return {ConnectionVerdict::NoAnswer,
            QStringLiteral("%1 gave no answer: nothing listens there.%2").arg(archive, detail)};
  }
  return {ConnectionVerdict::Failed,
          QStringLiteral("The test of %1 failed.%2").arg(archiveName(settings, false), detail)};
}

}  // namespace

ConnectionReport TestConnection(dicom::Toolkit& toolkit, const ConnectionSettingsRecord& settings) {
  try {
    NewArchiveQuery(toolkit, settings)->echo();
    std::unique_ptr<dicom::Query> move = NewArchiveQuery(toolkit, settings);
    move->setLevel(dicom::QueryLevel::Study);
    move->setStudyUID(kImpossibleStudy);
    move->move();
  } catch (const std::exception& e) {
    const dicom::Failure failure = dicom::describe(e);
    if (failure.number == kMoveDestinationUnknown) {
      return {ConnectionVerdict::UnknownDestination,
              QStringLiteral("%1 answers, but does not know this station (AE title \"%2\") as a "
                             "move destination: it must know it with this machine's address and "
                             "port %3.\r\n\r\n%4")
                  .arg(archiveName(settings), settings.LocAET.trimmed(), settings.LocPort.trimmed(),
                       failure.description)};
    }
    // Any other status to the move of a study it cannot have: the archive
    // did not refuse the destination (some archives look the study up
    // first, and answer so for a destination they do not know either).
    const bool dimseStatus = failure.number > 0 && failure.number <= 0xFFFF;
    if (!dimseStatus) return verdictOf(failure, settings);
  }
  const bool tls = settings.station().tls.enabled;
  return {ConnectionVerdict::Fine,
          QStringLiteral("%1 is reachable%2, accepts our AE title \"%3\" and did not refuse this "
                         "station as a move destination.")
              .arg(archiveName(settings), tls ? QStringLiteral(" over TLS") : QString(),
                   settings.LocAET.trimmed())};
}

}  // namespace modMain
