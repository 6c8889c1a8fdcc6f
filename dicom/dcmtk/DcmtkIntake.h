#pragma once

// One received data set on its way in, independent of the network: every
// chunk is scanned before DCMTK parses it, and an object that goes beyond a
// limit, or is refused, is read to its end and dropped, so that the sender
// still gets its answer. The receiver feeds it PDV by PDV; the fuzz driver
// feeds it mutated objects.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmb.h>

#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "DcmtkStreamScanner.h"

namespace dicom::dcmtk {

class ObjectIntake {
 public:
  // Keep: an object to show; Probe: one asked back for its attributes only
  // (the pixels are not parsed); Refuse: read and dropped.
  enum class Mode { Keep, Probe, Refuse };
  struct Limits {
    int maxDepth = 64;
    std::uint64_t objectBytes = 2ull << 30;
  };
  // Why the study a kept object belongs to is not wanted; empty when it is.
  using StudyCheck = std::function<QString(const std::string& studyInstanceUID)>;

  ObjectIntake(E_TransferSyntax xfer, Mode mode, Limits limits, StudyCheck studyCheck = {});
  ObjectIntake(const ObjectIntake&) = delete;
  ObjectIntake& operator=(const ObjectIntake&) = delete;

  // The next bytes of the data set; last marks its end.
  void feed(const std::uint8_t* data, std::size_t size, bool last);
  // Drops the object with this failure status and reason.
  void refuse(std::uint16_t status, const QString& reason);
  // Checks the complete object against its request: not empty, the
  // request's SOP Instance UID, the study, a usable pixel module.
  void finish(const std::string& sopInstanceUID);

  Mode mode() const { return mode_; }
  // Not refused, and known to be wanted: asked back, or of the expected
  // study (known once every attribute before the pixel data has passed).
  bool admitted() const { return mode_ == Mode::Probe || (mode_ == Mode::Keep && studyChecked_); }
  // The object's Study Instance UID once finish() has checked it.
  const std::string& studyInstanceUID() const { return studyUID_; }
  E_TransferSyntax transferSyntax() const { return xfer_; }
  std::uint16_t status() const { return status_; }
  const QString& reason() const { return reason_; }
  bool hasPixelData() const { return hasPixelData_; }
  std::uint64_t bytes() const { return bytes_; }
  DcmDataset* dataset() { return file_ ? file_->getDataset() : nullptr; }
  std::unique_ptr<DcmFileFormat> take() { return std::move(file_); }

 private:
  E_TransferSyntax xfer_;
  Mode mode_;
  Limits limits_;
  StudyCheck studyCheck_;
  std::unique_ptr<DcmFileFormat> file_;
  StreamScanner scanner_;
  DcmInputBufferStream buffer_;
  std::uint64_t bytes_ = 0;
  std::uint64_t fed_ = 0;
  bool allFed_ = false;
  std::uint16_t status_ = 0;
  QString reason_;
  bool hasPixelData_ = false;
  bool studyChecked_ = false;
  std::string studyUID_;
};

// The reason an object cannot be accepted, or an empty string when it can.
// Sets hasPixelData to whether the object carries pixel data at all.
QString checkPixelModule(DcmDataset& dataset, bool& hasPixelData);

}  // namespace dicom::dcmtk
