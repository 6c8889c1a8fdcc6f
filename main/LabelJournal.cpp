#include "LabelJournal.h"

#include <QDateTime>
#include <QFile>
#include <QStringList>
#include <algorithm>
#include <cstdint>

#include "common/Durable.h"

namespace station {
namespace {

// Record kinds, the first field of a line.
const QString kLabelled = "L";
const QString kSettled = "S";
const QString kDiscarded = "D";

std::uint32_t crc32(const QByteArray& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Tabs, line ends and backslashes inside a value must not end a field.
QString escape(QString value) {
  return value.replace('\\', "\\\\").replace('\t', "\\t").replace('\n', "\\n").replace('\r', "\\r");
}

QString unescape(const QString& value) {
  QString out;
  for (int i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    const QChar next = value[++i];
    out += next == 't' ? QChar('\t') : next == 'n' ? QChar('\n') : next == 'r' ? QChar('\r') : next;
  }
  return out;
}

// The fields of a whole, intact line; empty for a torn or damaged one.
QStringList fieldsOf(const QByteArray& line) {
  const int tab = line.lastIndexOf('\t');
  if (tab < 0) return {};
  const QByteArray body = line.left(tab);
  bool ok = false;
  const std::uint32_t sum = line.mid(tab + 1).toUInt(&ok, 16);
  if (!ok || sum != crc32(body)) return {};
  QStringList fields;
  for (const QString& field : QString::fromUtf8(body).split('\t')) fields << unescape(field);
  return fields;
}

}  // namespace

LabelJournal::LabelJournal(QString path) : path_(std::move(path)) {}

bool LabelJournal::append(const QStringList& fields, QString* error) {
  QStringList escaped;
  for (const QString& field : fields) escaped << escape(field);
  const QByteArray body = escaped.join('\t').toUtf8();
  const QByteArray line = body + '\t' + QByteArray::number(crc32(body), 16) + '\n';
  return common::appendDurably(path_, line, error);
}

bool LabelJournal::labelled(const Entry& e, QString* error) {
  const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
  return append({kLabelled, time, e.study, e.series, e.instance, e.patientID, e.before, e.after},
                error);
}

bool LabelJournal::settled(const QString& instance, const QString& label, QString* error) {
  const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
  return append({kSettled, time, instance, label}, error) && removeWhenSettled(error);
}

bool LabelJournal::discarded(const QString& study, QString* error) {
  const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
  return append({kDiscarded, time, study}, error) && removeWhenSettled(error);
}

bool LabelJournal::removeWhenSettled(QString* error) {
  if (!pending().empty() || !QFile::exists(path_)) return true;
  QFile file(path_);
  if (file.remove()) return true;
  if (error) *error = file.errorString();
  return false;
}

std::vector<LabelJournal::Entry> LabelJournal::pending() const {
  QFile file(path_);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray all = file.readAll();
  std::vector<Entry> entries;
  int start = 0;
  // Only lines with their line end: the last one may have been torn.
  for (int end = all.indexOf('\n'); end >= 0; start = end + 1, end = all.indexOf('\n', start)) {
    const QStringList f = fieldsOf(all.mid(start, end - start));
    if (f.size() == 8 && f[0] == kLabelled) {
      const Entry entry{f[2], f[3], f[4], f[5], f[6], f[7]};
      const auto same = std::find_if(entries.begin(), entries.end(),
                                     [&](const Entry& e) { return e.instance == entry.instance; });
      if (same == entries.end()) {
        entries.push_back(entry);
      } else {
        *same = entry;
      }
    } else if (f.size() == 4 && f[0] == kSettled) {
      std::erase_if(entries, [&](const Entry& e) {
        return e.instance == f[2] && (f[3].isEmpty() || e.after == f[3]);
      });
    } else if (f.size() == 3 && f[0] == kDiscarded) {
      std::erase_if(entries, [&](const Entry& e) { return e.study == f[2]; });
    }
  }
  return entries;
}

}  // namespace station
