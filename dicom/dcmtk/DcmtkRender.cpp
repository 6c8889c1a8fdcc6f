#include "DcmtkRender.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmimage/diregist.h>  // colour images
#include <dcmtk/dcmimgle/dcmimage.h>

#include <QStringList>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "DcmtkJpeg2000.h"
#include "DcmtkJpegLs.h"
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

QSize fitted(int width, int height, int maxLongSide) {
  const int longSide = std::max(width, height);
  if (longSide <= maxLongSide) return QSize(width, height);
  const double factor = static_cast<double>(maxLongSide) / longSide;
  return QSize(std::max(1, static_cast<int>(width * factor + 0.5)),
               std::max(1, static_cast<int>(height * factor + 0.5)));
}

// --- reading the attributes ---------------------------------------------

std::optional<OFString> text(DcmItem& dataset, const DcmTagKey& tag) {
  OFString value;
  if (dataset.findAndGetOFString(tag, value).bad()) return std::nullopt;
  const std::size_t begin = value.find_first_not_of(' ');
  if (begin == OFString_npos) return OFString();
  return value.substr(begin, value.find_last_not_of(' ') - begin + 1);
}

std::optional<Uint16> number(DcmItem& dataset, const DcmTagKey& tag) {
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

// The item that holds the two attributes: the data set when it holds
// either, else the frame's functional group of that macro, else the data set.
DcmItem& holder(DcmDataset& dataset, const DcmTagKey& first, const DcmTagKey& second,
                const DcmTagKey& macro, unsigned long frame) {
  if (dataset.tagExistsWithValue(first) || dataset.tagExistsWithValue(second)) return dataset;
  DcmItem* group = frameMacro(dataset, macro, frame);
  return group != nullptr ? *group : dataset;
}

// --- the grey scale -------------------------------------------------------
//
// A window, rescale or lookup table that cannot give a picture (not finite,
// overflowing, a width below 1, every value in one grey, a table shorter
// than its descriptor) is set aside and named; the picture is then drawn
// over the range of the pixel values, as when the object has none, rather
// than as a uniform black, grey or white.

// How a grey image's values become greys, once its attributes are checked.
struct GreyScale {
  enum class Modality { None, Rescale, Lut };
  enum class Voi { Range, Window, Lut };
  Modality modality = Modality::None;
  bool modalityIgnored = false;  // a rescale or modality LUT set aside
  double slope = 1.0, intercept = 0.0;
  Voi voi = Voi::Range;
  bool ownWindow = false;  // the object's own first window, not a functional group's
  double center = 0.0, width = 0.0;
  bool linear = true;  // every VOI LUT Function that applies is LINEAR
  bool sigmoid = false;
  QStringList notes;
};

// The values the pixels' bits can hold, after the modality transformation.
struct ValueRange {
  bool known = false;
  double low = 0.0, high = 0.0;
};

ValueRange storedRange(DcmDataset& dataset) {
  const auto stored = number(dataset, DCM_BitsStored);
  if (!stored || *stored == 0 || *stored > 32) return {};
  const double span = std::ldexp(1.0, *stored);
  if (number(dataset, DCM_PixelRepresentation).value_or(0) == 1) {
    return {true, -span / 2.0, span / 2.0 - 1.0};
  }
  return {true, 0.0, span - 1.0};
}

// The value of a descriptor, whatever its VR (US or SS): its first value
// counts entries, 0 meaning 65536.
std::optional<long> descriptorValue(DcmItem& item, const DcmTagKey& tag, unsigned long position) {
  DcmElement* element = nullptr;
  OFString value;
  if (item.findAndGetElement(tag, element).bad() || element == nullptr ||
      element->getOFString(value, position).bad()) {
    return std::nullopt;
  }
  bool ok = false;
  const long number = QString::fromLatin1(value.c_str()).trimmed().toLong(&ok);
  if (!ok || number < -32768 || number > 65535) return std::nullopt;
  return number < 0 ? number + 65536 : number;
}

// Why a lookup table cannot be used; empty when it can. Its data must hold
// the entries its descriptor declares (8-bit entries may come two a word).
QString lutProblem(DcmItem& item, const DcmTagKey& descriptor, const DcmTagKey& data) {
  const auto entries = descriptorValue(item, descriptor, 0);
  const auto bits = descriptorValue(item, descriptor, 2);
  DcmElement* values = nullptr;
  if (!entries || !bits) return "descriptor unreadable";
  if (item.findAndGetElement(data, values).bad() || values == nullptr) return "data missing";
  const unsigned long count = *entries == 0 ? 65536 : static_cast<unsigned long>(*entries);
  const unsigned long words = values->getLength() / 2;
  if (words < count && !(*bits <= 8 && words == (count + 1) / 2)) {
    return "shorter than its descriptor";
  }
  return {};
}

// Whether a and b are finite, apart, and a span a window can be computed over.
bool usableSpan(double a, double b) {
  const double low = std::min(a, b), high = std::max(a, b);
  return std::isfinite(low) && std::isfinite(high) && low != high &&
         std::isfinite(high - low + 1.0) && std::isfinite(low + high + 1.0);
}

// The modality transformation: a modality LUT, else the rescale (at the top
// level or in the frame's functional groups), else none.
void chooseModality(DcmDataset& dataset, unsigned long frame, ValueRange& range, GreyScale& scale) {
  DcmItem* lut = nullptr;
  if (dataset.findAndGetSequenceItem(DCM_ModalityLUTSequence, lut, 0).good() && lut != nullptr) {
    const QString problem = lutProblem(*lut, DCM_LUTDescriptor, DCM_LUTData);
    scale.modality = problem.isEmpty() ? GreyScale::Modality::Lut : GreyScale::Modality::None;
    scale.modalityIgnored = !problem.isEmpty();
    if (!problem.isEmpty()) scale.notes << "modality LUT ignored: " + problem;
    if (problem.isEmpty()) range.known = false;  // the table's values are its own
    return;
  }
  DcmItem& item = holder(dataset, DCM_RescaleSlope, DCM_RescaleIntercept,
                         DCM_PixelValueTransformationSequence, frame);
  const bool hasSlope = item.tagExistsWithValue(DCM_RescaleSlope);
  const bool hasIntercept = item.tagExistsWithValue(DCM_RescaleIntercept);
  if (!hasSlope && !hasIntercept) return;
  const auto slope = hasSlope ? decimal(item, DCM_RescaleSlope) : 1.0;
  const auto intercept = hasIntercept ? decimal(item, DCM_RescaleIntercept) : 0.0;
  QString problem;
  if (!slope || !intercept) {
    problem = "not finite";
  } else if (*slope == 0.0) {
    problem = "slope 0";
  } else if (range.known &&
             !usableSpan(range.low * *slope + *intercept, range.high * *slope + *intercept)) {
    problem = "out of range";
  }
  if (!problem.isEmpty()) {
    scale.modalityIgnored = true;
    scale.notes << "rescale ignored: " + problem;
    return;
  }
  scale.modality = GreyScale::Modality::Rescale;
  scale.slope = *slope;
  scale.intercept = *intercept;
  const double a = range.low * scale.slope + scale.intercept;
  const double b = range.high * scale.slope + scale.intercept;
  range.low = std::min(a, b), range.high = std::max(a, b);
}

// The 8-bit grey DCMTK's linear window gives a value (0 .. 255, before the
// polarity), with its borders and its truncation.
int windowGrey(double value, double center, double width) {
  const double left = center - 0.5 - (width - 1.0) / 2.0;
  const double right = center - 0.5 + (width - 1.0) / 2.0;
  if (value <= left) return 0;
  if (value > right) return 255;
  return static_cast<int>(std::clamp((value - left) / (width - 1.0) * 255.0, 0.0, 255.0));
}

// Why the window cannot give a picture of values in range; empty when it can.
QString windowProblem(std::optional<double> center, std::optional<double> width,
                      const ValueRange& range) {
  if (!center || !width) return "not finite";
  if (*width < 1.0) return "width below 1";
  if (!std::isfinite(*center - 0.5 - *width / 2.0) || !std::isfinite(*center + *width / 2.0)) {
    return "out of range";
  }
  if (range.known &&
      windowGrey(range.low, *center, *width) == windowGrey(range.high, *center, *width)) {
    return "one grey for all values";
  }
  return {};
}

// The VOI: the first window (the object's own, else the frame's functional
// group's), else the first VOI LUT, else the range of the values. With the
// modality transformation set aside, a window or table made for its values
// is set aside too.
void chooseVoi(DcmDataset& dataset, unsigned long frame, const ValueRange& range,
               GreyScale& scale) {
  if (dataset.tagExists(DCM_VOILUTFunction) && text(dataset, DCM_VOILUTFunction) != "LINEAR") {
    scale.linear = false;
  }
  if (scale.modalityIgnored) return;
  DcmItem& item =
      holder(dataset, DCM_WindowCenter, DCM_WindowWidth, DCM_FrameVOILUTSequence, frame);
  if (item.tagExistsWithValue(DCM_WindowCenter) || item.tagExistsWithValue(DCM_WindowWidth)) {
    const auto center = decimal(item, DCM_WindowCenter);
    const auto width = decimal(item, DCM_WindowWidth);
    const bool complete =
        item.tagExistsWithValue(DCM_WindowCenter) && item.tagExistsWithValue(DCM_WindowWidth);
    const QString problem = complete ? windowProblem(center, width, range) : "incomplete";
    if (problem.isEmpty()) {
      scale.voi = GreyScale::Voi::Window;
      scale.ownWindow = &item == &dataset;
      scale.center = *center;
      scale.width = *width;
      const auto function = text(item, DCM_VOILUTFunction);
      if (function && *function != "LINEAR") scale.linear = false;
      scale.sigmoid = function == "SIGMOID";
      return;
    }
    scale.notes << "window ignored: " + problem;
  }
  DcmItem* lut = nullptr;
  if (dataset.findAndGetSequenceItem(DCM_VOILUTSequence, lut, 0).good() && lut != nullptr) {
    const QString problem = lutProblem(*lut, DCM_LUTDescriptor, DCM_LUTData);
    if (problem.isEmpty()) scale.voi = GreyScale::Voi::Lut;
    if (!problem.isEmpty()) scale.notes << "VOI LUT ignored: " + problem;
  }
}

GreyScale greyScale(DcmDataset& dataset, unsigned long frame) {
  GreyScale scale;
  ValueRange range = storedRange(dataset);
  chooseModality(dataset, frame, range, scale);
  chooseVoi(dataset, frame, range, scale);
  return scale;
}

// Sets the grey scale on DCMTK's decoder: the window chosen, else the VOI
// LUT, else the range of the values.
void applyVoi(DicomImage& image, const GreyScale& scale) {
  if (scale.voi == GreyScale::Voi::Window) {
    const bool set =
        scale.ownWindow ? image.setWindow(0) : image.setWindow(scale.center, scale.width);
    if (set && !scale.ownWindow && scale.sigmoid) image.setVoiLutFunction(EFV_Sigmoid);
    if (set) return;
  }
  if (scale.voi == GreyScale::Voi::Lut && image.setVoiLut(0)) return;
  image.setMinMaxWindow(0);
}

const QString kNoteKey = QStringLiteral("Brevant.displayNote");

QImage noted(QImage picture, const QStringList& notes) {
  if (!picture.isNull() && !notes.isEmpty()) picture.setText(kNoteKey, notes.join("; "));
  return picture;
}

// Why a palette colour image cannot be shown; empty when it can (or is none).
QString paletteProblem(DcmDataset& dataset) {
  if (text(dataset, DCM_PhotometricInterpretation) != "PALETTE COLOR") return {};
  const std::array<std::tuple<const char*, DcmTagKey, DcmTagKey, DcmTagKey>, 3> colours = {{
      {"Red", DCM_RedPaletteColorLookupTableDescriptor, DCM_RedPaletteColorLookupTableData,
       DCM_SegmentedRedPaletteColorLookupTableData},
      {"Green", DCM_GreenPaletteColorLookupTableDescriptor, DCM_GreenPaletteColorLookupTableData,
       DCM_SegmentedGreenPaletteColorLookupTableData},
      {"Blue", DCM_BluePaletteColorLookupTableDescriptor, DCM_BluePaletteColorLookupTableData,
       DCM_SegmentedBluePaletteColorLookupTableData},
  }};
  for (const auto& [name, descriptor, data, segmented] : colours) {
    if (dataset.tagExists(segmented)) continue;
    const QString problem = lutProblem(dataset, descriptor, data);
    if (!problem.isEmpty()) {
      return QString("%1 Palette Color Lookup Table %2").arg(name, problem);
    }
  }
  return {};
}

// Why DCMTK's decoder refuses the pixel module, when it is its bits; empty
// otherwise.
QString bitsProblem(DcmDataset& dataset) {
  const auto allocated = number(dataset, DCM_BitsAllocated);
  const auto stored = number(dataset, DCM_BitsStored);
  const auto highBit = number(dataset, DCM_HighBit);
  if (!allocated || !stored || !highBit) return {};
  if (*stored == 0 || *stored > *allocated) {
    return QString("Bits Stored %1 with Bits Allocated %2").arg(*stored).arg(*allocated);
  }
  if (*highBit + 1 < *stored || *highBit >= *allocated) {
    return QString("High Bit %1 with Bits Stored %2 and Bits Allocated %3")
        .arg(*highBit)
        .arg(*stored)
        .arg(*allocated);
  }
  return {};
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
  QStringList notes;  // what was set aside
};

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

// The Presentation LUT Shape's say on the polarity; false for a shape the
// native path does not apply.
bool readPresentation(DcmDataset& dataset, GreyLayout& layout) {
  if (!dataset.tagExists(DCM_PresentationLUTShape)) return true;
  const auto shape = text(dataset, DCM_PresentationLUTShape);
  if (shape != "INVERSE" && shape != "IDENTITY") return false;
  layout.inverted = shape == "INVERSE";
  return true;
}

// Reads the attributes that decide the grey scale, or nothing when the
// object needs more than the native path does (see renderNativeGrey).
std::optional<GreyLayout> greyLayout(DcmDataset& dataset, unsigned long frame) {
  GreyLayout layout;
  if (!readPixelModule(dataset, layout) || !readPresentation(dataset, layout)) {
    return std::nullopt;
  }
  const GreyScale scale = greyScale(dataset, frame);
  if (scale.modality == GreyScale::Modality::Lut || scale.voi == GreyScale::Voi::Lut ||
      !scale.linear) {
    return std::nullopt;
  }
  layout.slope = scale.slope;
  layout.intercept = scale.intercept;
  layout.hasWindow = scale.voi == GreyScale::Voi::Window;
  layout.center = scale.center;
  layout.width = scale.width;
  layout.notes = scale.notes;
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
  // The checks of the grey scale keep a rescale or window that overflows
  // from here; a window this path cannot compute is still never drawn.
  if (!std::isfinite(center) || !std::isfinite(width) || !std::isfinite(center - width / 2.0) ||
      !std::isfinite(center + width / 2.0)) {
    return {};
  }
  const auto table = greyTable(layout, center, width);
  const QSize size = fitted(layout.columns, layout.rows, maxLongSide);
  const std::uint8_t* grey = table.data();
  return noted(
      shrinkMapped(words, layout.columns, layout.rows, static_cast<std::size_t>(layout.columns),
                   size.width(), size.height(), [grey](Word word) { return grey[word]; }),
      layout.notes);
}
// A JPEG-LS frame of one fragment, decoded where it lies.
bool decodeInPlace(DcmDataset& dataset, DcmPixelData& pixelData, unsigned long frame,
                   const GreyLayout& layout, void* out, std::size_t bytes) {
  const E_TransferSyntax xfer = dataset.getOriginalXfer();
  DcmPixelSequence* sequence = nullptr;
  if (!isJpegLs(xfer) || pixelData.getEncapsulatedRepresentation(xfer, nullptr, sequence).bad() ||
      sequence == nullptr) {
    return false;
  }
  return decodeJpegLsFrame(*sequence, frame, frameCount(dataset), layout.rows, layout.columns,
                           layout.bitsAllocated / 8, out, bytes);
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
  // The one frame, decoded into a buffer of its own: no second
  // representation of the pixel data, no decoder pipeline copies.
  std::unique_ptr<std::uint16_t[]> buffer(new (std::nothrow) std::uint16_t[(bytes + 1) / 2]);
  if (!buffer) return {};
  if (!decodeInPlace(dataset, *pixelData, frame, *layout, buffer.get(), bytes)) {
    Uint32 startFragment = 0;
    OFString model;
    if (pixelData
            ->getUncompressedFrame(&dataset, static_cast<Uint32>(frame), startFragment,
                                   buffer.get(), static_cast<Uint32>(bytes), model)
            .bad() ||
        (model != "MONOCHROME1" && model != "MONOCHROME2")) {
      return {};
    }
  }
  if (layout->bitsAllocated == 8) {
    return renderWords(reinterpret_cast<const std::uint8_t*>(buffer.get()), *layout, maxLongSide);
  }
  return renderWords(buffer.get(), *layout, maxLongSide);
}

QImage renderDecoded(DcmDataset& dataset, int maxLongSide, unsigned long frame) {
  QImage picture;
  const GreyScale scale = greyScale(dataset, frame);
  {
    const E_TransferSyntax xfer = dataset.getOriginalXfer();
    // Only the one frame is decoded; a compressed frame is decoded into a
    // buffer of its own rather than into a second copy of the pixel data.
    const unsigned long flags = CIF_UsePartialAccessToPixelData | CIF_NeverAccessEmbeddedOverlays |
                                (scale.modalityIgnored ? CIF_IgnoreModalityTransformation : 0);
    auto image = std::make_unique<DicomImage>(&dataset, xfer, flags, frame, 1);
    if (image->getStatus() == EIS_Normal && !image->isMonochrome()) {
      std::unique_ptr<DicomImage> grey(image->createMonochromeImage());
      image = std::move(grey);
    }
    if (image && image->getStatus() == EIS_Normal) {
      applyVoi(*image, scale);
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
  return noted(std::move(picture), scale.notes);
}

int arrivalLongSide(const QSize& tile, const DcmDataset& dataset) {
  const int side = std::max(tile.width(), tile.height());
  if (DcmXfer(dataset.getOriginalXfer()).isEncapsulated())
    return std::clamp(side, 1024, kDisplayLongSide);
  constexpr int kStep = 512;
  return std::clamp((side + kStep - 1) / kStep * kStep, kStep, kDisplayLongSide);
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
  if (const QString problem = paletteProblem(dataset); !problem.isEmpty()) {
    throw std::runtime_error(problem.toStdString());
  }
  QImage picture = renderNativeGrey(dataset, maxLongSide, frame);
  if (picture.isNull()) picture = renderCompressedGrey(dataset, maxLongSide, frame);
  if (picture.isNull()) picture = renderDecoded(dataset, maxLongSide, frame);
  if (picture.isNull()) {
    if (const QString problem = bitsProblem(dataset); !problem.isEmpty()) {
      throw std::runtime_error(problem.toStdString());
    }
  }
  return picture;
}

QString displayNote(const QImage& picture) {
  return picture.text(kNoteKey);
}

}  // namespace dicom::dcmtk
