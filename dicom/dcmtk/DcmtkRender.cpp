#include "DcmtkRender.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmimage/diregist.h>  // colour images
#include <dcmtk/dcmimgle/dcmimage.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace dicom::dcmtk {
namespace {

void keepOriginalRepresentation(DcmDataset& dataset) {
  DcmElement* element = nullptr;
  if (dataset.findAndGetElement(DCM_PixelData, element).good() && element != nullptr) {
    if (auto* pixels = dynamic_cast<DcmPixelData*>(element)) {
      pixels->removeAllButOriginalRepresentations();
    }
  }
}

// Chooses the grey scale: the object's own window, else its VOI LUT, else
// the full range of the stored values.
void chooseVoi(DicomImage& image) {
  if (image.getWindowCount() > 0 && image.setWindow(0)) return;
  if (image.getVoiLutCount() > 0 && image.setVoiLut(0)) return;
  image.setMinMaxWindow(0);
}

QSize fitted(int width, int height, int maxLongSide) {
  const int longSide = std::max(width, height);
  if (longSide <= maxLongSide) return QSize(width, height);
  const double factor = static_cast<double>(maxLongSide) / longSide;
  return QSize(std::max(1, static_cast<int>(width * factor + 0.5)),
               std::max(1, static_cast<int>(height * factor + 0.5)));
}

}  // namespace

QImage shrinkGrey(const unsigned char* pixels, int sourceWidth, int sourceHeight, int width,
                  int height) {
  QImage out(width, height, QImage::Format_Grayscale8);
  if (out.isNull()) return out;
  // Column spans are the same for every row: compute them once.
  std::vector<int> x0(static_cast<std::size_t>(width) + 1);
  for (int x = 0; x <= width; ++x) {
    x0[static_cast<std::size_t>(x)] =
        static_cast<int>(static_cast<long long>(x) * sourceWidth / width);
  }
  std::vector<std::uint32_t> sums(static_cast<std::size_t>(width));
  for (int y = 0; y < height; ++y) {
    const int yBegin = static_cast<int>(static_cast<long long>(y) * sourceHeight / height);
    const int yEnd = std::max(
        yBegin + 1, static_cast<int>(static_cast<long long>(y + 1) * sourceHeight / height));
    std::fill(sums.begin(), sums.end(), 0u);
    for (int sy = yBegin; sy < yEnd; ++sy) {
      const unsigned char* row = pixels + static_cast<std::size_t>(sy) * sourceWidth;
      for (int x = 0; x < width; ++x) {
        const int begin = x0[static_cast<std::size_t>(x)];
        const int end = std::max(begin + 1, x0[static_cast<std::size_t>(x) + 1]);
        std::uint32_t sum = 0;
        for (int sx = begin; sx < end; ++sx) sum += row[sx];
        sums[static_cast<std::size_t>(x)] += sum;
      }
    }
    uchar* line = out.scanLine(y);
    const int rows = yEnd - yBegin;
    for (int x = 0; x < width; ++x) {
      const int begin = x0[static_cast<std::size_t>(x)];
      const int count = rows * (std::max(begin + 1, x0[static_cast<std::size_t>(x) + 1]) - begin);
      line[x] = static_cast<uchar>((sums[static_cast<std::size_t>(x)] + count / 2) / count);
    }
  }
  return out;
}

QImage renderForDisplay(DcmDataset& dataset, int maxLongSide) {
  QImage picture;
  {
    const E_TransferSyntax xfer = dataset.getOriginalXfer();
    // Only the first frame is decoded; a compressed frame is decoded into a
    // buffer of its own rather than into a second copy of the pixel data.
    auto image = std::make_unique<DicomImage>(
        &dataset, xfer, CIF_UsePartialAccessToPixelData | CIF_NeverAccessEmbeddedOverlays, 0, 1);
    if (image->getStatus() == EIS_Normal && !image->isMonochrome()) {
      std::unique_ptr<DicomImage> grey(image->createMonochromeImage());
      image = std::move(grey);
    }
    if (image && image->getStatus() == EIS_Normal) {
      chooseVoi(*image);
      const int width = static_cast<int>(image->getWidth());
      const int height = static_cast<int>(image->getHeight());
      const auto* pixels = static_cast<const unsigned char*>(image->getOutputData(8, 0, 0));
      if (pixels != nullptr && width > 0 && height > 0) {
        const QSize size = fitted(width, height, maxLongSide);
        if (size == QSize(width, height)) {
          picture = QImage(width, height, QImage::Format_Grayscale8);
          if (!picture.isNull()) {
            for (int y = 0; y < height; ++y) {
              std::memcpy(picture.scanLine(y), pixels + static_cast<std::size_t>(y) * width,
                          static_cast<std::size_t>(width));
            }
          }
        } else {
          picture = shrinkGrey(pixels, width, height, size.width(), size.height());
        }
      }
    }
  }  // the decoded buffers go here, before the picture is handed on
  keepOriginalRepresentation(dataset);
  return picture;
}

}  // namespace dicom::dcmtk
