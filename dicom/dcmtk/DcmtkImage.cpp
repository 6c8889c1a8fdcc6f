#include "DcmtkImage.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <algorithm>

#include "DcmtkJpeg2000.h"
#include "DcmtkNet.h"
#include "DcmtkRender.h"
#include "DcmtkText.h"
#include "dicom/core/BlockingCall.h"
#include "dicom/core/DicomError.h"

namespace dicom::dcmtk {
namespace {

DcmTagKey keyOf(Tag tag) {
  return DcmTagKey(static_cast<Uint16>(groupOf(tag)), static_cast<Uint16>(elementOf(tag)));
}

QString tagText(const DcmTagKey& key) {
  return QString("(%1,%2)")
      .arg(key.getGroup(), 4, 16, QChar('0'))
      .arg(key.getElement(), 4, 16, QChar('0'))
      .toUpper();
}

}  // namespace

DcmtkImage::DcmtkImage(std::unique_ptr<DcmFileFormat> file, Timeouts timeouts)
    : file_(std::move(file)), timeouts_(timeouts) {
  if (!file_) file_ = std::make_unique<DcmFileFormat>();
}

Attribute DcmtkImage::lookup(Tag tag) const {
  const DcmTagKey key = keyOf(tag);
  DcmItem* item = (key.getGroup() == 0x0002) ? static_cast<DcmItem*>(file_->getMetaInfo())
                                             : static_cast<DcmItem*>(file_->getDataset());
  const QString text = readText(*item, key);
  if (text.isNull()) return Attribute();
  return Attribute(text);
}

Attribute DcmtkImage::lookupInItem(Tag sequence, Tag tag) const {
  DcmItem* item = nullptr;
  if (file_->getDataset()->findAndGetSequenceItem(keyOf(sequence), item, 0).bad() ||
      item == nullptr) {
    return Attribute();
  }
  const QString text = readText(*item, keyOf(tag));
  return text.isNull() ? Attribute() : Attribute(text);
}

void DcmtkImage::store(Tag tag, const QString& value) {
  const DcmTagKey key = keyOf(tag);
  if (key.getGroup() == 0x0002 || key == DCM_PixelData || key == DCM_SpecificCharacterSet ||
      key.getGroup() < 0x0008) {
    throw DicomError(OwnError::InvalidArgument,
                     QString("The attribute %1 cannot be changed.").arg(tagText(key)));
  }
  DcmDataset& dataset = *file_->getDataset();
  OFString charset;
  dataset.findAndGetOFStringArray(DCM_SpecificCharacterSet, charset);
  const bool ascii =
      std::all_of(value.begin(), value.end(), [](QChar c) { return c.unicode() < 0x80; });
  OFString encoded;
  // An unmarked object is read as Latin-1; text beyond ASCII is written only
  // into an object that declares its character set.
  if ((charset.empty() && !ascii) || !encodeFor(dataset, value, encoded)) {
    // The object's character set cannot hold the value: move the object to UTF-8.
    const OFCondition converted =
        charset.empty() ? dataset.convertCharacterSet("ISO_IR 100", "ISO_IR 192", 0, OFTrue)
                        : dataset.convertToUTF8();
    if (converted.bad()) {
      throw DicomError(OwnError::InvalidObject,
                       QString("The value for %1 cannot be stored in the image's character set, "
                               "and converting the image to UTF-8 failed: %2")
                           .arg(tagText(key), QString::fromLatin1(converted.text())));
    }
    dataset.putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
    if (!encodeFor(dataset, value, encoded)) {
      throw DicomError(OwnError::InvalidObject,
                       QString("The value for %1 cannot be encoded.").arg(tagText(key)));
    }
  }
  const OFCondition status = dataset.putAndInsertOFStringArray(key, encoded, OFTrue);
  if (status.bad()) {
    throw DicomError(
        OwnError::InvalidObject,
        QString("Setting %1 failed: %2").arg(tagText(key), QString::fromLatin1(status.text())));
  }
}

void DcmtkImage::setDisplayImage(QImage picture) {
  note_ = dicom::dcmtk::displayNote(picture);
  picture_ = std::move(picture);
}

QImage DcmtkImage::displayImage(const QSize& tile) {
  DcmDataset& dataset = *file_->getDataset();
  if (picture_.isNull() || tile.isEmpty() || lent_) return picture_;
  // The size the tile draws the picture at, and what the image can give.
  const QSize drawn = picture_.size().scaled(tile, Qt::KeepAspectRatio);
  Uint16 rows = 0, columns = 0;
  dataset.findAndGetUint16(DCM_Rows, rows);
  dataset.findAndGetUint16(DCM_Columns, columns);
  const int most = std::min<int>(std::max(rows, columns), kDisplayLongSide);
  const bool covered = drawn.width() <= picture_.width() && drawn.height() <= picture_.height();
  if (covered || std::max(picture_.width(), picture_.height()) >= most) return picture_;
  try {
    QImage better = renderForDisplay(dataset, tile, arrivalLongSide(tile, dataset));
    if (!better.isNull()) setDisplayImage(std::move(better));
  } catch (const std::exception&) {
    // The smaller picture still stands.
  }
  releaseLoaded();
  return picture_;
}

QImage DcmtkImage::render(const QSize& size) const {
  if (lent_) return picture_;
  QImage picture;
  try {
    picture =
        renderForDisplay(*file_->getDataset(), size, size.isEmpty() ? 1 << 16 : kDisplayLongSide);
  } catch (const std::exception&) {
    picture = QImage();
  }
  releaseLoaded();
  return picture;
}

void DcmtkImage::releaseLoaded() const {
  if (spool_) releaseLoadedValues(*file_);
}

int DcmtkImage::frameCount() const {
  return static_cast<int>(dicom::dcmtk::frameCount(*file_->getDataset()));
}

QString DcmtkImage::patientName() const {
  return attribute(tags::PatientName).defaultValue();
}

QString DcmtkImage::patientID() const {
  return attribute(tags::PatientID).defaultValue();
}

void DcmtkImage::send(const Peer& archive, const StationIdentity& station) {
  sendCopy([&](DcmFileFormat& copy) { storeObject(copy, archive, station, timeouts_); });
}

void DcmtkImage::sendCopy(const std::function<void(DcmFileFormat&)>& store) {
  DcmDataset& dataset = *file_->getDataset();
  // 27 MB of a mammogram need not be copied to be sent as they are.
  DcmElement* pixels =
      DcmXfer(dataset.getOriginalXfer()).isEncapsulated() ? nullptr : dataset.remove(DCM_PixelData);
  std::unique_ptr<DcmFileFormat> copy;
  const auto takeBack = [&] {
    if (pixels != nullptr) {
      if (copy) copy->getDataset()->remove(pixels);
      if (dataset.insert(pixels).bad()) delete pixels;
    }
    lent_ = false;
  };
  try {
    copy = std::make_unique<DcmFileFormat>(*file_);
    if (pixels != nullptr && copy->getDataset()->insert(pixels).bad()) {
      throw DicomError(OwnError::Internal,
                       QStringLiteral("The image cannot be prepared for sending."));
    }
    lent_ = pixels != nullptr;
    releaseLoaded();
    runOffThread([&] { store(*copy); }, kCallStackBytes);
  } catch (...) {
    takeBack();
    throw;
  }
  takeBack();
}

}  // namespace dicom::dcmtk
