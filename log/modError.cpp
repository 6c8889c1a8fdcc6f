#include "modError.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <cstdio>

#include "common/AppDir.h"

namespace modError {

QString LogPath() {
  return common::appPath(QString("Logs") + QDir::separator() + "Error.log");
}

QString TimeStamp() {
  const QDateTime now = QDateTime::currentDateTime();
  const QLocale locale = QLocale::system();
  return locale.toString(now.date(), QLocale::ShortFormat) + ' ' +
         locale.toString(now.time(), QLocale::LongFormat);
}

QString FormatRecord(const QString& timeStamp, std::int32_t errorNumber, const QString& description,
                     const QString& procedureLabel) {
  return timeStamp + " - " + QString::number(errorNumber) + " - " + description + " - " +
         procedureLabel;
}

bool LogError(std::int32_t errorNumber, const QString& description,
              const QString& procedureLabel) noexcept {
  QByteArray record;
  try {
    record =
        (FormatRecord(TimeStamp(), errorNumber, description, procedureLabel) + "\r\n").toUtf8();
    const QString directory = common::appPath("Logs");
    bool written = false;
    if (QDir().mkpath(directory)) {
      QFile file(LogPath());
      if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        written = file.write(record) == record.size() && file.flush();
        file.close();
      }
    }
    if (written) return true;
  } catch (...) {
    // Fall through to standard error: an error handler must never fail itself.
  }
  std::fputs("Brevant: the error log could not be written; the failure was: ", stderr);
  std::fwrite(record.constData(), 1, static_cast<std::size_t>(record.size()), stderr);
  std::fflush(stderr);
  return false;
}

}  // namespace modError
