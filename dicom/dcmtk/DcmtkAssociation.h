#pragma once

// One outgoing association with bounded waiting, shared by the query (find,
// move) and the store. See the comment at the top of DcmtkNet.cpp for how
// the timeouts are applied.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

#include <QString>
#include <string>
#include <vector>

#include "DcmtkNet.h"

namespace dicom::dcmtk {

// The peer as the descriptions name it: AE title "ORTHANC" at 127.0.0.1:4242.
QString peerName(const Endpoint& endpoint);

// Raises OwnError::InvalidArgument for an AE title that cannot be sent
// (empty, longer than 16 characters, backslash or control characters, not
// ASCII); role names the title in the description ("called AE title").
void checkAETitle(const QString& aeTitle, const QString& role);

// Raises OwnError::InvalidArgument for an endpoint that cannot be used:
// empty address, port outside 1..65535, unusable calling or called AE title.
void checkEndpoint(const Endpoint& endpoint);

// A presentation context to propose: one abstract syntax and the transfer
// syntaxes offered for it, in order of preference.
struct ProposedContext {
  std::string abstractSyntax;
  std::vector<std::string> transferSyntaxes;
};

// An established association. The constructor checks the endpoint, resolves
// the address, connects and negotiates, each step bounded by the timeouts;
// any failure raises DicomError and leaves nothing open. The association is
// aborted on destruction unless release() ended it first.
class Association {
 public:
  // purpose says what the association is for, in the descriptions of
  // failures ("The find", "Storing image 1.2.3").
  Association(const Endpoint& endpoint, const Timeouts& timeouts,
              const std::vector<ProposedContext>& contexts, const QString& purpose);
  ~Association();
  Association(const Association&) = delete;
  Association& operator=(const Association&) = delete;

  T_ASC_Association* handle() const { return association_; }
  const Endpoint& endpoint() const { return endpoint_; }
  const Timeouts& timeouts() const { return timeouts_; }
  // The timeout to pass with DIMSE_NONBLOCKING to every DIMSE call.
  int messageTimeout() const { return timeouts_.messageSeconds; }
  // The next message ID for a request on this association.
  DIC_US nextMessageID();

  // The ID of the accepted context for the abstract syntax whose accepted
  // transfer syntax is transferSyntax (any when empty); 0 when there is none.
  T_ASC_PresentationContextID acceptedContext(const std::string& abstractSyntax,
                                              const std::string& transferSyntax = {}) const;

  // Releases the association (bounded); an association the peer does not
  // release properly is aborted. Never raises: the operation itself has
  // already been confirmed by the peer when this is called.
  void release();
  // Aborts the association at once.
  void abort();

  // Aborts the association and returns the DicomError for a failed DIMSE
  // call; a timeout condition names the message timeout.
  DicomError failure(const OFCondition& condition, const QString& context);

 private:
  void close();

  Endpoint endpoint_;
  Timeouts timeouts_;
  T_ASC_Network* network_ = nullptr;
  T_ASC_Association* association_ = nullptr;
};

// The DIMSE status meaning in English, e.g. "refused: out of resources".
QString statusMeaning(std::uint16_t status);

// The Error Comment (0000,0902) of a status detail, empty when there is none.
QString errorComment(DcmDataset* statusDetail);

}  // namespace dicom::dcmtk
