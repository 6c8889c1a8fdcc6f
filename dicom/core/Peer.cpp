#include "Peer.h"

#include <stdexcept>

namespace dicom {

Port::Port(const QString& text, QString settingName)
    : text_(text), settingName_(std::move(settingName)) {
  bool ok = false;
  const int value = text.trimmed().toInt(&ok, 10);
  if (ok) number_ = static_cast<std::int32_t>(value);
}

std::int32_t Port::number() const {
  if (!number_) {
    const QString name = settingName_.isEmpty() ? QStringLiteral("port") : settingName_;
    throw std::invalid_argument(
        QString("The setting %1 \"%2\" is not a number.").arg(name, text_).toStdString());
  }
  return *number_;
}

}  // namespace dicom
