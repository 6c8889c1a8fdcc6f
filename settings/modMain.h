#pragma once

#include <QString>
#include <cstdint>

// The station's five connection settings, process-wide. All five are text,
// the ports too: a port is converted to a number only where it is used.
struct ConnectionSettingsRecord {
  QString RemoteAET;
  QString RemoteIP;
  QString RemotePort;
  QString LocAET;
  QString LocPort;
};

extern ConnectionSettingsRecord ConnectionSettings;

namespace modMain {

// The settings file beside the executable.
QString SettingsPath();

// Fills ConnectionSettings from the settings file (defaults for what is missing).
void LoadConnectionSettings();

// Writes the five values of ConnectionSettings to the settings file, in the
// order LocPort, RemoteAET, RemotePort, RemoteIP, LocAET. Every key is
// attempted; false when any write failed, with the reason in errorText.
bool SaveConnectionSettings(QString* errorText = nullptr);

// A port setting as a signed 32-bit number; throws std::invalid_argument
// with a readable message when the text is not one.
std::int32_t PortNumber(const QString& text, const char* settingName);

}  // namespace modMain
