#include "SampleStudy.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmdata/dcrlerp.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrplol.h>
#include <dcmtk/dcmjpls/djencode.h>
#include <dcmtk/dcmjpls/djrparam.h>

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "Jpeg2000Encode.h"

namespace samples {
namespace {

constexpr const char* kSopClass = "1.2.840.10008.5.1.4.1.1.1.2";
constexpr const char* kTomoSopClass = "1.2.840.10008.5.1.4.1.1.13.1.3";

// One of the four standard screening views.
struct View {
  const char* label;
  const char* laterality;
  const char* position;
  const char* codeValue;
  const char* codeMeaning;
  const char* orientation;  // PatientOrientation with the chest wall where the pixels put it
};

constexpr std::array<View, 4> kViews = {{
    {"L CC", "L", "CC", "R-10242", "cranio-caudal", "A\\R"},
    {"R CC", "R", "CC", "R-10242", "cranio-caudal", "P\\L"},
    {"L MLO", "L", "MLO", "R-10226", "medio-lateral oblique", "A\\F"},
    {"R MLO", "R", "MLO", "R-10226", "medio-lateral oblique", "P\\F"},
}};

const View& viewOf(int index) {
  return kViews[static_cast<std::size_t>(index) % kViews.size()];
}

// xorshift32: fast and good enough for noise and shape variation.
struct Random {
  explicit Random(std::uint32_t seed) : state(seed ? seed : 0x9E3779B9u) {
    for (int i = 0; i < 4; ++i) next();
  }
  std::uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
  // Uniform in [0, 1).
  double unit() { return (next() >> 8) * (1.0 / 16777216.0); }
  double range(double lo, double hi) { return lo + (hi - lo) * unit(); }
  std::uint32_t state;
};

void registerEncoders() {
  static std::once_flag once;
  std::call_once(once, [] {
    DJEncoderRegistration::registerCodecs();
    DJLSEncoderRegistration::registerCodecs();
    DcmRLEEncoderRegistration::registerCodecs();
  });
}

void check(const OFCondition& condition, const char* what) {
  if (condition.bad()) {
    throw std::runtime_error(std::string("sample study: ") + what + ": " + condition.text());
  }
}

// Text in the bytes the character set calls for.
std::string encode(const QString& text, const QString& charset) {
  if (charset.isEmpty() || charset == QLatin1String("ISO_IR 100")) {
    const QByteArray bytes = text.toLatin1();
    if (QString::fromLatin1(bytes) != text) {
      throw std::runtime_error("sample study: \"" + text.toStdString() +
                               "\" cannot be written in Latin-1");
    }
    return bytes.toStdString();
  }
  if (charset == QLatin1String("ISO_IR 192")) return text.toUtf8().toStdString();
  throw std::runtime_error("sample study: unsupported character set \"" + charset.toStdString() +
                           "\"");
}

E_TransferSyntax xferOf(Syntax syntax) {
  switch (syntax) {
    case Syntax::ExplicitLittle:
      return EXS_LittleEndianExplicit;
    case Syntax::ImplicitLittle:
      return EXS_LittleEndianImplicit;
    case Syntax::Deflated:
      return EXS_DeflatedLittleEndianExplicit;
    case Syntax::JpegLossless:
      return EXS_JPEGProcess14SV1;
    case Syntax::JpegLs:
      return EXS_JPEGLSLossless;
    case Syntax::Rle:
      return EXS_RLELossless;
    case Syntax::Jpeg2000Lossless:
      return EXS_JPEG2000LosslessOnly;
    case Syntax::Jpeg2000:
      return EXS_JPEG2000;
  }
  return EXS_LittleEndianExplicit;
}

std::string newUID(const char* root) {
  char buffer[100];
  dcmGenerateUniqueIdentifier(buffer, root);
  return buffer;
}

void validate(const StudySpec& spec) {
  if (spec.rows < 16 || spec.columns < 16 || spec.rows > 16384 || spec.columns > 16384) {
    throw std::runtime_error("sample study: image size out of range");
  }
  if (spec.bitsStored < 8 || spec.bitsStored > 16) {
    throw std::runtime_error("sample study: bits stored must be 8..16");
  }
  if (spec.photometric != QLatin1String("MONOCHROME1") &&
      spec.photometric != QLatin1String("MONOCHROME2")) {
    throw std::runtime_error("sample study: photometric must be MONOCHROME1 or MONOCHROME2");
  }
  if (spec.images < 1 || spec.images > 1000) {
    throw std::runtime_error("sample study: image count out of range");
  }
  if (spec.fragmentKiB < 0 || spec.fragmentKiB > 1 << 20) {
    throw std::runtime_error("sample study: fragment size out of range");
  }
  if (spec.tomoObjects < 0 || spec.tomoObjects > 8 || spec.tomoFrames < 1 ||
      spec.tomoFrames > 200 || spec.tomoRows < 16 || spec.tomoColumns < 16 ||
      static_cast<long long>(spec.tomoRows) * spec.tomoColumns * 2 * spec.tomoFrames >
          0xFFFFFFF0LL) {
    throw std::runtime_error("sample study: tomosynthesis objects out of range");
  }
}

// The display levels the breast tissue spans, as fractions of the full range.
constexpr double kTissueLow = 0.18, kTissueHigh = 0.86, kBackground = 0.03;

// Synthesises one image: a half ellipse of tissue against the chest wall
// (left edge for L, right edge for R), a soft skin-line falloff, a smooth
// density gradient, separable low-frequency texture, a brighter pectoral
// muscle wedge on MLO views, and mild noise.
void fillPixels(const StudySpec& spec, int index, std::uint16_t* out) {
  const int rows = spec.rows, cols = spec.columns;
  const View& view = viewOf(index);
  const bool left = view.laterality[0] == 'L';
  const bool mlo = view.position[1] == 'L';
  const bool mono1 = spec.photometric == QLatin1String("MONOCHROME1");
  const double maxValue = std::ldexp(1.0, spec.bitsStored) - 1.0;

  Random shape(spec.seed * 2654435761u + static_cast<std::uint32_t>(index) * 40503u + 17u);
  const double depth = cols * shape.range(0.55, 0.72);
  const double centre = rows * (mlo ? shape.range(0.52, 0.6) : shape.range(0.46, 0.54));
  const double halfHeight = rows * (mlo ? shape.range(0.40, 0.46) : shape.range(0.34, 0.42));
  const double skin = cols * 0.05;
  const double pectoralWidth = cols * shape.range(0.22, 0.32);
  const double pectoralHeight = rows * shape.range(0.45, 0.6);

  // Texture: a few oriented low-frequency waves. sin(ax + by) splits into
  // sin(ax)cos(by) + cos(ax)sin(by), so each wave costs two products per pixel.
  constexpr int kWaves = 3;
  std::vector<float> waveX(static_cast<std::size_t>(cols) * 2 * kWaves);
  std::vector<float> waveY(static_cast<std::size_t>(rows) * 2 * kWaves);
  for (int w = 0; w < kWaves; ++w) {
    const double cycles = shape.range(4, 16), angle = shape.range(0, M_PI),
                 phase = shape.range(0, 6.3);
    const double weight = 1.0 / (w + 1);
    const double a = cycles * 2 * M_PI * std::cos(angle) / cols;
    const double b = cycles * 2 * M_PI * std::sin(angle) / rows;
    for (int x = 0; x < cols; ++x) {
      const std::size_t k = static_cast<std::size_t>(x) * 2 * kWaves + 2 * w;
      waveX[k] = static_cast<float>(weight * std::sin(a * x + phase));
      waveX[k + 1] = static_cast<float>(weight * std::cos(a * x + phase));
    }
    for (int y = 0; y < rows; ++y) {
      const std::size_t k = static_cast<std::size_t>(y) * 2 * kWaves + 2 * w;
      waveY[k] = static_cast<float>(std::cos(b * y));
      waveY[k + 1] = static_cast<float>(std::sin(b * y));
    }
  }

  Random noise(spec.seed * 747796405u + static_cast<std::uint32_t>(index) * 2891336453u + 1u);
  const float scale = static_cast<float>(maxValue);
  const float noiseScale = static_cast<float>(maxValue * 0.0015 / 128.0);
  const float background = static_cast<float>(kBackground);
  for (int y = 0; y < rows; ++y) {
    const double t = (y - centre) / halfHeight;
    double edge = std::fabs(t) < 1 ? depth * std::pow(1 - t * t, 0.55) : 0.0;
    double pectoral = 0;
    if (mlo) {
      // The axillary tail: tissue reaches the top of the image along the chest wall.
      pectoral = y < pectoralHeight ? pectoralWidth * (1 - y / pectoralHeight) : 0.0;
      edge = std::max(edge, pectoral * 1.25);
    }
    const float edgeF = static_cast<float>(edge), pectoralF = static_cast<float>(pectoral);
    const float* wy = waveY.data() + static_cast<std::size_t>(y) * 2 * kWaves;
    std::uint16_t* row = out + static_cast<std::size_t>(y) * static_cast<std::size_t>(cols);
    const float invSkin = static_cast<float>(1.0 / skin);
    const float invDepth = static_cast<float>(1.0 / depth);
    for (int x = 0; x < cols; ++x) {
      const float dx = static_cast<float>(left ? x : cols - 1 - x);
      float level = background;
      if (dx < edgeF) {
        float s = std::min(1.0f, (edgeF - dx) * invSkin);
        s = s * (2 - s);
        const float* wx = waveX.data() + static_cast<std::size_t>(x) * 2 * kWaves;
        float texture = 0;
        for (int w = 0; w < 2 * kWaves; ++w) texture += wx[w] * wy[w];
        const float density = 0.45f + 0.25f * (1 - std::min(1.0f, dx * invDepth)) + 0.05f * texture;
        level = background + s * (static_cast<float>(kTissueLow) - background +
                                  density * static_cast<float>(kTissueHigh - kTissueLow));
        if (dx < pectoralF) level += 0.08f;
      }
      const int jitter = static_cast<int>(noise.next() & 0xFF) - 128;
      float value = level * scale + static_cast<float>(jitter) * noiseScale;
      value = std::clamp(value, 0.0f, scale);
      const auto stored = static_cast<std::uint16_t>(value + 0.5f);
      row[x] = mono1 ? static_cast<std::uint16_t>(scale - stored) : stored;
    }
  }
}

void put(DcmItem& item, const DcmTagKey& key, const std::string& value) {
  check(item.putAndInsertString(DcmTag(key), value.c_str(), static_cast<Uint32>(value.size())),
        DcmTag(key).getTagName());
}

void put(DcmItem& item, const DcmTagKey& key, const QString& value) {
  put(item, key, value.toStdString());
}

void put(DcmItem& item, const DcmTagKey& key, const char* value) {
  put(item, key, std::string(value));
}

std::string number(double value) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.0f", value);
  return buffer;
}

// Replaces the native pixel data by one JPEG 2000 codestream per frame,
// encapsulated with the lossless codestreams' offset table left empty and
// the lossy ones' filled, so that both forms archives send are made. A
// lossy image says so, with the ratio it reached.
void encapsulateJpeg2000(DcmDataset& ds, DcmPixelData& pixelData, const StudySpec& spec,
                         const std::uint16_t* words, int frames) {
  Jpeg2000Settings settings;
  settings.lossless = spec.syntax == Syntax::Jpeg2000Lossless;
  auto sequence = std::make_unique<DcmPixelSequence>(DCM_PixelSequenceTag);
  auto* table = new DcmPixelItem(DcmTag(DCM_Item, EVR_OB));
  check(sequence->insert(table), "JPEG 2000 offset table");
  DcmOffsetList offsets;
  const auto perFrame =
      static_cast<std::size_t>(spec.rows) * static_cast<std::size_t>(spec.columns);
  std::size_t codeBytes = 0;
  for (int f = 0; f < frames; ++f) {
    const auto code = encodeJpeg2000(words + static_cast<std::size_t>(f) * perFrame, spec.columns,
                                     spec.rows, spec.bitsStored, false, settings);
    check(sequence->storeCompressedFrame(offsets, const_cast<Uint8*>(code.data()),
                                         static_cast<Uint32>(code.size()),
                                         static_cast<Uint32>(spec.fragmentKiB)),
          "JPEG 2000 fragments");
    codeBytes += code.size();
  }
  if (!settings.lossless) check(table->createOffsetTable(offsets), "JPEG 2000 offset table");
  pixelData.putOriginalRepresentation(xferOf(spec.syntax), nullptr, sequence.release());
  if (!settings.lossless) {
    const double ratio =
        2.0 * static_cast<double>(perFrame) * frames / static_cast<double>(codeBytes);
    char text[16];
    std::snprintf(text, sizeof text, "%.2f", ratio);
    put(ds, DCM_LossyImageCompression, "01");
    put(ds, DCM_LossyImageCompressionRatio, text);
    put(ds, DCM_LossyImageCompressionMethod, "ISO_15444_1");
  }
}

// The window of the tissue, as centre and width; at the top level for an
// image, in the functional groups of a tomosynthesis object as its units
// write them: shared by all frames, or each frame's own.
void putWindow(DcmDataset& ds, const StudySpec& spec, bool tomo, int frames) {
  const bool mono1 = spec.photometric == QLatin1String("MONOCHROME1");
  const double maxValue = std::ldexp(1.0, spec.bitsStored) - 1.0;
  const double centre = maxValue * (kTissueLow + kTissueHigh) / 2;
  const double width = maxValue * (kTissueHigh - kTissueLow) * 1.1;
  if (tomo && spec.perFrameWindows) {
    for (int f = 0; f < frames; ++f) {
      // Narrower and brighter from frame to frame: no two frames look alike.
      const double share = static_cast<double>(f) / frames;
      const double frameCentre = centre * (0.85 + 0.3 * share);
      DcmItem* group = nullptr;
      DcmItem* window = nullptr;
      check(ds.findOrCreateSequenceItem(DCM_PerFrameFunctionalGroupsSequence, group, f),
            "PerFrameFunctionalGroupsSequence");
      check(group->findOrCreateSequenceItem(DCM_FrameVOILUTSequence, window, -2),
            "FrameVOILUTSequence");
      put(*window, DCM_WindowCenter, number(mono1 ? maxValue - frameCentre : frameCentre));
      put(*window, DCM_WindowWidth, number(width * (1.0 - 0.6 * share)));
    }
    return;
  }
  DcmItem* window = &ds;
  if (tomo) {
    DcmItem* shared = nullptr;
    check(ds.findOrCreateSequenceItem(DCM_SharedFunctionalGroupsSequence, shared, -2),
          "SharedFunctionalGroupsSequence");
    check(shared->findOrCreateSequenceItem(DCM_FrameVOILUTSequence, window, -2),
          "FrameVOILUTSequence");
  }
  put(*window, DCM_WindowCenter, number(mono1 ? maxValue - centre : centre));
  put(*window, DCM_WindowWidth, number(width));
}

// Compresses the pixel data into the transfer syntax the study asks for.
void compress(DcmDataset& ds, DcmPixelData& pixelData, const StudySpec& spec,
              const std::uint16_t* words, int frames) {
  const E_TransferSyntax xfer = xferOf(spec.syntax);
  if (spec.syntax == Syntax::JpegLossless) {
    DJ_RPLossless parameter(1, 0);
    check(ds.chooseRepresentation(xfer, &parameter), "JPEG lossless encoding");
  } else if (spec.syntax == Syntax::JpegLs) {
    DJLSRepresentationParameter parameter(0, OFTrue);
    check(ds.chooseRepresentation(xfer, &parameter), "JPEG-LS encoding");
  } else if (spec.syntax == Syntax::Rle) {
    DcmRLERepresentationParameter parameter;
    check(ds.chooseRepresentation(xfer, &parameter), "RLE encoding");
  } else if (spec.syntax == Syntax::Jpeg2000Lossless || spec.syntax == Syntax::Jpeg2000) {
    encapsulateJpeg2000(ds, pixelData, spec, words, frames);
  }
}

}  // namespace

