#include "AppDir.h"

#include <QCoreApplication>
#include <QDir>

namespace common {
namespace {
QString& overrideDirectory() {
  static QString directory;
  return directory;
}
}  // namespace

QString appDirectory() {
  if (!overrideDirectory().isEmpty()) return overrideDirectory();
  return QCoreApplication::applicationDirPath();
}

QString appPath(const QString& relative) {
  return QDir::toNativeSeparators(appDirectory() + QDir::separator() + relative);
}

void setAppDirectoryForTesting(const QString& directory) {
  overrideDirectory() = directory;
}

}  // namespace common
