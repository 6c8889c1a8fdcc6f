#include "Archive.h"

#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <stdexcept>

namespace {

// No single call to the archive may take longer than this.
constexpr int kRequestTimeoutMs = 60000;

[[noreturn]] void fail(const QString& message) {
  qWarning().noquote() << "Archive:" << message;
  throw std::runtime_error(message.toStdString());
}

}  // namespace

Archive Archive::fromEnvironment() {
  const QString path = qEnvironmentVariable("BREVANT_ARCHIVE_ENV");
  if (path.isEmpty()) {
    Archive archive;
    archive.problem_ = QStringLiteral("BREVANT_ARCHIVE_ENV is not set (run through ctest)");
    return archive;
  }
  return fromFile(path);
}

Archive Archive::fromFile(const QString& envFile) {
  Archive archive;
  QFile file(envFile);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
    archive.problem_ = QStringLiteral("no archive environment at %1").arg(envFile);
    return archive;
  }
  QMap<QString, QString> values;
  while (!file.atEnd()) {
    const QString line = QString::fromUtf8(file.readLine()).trimmed();
    const qsizetype eq = line.indexOf('=');
    if (eq > 0) values.insert(line.left(eq), line.mid(eq + 1));
  }
  archive.host_ = values.value("ARCHIVE_HOST", "127.0.0.1");
  archive.aet_ = values.value("ARCHIVE_AET");
  archive.dicomPort_ = values.value("ARCHIVE_DICOM_PORT").toInt();
  archive.httpPort_ = values.value("ARCHIVE_HTTP_PORT").toInt();
  archive.stationAET_ = values.value("STATION_AET");
  archive.stationPort_ = values.value("STATION_PORT").toInt();
  archive.available_ = !archive.aet_.isEmpty() && archive.dicomPort_ > 0 && archive.httpPort_ > 0;
  if (!archive.available_) archive.problem_ = QStringLiteral("incomplete %1").arg(envFile);
  return archive;
}

QByteArray Archive::request(const QByteArray& method, const QString& path, const QByteArray& body,
                            bool allowMissing) {
  if (!available_) fail(QStringLiteral("archive not available: %1").arg(problem_));
  QNetworkAccessManager manager;
  manager.setProxy(QNetworkProxy::NoProxy);
  QNetworkRequest request(
      QUrl(QStringLiteral("http://%1:%2%3").arg(host_).arg(httpPort_).arg(path)));
  request.setTransferTimeout(kRequestTimeoutMs);
  if (!body.isEmpty()) {
    const bool dicom = body.size() > 132 && body.mid(128, 4) == "DICM";
    request.setHeader(QNetworkRequest::ContentTypeHeader, dicom ? "application/dicom"
                                                          : body.startsWith('{')
                                                              ? "application/json"
                                                              : "text/plain");
  }
  QNetworkReply* reply = manager.sendCustomRequest(request, method, body);
  QEventLoop loop;
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  QObject::connect(&deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
  deadline.start(kRequestTimeoutMs);
  if (!reply->isFinished()) loop.exec();
  deadline.stop();

  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QByteArray answer = reply->readAll();
  const QString error = reply->errorString();
  const bool transportFailed = reply->error() != QNetworkReply::NoError && status == 0;
  reply->deleteLater();
  if (transportFailed) {
    fail(QStringLiteral("%1 %2: %3").arg(QString::fromLatin1(method), path, error));
  }
  if (status == 404 && allowMissing) return QByteArray();
  if (status >= 400 || status == 0) {
    fail(QStringLiteral("%1 %2: HTTP %3 %4")
             .arg(QString::fromLatin1(method), path)
             .arg(status)
             .arg(QString::fromUtf8(answer.left(500))));
  }
  return answer.isNull() ? QByteArray("") : answer;
}

QJsonDocument Archive::getJson(const QString& path) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(request("GET", path), &error);
  if (error.error != QJsonParseError::NoError) {
    fail(QStringLiteral("GET %1: not JSON (%2)").arg(path, error.errorString()));
  }
  return document;
}

void Archive::clear() {
  const QJsonArray patients = getJson("/patients").array();
  for (const QJsonValue& patient : patients) {
    request("DELETE", "/patients/" + patient.toString(), {}, true);
  }
}

QStringList Archive::upload(const QStringList& files) {
  QStringList ids;
  for (const QString& path : files) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) fail(QStringLiteral("cannot read %1").arg(path));
    const QByteArray bytes = file.readAll();
    const QJsonObject answer =
        QJsonDocument::fromJson(request("POST", "/instances", bytes)).object();
    const QString id = answer.value("ID").toString();
    if (id.isEmpty()) fail(QStringLiteral("upload of %1 returned no instance id").arg(path));
    ids << id;
  }
  return ids;
}

int Archive::studyCount() {
  return getJson("/statistics").object().value("CountStudies").toInt();
}

int Archive::instanceCount() {
  return getJson("/statistics").object().value("CountInstances").toInt();
}

QString Archive::instanceId(const QString& sopInstanceUID) {
  const QJsonArray found =
      QJsonDocument::fromJson(request("POST", "/tools/lookup", sopInstanceUID.toUtf8())).array();
  for (const QJsonValue& entry : found) {
    const QJsonObject object = entry.toObject();
    if (object.value("Type").toString() == QLatin1String("Instance")) {
      return object.value("ID").toString();
    }
  }
  return {};
}

QJsonObject Archive::instanceTags(const QString& sopInstanceUID) {
  const QString id = instanceId(sopInstanceUID);
  if (id.isEmpty()) return {};
  return getJson("/instances/" + id + "/simplified-tags").object();
}

QByteArray Archive::instanceFile(const QString& sopInstanceUID) {
  const QString id = instanceId(sopInstanceUID);
  if (id.isEmpty()) return {};
  return request("GET", "/instances/" + id + "/file");
}

QString Archive::instanceTransferSyntax(const QString& sopInstanceUID) {
  const QString id = instanceId(sopInstanceUID);
  if (id.isEmpty()) return {};
  return QString::fromLatin1(request("GET", "/instances/" + id + "/metadata/TransferSyntax"))
      .trimmed();
}

void Archive::setStationPort(int port) {
  setModality(QStringLiteral("BREVANT"), stationAET_, port);
  stationPort_ = port;
}

void Archive::setModality(const QString& name, const QString& aet, int port) {
  QJsonObject modality;
  modality.insert("AET", aet);
  modality.insert("Host", QStringLiteral("127.0.0.1"));
  modality.insert("Port", port);
  request("PUT", "/modalities/" + name, QJsonDocument(modality).toJson(QJsonDocument::Compact));
}
