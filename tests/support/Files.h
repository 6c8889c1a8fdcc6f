#pragma once

// Whole files, read or written at once, for the tests that look at what the
// station wrote or put a file of their own in its way.

#include <QFile>

namespace files {

// The file's bytes; empty when there is none or it cannot be read.
inline QByteArray read(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces the file's bytes; false when they could not all be written.
inline bool write(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace files
