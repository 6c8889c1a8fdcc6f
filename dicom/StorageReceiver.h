#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

#include "Image.h"

namespace dicom {

// Receives images sent to this station (the storage service). The concrete
// receiver runs the network on a thread of its own; its signals are
// delivered to the user-interface thread through queued connections, in
// the order the events happened: every object of an association before
// that association's associationClosed().
class StorageReceiver : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;
  ~StorageReceiver() override = default;

  // Starts receiving on the port, accepting only associations whose called
  // AE title is aeTitle. Listening again on the running port keeps the
  // receiver (and takes the new AE title); another port replaces it.
  // Raises DicomError when the port cannot be used.
  virtual void listen(std::int32_t port, const QString& aeTitle) = 0;
  // Stops receiving; returns when the network thread has ended.
  virtual void stop() = 0;
  // The port being listened on, 0 when not listening.
  virtual std::int32_t port() const = 0;

 signals:
  // A complete object with displayable pixel data.
  void imageReceived(dicom::ImagePtr image);
  // An accepted association has ended (released, aborted or timed out),
  // after the signals of all its objects.
  void associationClosed();
};

}  // namespace dicom

Q_DECLARE_METATYPE(dicom::ImagePtr)
