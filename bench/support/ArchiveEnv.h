#pragma once

// The KEY=VALUE lines that tools/archive.sh start writes to archive.env.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <map>

namespace bench {

inline std::map<QString, QString> readEnv(const QString& path) {
  std::map<QString, QString> values;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return values;
  for (const QByteArray& line : file.readAll().split('\n')) {
    const int eq = line.indexOf('=');
    if (eq > 0)
      values[QString::fromUtf8(line.left(eq))] = QString::fromUtf8(line.mid(eq + 1)).trimmed();
  }
  return values;
}

}  // namespace bench
