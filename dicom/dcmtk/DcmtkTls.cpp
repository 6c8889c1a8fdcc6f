// DICOM over TLS; see DcmtkTls.h.

#include "DcmtkTls.h"

#include <dcmtk/dcmnet/cond.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <sys/time.h>
#endif

#include <QFileInfo>
#include <algorithm>
#include <cstring>

#include "DcmtkAcceptor.h"
#include "dicom/core/DicomError.h"

namespace dicom::dcmtk {

void setSocketTimeouts(DcmNativeSocketType socket, int seconds) {
#ifdef _WIN32
  const DWORD value = static_cast<DWORD>(std::max(1, seconds)) * 1000;
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
#else
  timeval value{};
  value.tv_sec = std::max(1, seconds);
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
#endif
}

}  // namespace dicom::dcmtk

#ifdef BREVANT_WITH_TLS

#include <dcmtk/dcmtls/tlslayer.h>
#include <dcmtk/dcmtls/tlstrans.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace dicom::dcmtk {
namespace {

// The first verification error of the peer's certificate in the handshake
// this thread runs; X509_V_OK when there was none.
thread_local int verifyError = X509_V_OK;

int recordVerification(int ok, X509_STORE_CTX* context) {
  if (ok == 0 && verifyError == X509_V_OK) verifyError = X509_STORE_CTX_get_error(context);
  return ok;
}

DicomError settingError(const char* key, const QString& path, const QString& problem) {
  return DicomError(OwnError::TlsSettings,
                    QStringLiteral("TLS cannot be used: the setting %1 (\"%2\") %3.")
                        .arg(QLatin1String(key), path, problem));
}

// A file the setting names must be there and readable before OpenSSL's
// less telling errors come into it.
void checkReadable(const char* key, const QString& path) {
  if (path.trimmed().isEmpty()) throw settingError(key, path, QStringLiteral("names no file"));
  const QFileInfo info(path);
  if (!info.exists())
    throw settingError(key, path, QStringLiteral("names a file that is not there"));
  if (!info.isFile() || !info.isReadable()) {
    throw settingError(key, path, QStringLiteral("names a file that cannot be read"));
  }
}

// The station's own certificate in its validity period: an archive would
// refuse it with a less telling alert.
void checkValidity(const QString& path) {
  X509* certificate =
      DcmTLSTransportLayer::loadCertificateFile(path.toLocal8Bit().constData(), DCF_Filetype_PEM);
  if (certificate == nullptr) {
    throw settingError("TlsCertificate", path, QStringLiteral("holds no PEM certificate"));
  }
  const int notBefore = X509_cmp_current_time(X509_get0_notBefore(certificate));
  const int notAfter = X509_cmp_current_time(X509_get0_notAfter(certificate));
  X509_free(certificate);
  if (notAfter < 0) {
    throw settingError("TlsCertificate", path,
                       QStringLiteral("names the station's certificate, which has expired"));
  }
  if (notBefore > 0) {
    throw settingError("TlsCertificate", path,
                       QStringLiteral("names the station's certificate, which is not yet valid"));
  }
}

void initializeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { DcmTLSTransportLayer::initializeOpenSSL(); });
}

bool isOneOf(int reason, std::initializer_list<int> reasons) {
  return std::find(reasons.begin(), reasons.end(), reason) != reasons.end();
}

// The words for a verification error of the peer's certificate.
QString verificationWords(int error, const QString& peer) {
  switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return QStringLiteral("%1's certificate has expired").arg(peer);
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return QStringLiteral("%1's certificate is not yet valid").arg(peer);
    default:
      return QStringLiteral(
                 "%1's certificate is not trusted (%2; it must be signed by one of "
                 "the trusted certificates)")
          .arg(peer, QString::fromLatin1(X509_verify_cert_error_string(error)));
  }
}

