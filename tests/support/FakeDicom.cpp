#include "FakeDicom.h"

namespace fake {
namespace {

class Query : public dicom::Query {
 public:
  explicit Query(Script& script) : script_(script) {}

  dicom::MatchCollection find(const dicom::DataSet& identifier) override {
    QueryCall call = record(QueryCall::Find);
    call.identifier = identifier;
    script_.queries.push_back(call);
    if (script_.onFind) script_.onFind(call);
    return dicom::MatchCollection(script_.matches);
  }

  void move() override {
    QueryCall call = record(QueryCall::Move);
    script_.queries.push_back(call);
    if (script_.onMove) script_.onMove(call);
  }

 private:
  QueryCall record(QueryCall::Kind kind) const {
    QueryCall call;
    call.kind = kind;
    call.port = port();
    call.node = node();
    call.calledAE = calledAE();
    call.callingAE = callingAE();
    call.root = root();
    call.level = level();
    call.destination = destination();
    call.studyUID = studyUID();
    return call;
  }

  Script& script_;
};

}  // namespace

Image::Image(Script& script, QString sopInstanceUID, QString seriesDescription, QString patientName,
             QString patientID, QString studyDate)
    : script_(script), picture_(64, 80, QImage::Format_Grayscale8) {
  attributes_.set(dicom::makeTag(0x0008, 0x0018), sopInstanceUID);
  attributes_.set(dicom::tags::SeriesDescription, seriesDescription);
  attributes_.set(dicom::tags::PatientName, patientName);
  attributes_.set(dicom::tags::PatientID, patientID);
  attributes_.set(dicom::tags::StudyDate, studyDate);
  picture_.fill(128);
}

dicom::Attribute Image::attribute(std::uint32_t group, std::uint32_t element) const {
  return attributes_.attribute(group, element);
}

void Image::addOrReplace(std::uint32_t group, std::uint32_t element, const QString& value) {
  attributes_.addOrReplace(group, element, value);
}

void Image::send(const QString& address, std::int32_t port, const QString& callingAE,
                 const QString& calledAE) {
  SendCall call{address,
                port,
                callingAE,
                calledAE,
                attributes_.text(dicom::makeTag(0x0008, 0x0018)),
                attributes_.text(dicom::tags::SeriesDescription)};
  if (script_.onSend) script_.onSend(call);
  script_.sends.push_back(call);
}

void Receiver::listen(std::int32_t port, const QString& ae) {
  if (script_.onListen) script_.onListen(port);
  script_.listenedPorts.push_back(port);
  port_ = port;
  aeTitle = ae;
}

std::unique_ptr<dicom::Query> Toolkit::newQuery() {
  return std::make_unique<Query>(script);
}

std::unique_ptr<dicom::StorageReceiver> Toolkit::newReceiver() {
  auto receiver = std::make_unique<Receiver>(script);
  lastReceiver = receiver.get();
  return receiver;
}

std::shared_ptr<Image> Toolkit::makeImage(const QString& uid, const QString& label,
                                          const QString& patientName, const QString& patientID,
                                          const QString& studyDate) {
  return std::make_shared<Image>(script, uid, label, patientName, patientID, studyDate);
}

}  // namespace fake
