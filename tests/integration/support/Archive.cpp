#include "Archive.h"

#include <QDebug>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QSettings>
#include <QTimer>
#include <stdexcept>

#include "dcmtk/dcmdata/dcdeftag.h"
#include "dcmtk/dcmdata/dcfilefo.h"

namespace {

constexpr int kRequestTimeoutMs = 60000;

[[noreturn]] void fail(const QString& message) {
  qWarning().noquote() << "Archive:" << message;
  throw std::runtime_error(message.toStdString());
}

}  // namespace

Archive::Archive(const QString& file) {
  // The KEY=VALUE lines that tools/archive.sh or tools/qrscp.sh start writes.
  const QSettings env(file, QSettings::IniFormat);
  host_ = env.value("ARCHIVE_HOST", "127.0.0.1").toString();
  aet_ = env.value("ARCHIVE_AET").toString();
  dicomPort_ = env.value("ARCHIVE_DICOM_PORT").toInt();
  httpPort_ = env.value("ARCHIVE_HTTP_PORT").toInt();
  stationAET_ = env.value("STATION_AET").toString();
  stationPort_ = env.value("STATION_PORT").toInt();
  storage_ = env.value("ARCHIVE_STORAGE").toString();
  if (aet_.isEmpty() || dicomPort_ <= 0 || (httpPort_ <= 0 && storage_.isEmpty())) {
    problem_ = "no archive in " + file;
  }
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
  if (!storage_.isEmpty()) {
    const QStringList to{"-to",  "30", "-aet", "SEEDER",
                         "-aec", aet_, host_,  QString::number(dicomPort_)};
    if (QProcess::execute("storescu", to + files) != 0) fail("storescu could not seed " + aet_);
    return;
  }
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

QString Archive::label(const QString& sopInstanceUID) {
  if (storage_.isEmpty()) return instanceTags(sopInstanceUID).value("SeriesDescription").toString();
  QStringList labels;
  for (const QFileInfo& stored : QDir(storage_).entryInfoList({"*.dcm"}, QDir::Files)) {
    DcmFileFormat file;
    const std::string path = stored.filePath().toStdString();
    if (file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, 1024).bad()) {
      fail("cannot read " + stored.filePath());
    }
    OFString uid, label;
    file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uid);
    if (uid != sopInstanceUID.toStdString().c_str()) continue;
    file.getDataset()->findAndGetOFString(DCM_SeriesDescription, label);
    labels << QString::fromLatin1(label.c_str());
  }
  return labels.join('\\');
}
