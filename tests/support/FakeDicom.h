#pragma once

// A fake of the station's own DICOM interface for unit and widget tests:
// scripted finds, moves and stores, and a receiver the test drives by hand.

#include <QString>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "dicom/DicomError.h"
#include "dicom/Toolkit.h"

namespace fake {

struct QueryCall {
  std::int32_t port = 0;
  QString node, calledAE, callingAE, root, level, destination, studyUID;
  dicom::DataSet identifier;
  enum Kind { Find, Move } kind = Find;
};

struct SendCall {
  QString address;
  std::int32_t port = 0;
  QString callingAE, calledAE;
  QString sopInstanceUID;
  QString seriesDescription;
};

// What the fake network does, shared by everything the fake toolkit makes.
struct Script {
  std::vector<QueryCall> queries;
  std::vector<SendCall> sends;
  std::vector<dicom::DataSet> matches;
  std::function<void(const QueryCall&)> onFind;  // may throw DicomError
  std::function<void(const QueryCall&)> onMove;  // may throw, or deliver images
  std::function<void(const SendCall&)> onSend;   // may throw DicomError
  std::vector<std::int32_t> listenedPorts;
  std::function<void(std::int32_t)> onListen;  // may throw DicomError
};

class Image : public dicom::Image {
 public:
  Image(Script& script, QString sopInstanceUID, QString seriesDescription,
        QString patientName = "Doe^Jane", QString patientID = "P1", QString studyDate = "20240115");

  dicom::Attribute attribute(std::uint32_t group, std::uint32_t element) const override;
  void addOrReplace(std::uint32_t group, std::uint32_t element, const QString& value) override;
  QString patientName() const override { return attributes_.text(dicom::tags::PatientName); }
  QString patientID() const override { return attributes_.text(dicom::tags::PatientID); }
  void send(const QString& address, std::int32_t port, const QString& callingAE,
            const QString& calledAE) override;
  QImage displayImage() const override { return picture_; }

  dicom::DataSet& attributes() { return attributes_; }

 private:
  Script& script_;
  dicom::DataSet attributes_;
  QImage picture_;
};

class Receiver : public dicom::StorageReceiver {
 public:
  explicit Receiver(Script& script) : script_(script) {}
  void listen(std::int32_t port, const QString& aeTitle) override;
  void stop() override { port_ = 0; }
  std::int32_t port() const override { return port_; }

  QString aeTitle;
  // Test side: what the network would deliver.
  void deliver(dicom::ImagePtr image) { emit imageReceived(std::move(image)); }
  void close() { emit associationClosed(); }

 private:
  Script& script_;
  std::int32_t port_ = 0;
};

class Toolkit : public dicom::Toolkit {
 public:
  std::unique_ptr<dicom::Query> newQuery() override;
  std::unique_ptr<dicom::StorageReceiver> newReceiver() override;

  Script script;
  Receiver* lastReceiver = nullptr;  // owned by the viewer that asked for it

  // A fake image bound to this toolkit's script.
  std::shared_ptr<Image> makeImage(const QString& uid, const QString& label,
                                   const QString& patientName = "Doe^Jane",
                                   const QString& patientID = "P1",
                                   const QString& studyDate = "20240115");
};

}  // namespace fake