QString viewLabel(int index) {
  return QString::fromLatin1(viewOf(index).label);
}

QString transferSyntaxUID(Syntax syntax) {
  return QString::fromLatin1(DcmXfer(xferOf(syntax)).getXferID());
}

bool parseSyntax(const QString& name, Syntax& syntax) {
  static const std::array<std::pair<const char*, Syntax>, 8> names = {{
      {"explicit", Syntax::ExplicitLittle},
      {"implicit", Syntax::ImplicitLittle},
      {"deflated", Syntax::Deflated},
      {"jpeg-lossless", Syntax::JpegLossless},
      {"jpeg-ls", Syntax::JpegLs},
      {"rle", Syntax::Rle},
      {"jpeg2000-lossless", Syntax::Jpeg2000Lossless},
      {"jpeg2000", Syntax::Jpeg2000},
  }};
  for (const auto& [text, value] : names) {
    if (name == QLatin1String(text)) {
      syntax = value;
      return true;
    }
  }
  return false;
}

QString syntaxName(Syntax syntax) {
  switch (syntax) {
    case Syntax::ExplicitLittle:
      return "explicit";
    case Syntax::ImplicitLittle:
      return "implicit";
    case Syntax::Deflated:
      return "deflated";
    case Syntax::JpegLossless:
      return "jpeg-lossless";
    case Syntax::JpegLs:
      return "jpeg-ls";
    case Syntax::Rle:
      return "rle";
    case Syntax::Jpeg2000Lossless:
      return "jpeg2000-lossless";
    case Syntax::Jpeg2000:
      return "jpeg2000";
  }
  return {};
}

