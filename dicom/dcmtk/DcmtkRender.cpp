#include "DcmtkRender.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmimage/diregist.h>  // colour images
#include <dcmtk/dcmimgle/dcmimage.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "DcmtkJpeg2000.h"
#include "dicom/core/Shrink.h"

namespace dicom::dcmtk {
namespace {

// The data set's Pixel Data, or nothing when it has none.
DcmPixelData* pixelDataOf(DcmDataset& dataset) {
  DcmElement* element = nullptr;
  if (dataset.findAndGetElement(DCM_PixelData, element).bad()) return nullptr;
  return dynamic_cast<DcmPixelData*>(element);
}

void keepOriginalRepresentation(DcmDataset& dataset) {
  if (DcmPixelData* pixels = pixelDataOf(dataset)) pixels->removeAllButOriginalRepresentations();
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

// --- the native path ----------------------------------------------------

// What the native path needs to know about a grey image.
struct GreyLayout {
  int rows = 0;
  int columns = 0;
  int bitsAllocated = 0;
  int bitsStored = 0;
  bool isSigned = false;
  bool inverted = false;  // low values shown white
  double slope = 1.0;
  double intercept = 0.0;
  bool hasWindow = false;
  double center = 0.0;
  double width = 0.0;
};

std::optional<OFString> text(DcmItem& dataset, const DcmTagKey& tag) {
  OFString value;
  if (dataset.findAndGetOFString(tag, value).bad()) return std::nullopt;
  const std::size_t begin = value.find_first_not_of(' ');
  if (begin == OFString_npos) return OFString();
  return value.substr(begin, value.find_last_not_of(' ') - begin + 1);
}

std::optional<Uint16> number(DcmDataset& dataset, const DcmTagKey& tag) {
  Uint16 value = 0;
  if (dataset.findAndGetUint16(tag, value).bad()) return std::nullopt;
  return value;
}

// The first value of a decimal string; nothing when absent, empty or not a
// finite number.
std::optional<double> decimal(DcmItem& dataset, const DcmTagKey& tag) {
  Float64 value = 0;
  if (dataset.findAndGetFloat64(tag, value, 0).bad() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// Enhanced multi-frame objects (breast tomosynthesis among them) carry
// their window and rescale in functional groups, per frame or shared by all
// frames, and not at the top level. The shown frame's own group counts
// first; per-frame groups that are not one item per frame are not used.
DcmItem* frameMacro(DcmDataset& dataset, const DcmTagKey& macro, unsigned long frame) {
  DcmItem* group = nullptr;
  DcmItem* item = nullptr;
  DcmSequenceOfItems* perFrame = nullptr;
  if (dataset.findAndGetSequence(DCM_PerFrameFunctionalGroupsSequence, perFrame).good() &&
      perFrame != nullptr && perFrame->card() == frameCount(dataset)) {
    item = perFrame->getItem(frame);
    if (item != nullptr && item->findAndGetSequenceItem(macro, group, 0).good()) return group;
  }
  if (dataset.findAndGetSequenceItem(DCM_SharedFunctionalGroupsSequence, item, 0).good() &&
      item->findAndGetSequenceItem(macro, group, 0).good()) {
    return group;
  }
  return nullptr;
}

// The pixel module of a grey image of 8 or 16 bits allocated whose high bit
// is bits stored - 1, and its polarity by its photometric interpretation;
// false for anything else.
bool readPixelModule(DcmDataset& dataset, GreyLayout& layout) {
  const auto samples = number(dataset, DCM_SamplesPerPixel);
  const auto rows = number(dataset, DCM_Rows);
  const auto columns = number(dataset, DCM_Columns);
  const auto allocated = number(dataset, DCM_BitsAllocated);
  const auto stored = number(dataset, DCM_BitsStored);
  const auto highBit = number(dataset, DCM_HighBit);
  const auto representation = number(dataset, DCM_PixelRepresentation);
  const auto photometric = text(dataset, DCM_PhotometricInterpretation);
  if (!samples || !rows || !columns || !allocated || !stored || !highBit || !representation ||
      !photometric) {
    return false;
  }
  if (*samples != 1 || *rows == 0 || *columns == 0) return false;
  if (*allocated != 8 && *allocated != 16) return false;
  if (*stored == 0 || *stored > *allocated || *highBit != *stored - 1) return false;
  if (*representation > 1) return false;
  if (*photometric != "MONOCHROME1" && *photometric != "MONOCHROME2") return false;
  layout.rows = *rows;
  layout.columns = *columns;
  layout.bitsAllocated = *allocated;
  layout.bitsStored = *stored;
  layout.isSigned = *representation == 1;
  // DCMTK shows MONOCHROME1 inverted unless a Presentation LUT Shape says
  // otherwise; INVERSE inverts either polarity and IDENTITY neither.
  layout.inverted = *photometric == "MONOCHROME1";
  if (dataset.tagExists(DCM_NumberOfFrames)) {
    Sint32 frames = 0;
    if (dataset.findAndGetSint32(DCM_NumberOfFrames, frames).bad() || frames < 1) return false;
  }
  return true;
}

// The Presentation LUT Shape's say on the polarity; false for a lookup
// table or a VOI LUT function the native path does not apply.
bool readPresentation(DcmDataset& dataset, GreyLayout& layout) {
  if (dataset.tagExists(DCM_ModalityLUTSequence) || dataset.tagExists(DCM_VOILUTSequence)) {
    return false;
  }
  if (dataset.tagExists(DCM_VOILUTFunction) && text(dataset, DCM_VOILUTFunction) != "LINEAR") {
    return false;
  }
  if (dataset.tagExists(DCM_PresentationLUTShape)) {
    const auto shape = text(dataset, DCM_PresentationLUTShape);
    if (shape == "INVERSE") {
      layout.inverted = true;
    } else if (shape == "IDENTITY") {
      layout.inverted = false;
    } else {
      return false;
    }
  }
  return true;
}

// The rescale, at the top level or in the frame's functional groups.
bool readRescale(DcmDataset& dataset, unsigned long frame, GreyLayout& layout) {
  DcmItem* rescale = &dataset;
  if (!dataset.tagExists(DCM_RescaleSlope) && !dataset.tagExists(DCM_RescaleIntercept)) {
    if (DcmItem* macro = frameMacro(dataset, DCM_PixelValueTransformationSequence, frame)) {
      rescale = macro;
    }
  }
  if (!rescale->tagExists(DCM_RescaleSlope) && !rescale->tagExists(DCM_RescaleIntercept)) {
    return true;
  }
  const auto slope = decimal(*rescale, DCM_RescaleSlope);
  const auto intercept = decimal(*rescale, DCM_RescaleIntercept);
  if (!slope || !intercept || *slope == 0.0) return false;
  layout.slope = *slope;
  layout.intercept = *intercept;
  return true;
}

// The first window, at the top level or in the frame's functional groups.
bool readWindow(DcmDataset& dataset, unsigned long frame, GreyLayout& layout) {
  DcmItem* voi = &dataset;
  if (!dataset.tagExists(DCM_WindowCenter) && !dataset.tagExists(DCM_WindowWidth)) {
    if (DcmItem* macro = frameMacro(dataset, DCM_FrameVOILUTSequence, frame)) {
      if (macro->tagExists(DCM_VOILUTFunction) && text(*macro, DCM_VOILUTFunction) != "LINEAR") {
        return false;
      }
      voi = macro;
    }
  }
  if (!voi->tagExists(DCM_WindowCenter) && !voi->tagExists(DCM_WindowWidth)) return true;
  const auto center = decimal(*voi, DCM_WindowCenter);
  const auto width = decimal(*voi, DCM_WindowWidth);
  // DCMTK refuses a width below 1 and then falls back on other grey
  // scales; that case is left to it.
  if (!center || !width || *width < 1.0) return false;
  layout.hasWindow = true;
  layout.center = *center;
  layout.width = *width;
  return true;
}

// Reads the attributes that decide the grey scale, or nothing when the
// object needs more than the native path does (see renderNativeGrey).
std::optional<GreyLayout> greyLayout(DcmDataset& dataset, unsigned long frame) {
  GreyLayout layout;
  if (!readPixelModule(dataset, layout) || !readPresentation(dataset, layout) ||
      !readRescale(dataset, frame, layout) || !readWindow(dataset, frame, layout)) {
    return std::nullopt;
  }
  return layout;
}

// The stored value a pixel word holds: masked to bits stored, sign-extended
// when the pixel representation is signed.
struct StoredValue {
  std::uint32_t mask;
  std::int32_t sign;  // the sign bit when signed, else 0
  explicit StoredValue(const GreyLayout& layout)
      : mask(layout.bitsStored >= 32 ? 0xFFFFFFFFu : (1u << layout.bitsStored) - 1u),
        sign(layout.isSigned ? static_cast<std::int32_t>(1u << (layout.bitsStored - 1)) : 0) {}
  std::int32_t operator()(std::uint32_t word) const {
    return (static_cast<std::int32_t>(word & mask) ^ sign) - sign;
  }
};

// The lowest and highest stored value over the first count pixels.
template <typename Word>
std::pair<std::int32_t, std::int32_t> storedRange(const Word* words, std::size_t count,
                                                  const StoredValue& value) {
  std::int32_t low = value(words[0]), high = low;
  for (std::size_t i = 1; i < count; ++i) {
    const std::int32_t v = value(words[i]);
    low = std::min(low, v);
    high = std::max(high, v);
  }
  return {low, high};
}

// The 8-bit grey of every possible pixel word: stored value, rescale, then
// DCMTK's linear window with its borders and its truncation, output running
// from 0 to 255 (255 to 0 for MONOCHROME1), so that this path shows what the
// decoder path shows.
std::vector<std::uint8_t> greyTable(const GreyLayout& layout, double center, double width) {
  const StoredValue value(layout);
  const std::size_t entries = std::size_t{1} << layout.bitsAllocated;
  std::vector<std::uint8_t> table(entries);
  const double low = layout.inverted ? 255.0 : 0.0;
  const double high = layout.inverted ? 0.0 : 255.0;
  const double outRange = high - low;
  const double width1 = width - 1.0;
  const double leftBorder = center - 0.5 - width1 / 2.0;
  const double rightBorder = center - 0.5 + width1 / 2.0;
  const double offset = width1 == 0.0 ? 0.0 : high - ((center - 0.5) / width1 + 0.5) * outRange;
  const double gradient = width1 == 0.0 ? 0.0 : outRange / width1;
  for (std::size_t word = 0; word < entries; ++word) {
    const double m = static_cast<double>(value(static_cast<std::uint32_t>(word))) * layout.slope +
                     layout.intercept;
    double grey;
    if (m <= leftBorder) {
      grey = low;
    } else if (m > rightBorder) {
      grey = high;
    } else {
      grey = offset + m * gradient;
      // Converting a NaN to an integer is undefined: an extreme rescale
      // shows the low end rather than anything at all.
      grey = std::isfinite(grey) ? std::clamp(grey, 0.0, 255.0) : low;
    }
    table[word] = static_cast<std::uint8_t>(grey);
  }
  return table;
}

template <typename Word>
QImage renderWords(const Word* words, const GreyLayout& layout, int maxLongSide) {
  double center = layout.center, width = layout.width;
  if (!layout.hasWindow) {
    // DCMTK's min-max window: center (min + max + 1) / 2, width max - min + 1,
    // over the rescaled values.
    const StoredValue value(layout);
    const auto [low, high] =
        storedRange(words, static_cast<std::size_t>(layout.rows) * layout.columns, value);
    const double a = low * layout.slope + layout.intercept;
    const double b = high * layout.slope + layout.intercept;
    const double lowest = std::min(a, b), highest = std::max(a, b);
    center = (lowest + highest + 1.0) / 2.0;
    width = highest - lowest + 1.0;
  }
  // A rescale that overflows over the stored values has no window this
  // path can compute; DCMTK's decoder has its own way with it.
  if (!std::isfinite(center) || !std::isfinite(width) || !std::isfinite(center - width / 2.0) ||
      !std::isfinite(center + width / 2.0)) {
    return {};
  }
  const auto table = greyTable(layout, center, width);
  const QSize size = fitted(layout.columns, layout.rows, maxLongSide);
  const std::uint8_t* grey = table.data();
  return shrinkMapped(words, layout.columns, layout.rows, static_cast<std::size_t>(layout.columns),
                      size.width(), size.height(), [grey](Word word) { return grey[word]; });
}
}  // namespace

QImage renderNativeGrey(DcmDataset& dataset, int maxLongSide, unsigned long frame) {
  const auto layout = greyLayout(dataset, frame);
  DcmPixelData* pixelData = pixelDataOf(dataset);
  if (!layout || pixelData == nullptr) return {};
  E_TransferSyntax current = EXS_Unknown;
  const DcmRepresentationParameter* parameter = nullptr;
  pixelData->getCurrentRepresentationKey(current, parameter);
  if (DcmXfer(current).isEncapsulated()) return {};

  // The value must hold the whole frame before any of it is read.
  const std::size_t count = static_cast<std::size_t>(layout->rows) * layout->columns;
  const std::size_t bytes = count * static_cast<std::size_t>(layout->bitsAllocated / 8);
  std::size_t end = 0;
  if (__builtin_mul_overflow(bytes, static_cast<std::size_t>(frame) + 1, &end) ||
      pixelData->getLength(EXS_LittleEndianExplicit, EET_ExplicitLength) < end) {
    return {};
  }
  const std::size_t first = count * static_cast<std::size_t>(frame);
  if (layout->bitsAllocated == 8) {
    Uint8* words = nullptr;
    if (pixelData->getUint8Array(words).bad() || words == nullptr) return {};
    return renderWords(words + first, *layout, maxLongSide);
  }
  Uint16* words = nullptr;  // in this machine's byte order, whatever the object's
  if (pixelData->getUint16Array(words).bad() || words == nullptr) return {};
  return renderWords(words + first, *layout, maxLongSide);
}

QImage renderCompressedGrey(DcmDataset& dataset, int maxLongSide, unsigned long frame) {
  const auto layout = greyLayout(dataset, frame);
  DcmPixelData* pixelData = pixelDataOf(dataset);
  if (!layout || pixelData == nullptr || !DcmXfer(dataset.getOriginalXfer()).isEncapsulated()) {
    return {};
  }
  const std::size_t count = static_cast<std::size_t>(layout->rows) * layout->columns;
  const std::size_t bytes = count * static_cast<std::size_t>(layout->bitsAllocated / 8);
  // The one frame, decoded by DCMTK's codec into a buffer of its own: no
  // second representation of the pixel data, no decoder pipeline copies.
  std::unique_ptr<std::uint16_t[]> buffer(new (std::nothrow) std::uint16_t[(bytes + 1) / 2]);
  if (!buffer) return {};
  Uint32 startFragment = 0;
  OFString model;
  if (pixelData
          ->getUncompressedFrame(&dataset, static_cast<Uint32>(frame), startFragment, buffer.get(),
                                 static_cast<Uint32>(bytes), model)
          .bad() ||
      (model != "MONOCHROME1" && model != "MONOCHROME2")) {
    return {};
  }
  if (layout->bitsAllocated == 8) {
    return renderWords(reinterpret_cast<const std::uint8_t*>(buffer.get()), *layout, maxLongSide);
  }
  return renderWords(buffer.get(), *layout, maxLongSide);
}

QImage renderDecoded(DcmDataset& dataset, int maxLongSide, unsigned long frame) {
  QImage picture;
  {
    const E_TransferSyntax xfer = dataset.getOriginalXfer();
    // Only the one frame is decoded; a compressed frame is decoded into a
    // buffer of its own rather than into a second copy of the pixel data.
    auto image = std::make_unique<DicomImage>(
        &dataset, xfer, CIF_UsePartialAccessToPixelData | CIF_NeverAccessEmbeddedOverlays, frame,
        1);
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
        picture = shrinkGrey(pixels, width, height, size.width(), size.height());
      }
    }
  }  // the decoded buffers go here, before the picture is handed on
  keepOriginalRepresentation(dataset);
  return picture;
}

int arrivalLongSide(const QSize& tile) {
  return std::clamp(std::max(tile.width(), tile.height()), 1024, kDisplayLongSide);
}

unsigned long frameCount(DcmDataset& dataset) {
  Sint32 frames = 1;
  if (dataset.findAndGetSint32(DCM_NumberOfFrames, frames).bad() || frames < 1) return 1;
  return static_cast<unsigned long>(frames);
}

unsigned long displayFrame(DcmDataset& dataset) {
  return frameCount(dataset) / 2;
}

QImage renderForDisplay(DcmDataset& dataset, const QSize& target, int maxLongSide) {
  const unsigned long frame = displayFrame(dataset);
  if (isJpeg2000(dataset.getOriginalXfer())) {
    // Decoded at the lowest resolution that covers the target, into an
    // uncompressed copy that renders like any other image.
    const QSize box = target.isEmpty() ? QSize() : target.boundedTo({maxLongSide, maxLongSide});
    QString error;
    std::unique_ptr<DcmDataset> copy = decodeJpeg2000Frame(dataset, frame, box, error);
    if (!copy) throw std::runtime_error(error.toStdString());
    return renderForDisplay(*copy, target, target.isEmpty() ? 1 << 16 : maxLongSide);
  }
  // Most received mammograms are uncompressed grey images with a linear
  // window: read straight from the pixel data, they need no intermediate
  // copies (DCMTK's decoder makes two, of 27 and 14 MB for a full-field
  // image) and are decoded several times faster.
  QImage picture = renderNativeGrey(dataset, maxLongSide, frame);
  if (picture.isNull()) picture = renderCompressedGrey(dataset, maxLongSide, frame);
  if (!picture.isNull()) return picture;
  return renderDecoded(dataset, maxLongSide, frame);
}

}  // namespace dicom::dcmtk
