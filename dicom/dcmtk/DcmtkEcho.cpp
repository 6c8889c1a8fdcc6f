// C-ECHO to the archive: the first half of the settings dialog's connection
// test (is the archive there, does it accept the station's AE titles, does
// the TLS handshake pass).

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/ofstd/ofstd.h>

#include "DcmtkAssociation.h"

namespace dicom::dcmtk {

void echoArchive(const Query& query, const Timeouts& timeouts) {
  const Endpoint peer = endpointOf(query.archive(), query.station());
  Association association(peer, timeouts, {{echoClass(), identifierSyntaxes()}},
                          QStringLiteral("The echo"),
                          CallLimits{timeouts.messageSeconds, timeouts.findSeconds});
  const QString failed = QStringLiteral("The echo on %1 failed").arg(peerName(peer));
  const T_ASC_PresentationContextID context = association.acceptedContext(UID_VerificationSOPClass);
  if (context == 0) {
    association.abort();
    throw DicomError(OwnError::NoPresentationContext,
                     QStringLiteral("%1: the peer does not accept verification.").arg(failed));
  }
  T_DIMSE_Message message{};
  message.CommandField = DIMSE_C_ECHO_RQ;
  T_DIMSE_C_EchoRQ& request = message.msg.CEchoRQ;
  request.MessageID = association.nextMessageID();
  OFStandard::strlcpy(request.AffectedSOPClassUID, echoClass(), sizeof request.AffectedSOPClassUID);
  request.DataSetType = DIMSE_DATASET_NULL;
  OFCondition cond = association.send(context, message, nullptr);
  if (cond.bad()) throw association.failure(cond, failed);
  Response response;
  cond = association.receive(DIMSE_C_ECHO_RSP, request.MessageID, association.dimseTimeout(),
                             response);
  if (cond.bad()) throw association.failure(cond, failed);
  const std::uint16_t status = response.command.msg.CEchoRSP.DimseStatus;
  if (status != STATUS_Success) {
    association.abort();
    throw statusError(status, failed, response.detail.get());
  }
  association.release();
}

}  // namespace dicom::dcmtk
