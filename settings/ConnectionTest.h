#pragma once

#include <QString>

#include "modMain.h"

namespace dicom {
class Toolkit;
}

// The settings dialog's connection test, on the settings as typed (nothing
// is saved): a C-ECHO to the archive, then a C-MOVE of a study that cannot
// exist, to the station, which an archive that does not know the station
// as a move destination answers with 0xA801. Each call obeys the limits of
// every other call and runs off the calling thread (BlockingCall.h).
namespace modMain {

enum class ConnectionVerdict {
  Fine,                // the archive answers and did not refuse the station as a destination
  RefusesAETitle,      // the archive rejects the association (an AE title it does not accept)
  UnknownDestination,  // the archive answers but does not know the station (0xA801)
  NoAnswer,            // nothing listens, or nothing answered within the limits
  TlsFailure,          // the TLS settings cannot be used, or the handshake failed
  Failed,              // anything else
};

struct ConnectionReport {
  ConnectionVerdict verdict;
  QString text;  // in plain words, with what the station was told
};

ConnectionReport TestConnection(dicom::Toolkit& toolkit, const ConnectionSettingsRecord& settings);

}  // namespace modMain
