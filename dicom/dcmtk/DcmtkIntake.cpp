#include "DcmtkIntake.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>

#include <algorithm>

namespace dicom::dcmtk {
namespace {

std::string text(DcmItem& item, const DcmTagKey& key) {
  OFString value;
  item.findAndGetOFString(key, value);
  return QString::fromLatin1(value.c_str()).trimmed().toStdString();
}

Uint32 littleEndian32(const Uint8* bytes) {
  return Uint32{bytes[0]} | Uint32{bytes[1]} << 8 | Uint32{bytes[2]} << 16 | Uint32{bytes[3]} << 24;
}

// DCMTK's RLE decoder takes the segment offsets in each fragment's header
// as they stand and reads where they point: a header that lies reads outside
// the fragment. Every frame is one fragment whose header names one segment
// per byte of a sample, in ascending order, inside the fragment.
QString checkRleFragments(DcmPixelSequence& sequence, Sint32 frames, Uint16 samples,
                          Uint16 bitsAllocated) {
  const unsigned long fragments = sequence.card() - 1;  // item 0 is the offset table
  if (fragments != static_cast<unsigned long>(frames)) {
    return QString("RLE pixel data holds %1 fragments for %2 frames").arg(fragments).arg(frames);
  }
  const Uint32 segments = Uint32{samples} * (bitsAllocated / 8u);
  for (unsigned long i = 1; i <= fragments; ++i) {
    DcmPixelItem* item = nullptr;
    Uint8* data = nullptr;
    if (sequence.getItem(item, i).bad() || item == nullptr || item->getUint8Array(data).bad() ||
        (data == nullptr && item->getLength() > 0)) {
      return QString("RLE fragment %1 unreadable").arg(i);
    }
    const Uint32 length = item->getLength();
    if (length < 64 || littleEndian32(data) != segments) {
      return QString("RLE fragment %1 has no header for %2 segments").arg(i).arg(segments);
    }
    Uint32 previous = 0;
    for (Uint32 segment = 0; segment < segments; ++segment) {
      const Uint32 offset = littleEndian32(data + 4 + 4 * segment);
      if ((segment == 0 && offset != 64) || (segment > 0 && offset <= previous) ||
          offset >= length) {
        return QString("RLE fragment %1: segment offsets outside the fragment").arg(i);
      }
      previous = offset;
    }
  }
  return QString();
}

}  // namespace

ObjectIntake::ObjectIntake(E_TransferSyntax xfer, Mode mode, Limits limits, StudyCheck studyCheck)
    : xfer_(xfer),
      mode_(mode),
      limits_(limits),
      studyCheck_(std::move(studyCheck)),
      scanner_(xfer, {limits.maxDepth, limits.objectBytes}) {
  if (mode_ != Mode::Refuse) {
    file_ = std::make_unique<DcmFileFormat>();
    file_->getDataset()->transferInit();
  }
}

void ObjectIntake::refuse(std::uint16_t status, const QString& reason) {
  mode_ = Mode::Refuse;
  status_ = status;
  reason_ = reason;
  file_.reset();
}

void ObjectIntake::feed(const std::uint8_t* data, std::size_t size, bool last) {
  bytes_ += size;
  if (!file_ || allFed_) return;
  if (bytes_ > limits_.objectBytes) {
    refuse(0xA700, QString("it is larger than %1 MiB").arg(limits_.objectBytes >> 20));
    return;
  }
  const QString problem = scanner_.feed(data, size);
  if (!problem.isEmpty()) {
    refuse(0xC000, problem);
    return;
  }
  // Asked back for its attributes only: the pixels are not parsed.
  const bool deflated = DcmXfer(xfer_).getStreamCompression() != ESC_none;
  if (mode_ == Mode::Probe && !deflated && scanner_.reachedPixelData()) {
    size =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, scanner_.pixelDataOffset() - fed_));
    allFed_ = true;
  }
  if (size > 0) buffer_.setBuffer(data, static_cast<offile_off_t>(size));
  fed_ += size;
  if (last || allFed_) buffer_.setEos();
  DcmDataset* dataset = file_->getDataset();
  const OFCondition read = dataset->read(buffer_, xfer_, EGL_noChange);
  // The bytes the parser has not taken yet are copied aside now, while the
  // network's buffer still holds them.
  buffer_.releaseBuffer();
  if (read.bad() && read != EC_StreamNotifyClient) {
    refuse(0xC000, QString("it cannot be parsed (%1)").arg(read.text()));
    return;
  }
  // Every attribute before the pixel data has passed: an object of another
  // study is dropped before its pixels are held. (The data set itself must
  // not be looked at while it is being read.)
  if (mode_ == Mode::Keep && studyCheck_ && !studyChecked_ && scanner_.reachedPixelData()) {
    const QString reason = studyCheck_(scanner_.studyInstanceUID());
    if (!reason.isEmpty()) refuse(0x0124, reason);
    studyChecked_ = reason.isEmpty();
  }
  if (file_ && (last || allFed_)) dataset->transferEnd();
}

