#include "modMain.h"

#include <QDir>
#include <tuple>
#include <vector>

#include "common/AppDir.h"
#include "dicom/core/Toolkit.h"
#include "modINI.h"

dicom::Peer ConnectionSettingsRecord::archive() const {
  return dicom::Peer{RemoteAET, RemoteIP, dicom::Port(RemotePort, "RemotePort")};
}

namespace {
QString besideExecutable(const QString& path) {
  const QString trimmed = path.trimmed();
  if (trimmed.isEmpty() || QDir::isAbsolutePath(trimmed)) return trimmed;
  return common::appPath(trimmed);
}
}  // namespace

dicom::StationIdentity ConnectionSettingsRecord::station() const {
  const QString enabled = TlsEnabled.trimmed();
  const dicom::TlsSettings tls{!enabled.isEmpty() && enabled != "0",
                               besideExecutable(TlsCertificate), besideExecutable(TlsPrivateKey),
                               besideExecutable(TlsTrustedCertificates)};
  return dicom::StationIdentity{LocAET, dicom::Port(LocPort, "LocPort"), tls};
}

namespace modMain {
namespace {
constexpr std::int16_t kBufferSize = 256;
const char* const kSection = "SETTINGS";

QString read(const char* key, const char* defaultValue) {
  return modINI::ReadIniString(kSection, key, defaultValue, SettingsPath(), kBufferSize);
}
}  // namespace

QString SettingsPath() {
  return common::appPath("Settings.ini");
}

void LoadConnectionSettings(ConnectionSettingsRecord& settings) {
  settings.RemotePort = read("RemotePort", "0");
  settings.RemoteAET = read("RemoteAET", "");
  settings.RemoteIP = read("RemoteIP", "");
  settings.LocAET = read("LocAET", "");
  settings.LocPort = read("LocPort", "0");
  settings.TlsEnabled = read("TlsEnabled", "0");
  settings.TlsCertificate = read("TlsCertificate", "");
  settings.TlsPrivateKey = read("TlsPrivateKey", "");
  settings.TlsTrustedCertificates = read("TlsTrustedCertificates", "");
}

bool SaveConnectionSettings(const ConnectionSettingsRecord& settings, QString* errorText) {
  const std::pair<const char*, const QString*> keys[] = {
      {"LocPort", &settings.LocPort},       {"RemoteAET", &settings.RemoteAET},
      {"RemotePort", &settings.RemotePort}, {"RemoteIP", &settings.RemoteIP},
      {"LocAET", &settings.LocAET},
  };
  const std::tuple<const char*, const QString*, const char*> tlsKeys[] = {
      {"TlsEnabled", &settings.TlsEnabled, "0"},
      {"TlsCertificate", &settings.TlsCertificate, ""},
      {"TlsPrivateKey", &settings.TlsPrivateKey, ""},
      {"TlsTrustedCertificates", &settings.TlsTrustedCertificates, ""},
  };
  std::vector<std::pair<const char*, const QString*>> written(std::begin(keys), std::end(keys));
  for (const auto& [key, value, byDefault] : tlsKeys) {
    const QString missing = QStringLiteral("\x01");
    if (*value != QLatin1String(byDefault) || read(key, "\x01") != missing) {
      written.emplace_back(key, value);
    }
  }
  bool ok = true;
  for (const auto& [key, value] : written) {
    QString error;
    if (!modINI::WriteIniString(kSection, key, *value, SettingsPath(), &error)) {
      if (ok && errorText) *errorText = error;
      ok = false;
    }
  }
  return ok;
}

std::unique_ptr<dicom::Query> NewArchiveQuery(dicom::Toolkit& toolkit,
                                              const ConnectionSettingsRecord& settings) {
  const dicom::Peer archive = settings.archive();
  archive.port.number();
  std::unique_ptr<dicom::Query> query = toolkit.newQuery(archive, settings.station());
  query->setRoot(dicom::QueryRoot::Study);
  return query;
}

}  // namespace modMain
