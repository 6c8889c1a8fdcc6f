#pragma once

// A fake of the station's own DICOM interface for unit and widget tests:
// scripted moves and stores, and a receiver the test drives by hand.

#include <functional>
#include <memory>
#include <vector>

#include "dicom/core/DicomError.h"
#include "dicom/core/Toolkit.h"

namespace fake {

struct SendCall {
  dicom::Peer archive;
  dicom::StationIdentity station;
  QString sopInstanceUID, label;
  bool markedWhileSending = false;  // the image's marker as the store went out
};

// What the fake network does, shared by everything the fake toolkit makes.
struct Script {
  std::function<void()> onMove;                 // may throw, or deliver images
  std::function<void(const SendCall&)> onSend;  // may throw DicomError
  std::vector<SendCall> sends;                  // the confirmed stores
};

class Query : public dicom::Query {
 public:
  Query(Script& script, const dicom::Peer& archive, const dicom::StationIdentity& station)
      : dicom::Query(archive, station), script_(script) {}
  dicom::MatchCollection find(const dicom::DataSet&, int) override { return {}; }
  void move() override { script_.onMove(); }

 private:
  Script& script_;
};

// An image of study 1.2.9, patient Smith^Anna, P42, study date 20240115; a problem
// makes it one whose pixels cannot be displayed.
class Image : public dicom::Image {
 public:
  Image(Script& script, const QString& uid, const QString& label, const QString& problem = {})
      : script_(script), problem_(problem) {
    if (!problem.isEmpty()) picture_ = QImage();
    attributes_.set(dicom::tags::SOPInstanceUID, uid);
    attributes_.set(dicom::tags::StudyInstanceUID, "1.2.9");
    attributes_.set(dicom::tags::SeriesDescription, label);
    attributes_.setPatientName("Smith^Anna");
    attributes_.setPatientID("P42");
    attributes_.set(dicom::tags::StudyDate, "20240115");
  }
  QString patientName() const override { return attributes_.patientName(); }
  QString patientID() const override { return attributes_.patientID(); }
  void send(const dicom::Peer& archive, const dicom::StationIdentity& station) override {
    archive.port.number();  // a port that is no number fails before the store
    const SendCall call{archive, station, attributes_.text(dicom::tags::SOPInstanceUID),
                        attributes_.text(dicom::tags::SeriesDescription), changed()};
    if (script_.onSend) script_.onSend(call);
    script_.sends.push_back(call);
  }
  QImage displayImage() const override { return picture_; }
  QString displayProblem() const override { return problem_; }

 protected:
  dicom::Attribute lookup(dicom::Tag tag) const override { return attributes_.attribute(tag); }
  void store(dicom::Tag tag, const QString& value) override { attributes_.set(tag, value); }

 private:
  Script& script_;
  QString problem_;
  dicom::DataSet attributes_;
  QImage picture_{64, 80, QImage::Format_Grayscale8};
};

// The archive behind it holds what was last sent of each image: a probe
// reads those labels back.
class Receiver : public dicom::StorageReceiver {
 public:
  explicit Receiver(Script& script) : script_(script) {}
  void listen(const dicom::StationIdentity& station) override {
    port_ = station.port.number();
    aeTitle = station.aeTitle;
  }
  void stop() override { port_ = 0; }
  std::int32_t port() const override { return port_; }
  void expectStudy(const QString& uid, const dicom::Peer&) override {
    expectedStudy = uid;
    endedStudy.clear();
  }
  void endRetrieval(const QString& uid) override { endedStudy = uid; }
  std::uint64_t bytesReceived() const override { return 0; }
  void beginProbe(const QStringList&, const std::vector<dicom::Tag>&, const dicom::Peer&) override {
  }
  std::map<QString, std::vector<dicom::DataSet>> endProbe() override {
    std::map<QString, std::vector<dicom::DataSet>> held;
    for (const SendCall& call : script_.sends) {
      dicom::DataSet copy;
      copy.set(dicom::tags::SeriesDescription, call.label);
      held[call.sopInstanceUID] = {copy};
    }
    return held;
  }
  void setDisplayTarget(const QSize&) override {}
  // What the network would hand over.
  void deliver(dicom::ImagePtr image) { emit imageReceived(std::move(image)); }
  void close() { emit associationClosed(); }

  QString aeTitle, expectedStudy, endedStudy;

 private:
  Script& script_;
  std::int32_t port_ = 0;
};

class Toolkit : public dicom::Toolkit {
 public:
  std::unique_ptr<dicom::Query> newQuery(const dicom::Peer& archive,
                                         const dicom::StationIdentity& station) override {
    return std::make_unique<Query>(script, archive, station);
  }
  std::unique_ptr<dicom::StorageReceiver> newReceiver() override {
    auto made = std::make_unique<Receiver>(script);
    receiver = made.get();
    return made;
  }
  std::shared_ptr<Image> makeImage(const QString& uid, const QString& label = "L CC",
                                   const QString& problem = {}) {
    return std::make_shared<Image>(script, uid, label, problem);
  }

  Script script;
  Receiver* receiver = nullptr;  // the last one made, owned by its reception
};

}  // namespace fake
