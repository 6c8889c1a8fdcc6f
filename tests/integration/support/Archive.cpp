#include "Archive.h"

#include <QDebug>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSettings>
#include <QTimer>
#include <stdexcept>

namespace {

constexpr int kRequestTimeoutMs = 60000;

[[noreturn]] void fail(const QString& message) {
  qWarning().noquote() << "Archive:" << message;
  throw std::runtime_error(message.toStdString());
}

}  // namespace

Archive::Archive() {
  // The KEY=VALUE lines that tools/archive.sh start writes.
  const QString file = qEnvironmentVariable("BREVANT_ARCHIVE_ENV");
  const QSettings env(file, QSettings::IniFormat);
  host_ = env.value("ARCHIVE_HOST", "127.0.0.1").toString();
  aet_ = env.value("ARCHIVE_AET").toString();
  dicomPort_ = env.value("ARCHIVE_DICOM_PORT").toInt();
  httpPort_ = env.value("ARCHIVE_HTTP_PORT").toInt();
  stationAET_ = env.value("STATION_AET").toString();
  stationPort_ = env.value("STATION_PORT").toInt();
  if (aet_.isEmpty() || dicomPort_ <= 0 || httpPort_ <= 0) problem_ = "no archive in " + file;
}

QByteArray Archive::request(const QByteArray& method, const QString& path, const QByteArray& body) {
  if (!problem_.isEmpty()) fail(problem_);
  QNetworkAccessManager manager;
  manager.setProxy(QNetworkProxy::NoProxy);
  QNetworkRequest request(QUrl(QString("http://%1:%2%3").arg(host_).arg(httpPort_).arg(path)));
  request.setTransferTimeout(kRequestTimeoutMs);
  request.setHeader(QNetworkRequest::ContentTypeHeader,
                    path == "/instances" ? "application/dicom" : "text/plain");
  QNetworkReply* reply = manager.sendCustomRequest(request, method, body);
  QEventLoop loop;
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  QTimer::singleShot(kRequestTimeoutMs, reply, &QNetworkReply::abort);
  if (!reply->isFinished()) loop.exec();
  const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QByteArray answer = reply->readAll();
  const QString error = reply->errorString();
  reply->deleteLater();
  if (status == 404 && method == "DELETE") return {};  // deleted meanwhile
  if (status == 0 || status >= 400) {
    fail(QString("%1 %2: HTTP %3 %4 %5")
             .arg(QString::fromLatin1(method), path)
             .arg(status)
             .arg(error, QString::fromUtf8(answer.left(500))));
  }
  return answer;
}

QJsonDocument Archive::getJson(const QString& path) {
  return QJsonDocument::fromJson(request("GET", path));
}

void Archive::clear() {
  for (const QJsonValue& patient : getJson("/patients").array()) {
    request("DELETE", "/patients/" + patient.toString());
  }
}

void Archive::upload(const QStringList& files) {
  for (const QString& path : files) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) fail("cannot read " + path);
    request("POST", "/instances", file.readAll());
  }
}

int Archive::instanceCount() {
  return getJson("/statistics").object().value("CountInstances").toInt(-1);
}

QString Archive::instanceId(const QString& sopInstanceUID) {
  const QByteArray found = request("POST", "/tools/lookup", sopInstanceUID.toUtf8());
  for (const QJsonValue& entry : QJsonDocument::fromJson(found).array()) {
    if (entry["Type"].toString() == "Instance") return entry["ID"].toString();
  }
  fail("no instance " + sopInstanceUID);
}

QJsonObject Archive::instanceTags(const QString& sopInstanceUID) {
  return getJson("/instances/" + instanceId(sopInstanceUID) + "/simplified-tags").object();
}

QByteArray Archive::instanceFrame(const QString& sopInstanceUID) {
  return request("GET", "/instances/" + instanceId(sopInstanceUID) + "/frames/0/raw");
}

QString Archive::instanceTransferSyntax(const QString& sopInstanceUID) {
  const QString id = instanceId(sopInstanceUID);
  return QString::fromLatin1(request("GET", "/instances/" + id + "/metadata/TransferSyntax"));
}
