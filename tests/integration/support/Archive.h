#pragma once

// The test archive as the integration tests see it: the addresses written by
// tools/archive.sh start, and helpers on its HTTP API to prepare and inspect
// its content. Every helper is bounded in time; a failure raises
// std::runtime_error (and prints the reason, since the test runner only
// reports that an exception escaped).

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

class Archive {
 public:
  // Reads the file named by BREVANT_ARCHIVE_ENV. When the variable is unset
  // or the file missing, available() is false (tests QSKIP then).
  static Archive fromEnvironment();
  // Reads an archive.env file directly.
  static Archive fromFile(const QString& envFile);

  bool available() const { return available_; }
  // Why the archive is not available, for the skip message.
  const QString& problem() const { return problem_; }

  QString host() const { return host_; }
  int dicomPort() const { return dicomPort_; }
  int httpPort() const { return httpPort_; }
  QString aet() const { return aet_; }
  QString stationAET() const { return stationAET_; }
  int stationPort() const { return stationPort_; }
  // The registered modality that points at a closed loopback port.
  QString nowhereAET() const { return QStringLiteral("NOWHERE"); }

  // Deletes every patient (and so every study and instance).
  void clear();
  // Uploads DICOM files; returns the archive's instance ids, in order.
  QStringList upload(const QStringList& files);
  int studyCount();
  int instanceCount();

  // The archive's id of the instance with that SOP Instance UID; empty when absent.
  QString instanceId(const QString& sopInstanceUID);
  // The simplified tags (keyword -> value, Unicode) of the instance; empty when absent.
  QJsonObject instanceTags(const QString& sopInstanceUID);
  // The stored DICOM file; empty when absent.
  QByteArray instanceFile(const QString& sopInstanceUID);
  // The transfer syntax UID the instance is stored in; empty when absent.
  QString instanceTransferSyntax(const QString& sopInstanceUID);

  // Points the "BREVANT" modality (the move destination of the station's
  // AE title) at a port on 127.0.0.1, e.g. a receiver a test started.
  void setStationPort(int port);
  // Registers or changes a modality on 127.0.0.1.
  void setModality(const QString& name, const QString& aet, int port);

  // Raw HTTP against the archive's API. Returns the body; raises on a
  // transport failure or a status >= 400 (unless allowMissing and 404,
  // which returns a null QByteArray).
  QByteArray request(const QByteArray& method, const QString& path,
                     const QByteArray& body = QByteArray(), bool allowMissing = false);
  QJsonDocument getJson(const QString& path);

 private:
  bool available_ = false;
  QString problem_;
  QString host_ = QStringLiteral("127.0.0.1");
  QString aet_;
  QString stationAET_;
  int dicomPort_ = 0;
  int httpPort_ = 0;
  int stationPort_ = 0;
};
