#include "Durable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace common {
namespace {

bool open(QFile& file, QString* error) {
  if (!QDir().mkpath(QFileInfo(file.fileName()).absolutePath())) {
    if (error) *error = QString("its folder cannot be created");
    return false;
  }
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
    if (error) *error = file.errorString();
    return false;
  }
  return true;
}

bool sync(QFile& file) {
  if (!file.flush()) return false;
#ifdef _WIN32
  return _commit(file.handle()) == 0;
#else
  return ::fsync(file.handle()) == 0;
#endif
}

}  // namespace

bool appendDurably(const QString& path, const QByteArray& bytes, QString* error) {
  QFile file(path);
  if (!open(file, error)) return false;
  if (file.write(bytes) != bytes.size() || !sync(file)) {
    if (error) *error = file.errorString();
    return false;
  }
  return true;
}

bool canAppend(const QString& path, QString* error) {
  QFile file(path);
  return open(file, error);
}

}  // namespace common
