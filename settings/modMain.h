#pragma once

#include <QString>
#include <cstdint>
#include <optional>

// A port setting: the text as the operator typed it (it is shown, stored and
// saved unchanged) and, read once when the text is loaded or applied, the
// number it stands for. A text that is no number is held as it is and fails
// where the port is used.
class PortSetting {
 public:
  PortSetting(const QString& text = QStringLiteral("0"));  // NOLINT: a port is set from its text

  const QString& text() const { return text_; }
  // The port as a signed 32-bit number; throws std::invalid_argument naming
  // the setting when the text is not one.
  std::int32_t number(const char* settingName) const;

  bool operator==(const PortSetting& other) const { return text_ == other.text_; }

 private:
  QString text_;
  std::optional<std::int32_t> number_;
};

// The station's five connection settings. There is one for the whole run:
// the composition root owns it and hands it to the windows and to the
// operations that talk to the remote node, which read it when they act.
struct ConnectionSettingsRecord {
  QString RemoteAET;
  QString RemoteIP;
  PortSetting RemotePort;
  QString LocAET;
  PortSetting LocPort;
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

}  // namespace modMain
