#pragma once

// A received object as the viewer holds it: the DICOM object exactly as it
// arrived (same transfer syntax, same attributes) and its display picture.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QImage>
#include <memory>

#include "dicom/core/Image.h"
#include "DcmtkToolkit.h"

namespace dicom::dcmtk {

class DcmtkImage : public Image {
 public:
  DcmtkImage(std::unique_ptr<DcmFileFormat> file, Timeouts timeouts);

  Attribute attribute(std::uint32_t group, std::uint32_t element) const override;
  Attribute itemAttribute(std::uint32_t sequence, std::uint32_t group,
                          std::uint32_t element) const override;
  // Writes the value in the object's own character set. A value that set
  // cannot hold (or any non-ASCII value in an object that declares no
  // character set) moves the whole object to UTF-8: every text attribute is
  // converted, Specific Character Set becomes ISO_IR 192, then the value is
  // written. Raises DicomError: InvalidObject when the conversion or the
  // write fails, InvalidArgument for attributes the station never changes
  // (file meta information, pixel data, the character set itself).
  void addOrReplace(std::uint32_t group, std::uint32_t element, const QString& value) override;

  QString patientName() const override;
  QString patientID() const override;

  void send(const QString& address, std::int32_t port, const QString& callingAE,
            const QString& calledAE) override;

  QImage displayImage() const override { return picture_; }
  QImage displayImage(const QSize& tile) override;
  QImage render(const QSize& size) const override;
  int frameCount() const override;
  void setDisplayImage(QImage picture) { picture_ = std::move(picture); }
  QString displayProblem() const override { return problem_; }
  void setDisplayProblem(const QString& problem) { problem_ = problem; }

  // The received object. Used by the receiver and by tests.
  DcmFileFormat& file() const { return *file_; }

 private:
  std::unique_ptr<DcmFileFormat> file_;
  Timeouts timeouts_;
  QImage picture_;
  QString problem_;
};

}  // namespace dicom::dcmtk
