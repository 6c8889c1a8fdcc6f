#pragma once

// DICOM data sets by hand, for the tests that make, send or damage them:
// attributes put from text, a data set as it travels, and the fragments of
// its encapsulated pixel data.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>

#include <QByteArray>
#include <QString>
#include <QTemporaryFile>
#include <vector>

namespace dcmbytes {

// Puts "Keyword=value" items, separated by ';', into the item: US values as
// numbers (0x for hexadecimal), the others as Latin-1 text. Words that name
// no attribute are passed over.
inline void put(DcmItem& item, const QString& items) {
  for (const QString& entry : items.split(';', Qt::SkipEmptyParts)) {
    DcmTag tag;
    if (DcmTag::findTagFromName(qPrintable(entry.section('=', 0, 0)), tag).bad()) continue;
    const QString value = entry.section('=', 1);
    if (tag.getEVR() == EVR_US) item.putAndInsertUint16(tag, Uint16(value.toUInt(nullptr, 0)));
    if (tag.getEVR() != EVR_US) item.putAndInsertString(tag, value.toLatin1().constData());
  }
}

// The data set in that transfer syntax, without the file meta group.
inline QByteArray encoded(DcmDataset& dataset, E_TransferSyntax xfer,
                          E_GrpLenEncoding groupLength = EGL_recalcGL) {
  QTemporaryFile file;
  file.open();
  dataset.saveFile(file.fileName().toLocal8Bit().constData(), xfer, EET_ExplicitLength,
                   groupLength);
  return file.readAll();
}

// The fragments of the data set's encapsulated pixel data, in the transfer
// syntax it was read in (none when it has none).
inline std::vector<DcmPixelItem*> fragments(DcmDataset& dataset) {
  DcmElement* element = nullptr;
  DcmPixelSequence* sequence = nullptr;
  std::vector<DcmPixelItem*> items;
  auto* pixels = dataset.findAndGetElement(DCM_PixelData, element).good()
                     ? dynamic_cast<DcmPixelData*>(element)
                     : nullptr;
  if (pixels == nullptr ||
      pixels->getEncapsulatedRepresentation(dataset.getOriginalXfer(), nullptr, sequence).bad()) {
    return items;
  }
  for (unsigned long i = 0; i < sequence->card(); ++i) {
    DcmPixelItem* item = nullptr;
    if (sequence->getItem(item, i).good()) items.push_back(item);
  }
  return items;
}

}  // namespace dcmbytes
