#pragma once

// A received object as the viewer holds it: the DICOM object exactly as it
// arrived (same transfer syntax, same attributes) and its display picture.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QImage>
#include <memory>

#include "DcmtkToolkit.h"
#include "dicom/core/Image.h"

namespace dicom::dcmtk {

class DcmtkImage : public Image {
 public:
  DcmtkImage(std::unique_ptr<DcmFileFormat> file, Timeouts timeouts);

  QString patientName() const override;
  QString patientID() const override;

  void send(const Peer& archive, const StationIdentity& station) override;

  QImage displayImage() const override { return picture_; }
  QImage displayImage(const QSize& tile) override;
  QImage render(const QSize& size) const override;
  int frameCount() const override;
  // Keeps the picture and the note it was drawn with (see displayNote).
  void setDisplayImage(QImage picture);
  QString displayProblem() const override { return problem_; }
  QString displayNote() const override { return note_; }
  void setDisplayProblem(const QString& problem) { problem_ = problem; }

  // The received object. Used by the receiver and by tests.
  DcmFileFormat& file() const { return *file_; }

 protected:
  Attribute lookup(Tag tag) const override;
  Attribute lookupInItem(Tag sequence, Tag tag) const override;
  // Writes the value in the object's own character set. A value that set
  // cannot hold (or any non-ASCII value in an object that declares no
  // character set) moves the whole object to UTF-8: every text attribute is
  // converted, Specific Character Set becomes ISO_IR 192, then the value is
  // written. Raises DicomError: InvalidObject when the conversion or the
  // write fails, InvalidArgument for attributes the station never changes
  // (file meta information, pixel data, the character set itself).
  void store(Tag tag, const QString& value) override;

 private:
  std::unique_ptr<DcmFileFormat> file_;
  Timeouts timeouts_;
  QImage picture_;
  QString problem_;
  QString note_;
};

}  // namespace dicom::dcmtk
