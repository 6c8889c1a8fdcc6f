#include "DcmtkSpool.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>

#include <QCoreApplication>
#include <QFile>
#include <string>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>
#endif

namespace dicom::dcmtk {

#ifdef __linux__

std::unique_ptr<SpoolFile> SpoolFile::keep(std::unique_ptr<DcmFileFormat>& file) {
  const QByteArray folder = QFile::encodeName(QCoreApplication::applicationDirPath());
  const int descriptor = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (descriptor < 0) return nullptr;
  std::unique_ptr<SpoolFile> spool(new SpoolFile(descriptor));
  // DCMTK opens the file by name whenever it loads a value: the descriptor's
  // name in /proc stands for the unnamed file while the descriptor is open.
  const std::string path = "/proc/self/fd/" + std::to_string(descriptor);
  const E_TransferSyntax xfer = file->getDataset()->getOriginalXfer();
  if (file->saveFile(path.c_str(), xfer, EET_ExplicitLength, EGL_noChange, EPD_noChange, 0, 0,
                     EWM_dontUpdateMeta)
          .bad()) {
    return nullptr;
  }
  auto kept = std::make_unique<DcmFileFormat>();
  if (kept->loadFile(path.c_str(), EXS_Unknown, EGL_noChange, 4096).bad() ||
      kept->getDataset()->getOriginalXfer() != xfer) {
    return nullptr;
  }
  file = std::move(kept);
  return spool;
}

SpoolFile::~SpoolFile() {
  ::close(descriptor_);
}

#else

std::unique_ptr<SpoolFile> SpoolFile::keep(std::unique_ptr<DcmFileFormat>&) {
  return nullptr;
}

SpoolFile::~SpoolFile() = default;

#endif

void releaseLoadedValues(DcmFileFormat& file) {
  DcmDataset& dataset = *file.getDataset();
  DcmElement* element = nullptr;
  auto* pixels = dataset.findAndGetElement(DCM_PixelData, element).good()
                     ? dynamic_cast<DcmPixelData*>(element)
                     : nullptr;
  DcmPixelSequence* sequence = nullptr;
  if (pixels == nullptr ||
      pixels->getEncapsulatedRepresentation(dataset.getOriginalXfer(), nullptr, sequence).bad() ||
      sequence == nullptr) {
    return;
  }
  // Each fragment that can be read from the file again leaves memory.
  for (unsigned long i = 0; i < sequence->card(); ++i) {
    DcmPixelItem* item = nullptr;
    if (sequence->getItem(item, i).good() && item != nullptr) item->compact();
  }
}

}  // namespace dicom::dcmtk