// The words for an error OpenSSL queued on this thread.
QString openSslWords(unsigned long error, const QString& peer) {
  const int reason = ERR_GET_REASON(error);
  const QString text = QString::fromLatin1(ERR_reason_error_string(error));
  if (reason == SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE) {
    return QStringLiteral("%1 presented no certificate").arg(peer);
  }
  if (isOneOf(reason, {SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED})) {
    return QStringLiteral("%1 refused the station's certificate as expired (%2)").arg(peer, text);
  }
  if (isOneOf(reason,
              {SSL_R_TLSV1_ALERT_UNKNOWN_CA, SSL_R_SSLV3_ALERT_BAD_CERTIFICATE,
               SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN, SSL_R_TLSV1_ALERT_DECRYPT_ERROR,
               SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE, SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED,
               SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED})) {
    return QStringLiteral("%1 does not trust the station's certificate (%2)").arg(peer, text);
  }
  if (isOneOf(reason, {SSL_R_WRONG_VERSION_NUMBER, SSL_R_HTTP_REQUEST, SSL_R_HTTPS_PROXY_REQUEST,
                       SSL_R_PACKET_LENGTH_TOO_LONG, SSL_R_UNKNOWN_PROTOCOL,
                       SSL_R_RECORD_LENGTH_MISMATCH})) {
    return QStringLiteral("%1 does not speak TLS (%2)").arg(peer, text);
  }
  if (isOneOf(reason, {SSL_R_NO_SHARED_CIPHER, SSL_R_UNSUPPORTED_PROTOCOL,
                       SSL_R_TLSV1_ALERT_PROTOCOL_VERSION, SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE,
                       SSL_R_NO_PROTOCOLS_AVAILABLE})) {
    return QStringLiteral("%1 shares no TLS version or cipher suite of the BCP 195 profile (%2)")
        .arg(peer, text);
  }
  return QString();  // nothing that names the problem
}

// What a failed handshake of this SSL connection was about.
QString failureOf(SSL* ssl, const QString& peer) {
  const long verify = SSL_get_verify_result(ssl);
  if (verify != X509_V_OK) return verificationWords(static_cast<int>(verify), peer);
  const unsigned long error = ERR_peek_last_error();
  const QString words = error != 0 ? openSslWords(error, peer) : QString();
  if (!words.isEmpty()) return words;
  if (error != 0) {
    return QStringLiteral("with %1: %2")
        .arg(peer, QString::fromLatin1(ERR_reason_error_string(error)));
  }
  return QStringLiteral("%1 closed the connection during the handshake").arg(peer);
}

// A TLS connection that sends at once and acknowledges at once (see
// sockets::promptLayer). The receiver's connections come with their
// handshake done and their first bytes read already: those are read again
// first. Their SSL objects read ahead (see TlsDoor::opened): records already
// read from the socket but not yet decrypted count as data waiting, which
// DCMTK's own test misses.
class PrefixedConnection : public DcmTransportConnection {
 public:
  PrefixedConnection(DcmNativeSocketType socket, SSL* ssl, std::vector<char> prefix)
      : DcmTransportConnection(socket),
        inner_(std::make_unique<DcmTLSConnection>(socket, ssl)),
        ssl_(ssl),
        prefix_(std::move(prefix)) {
    sockets::sendAtOnce(socket);
  }

  OFCondition serverSideHandshake() override { return EC_Normal; }
  OFCondition clientSideHandshake() override { return inner_->clientSideHandshake(); }
  OFCondition renegotiate(const char* suite) override { return inner_->renegotiate(suite); }
  ssize_t read(void* buffer, size_t bytes) override {
    if (taken_ >= prefix_.size()) {
      // A record read ahead is decrypted without a read of the socket: a
      // 128 KB PDU takes eight reads of a record each, one of the socket.
      if (ssl_ == nullptr || SSL_has_pending(ssl_) != 1) sockets::acknowledgeAtOnce(getSocket());
      return inner_->read(buffer, bytes);
    }
    const size_t count = std::min(bytes, prefix_.size() - taken_);
    std::memcpy(buffer, prefix_.data() + taken_, count);
    taken_ += count;
    return static_cast<ssize_t>(count);
  }
  ssize_t write(void* buffer, size_t bytes) override { return inner_->write(buffer, bytes); }
  void close() override {
    ssl_ = nullptr;  // freed by the inner connection
    inner_->close();
    setSocket(DCMNET_INVALID_SOCKET);
  }
  void closeTransportConnection() override {
    ssl_ = nullptr;
    inner_->closeTransportConnection();
    setSocket(DCMNET_INVALID_SOCKET);
  }
  unsigned long getPeerCertificateLength() override { return inner_->getPeerCertificateLength(); }
  unsigned long getPeerCertificate(void* buffer, unsigned long size) override {
    return inner_->getPeerCertificate(buffer, size);
  }
  OFBool networkDataAvailable(int timeout) override {
    return taken_ < prefix_.size() || (ssl_ != nullptr && SSL_has_pending(ssl_) == 1) ||
           inner_->networkDataAvailable(timeout);
  }
  OFBool isTransparentConnection() override { return OFFalse; }
  OFString& dumpConnectionParameters(OFString& text) override {
    return inner_->dumpConnectionParameters(text);
  }

 private:
  std::unique_ptr<DcmTLSConnection> inner_;
  SSL* ssl_;
  std::vector<char> prefix_;
  size_t taken_ = 0;
};