void ObjectIntake::finish(const std::string& sopInstanceUID) {
  if (!file_) return;
  DcmDataset& dataset = *file_->getDataset();
  if (dataset.card() == 0) {
    refuse(0xC000, "the data set is empty");
  } else if (text(dataset, DCM_SOPInstanceUID) != sopInstanceUID) {
    refuse(0xC000, "its SOP Instance UID is not the one of the request");
  } else if (mode_ == Mode::Keep) {
    studyUID_ = text(dataset, DCM_StudyInstanceUID);
    QString reason = studyCheck_ ? studyCheck_(studyUID_) : QString();
    if (!reason.isEmpty()) {
      refuse(0x0124, reason);
      return;
    }
    studyChecked_ = true;
    reason = checkPixelModule(dataset, hasPixelData_);
    if (!reason.isEmpty()) refuse(0xC000, reason);
  }
}

QString checkPixelModule(DcmDataset& dataset, bool& hasPixelData) {
  DcmElement* element = nullptr;
  hasPixelData = dataset.findAndGetElement(DCM_PixelData, element).good() && element != nullptr;
  if (!hasPixelData) return QString();

  Uint16 rows = 0, columns = 0, bitsAllocated = 0, bitsStored = 0, highBit = 0, samples = 1;
  dataset.findAndGetUint16(DCM_Rows, rows);
  dataset.findAndGetUint16(DCM_Columns, columns);
  if (rows == 0 || columns == 0) return QString("Rows or Columns missing or zero");
  if (dataset.findAndGetUint16(DCM_BitsAllocated, bitsAllocated).bad() ||
      (bitsAllocated != 8 && bitsAllocated != 16)) {
    return QString("Bits Allocated %1 not supported").arg(bitsAllocated);
  }
  if (dataset.findAndGetUint16(DCM_BitsStored, bitsStored).bad() || bitsStored == 0 ||
      bitsStored > bitsAllocated) {
    return QString("Bits Stored %1 invalid").arg(bitsStored);
  }
  if (dataset.findAndGetUint16(DCM_HighBit, highBit).bad() || highBit >= bitsAllocated) {
    return QString("High Bit %1 invalid").arg(highBit);
  }
  if (dataset.findAndGetUint16(DCM_SamplesPerPixel, samples).good() &&
      (samples != 1 && samples != 3)) {
    return QString("Samples per Pixel %1 not supported").arg(samples);
  }
  Sint32 frames = 1;
  if (dataset.tagExists(DCM_NumberOfFrames)) {
    if (dataset.findAndGetSint32(DCM_NumberOfFrames, frames).bad() || frames < 1) {
      return QString("Number of Frames invalid");
    }
  }
  // The size the header declares, in arithmetic that cannot overflow: a
  // lying header must not pass for a small one.
  std::uint64_t expected = 0;
  if (__builtin_mul_overflow(std::uint64_t{rows}, columns, &expected) ||
      __builtin_mul_overflow(expected, samples, &expected) ||
      __builtin_mul_overflow(expected, static_cast<std::uint64_t>(frames), &expected) ||
      __builtin_mul_overflow(expected, bitsAllocated / 8u, &expected)) {
    return QString("Rows, Columns and Number of Frames declare an impossible size");
  }

  auto* pixels = dynamic_cast<DcmPixelData*>(element);
  const DcmXfer xfer(dataset.getOriginalXfer());
  if (xfer.isEncapsulated()) {
    DcmPixelSequence* sequence = nullptr;
    if (pixels == nullptr ||
        pixels->getEncapsulatedRepresentation(xfer.getXfer(), nullptr, sequence).bad() ||
        sequence == nullptr || sequence->card() < 2) {
      return QString("Encapsulated pixel data missing");
    }
    if (expected > 0xFFFFFFFFull * 64) return QString("declared size beyond any image");
    if (xfer.getXfer() == EXS_RLELossless) {
      return checkRleFragments(*sequence, frames, samples, bitsAllocated);
    }
    return QString();
  }
  const unsigned long long length = element->getLength();
  if (length != expected && length != expected + 1) {
    return QString("Pixel data length %1, expected %2").arg(length).arg(expected);
  }
  return QString();
}

}  // namespace dicom::dcmtk
