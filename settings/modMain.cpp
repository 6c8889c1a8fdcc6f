#include "modMain.h"

#include "common/AppDir.h"
#include "dicom/core/Toolkit.h"
#include "modINI.h"

dicom::Peer ConnectionSettingsRecord::archive() const {
  return dicom::Peer{RemoteAET, RemoteIP, dicom::Port(RemotePort, "RemotePort")};
}

dicom::StationIdentity ConnectionSettingsRecord::station() const {
  return dicom::StationIdentity{LocAET, dicom::Port(LocPort, "LocPort")};
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
}

bool SaveConnectionSettings(const ConnectionSettingsRecord& settings, QString* errorText) {
  const std::pair<const char*, const QString*> keys[] = {
      {"LocPort", &settings.LocPort},       {"RemoteAET", &settings.RemoteAET},
      {"RemotePort", &settings.RemotePort}, {"RemoteIP", &settings.RemoteIP},
      {"LocAET", &settings.LocAET},
  };
  bool ok = true;
  for (const auto& [key, value] : keys) {
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
