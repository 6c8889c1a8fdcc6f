#pragma once

// The storage service of the station on DCMTK.

#include <cstdint>
#include <memory>

#include "../StorageReceiver.h"
#include "DcmtkToolkit.h"

class DcmDataset;

namespace dicom::dcmtk {

// Receives C-STORE (and answers C-ECHO) on a port of its own.
//
// A network thread accepts one association at a time; each accepted object
// is checked, acknowledged, and handed to a small pool of decoders, so the
// next object arrives while the previous one is decoded for display. A
// dispatcher hands the results to the user-interface thread strictly in the
// order the objects arrived, followed by associationClosed() when the
// association that carried them has ended. Objects stay in memory; nothing
// is written to disk.
//
// Associations are accepted only when the called AE title is the one given
// to listen(). A peer that never sends its association request is dropped
// after the association timeout; an established association that stays
// silent for the message timeout is aborted. stop() interrupts whatever the
// network thread is waiting for and returns within a fraction of a second
// (plus the time to finish decoding objects already acknowledged).
class DcmtkReceiver : public StorageReceiver {
 public:
  explicit DcmtkReceiver(Timeouts timeouts);
  ~DcmtkReceiver() override;

  void listen(std::int32_t port, const QString& aeTitle) override;
  void stop() override;
  std::int32_t port() const override;

  struct Session;

 private:
  Timeouts timeouts_;
  std::unique_ptr<Session> session_;
};

// The reason an object cannot be accepted, or an empty string when it can.
// Sets hasPixelData to whether the object carries pixel data at all.
QString checkPixelModule(DcmDataset& dataset, bool& hasPixelData);

}  // namespace dicom::dcmtk
