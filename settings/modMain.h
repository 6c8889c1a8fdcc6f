#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "dicom/core/Peer.h"

namespace dicom {
class Query;
class Toolkit;
}  // namespace dicom

// The station's five connection settings, as texts exactly as typed and
// stored. There is one for the whole run: the composition root owns it,
// the settings dialog changes it, and every operation that talks to the
// archive takes from it, when it acts, the typed archive and station
// values it needs. A port that is no number fails there, not here.
struct ConnectionSettingsRecord {
  QString RemoteAET;
  QString RemoteIP;
  QString RemotePort = QStringLiteral("0");
  QString LocAET;
  QString LocPort = QStringLiteral("0");

  // The archive: RemoteAET at RemoteIP, port RemotePort.
  dicom::Peer archive() const;
  // This station: LocAET, receiving on LocPort.
  dicom::StationIdentity station() const;

  bool operator==(const ConnectionSettingsRecord&) const = default;
};

namespace modMain {

// The settings file beside the executable.
QString SettingsPath();

// Fills the settings from the settings file (defaults for what is missing).
void LoadConnectionSettings(ConnectionSettingsRecord& settings);

// Writes the five values to the settings file, in the order LocPort,
// RemoteAET, RemotePort, RemoteIP, LocAET. Every key is attempted; false
// when any write failed, with the reason in errorText.
bool SaveConnectionSettings(const ConnectionSettingsRecord& settings, QString* errorText = nullptr);

// A new find or move on the archive the settings name, on behalf of the
// station they name, in the study root. The archive's port is read here:
// one that is no number fails before anything is sent.
std::unique_ptr<dicom::Query> NewArchiveQuery(dicom::Toolkit& toolkit,
                                              const ConnectionSettingsRecord& settings);

}  // namespace modMain
