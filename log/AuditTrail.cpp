#include "AuditTrail.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include "common/AppDir.h"
#include "common/Durable.h"

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace modAudit {
namespace {

// A field as RFC 4180 writes it: always quoted, quotes doubled.
QString csv(QString value) {
  return '"' + value.replace('"', "\"\"") + '"';
}

}  // namespace

QString AuditTrail::path() {
  return common::appPath(QString("Logs") + QDir::separator() + "Audit.log");
}

const QString& AuditTrail::header() {
  static const QString text =
      "time_utc,os_user,station_version,station_aet,archive_aet,archive_host,archive_port,"
      "patient_id,study_instance_uid,series_instance_uid,sop_instance_uid,label_before,"
      "label_after,outcome,detail";
  return text;
}

QString AuditTrail::outcomeText(Outcome outcome) {
  switch (outcome) {
    case Outcome::Applied:
      return "applied";
    case Outcome::KeptEarlier:
      return "archive kept its earlier copy";
    case Outcome::NotReturned:
      return "not returned";
    case Outcome::Failed:
      break;
  }
  return "failed";
}

QString AuditTrail::line(const Record& r, const QString& timeUtc, const QString& user,
                         const QString& version) {
  const QStringList fields = {timeUtc,          user,
                              version,          r.stationAET,
                              r.archiveAET,     r.archiveHost,
                              r.archivePort,    r.patientID,
                              r.studyUID,       r.seriesUID,
                              r.sopInstanceUID, r.labelBefore,
                              r.labelAfter,     outcomeText(r.outcome),
                              r.detail};
  QStringList quoted;
  for (const QString& field : fields) quoted << csv(field);
  return quoted.join(',');
}

QString AuditTrail::operatingSystemUser() {
#ifndef _WIN32
  if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_name) {
    return QString::fromLocal8Bit(entry->pw_name);
  }
  return qEnvironmentVariable("USER");
#else
  return qEnvironmentVariable("USERNAME");
#endif
}

bool AuditTrail::ready(QString* reason) {
  return common::canAppend(path(), reason);
}

bool AuditTrail::write(const std::vector<Record>& records, QString* reason) {
  QString text;
  if (QFileInfo(path()).size() == 0) text += header() + "\r\n";
  const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
  const QString user = operatingSystemUser();
  const QString version = QCoreApplication::applicationVersion();
  for (const Record& record : records) text += line(record, time, user, version) + "\r\n";
  return common::appendDurably(path(), text.toUtf8(), reason);
}

}  // namespace modAudit
