#pragma once

// A received object as the viewer holds it: the DICOM object exactly as it
// arrived (same transfer syntax, same attributes) and its display picture.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <QImage>
#include <functional>
#include <memory>

#include "DcmtkSpool.h"
#include "DcmtkToolkit.h"
#include "dicom/core/Image.h"

namespace dicom::dcmtk {

class DcmtkImage : public Image {
 public:
  DcmtkImage(std::unique_ptr<DcmFileFormat> file, Timeouts timeouts);

  QString patientName() const override;
  QString patientID() const override;

  void send(const Peer& archive, const StationIdentity& station) override;
  // Runs store off this thread, which may draw the image meanwhile, on a
  // copy of the object: the object on screen stays as it arrived, even when
  // the store decodes the copy for the peer. Uncompressed pixel data is not
  // copied but lent to the copy and taken back when the store has ended, as
  // it ended; meanwhile the image shows the picture it has.
  void sendCopy(const std::function<void(DcmFileFormat&)>& store);

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
  // The object's compressed fragments are kept in this file (SpoolFile):
  // what a decode or a store loads of them leaves memory again afterwards.
  void keepSpool(std::unique_ptr<SpoolFile> spool) { spool_ = std::move(spool); }
  // After a store of a copy of the object: what it loaded leaves memory.
  void releaseLoaded() const;

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
  std::unique_ptr<SpoolFile> spool_;  // outlives the object read from it
  std::unique_ptr<DcmFileFormat> file_;
  Timeouts timeouts_;
  QImage picture_;
  QString problem_;
  QString note_;
  bool lent_ = false;  // the pixel data is out with a store
};

}  // namespace dicom::dcmtk
