#include "modINI.h"

#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringList>

namespace modINI {
namespace {

#ifdef Q_OS_WIN
const char kNativeLineEnd[] = "\r\n";
#else
const char kNativeLineEnd[] = "\n";
#endif

// The file as lines of bytes. Lines the station does not write are kept
// byte for byte, whatever their encoding; only a written line is encoded.
struct IniText {
  QList<QByteArray> lines;
  QByteArray lineEnd = kNativeLineEnd;
  bool endsWithLineEnd = true;
};

enum class ReadResult { Read, Missing, Unreadable };

ReadResult readLines(const QString& filePath, IniText& text, QString* errorText = nullptr) {
  QFile file(filePath);
  if (!file.exists()) return ReadResult::Missing;
  if (!file.open(QIODevice::ReadOnly)) {
    if (errorText) *errorText = file.errorString();
    return ReadResult::Unreadable;
  }
  QByteArray content = file.readAll();
  if (file.error() != QFileDevice::NoError) {
    if (errorText) *errorText = file.errorString();
    return ReadResult::Unreadable;
  }
  // The file's own line end; the platform's only for a file that has none yet.
  if (content.contains("\r\n")) {
    text.lineEnd = "\r\n";
  } else if (content.contains('\n')) {
    text.lineEnd = "\n";
  }
  content.replace("\r\n", "\n");
  text.lines = content.split('\n');
  text.endsWithLineEnd = content.endsWith('\n') || content.isEmpty();
  if (text.endsWithLineEnd && !text.lines.isEmpty()) text.lines.removeLast();
  return ReadResult::Read;
}

// A line as text: UTF-8 when it is valid UTF-8, else the 8-bit code page
// (Latin-1) that older files were written in.
QString decodeLine(const QByteArray& line) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8(line);
  if (!utf8.hasError()) return text;
  return QString::fromLatin1(line);
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
  if (readLines(filePath, text) == ReadResult::Read) {
    bool inSection = false;
    for (const QByteArray& bytes : text.lines) {
      const QString line = decodeLine(bytes);
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
  // A missing file starts empty; a file that exists but cannot be read must
  // not be rebuilt from nothing, which would lose every other line.
  QString readError;
  if (readLines(filePath, text, &readError) == ReadResult::Unreadable) {
    if (errorText) *errorText = readError;
    return false;
  }
  const QByteArray newLine = (key + '=' + encodeValue(value)).toUtf8();

  qsizetype sectionStart = -1;   // index of the section line
  qsizetype lastInSection = -1;  // last non-blank line that belongs to the section
  bool written = false;
  bool inSection = false;
  for (qsizetype i = 0; i < text.lines.size() && !written; ++i) {
    const QString line = decodeLine(text.lines[i]);
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
      text.lines.append(('[' + section + ']').toUtf8());
      text.lines.append(newLine);
    } else {
      text.lines.insert(lastInSection + 1, newLine);
    }
    text.endsWithLineEnd = true;
  }

  QByteArray bytes = text.lines.join(text.lineEnd);
  if (text.endsWithLineEnd) bytes += text.lineEnd;

  QSaveFile file(filePath);
  // The file is replaced through a temporary file beside it; a folder that
  // refuses new files, while the file itself is writable, is written in place.
  file.setDirectWriteFallback(true);
  if (!file.open(QIODevice::WriteOnly)) {
    if (errorText) *errorText = file.errorString();
    return false;
  }
  if (file.write(bytes) != bytes.size() || !file.commit()) {
    if (errorText) *errorText = file.errorString();
    file.cancelWriting();
    return false;
  }
  return true;
}

}  // namespace modINI
