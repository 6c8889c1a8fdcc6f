#pragma once

// DICOM over TLS on DCMTK's dcmtls: the transport layer of the station's
// calls, the receiver's door that runs the handshakes of waiting
// connections without a thread each, and what a failed handshake was about
// in words that name the certificate problem.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dcmlayer.h>

#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "DcmtkAcceptor.h"
#include "DcmtkSockets.h"
#include "dicom/core/Peer.h"

namespace dicom::dcmtk {

// A TLS transport layer for the station in a role (NET_REQUESTOR for its
// calls, NET_ACCEPTOR for its receiver): the non-downgrading BCP 195
// profile, the station's certificate and private key, the trusted
// certificates, and a peer that must present a certificate they verify.
// Raises DicomError (OwnError::TlsSettings) naming the setting and the file
// when one cannot be used (missing, unreadable, not PEM, a key that does not
// belong to the certificate, a certificate expired or not yet valid), and
// in a build whose DCMTK has no TLS (BREVANT_WITH_TLS undefined: the
// Windows cross-build's DCMTK is built without OpenSSL).
std::unique_ptr<DcmTransportLayer> makeTlsLayer(const TlsSettings& tls, T_ASC_NetworkRole role);

// Forgets what an earlier handshake on this thread reported, before a new
// association request.
void clearTlsFailure();

// What made the last TLS handshake on this thread fail, as words naming the
// certificate problem ("the archive's certificate has expired"); peer names
// the other side ("the archive"). With TLS 1.3 the peer verifies the
// station's certificate after the station's side of the handshake is done:
// a connection it then closes or resets before answering the association
// request (condition) is taken for that refusal. Empty when TLS reported
// nothing.
QString tlsFailure(const QString& peer, const OFCondition& condition);

// Sets a socket's send and receive timeouts, which bound a blocking TLS
// handshake.
void setSocketTimeouts(DcmNativeSocketType socket, int seconds);

// The receiver's door with TLS on. The acceptor hands it every connection it
// accepts: the door runs the TLS handshake on the non-blocking socket, step
// by step as bytes arrive, then reads the decrypted association request
// until it is whole. DCMTK, reading the request, takes the connection from
// the door through createConnection(), its handshake done and the request's
// bytes first. A connection that fails its handshake (no certificate, one
// the trusted certificates do not verify, plain TCP) is reported through
// refused and closed. Every call but createConnection() comes from the
// acceptor's thread.
class TlsDoor : public DcmTransportLayer, public Acceptor::Gate {
 public:
  // refused(description, address): one connection turned away, in words.
  TlsDoor(const TlsSettings& tls, std::function<void(const QString&, const QString&)> refused);
  ~TlsDoor() override;
  TlsDoor(const TlsDoor&) = delete;
  TlsDoor& operator=(const TlsDoor&) = delete;

  void opened(sockets::Socket socket) override;
  // As Acceptor::requestState: 1 once the whole request has been read, 0
  // while the handshake or the request is under way, -1 for a connection to
  // drop (reported when its handshake failed).
  int state(sockets::Socket socket, std::uint32_t requestBytes) override;
  // The connection is closed while waiting: forgets it.
  void closed(sockets::Socket socket) override;

  DcmTransportConnection* createConnection(DcmNativeSocketType openSocket,
                                           OFBool useSecureLayer) override;

 private:
  struct Pending;
  int handshake(sockets::Socket socket, Pending& pending);
  int readRequest(Pending& pending, std::uint32_t requestBytes);

  std::unique_ptr<DcmTransportLayer> layer_;  // a DcmTLSTransportLayer
  std::function<void(const QString&, const QString&)> refused_;
  std::mutex mutex_;
  std::map<sockets::Socket, std::unique_ptr<Pending>> pending_;
};

}  // namespace dicom::dcmtk
