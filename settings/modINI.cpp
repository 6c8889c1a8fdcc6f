#include "modINI.h"

#include <QFile>
#include <QSaveFile>
#include <QStringList>

namespace modINI {
namespace {

#ifdef Q_OS_WIN
const char* const kNativeLineEnd = "\r\n";
#else
const char* const kNativeLineEnd = "\n";
#endif

struct IniText {
  QStringList lines;
  QString lineEnd = kNativeLineEnd;
  bool endsWithLineEnd = true;
};

bool readLines(const QString& filePath, IniText& text) {
  QFile file(filePath);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QString content = QString::fromUtf8(file.readAll());
  if (content.contains("\r\n")) text.lineEnd = "\r\n";
  QString normalised = content;
  normalised.replace("\r\n", "\n");
  text.lines = normalised.split('\n');
  text.endsWithLineEnd = normalised.endsWith('\n') || normalised.isEmpty();
  if (text.endsWithLineEnd && !text.lines.isEmpty()) text.lines.removeLast();
  return true;
}

// The section name of a "[name]" line, or a null string for any other line.
QString sectionOf(const QString& line) {
  const QString t = line.trimmed();
  if (t.size() >= 2 && t.startsWith('[') && t.endsWith(']'))
    return t.mid(1, t.size() - 2).trimmed();
  return QString();
}

bool isComment(const QString& line) {
  const QString t = line.trimmed();
  return t.startsWith(';') || t.startsWith('#');
}

// Splits a "key=value" line; false for lines that are not one.
bool splitKey(const QString& line, QString& key, QString& rawValue) {
  if (isComment(line)) return false;
  const qsizetype eq = line.indexOf('=');
  if (eq <= 0) return false;
  key = line.left(eq).trimmed();
  rawValue = line.mid(eq + 1);
  return !key.isEmpty();
}

QString decodeValue(const QString& raw) {
  const QString t = raw.trimmed();
  if (t.size() >= 2 && t.startsWith('"') && t.endsWith('"')) return t.mid(1, t.size() - 2);
  return t;
}

QString encodeValue(QString value) {
  // A line holds one value: line breaks cannot be stored and become blanks.
  value.replace("\r\n", " ").replace('\r', ' ').replace('\n', ' ');
  if (value != value.trimmed() || value.startsWith('"')) return '"' + value + '"';
  return value;
}

bool sameName(const QString& a, const QString& b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

}  // namespace

QString ReadIniString(const QString& section, const QString& key, const QString& defaultValue,
                      const QString& filePath, std::int16_t bufferSize) {
  const qsizetype capacity = bufferSize > 0 ? bufferSize - 1 : 0;
  QString result = defaultValue;
  IniText text;
  if (readLines(filePath, text)) {
    bool inSection = false;
    for (const QString& line : text.lines) {
      const QString name = sectionOf(line);
      if (!name.isNull()) {
        inSection = sameName(name, section);
        continue;
      }
      QString k, raw;
      if (inSection && splitKey(line, k, raw) && sameName(k, key)) {
        result = decodeValue(raw);
        break;
      }
    }
  }
  return result.left(capacity);
}

bool WriteIniString(const QString& section, const QString& key, const QString& value,
                    const QString& filePath, QString* errorText) {
  IniText text;
  readLines(filePath, text);  // a missing file starts empty
  const QString newLine = key + '=' + encodeValue(value);

  qsizetype sectionStart = -1;   // index of the section line
  qsizetype lastInSection = -1;  // last non-blank line that belongs to the section
  bool written = false;
  bool inSection = false;
  for (qsizetype i = 0; i < text.lines.size() && !written; ++i) {
    const QString& line = text.lines[i];
    const QString name = sectionOf(line);
    if (!name.isNull()) {
      if (inSection) break;  // the section ended without the key
      inSection = sameName(name, section);
      if (inSection) {
        sectionStart = i;
        lastInSection = i;
      }
      continue;
    }
    if (!inSection) continue;
    if (!line.trimmed().isEmpty()) lastInSection = i;
    QString k, raw;
    if (splitKey(line, k, raw) && sameName(k, key)) {
      text.lines[i] = newLine;
      written = true;
    }
  }
  if (!written) {
    if (sectionStart < 0) {
      if (!text.lines.isEmpty() && !text.lines.last().trimmed().isEmpty()) text.lines.append("");
      text.lines.append('[' + section + ']');
      text.lines.append(newLine);
    } else {
      text.lines.insert(lastInSection + 1, newLine);
    }
    text.endsWithLineEnd = true;
  }

  QString content = text.lines.join(text.lineEnd);
  if (text.endsWithLineEnd) content += text.lineEnd;

  QSaveFile file(filePath);
  if (!file.open(QIODevice::WriteOnly)) {
    if (errorText) *errorText = file.errorString();
    return false;
  }
  const QByteArray bytes = content.toUtf8();
  if (file.write(bytes) != bytes.size() || !file.commit()) {
    if (errorText) *errorText = file.errorString();
    file.cancelWriting();
    return false;
  }
  return true;
}

}  // namespace modINI
