#pragma once

#include <QByteArray>
#include <QString>

namespace common {

// Appends bytes to a file and returns only once they are on the disk (the
// file synced), creating the file and its folder when missing. False, with
// the reason in error, when any of it failed; what reached the file then
// may be a part of the bytes.
bool appendDurably(const QString& path, const QByteArray& bytes, QString* error = nullptr);

// True when the file can be appended to now (it is opened, and created
// with its folder when missing, but nothing is written); the reason in
// error otherwise.
bool canAppend(const QString& path, QString* error = nullptr);

}  // namespace common