std::vector<std::uint16_t> pixels(const StudySpec& spec, int index) {
  validate(spec);
  std::vector<std::uint16_t> data(static_cast<std::size_t>(spec.rows) *
                                  static_cast<std::size_t>(spec.columns));
  fillPixels(spec, index, data.data());
  return data;
}

std::vector<WrittenImage> writeStudy(const StudySpec& spec, const QString& folder) {
  validate(spec);
  registerEncoders();
  if (!QDir().mkpath(folder)) {
    throw std::runtime_error("sample study: cannot create " + folder.toStdString());
  }
  const QString& charset = spec.specificCharacterSet;
  const std::string studyUID = spec.studyInstanceUID.isEmpty()
                                   ? newUID(SITE_STUDY_UID_ROOT)
                                   : spec.studyInstanceUID.toStdString();
  const bool mono1 = spec.photometric == QLatin1String("MONOCHROME1");
  // Pixel spacing follows the detector: the full-field size has the finer pitch.
  const char* spacing = spec.columns >= 3000 ? "0.07\\0.07" : "0.1\\0.1";

  // One series per view.
  std::array<std::string, kViews.size()> seriesUIDs;
  for (auto& uid : seriesUIDs) uid = newUID(SITE_SERIES_UID_ROOT);

  std::vector<WrittenImage> written;
  for (int n = 0; n < spec.images + spec.tomoObjects; ++n) {
    // Tomosynthesis objects follow the images, uncompressed, each in a
    // series of its own; their views start again at L CC.
    const bool tomo = n >= spec.images;
    const int i = tomo ? n - spec.images : n;
    StudySpec frame = spec;
    if (tomo) {
      frame.rows = spec.tomoRows;
      frame.columns = spec.tomoColumns;
      frame.syntax = spec.tomoSyntax;
    }
    const int frames = tomo ? spec.tomoFrames : 1;
    const E_TransferSyntax objectXfer = xferOf(frame.syntax);
    const View& view = viewOf(i);
    const std::string sopUID = newUID(SITE_INSTANCE_UID_ROOT);
    DcmFileFormat file;
    DcmDataset& ds = *file.getDataset();

    if (!charset.isEmpty()) put(ds, DCM_SpecificCharacterSet, charset);
    put(ds, DCM_ImageType, "ORIGINAL\\PRIMARY");
    put(ds, DCM_SOPClassUID, tomo ? kTomoSopClass : kSopClass);
    put(ds, DCM_SOPInstanceUID, sopUID);
    put(ds, DCM_StudyDate, spec.studyDate);
    put(ds, DCM_SeriesDate, spec.studyDate);
    put(ds, DCM_ContentDate, spec.studyDate);
    put(ds, DCM_AcquisitionDateTime, (spec.studyDate + spec.studyTime).toStdString());
    put(ds, DCM_StudyTime, spec.studyTime);
    put(ds, DCM_SeriesTime, spec.studyTime);
    put(ds, DCM_ContentTime, spec.studyTime);
    put(ds, DCM_AccessionNumber, encode(spec.accessionNumber, charset));
    put(ds, DCM_Modality, "MG");
    put(ds, DCM_PresentationIntentType, "FOR PRESENTATION");
    put(ds, DCM_Manufacturer, "Brevant Samples");
    put(ds, DCM_InstitutionName, encode("Brevant Breast Centre", charset));
    put(ds, DCM_ReferringPhysicianName, "");
    put(ds, DCM_StudyDescription, encode(spec.studyDescription, charset));
    put(ds, DCM_SeriesDescription, encode(QString::fromLatin1(view.label), charset));
    put(ds, DCM_ManufacturerModelName, "Synthetic MG");
    put(ds, DCM_PatientName, encode(spec.patientName, charset));
    put(ds, DCM_PatientID, encode(spec.patientID, charset));
    put(ds, DCM_PatientBirthDate, spec.birthDate);
    put(ds, DCM_PatientSex, spec.sex);
    put(ds, DCM_BodyPartExamined, "BREAST");
    put(ds, DCM_KVP, "28");
    put(ds, DCM_BodyPartThickness, "45");
    put(ds, DCM_CompressionForce, "110");
    put(ds, DCM_PositionerType, "MAMMOGRAPHIC");
    // What the header says of the view: consistent, contradicting (the
    // next view's), absent, or in the code sequence only.
    const View& said = spec.headerViews == HeaderViews::Contradicting ? viewOf(i + 1) : view;
    const bool attributes = spec.headerViews == HeaderViews::Consistent ||
                            spec.headerViews == HeaderViews::Contradicting;
    const bool code = spec.headerViews != HeaderViews::Absent;
    if (attributes) put(ds, DCM_ViewPosition, said.position);
    put(ds, DCM_ImagerPixelSpacing, spacing);
    put(ds, DCM_StudyInstanceUID, studyUID);
    put(ds, DCM_SeriesInstanceUID,
        tomo ? newUID(SITE_SERIES_UID_ROOT)
             : seriesUIDs[static_cast<std::size_t>(i) % seriesUIDs.size()]);
    put(ds, DCM_StudyID, encode(spec.accessionNumber.left(16), charset));
    put(ds, DCM_SeriesNumber, std::to_string(i % static_cast<int>(kViews.size()) + 1));
    put(ds, DCM_InstanceNumber, std::to_string(n + 1));
    put(ds, DCM_PatientOrientation, view.orientation);
    if (attributes) put(ds, DCM_ImageLaterality, said.laterality);
    put(ds, DCM_PixelSpacing, spacing);
    put(ds, DCM_BurnedInAnnotation, "NO");
    put(ds, DCM_LossyImageCompression, "00");
    put(ds, DCM_PixelIntensityRelationship, "LOG");
    check(ds.putAndInsertSint16(DCM_PixelIntensityRelationshipSign, mono1 ? 1 : -1),
          "PixelIntensityRelationshipSign");
    put(ds, DCM_PresentationLUTShape, mono1 ? "INVERSE" : "IDENTITY");
    if (code) {
      DcmItem* item = nullptr;
      check(ds.findOrCreateSequenceItem(DCM_ViewCodeSequence, item, -2), "ViewCodeSequence");
      put(*item, DCM_CodeValue, said.codeValue);
      put(*item, DCM_CodingSchemeDesignator, "SRT");
      put(*item, DCM_CodeMeaning, said.codeMeaning);
    }
    if (spec.withWindow) putWindow(ds, spec, tomo, frames);
    check(ds.putAndInsertUint16(DCM_SamplesPerPixel, 1), "SamplesPerPixel");
    put(ds, DCM_PhotometricInterpretation, spec.photometric);
    check(ds.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(frame.rows)), "Rows");
    check(ds.putAndInsertUint16(DCM_Columns, static_cast<Uint16>(frame.columns)), "Columns");
    if (tomo) put(ds, DCM_NumberOfFrames, std::to_string(frames));
    check(ds.putAndInsertUint16(DCM_BitsAllocated, 16), "BitsAllocated");
    check(ds.putAndInsertUint16(DCM_BitsStored, static_cast<Uint16>(spec.bitsStored)),
          "BitsStored");
    check(ds.putAndInsertUint16(DCM_HighBit, static_cast<Uint16>(spec.bitsStored - 1)), "HighBit");
    check(ds.putAndInsertUint16(DCM_PixelRepresentation, 0), "PixelRepresentation");

    auto* pixelData = new DcmPixelData(DCM_PixelData);
    Uint16* words = nullptr;
    const auto perFrame = static_cast<Uint32>(frame.rows) * static_cast<Uint32>(frame.columns);
    const auto count = perFrame * static_cast<Uint32>(frames);
    if (pixelData->createUint16Array(count, words).bad() || words == nullptr) {
      delete pixelData;
      throw std::runtime_error("sample study: out of memory for the pixel data");
    }
    for (int f = 0; f < frames; ++f) {
      // Slices of one breast differ a little from one another.
      frame.seed = spec.seed + static_cast<unsigned>(f);
      fillPixels(frame, i, words + static_cast<std::size_t>(f) * perFrame);
    }
    check(ds.insert(pixelData, true), "PixelData");

    compress(ds, *pixelData, frame, words, frames);
    if (!ds.canWriteXfer(objectXfer)) {
      throw std::runtime_error("sample study: cannot write " +
                               std::string(DcmXfer(objectXfer).getXferName()));
    }

    QString name = (tomo ? "TOMO" : "") + QString::fromLatin1(view.label).remove(' ');
    const QString path = QDir(folder).filePath(QStringLiteral("%1_%2_%3.dcm")
                                                   .arg(n + 1, 2, 10, QChar('0'))
                                                   .arg(name, QString::fromStdString(sopUID)));
    check(file.saveFile(QFile::encodeName(path).constData(), objectXfer), "saving the file");
    written.push_back({path, QString::fromStdString(sopUID), QString::fromLatin1(view.label)});
  }
  return written;
}

}  // namespace samples
