#pragma once

#include <QString>
#include <cstdint>

// The settings file: a small INI store that reads and writes single keys.
//
// Form: "[section]" lines, "key=value" lines, comment lines starting with ';'
// or '#'. Section and key names compare without regard to case. A write
// changes only its own key and keeps every other line (other sections,
// keys, comments, blank lines, the file's line ends) byte for byte as it
// was, whatever its encoding; the written line is UTF-8. A value is
// read back exactly as written: a value with leading or trailing blanks, or
// one that starts with a double quote, is written in double quotes, and one
// pair of enclosing quotes is removed on reading. '=', ';' and '#' inside a
// value are part of it.
namespace modINI {

// The value of key in section, or defaultValue when the file, the section or
// the key is missing. A key present with an empty value gives empty text.
// At most bufferSize - 1 characters are returned (the size counts a
// terminating NUL, as the callers' 256-character buffer does).
QString ReadIniString(const QString& section, const QString& key, const QString& defaultValue,
                      const QString& filePath, std::int16_t bufferSize);

// Writes one key, creating the file and the section when they are missing
// (a new key goes at the end of its section). The file is replaced
// atomically, so a crash never leaves it half written; only when its folder
// refuses a temporary file is it written in place. Returns false when the
// file could not be written, or exists but could not be read (it is then
// left alone); errorText then says why.
bool WriteIniString(const QString& section, const QString& key, const QString& value,
                    const QString& filePath, QString* errorText = nullptr);

}  // namespace modINI
