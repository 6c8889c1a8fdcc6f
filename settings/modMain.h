#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "dicom/core/Peer.h"

namespace dicom {
class Query;
class Toolkit;
}  // namespace dicom

// The station's connection settings, as texts exactly as typed and stored:
// the five the dialog has always had, and the four of DICOM over TLS. There is one for the whole
// run: the composition root owns it, the settings dialog changes it, and every operation that talks
// to the archive takes from it, when it acts, the typed archive and station values it needs. A port
// that is no number fails there, not here.
struct ConnectionSettingsRecord {
  QString RemoteAET;
  QString RemoteIP;
  QString RemotePort = QStringLiteral("0");
  QString LocAET;
  QString LocPort = QStringLiteral("0");
  // DICOM over TLS on every association: TlsEnabled "0" (or empty) is plain
  // TCP; any other value ("1") turns it on, so that a value site tooling
  // mistyped never falls back to plain TCP. The station's certificate, its
  // private key and the trusted certificates are PEM files; a relative path
  // is taken beside the executable.
  QString TlsEnabled = QStringLiteral("0");
  QString TlsCertificate{};
  QString TlsPrivateKey{};
  QString TlsTrustedCertificates{};

  // The archive: RemoteAET at RemoteIP, port RemotePort.
  dicom::Peer archive() const;
  // This station: LocAET, receiving on LocPort, secured as the TLS
  // settings say (paths made absolute).
  dicom::StationIdentity station() const;

  bool operator==(const ConnectionSettingsRecord&) const = default;
};

namespace modMain {

// The settings file beside the executable.
QString SettingsPath();

// Fills the settings from the settings file (defaults for what is missing).
void LoadConnectionSettings(ConnectionSettingsRecord& settings);

// Writes the five values to the settings file, in the order LocPort,
// RemoteAET, RemotePort, RemoteIP, LocAET, then the TLS keys: each one the
// file already has or whose value is not its default (a station that never
// used TLS keeps its file as it was). Every key is attempted; false when
// any write failed, with the reason in errorText.
bool SaveConnectionSettings(const ConnectionSettingsRecord& settings, QString* errorText = nullptr);

// A new find or move on the archive the settings name, on behalf of the
// station they name, in the study root. The archive's port is read here:
// one that is no number fails before anything is sent.
std::unique_ptr<dicom::Query> NewArchiveQuery(dicom::Toolkit& toolkit,
                                              const ConnectionSettingsRecord& settings);

}  // namespace modMain
