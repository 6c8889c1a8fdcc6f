#pragma once

// A fake of the station's own DICOM interface for unit and widget tests:
// scripted moves and stores, and a receiver the test drives by hand.

#include <QCoreApplication>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "dicom/core/DicomError.h"
#include "dicom/core/Toolkit.h"

namespace fake {

struct SendCall {
  dicom::Peer archive;
  dicom::StationIdentity station;
  QString sopInstanceUID, label;
  bool markedWhileSending = false;  // the image's marker as the store went out
  int session = 0;                  // the store session it went in (0: none)
};

// What the fake network does, shared by everything the fake toolkit makes.
struct Script {
  std::function<void()> onMove;  // may throw, or deliver images
  // When set, called for every move instead, with the move's request, on
  // the thread the move runs on (a study fetched ahead: a thread of its own).
  std::function<void(const dicom::Query& move)> onStudyMove;
  std::function<void(const SendCall&)> onSend;  // may throw DicomError
  std::vector<SendCall> sends;                  // the confirmed stores
  int sessions = 0;                             // store sessions made
  int session = 0;                              // the session of the send under way
  std::vector<int> ended;                       // sessions ended, in order
};

class Query : public dicom::Query {
 public:
  Query(Script& script, const dicom::Peer& archive, const dicom::StationIdentity& station)
      : dicom::Query(archive, station), script_(script) {}
  dicom::MatchCollection find(const dicom::DataSet&, int) override { return {}; }
  void move() override {
    if (script_.onStudyMove) {
      script_.onStudyMove(*this);
    } else {
      script_.onMove();
    }
  }
  void echo() override {}

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
    SendCall call{archive, station, attributes_.text(dicom::tags::SOPInstanceUID),
                  attributes_.text(dicom::tags::SeriesDescription), changed()};
    call.session = std::exchange(script_.session, 0);
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
    aheadStudy.clear();
    endedStudy.clear();
  }
  void expectAhead(const QString& uid, const dicom::Peer&) override { aheadStudy = uid; }
  bool promoteAhead() override {
    if (aheadStudy.isEmpty()) return false;
    expectedStudy = aheadStudy;
    aheadStudy.clear();
    return true;
  }
  void endRetrieval(const QString& uid) override { endedStudy = uid; }
  std::uint64_t bytesReceived() const override { return 0; }
  std::uint64_t bytesReceived(const QString&) const override { return 0; }
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
  // What the network would hand over, on the receiver's thread as the real
  // one does (at once there, queued from another, such as a move fetching
  // ahead).
  void deliver(dicom::ImagePtr image) {
    const QString study = image->attribute(dicom::tags::StudyInstanceUID).value();
    QMetaObject::invokeMethod(this, [this, image, study] { emit imageReceived(image, study); });
  }
  void close(const QString& study = "1.2.9") {
    QMetaObject::invokeMethod(this, [this, study] { emit associationClosed(study); });
  }

  QString aeTitle, expectedStudy, aheadStudy, endedStudy;

 private:
  Script& script_;
  std::int32_t port_ = 0;
};

// The stores of one association: each is the image's own send, numbered
// with the session it went in.
class StoreSession : public dicom::StoreSession {
 public:
  explicit StoreSession(Script& script) : script_(script), number_(++script.sessions) {}
  void expect(const dicom::Image&) override {}
  void send(dicom::Image& image, const dicom::Peer& archive,
            const dicom::StationIdentity& station) override {
    script_.session = number_;
    image.send(archive, station);
  }
  void end() override { script_.ended.push_back(number_); }

 private:
  Script& script_;
  int number_;
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
  std::unique_ptr<dicom::StoreSession> newStoreSession() override {
    return std::make_unique<StoreSession>(script);
  }
  std::shared_ptr<Image> makeImage(const QString& uid, const QString& label = "L CC",
                                   const QString& problem = {}) {
    return std::make_shared<Image>(script, uid, label, problem);
  }

  Script script;
  Receiver* receiver = nullptr;  // the last one made, owned by its reception
};

}  // namespace fake
