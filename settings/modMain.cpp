#include "modMain.h"

#include <stdexcept>

#include "common/AppDir.h"
#include "modINI.h"

ConnectionSettingsRecord ConnectionSettings;

namespace modMain {
namespace {
constexpr std::int16_t kBufferSize = 256;
const char* const kSection = "SETTINGS";
}  // namespace

QString SettingsPath() {
  return common::appPath("Settings.ini");
}

void LoadConnectionSettings() {
  using modINI::ReadIniString;
  ConnectionSettings.RemotePort =
      ReadIniString(kSection, "RemotePort", "0", SettingsPath(), kBufferSize);
  ConnectionSettings.RemoteAET =
      ReadIniString(kSection, "RemoteAET", "", SettingsPath(), kBufferSize);
  ConnectionSettings.RemoteIP =
      ReadIniString(kSection, "RemoteIP", "", SettingsPath(), kBufferSize);
  ConnectionSettings.LocAET = ReadIniString(kSection, "LocAET", "", SettingsPath(), kBufferSize);
  ConnectionSettings.LocPort = ReadIniString(kSection, "LocPort", "0", SettingsPath(), kBufferSize);
}

bool SaveConnectionSettings(QString* errorText) {
  const std::pair<const char*, const QString*> keys[] = {
      {"LocPort", &ConnectionSettings.LocPort},       {"RemoteAET", &ConnectionSettings.RemoteAET},
      {"RemotePort", &ConnectionSettings.RemotePort}, {"RemoteIP", &ConnectionSettings.RemoteIP},
      {"LocAET", &ConnectionSettings.LocAET},
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

std::int32_t PortNumber(const QString& text, const char* settingName) {
  bool ok = false;
  const int value = text.trimmed().toInt(&ok, 10);
  if (!ok) {
    throw std::invalid_argument(
        QString("The setting %1 \"%2\" is not a number.").arg(settingName, text).toStdString());
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace modMain
