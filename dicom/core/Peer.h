#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace dicom {

// A TCP port as configured: the text it was given (shown, stored and saved
// unchanged) and the number it stands for, read once. A text that is no
// number is kept as it is and fails where the port is used.
class Port {
 public:
  // settingName names the port in the failure ("RemotePort").
  explicit Port(const QString& text = QStringLiteral("0"), QString settingName = QString());

  const QString& text() const { return text_; }
  // The port as a signed 32-bit number; throws std::invalid_argument naming
  // the setting when the text is not one.
  std::int32_t number() const;

  bool operator==(const Port& other) const { return text_ == other.text_; }

 private:
  QString text_;
  QString settingName_;
  std::optional<std::int32_t> number_;
};

// The remote node the station works with: the archive it searches, moves
// studies from and stores relabelled images on.
struct Peer {
  QString aeTitle;  // the called AE title
  QString host;     // name or address
  Port port;
};

// This station on the network: its AE title (the calling AE title of every
// call, and the destination of every move) and the port it receives on.
struct StationIdentity {
  QString aeTitle;
  Port port;
};

}  // namespace dicom
