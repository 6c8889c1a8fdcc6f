#pragma once

// A test archive that tools/archive.sh (Orthanc, read through its HTTP API)
// or tools/qrscp.sh (dcmqrscp, read from its storage folder) started; every
// call is bounded in time, a failure prints and throws std::runtime_error.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

class Archive {
 public:
  // The archive the archive.env file names (by default the one in
  // BREVANT_ARCHIVE_ENV); problem() says why there is none.
  explicit Archive(const QString& envFile = qEnvironmentVariable("BREVANT_ARCHIVE_ENV"));
  const QString& problem() const { return problem_; }

  QString host() const { return host_; }
  int dicomPort() const { return dicomPort_; }
  QString aet() const { return aet_; }
  QString stationAET() const { return stationAET_; }
  int stationPort() const { return stationPort_; }

  // Deletes every patient (and so every study and instance).
  void clear();
  void upload(const QStringList& files);  // dcmqrscp: with storescu
  int instanceCount();
  // Of the instance: the simplified tags (keyword -> value, Unicode), the
  // pixel data of its first frame as stored, and its transfer syntax UID.
  QJsonObject instanceTags(const QString& sopInstanceUID);
  QByteArray instanceFrame(const QString& sopInstanceUID);
  QString instanceTransferSyntax(const QString& sopInstanceUID);
  // The Series Description the archive holds for the instance; dcmqrscp:
  // that of each stored file with the SOP Instance UID, "\\"-separated.
  QString label(const QString& sopInstanceUID);

 private:
  QByteArray request(const QByteArray& method, const QString& path, const QByteArray& body = {});
  QJsonDocument getJson(const QString& path);
  QString instanceId(const QString& sopInstanceUID);

  QString problem_, host_, aet_, stationAET_, storage_;  // storage_: dcmqrscp's
  int dicomPort_ = 0, httpPort_ = 0, stationPort_ = 0;
};
