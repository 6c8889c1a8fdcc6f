#pragma once

#include <QString>
#include <cstdint>

// The error log: one line per failed network command in Logs/Error.log
// beside the executable.
namespace modError {

// Appends "time - number - description - label" and a CR LF. The Logs
// directory is created on first use. Never throws: when the log cannot be
// written (Logs is a file, Error.log a folder, a full disk), the record goes
// to standard error instead, and false tells the caller, whose message must
// then not send the operator to the log.
bool LogError(std::int32_t errorNumber, const QString& description,
              const QString& procedureLabel) noexcept;

// The record as written, without the line end (for a given time stamp).
QString FormatRecord(const QString& timeStamp, std::int32_t errorNumber, const QString& description,
                     const QString& procedureLabel);

// The current local date and time in the locale's short date and long time.
QString TimeStamp();

QString LogPath();

}  // namespace modError
