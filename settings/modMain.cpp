#include "modMain.h"

#include <stdexcept>

#include "common/AppDir.h"
#include "modINI.h"

PortSetting::PortSetting(const QString& text) : text_(text) {
  bool ok = false;
  const int value = text.trimmed().toInt(&ok, 10);
  if (ok) number_ = static_cast<std::int32_t>(value);
}

std::int32_t PortSetting::number(const char* settingName) const {
  if (!number_) {
    throw std::invalid_argument(
        QString("The setting %1 \"%2\" is not a number.").arg(settingName, text_).toStdString());
  }
  return *number_;
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
      {"LocPort", &settings.LocPort.text()},
      {"RemoteAET", &settings.RemoteAET},
      {"RemotePort", &settings.RemotePort.text()},
      {"RemoteIP", &settings.RemoteIP},
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

}  // namespace modMain