// The layer of the station's calls: prompt connections, their handshake
// made by DCMTK.
class CallerLayer : public DcmTLSTransportLayer {
 public:
  using DcmTLSTransportLayer::DcmTLSTransportLayer;
  DcmTransportConnection* createConnection(DcmNativeSocketType socket, OFBool secure) override {
    if (!secure) return DcmTLSTransportLayer::createConnection(socket, secure);
    SSL* ssl = SSL_new(getNativeHandle());
    if (ssl == nullptr) return nullptr;
    SSL_set_fd(ssl, static_cast<int>(socket));
    return new PrefixedConnection(socket, ssl, {});
  }
};

}  // namespace

std::unique_ptr<DcmTransportLayer> makeTlsLayer(const TlsSettings& tls, T_ASC_NetworkRole role) {
  initializeOnce();
  checkReadable("TlsCertificate", tls.certificate);
  checkReadable("TlsPrivateKey", tls.privateKey);
  checkReadable("TlsTrustedCertificates", tls.trustedCertificates);
  checkValidity(tls.certificate);
  auto layer = role == NET_REQUESTOR
                   ? std::make_unique<CallerLayer>(role, nullptr, OFFalse)
                   : std::make_unique<DcmTLSTransportLayer>(role, nullptr, OFFalse);
  if (!*layer || layer->setTLSProfile(TSP_Profile_BCP195_ND).bad() ||
      layer->activateCipherSuites().bad()) {
    throw DicomError(OwnError::TlsSettings,
                     QStringLiteral("TLS cannot be used: OpenSSL cannot set up the BCP 195 "
                                    "profile."));
  }
  const QByteArray key = tls.privateKey.toLocal8Bit();
  const QByteArray certificate = tls.certificate.toLocal8Bit();
  const QByteArray trusted = tls.trustedCertificates.toLocal8Bit();
  if (layer->setPrivateKeyFile(key.constData(), DCF_Filetype_PEM).bad()) {
    throw settingError("TlsPrivateKey", tls.privateKey,
                       QStringLiteral("holds no PEM private key that can be read without a "
                                      "password"));
  }
  if (layer->setCertificateFile(certificate.constData(), DCF_Filetype_PEM).bad()) {
    throw settingError("TlsCertificate", tls.certificate,
                       QStringLiteral("holds no PEM certificate"));
  }
  if (!layer->checkPrivateKeyMatchesCertificate()) {
    throw settingError("TlsPrivateKey", tls.privateKey,
                       QStringLiteral("is not the private key of the certificate TlsCertificate"));
  }
  if (layer->addTrustedCertificateFile(trusted.constData(), DCF_Filetype_PEM).bad()) {
    throw settingError("TlsTrustedCertificates", tls.trustedCertificates,
                       QStringLiteral("holds no PEM certificate"));
  }
  layer->setCertificateVerification(DCV_requireCertificate);
  SSL_CTX_set_verify(layer->getNativeHandle(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                     recordVerification);
  return layer;
}

void clearTlsFailure() {
  verifyError = X509_V_OK;
  ERR_clear_error();
}

QString tlsFailure(const QString& peer, const OFCondition& condition) {
  if (verifyError != X509_V_OK) return verificationWords(verifyError, peer);
  const unsigned long error = ERR_peek_last_error();
  const QString words = error != 0 ? openSslWords(error, peer) : QString();
  if (!words.isEmpty()) return words;
  const QString text = QString::fromLatin1(condition.text());
  const bool closedAfterHandshake =
      condition.module() == OFM_dcmnet &&
      (condition == DUL_PEERABORTEDASSOCIATION || condition == DUL_NETWORKCLOSED ||
       text.contains(QStringLiteral("reset by peer")) ||
       text.contains(QStringLiteral("Broken pipe")));
  if (!closedAfterHandshake) {
    return error == 0 ? QString()
                      : QStringLiteral("with %1: %2")
                            .arg(peer, QString::fromLatin1(ERR_reason_error_string(error)));
  }
  return QStringLiteral(
             "%1 closed the connection right after the TLS handshake, before "
             "answering: it does not trust the station's certificate (TlsCertificate), "
             "or finds it expired or not yet valid (%2)")
      .arg(peer, text);
}

// ---------------------------------------------------------------------------
// TlsDoor

struct TlsDoor::Pending {
  SSL* ssl = nullptr;
  bool established = false;
  std::vector<char> request;  // the decrypted bytes read so far
  ~Pending() {
    if (ssl != nullptr) SSL_free(ssl);
  }
};

TlsDoor::TlsDoor(const TlsSettings& tls,
                 std::function<void(const QString&, const QString&)> refused)
    : layer_(makeTlsLayer(tls, NET_ACCEPTOR)), refused_(std::move(refused)) {}

TlsDoor::~TlsDoor() = default;

void TlsDoor::opened(sockets::Socket socket) {
  auto pending = std::make_unique<Pending>();
  pending->ssl = SSL_new(static_cast<DcmTLSTransportLayer&>(*layer_).getNativeHandle());
  if (pending->ssl == nullptr) return;  // state() drops the connection
  SSL_set_fd(pending->ssl, static_cast<int>(socket));
  SSL_set_accept_state(pending->ssl);
  // An archive's objects arrive as records of 16 KB: read one at a time,
  // each costs two reads of the socket (its header, then its body). Read
  // ahead, one read takes what has come, up to 128 KB.
  SSL_set_read_ahead(pending->ssl, 1);
  SSL_set_default_read_buffer_len(pending->ssl, 128 * 1024);
  std::lock_guard lock(mutex_);
  pending_[socket] = std::move(pending);
}

int TlsDoor::state(sockets::Socket socket, std::uint32_t requestBytes) {
  Pending* pending = nullptr;
  {
    std::lock_guard lock(mutex_);
    const auto it = pending_.find(socket);
    if (it == pending_.end()) return -1;
    pending = it->second.get();
  }
  if (!pending->established) {
    const int step = handshake(socket, *pending);
    if (step <= 0) return step;
  }
  return readRequest(*pending, requestBytes);
}

// One step of the handshake: 1 when it is done, 0 while it waits for the
// peer, -1 (reported) when it failed.
int TlsDoor::handshake(sockets::Socket socket, Pending& pending) {
  ERR_clear_error();
  const int result = SSL_do_handshake(pending.ssl);
  if (result == 1) {
    pending.established = true;
    return 1;
  }
  const int error = SSL_get_error(pending.ssl, result);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return 0;
  const QString address = sockets::peerAddress(socket);
  refused_(QStringLiteral("The station refused a TLS connection from %1: %2.")
               .arg(address, failureOf(pending.ssl, QStringLiteral("the sender"))),
           address);
  return -1;
}

// Reads the decrypted association request as far as it has come: 1 when
// it is whole, 0 while it is not, -1 for anything else or one too large.
int TlsDoor::readRequest(Pending& pending, std::uint32_t requestBytes) {
  char buffer[16384];
  for (;;) {
    const int state =
        Acceptor::requestComplete(reinterpret_cast<const unsigned char*>(pending.request.data()),
                                  pending.request.size(), requestBytes);
    if (state != 0) return state;
    const int got = SSL_read(pending.ssl, buffer, sizeof buffer);
    if (got <= 0) {
      const int error = SSL_get_error(pending.ssl, got);
      return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
    }
    pending.request.insert(pending.request.end(), buffer, buffer + got);
  }
}

void TlsDoor::closed(sockets::Socket socket) {
  std::lock_guard lock(mutex_);
  pending_.erase(socket);
}

DcmTransportConnection* TlsDoor::createConnection(DcmNativeSocketType openSocket, OFBool) {
  std::unique_ptr<Pending> pending;
  {
    std::lock_guard lock(mutex_);
    const auto it = pending_.find(openSocket);
    if (it == pending_.end()) return nullptr;  // no handshake: never plain TCP
    pending = std::move(it->second);
    pending_.erase(it);
  }
  if (!pending->established) return nullptr;
  SSL* ssl = pending->ssl;
  pending->ssl = nullptr;
  return new PrefixedConnection(openSocket, ssl, std::move(pending->request));
}

}  // namespace dicom::dcmtk

#else  // no TLS in this build

namespace dicom::dcmtk {
namespace {
DicomError noTls() {
  return DicomError(OwnError::TlsSettings,
                    QStringLiteral("TLS cannot be used: this build of the station has no TLS "
                                   "(its DCMTK was built without OpenSSL)."));
}
}  // namespace

std::unique_ptr<DcmTransportLayer> makeTlsLayer(const TlsSettings&, T_ASC_NetworkRole) {
  throw noTls();
}
void clearTlsFailure() {}
QString tlsFailure(const QString&, const OFCondition&) {
  return QString();
}
struct TlsDoor::Pending {};
TlsDoor::TlsDoor(const TlsSettings&, std::function<void(const QString&, const QString&)>) {
  throw noTls();
}
TlsDoor::~TlsDoor() = default;
void TlsDoor::opened(sockets::Socket) {}
int TlsDoor::state(sockets::Socket, std::uint32_t) {
  return -1;
}
void TlsDoor::closed(sockets::Socket) {}
DcmTransportConnection* TlsDoor::createConnection(DcmNativeSocketType, OFBool) {
  return nullptr;
}
}  // namespace dicom::dcmtk

#endif
