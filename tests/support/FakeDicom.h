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
  QString address, callingAE, calledAE, sopInstanceUID, label;
  std::int32_t port = 0;
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
  explicit Query(Script& script) : script_(script) {}
  dicom::MatchCollection find(const dicom::DataSet&, int) override { return {}; }
  void move() override { script_.onMove(); }

 private:
  Script& script_;
};

// An image of patient Smith^Anna, P42, study date 20240115; a problem
// makes it one whose pixels cannot be displayed.
class Image : public dicom::Image {
 public:
  Image(Script& script, const QString& uid, const QString& label, const QString& problem = {})
      : script_(script), problem_(problem) {
    if (!problem.isEmpty()) picture_ = QImage();
    attributes_.set(dicom::makeTag(0x0008, 0x0018), uid);
    attributes_.set(dicom::tags::SeriesDescription, label);
    attributes_.setPatientName("Smith^Anna");
    attributes_.setPatientID("P42");
    attributes_.set(dicom::tags::StudyDate, "20240115");
  }
  dicom::Attribute attribute(std::uint32_t group, std::uint32_t element) const override {
    return attributes_.attribute(group, element);
  }
  void addOrReplace(std::uint32_t group, std::uint32_t element, const QString& value) override {
    attributes_.addOrReplace(group, element, value);
  }
  QString patientName() const override { return attributes_.patientName(); }
  QString patientID() const override { return attributes_.patientID(); }
  void send(const QString& address, std::int32_t port, const QString& callingAE,
            const QString& calledAE) override {
    const SendCall call{address,
                        callingAE,
                        calledAE,
                        attributes_.text(dicom::makeTag(8, 0x18)),
                        attributes_.text(dicom::tags::SeriesDescription),
                        port,
                        !text().isEmpty()};
    if (script_.onSend) script_.onSend(call);
    script_.sends.push_back(call);
  }
  QImage displayImage() const override { return picture_; }
  QString displayProblem() const override { return problem_; }

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
  void listen(std::int32_t port, const QString& aeTitle) override {
    port_ = port;
    this->aeTitle = aeTitle;
  }
  void stop() override { port_ = 0; }
  std::int32_t port() const override { return port_; }
  void expectStudy(const QString& uid) override { expectedStudy = uid; }
  std::uint64_t bytesReceived() const override { return 0; }
  void beginProbe(const QStringList&) override {}
  std::map<QString, QStringList> endProbe() override {
    std::map<QString, QStringList> held;
    for (const SendCall& call : script_.sends) held[call.sopInstanceUID] = {call.label};
    return held;
  }
  void setDisplayTarget(const QSize&) override {}
  // What the network would hand over.
  void deliver(dicom::ImagePtr image) { emit imageReceived(std::move(image)); }
  void close() { emit associationClosed(); }

  QString aeTitle, expectedStudy;

 private:
  Script& script_;
  std::int32_t port_ = 0;
};

class Toolkit : public dicom::Toolkit {
 public:
  std::unique_ptr<dicom::Query> newQuery() override { return std::make_unique<Query>(script); }
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
