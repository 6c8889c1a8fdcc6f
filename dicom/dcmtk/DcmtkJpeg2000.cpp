#include "DcmtkJpeg2000.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <openjpeg.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace dicom::dcmtk {
namespace {

// The largest image decoded, in pixels (16384 x 16384, over ten times a
// full-field mammogram): OpenJPEG holds 4 bytes per sample while decoding,
// so this bounds its buffers whatever a corrupt header claims.
constexpr std::uint64_t kMostPixels = std::uint64_t{1} << 28;

struct Bytes {
  const Uint8* data = nullptr;
  std::size_t size = 0;
};

bool startsWith(const Bytes& bytes, std::initializer_list<Uint8> prefix) {
  return bytes.size >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.data);
}

// SOC followed by SIZ: a bare codestream.
bool isCodestream(const Bytes& bytes) {
  return startsWith(bytes, {0xFF, 0x4F, 0xFF, 0x51});
}

// The JP2 signature box.
bool isBoxed(const Bytes& bytes) {
  return startsWith(bytes,
                    {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A});
}

// The offsets the Basic Offset Table gives, from the first fragment's item
// tag; empty when the table is empty or unreadable.
std::vector<std::uint64_t> offsetTable(DcmPixelSequence& sequence) {
  std::vector<std::uint64_t> offsets;
  DcmPixelItem* table = nullptr;
  Uint8* bytes = nullptr;
  if (sequence.getItem(table, 0).bad() || table == nullptr) return offsets;
  const Uint32 length = table->getLength();
  if (length == 0 || length % 4 != 0 || table->getUint8Array(bytes).bad() || bytes == nullptr) {
    return offsets;
  }
  for (Uint32 i = 0; i < length; i += 4) {
    offsets.push_back(std::uint64_t{bytes[i]} | std::uint64_t{bytes[i + 1]} << 8 |
                      std::uint64_t{bytes[i + 2]} << 16 | std::uint64_t{bytes[i + 3]} << 24);
  }
  return offsets;
}

// The first fragment of each frame, or nothing when the fragments do not
// tell. Tried in turn: the offset table, one fragment per frame, and the
// fragments that begin with a codestream or a JP2 file.
std::vector<std::size_t> frameStarts(const std::vector<Bytes>& fragments,
                                     const std::vector<std::uint64_t>& table,
                                     unsigned long frames) {
  std::vector<std::size_t> starts;
  if (table.size() == frames) {
    std::uint64_t position = 0;  // of the fragment's item tag
    for (std::size_t i = 0; i < fragments.size() && starts.size() < frames; ++i) {
      if (position == table[starts.size()]) starts.push_back(i);
      position += 8 + fragments[i].size;
    }
    if (starts.size() == frames && starts.front() == 0) return starts;
    starts.clear();
  }
  if (fragments.size() == frames) {
    for (std::size_t i = 0; i < frames; ++i) starts.push_back(i);
    return starts;
  }
  for (std::size_t i = 0; i < fragments.size(); ++i) {
    if (isCodestream(fragments[i]) || isBoxed(fragments[i])) starts.push_back(i);
  }
  if (starts.size() == frames && !starts.empty() && starts.front() == 0) return starts;
  return {};
}

// --- OpenJPEG -------------------------------------------------------------

struct CodecDeleter {
  void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct StreamDeleter {
  void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct ImageDeleter {
  void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};
struct CodestreamInfoDeleter {
  void operator()(opj_codestream_info_v2_t* info) const { opj_destroy_cstr_info(&info); }
};

// The frame's bytes as OpenJPEG reads them.
struct Reader {
  Bytes bytes;
  std::size_t position = 0;
};

OPJ_SIZE_T readBytes(void* buffer, OPJ_SIZE_T count, void* user) {
  auto* reader = static_cast<Reader*>(user);
  if (reader->position >= reader->bytes.size) return static_cast<OPJ_SIZE_T>(-1);
  const std::size_t n = std::min<std::size_t>(count, reader->bytes.size - reader->position);
  std::memcpy(buffer, reader->bytes.data + reader->position, n);
  reader->position += n;
  return n;
}

OPJ_OFF_T skipBytes(OPJ_OFF_T count, void* user) {
  auto* reader = static_cast<Reader*>(user);
  if (count < 0) {
    const auto back = std::min<std::uint64_t>(reader->position, std::uint64_t(-(count + 1)) + 1);
    reader->position -= back;
    return -static_cast<OPJ_OFF_T>(back);
  }
  const auto ahead = std::min<std::uint64_t>(static_cast<std::uint64_t>(count),
                                             reader->bytes.size - reader->position);
  reader->position += ahead;
  return static_cast<OPJ_OFF_T>(ahead);
}

OPJ_BOOL seekBytes(OPJ_OFF_T position, void* user) {
  auto* reader = static_cast<Reader*>(user);
  if (position < 0 || static_cast<std::uint64_t>(position) > reader->bytes.size) return OPJ_FALSE;
  reader->position = static_cast<std::size_t>(position);
  return OPJ_TRUE;
}

// OpenJPEG reports through callbacks; the first error is the one that says
// what went wrong.
void keepFirstError(const char* message, void* user) {
  auto* text = static_cast<std::string*>(user);
  if (text->empty() && message != nullptr) {
    *text = message;
    while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) text->pop_back();
  }
}

void ignoreMessage(const char*, void*) {}

std::uint32_t reducedExtent(std::uint32_t begin, std::uint32_t end, int reduction) {
  const std::uint64_t step = std::uint64_t{1} << reduction;
  return static_cast<std::uint32_t>((end + step - 1) / step - (begin + step - 1) / step);
}

// The attributes of a pixel module this decoder relies on.
struct Layout {
  Uint16 rows = 0, columns = 0, bitsAllocated = 0, bitsStored = 0, representation = 0;
  Uint16 samples = 1;
  Sint32 frames = 1;
};

QString readLayout(DcmDataset& dataset, Layout& layout) {
  if (dataset.findAndGetUint16(DCM_Rows, layout.rows).bad() ||
      dataset.findAndGetUint16(DCM_Columns, layout.columns).bad() || layout.rows == 0 ||
      layout.columns == 0) {
    return "Rows or Columns missing or zero";
  }
  if (dataset.findAndGetUint16(DCM_BitsAllocated, layout.bitsAllocated).bad() ||
      (layout.bitsAllocated != 8 && layout.bitsAllocated != 16)) {
    return QString("Bits Allocated %1 not supported").arg(layout.bitsAllocated);
  }
  if (dataset.findAndGetUint16(DCM_BitsStored, layout.bitsStored).bad() || layout.bitsStored == 0 ||
      layout.bitsStored > layout.bitsAllocated) {
    return QString("Bits Stored %1 invalid").arg(layout.bitsStored);
  }
  dataset.findAndGetUint16(DCM_PixelRepresentation, layout.representation);
  dataset.findAndGetUint16(DCM_SamplesPerPixel, layout.samples);
  if (layout.samples != 1) {
    return QString("Samples per Pixel %1: only grey JPEG 2000 is decoded").arg(layout.samples);
  }
  if (dataset.tagExists(DCM_NumberOfFrames) &&
      (dataset.findAndGetSint32(DCM_NumberOfFrames, layout.frames).bad() || layout.frames < 1)) {
    return "Number of Frames invalid";
  }
  return {};
}

// The stored words of the decoded samples: the low Bits Stored bits, sign
// extended above them when the pixel representation is signed.
template <typename Word>
void storeSamples(const OPJ_INT32* samples, std::size_t count, const Layout& layout, Word* out) {
  const std::uint32_t mask = (std::uint32_t{1} << layout.bitsStored) - 1u;
  const std::uint32_t sign =
      layout.representation == 1 ? std::uint32_t{1} << (layout.bitsStored - 1) : 0u;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t bits = static_cast<std::uint32_t>(samples[i]) & mask;
    out[i] = static_cast<Word>((bits ^ sign) - sign);
  }
}

// The bytes of one frame's codestream: one fragment read where it lies in
// the representation the object came in (the source stays as it came), or
// the frame's fragments joined.
struct FrameCode {
  Bytes bytes;
  std::vector<Uint8> joined;
  bool boxed = false;
};

// The fragments of the pixel data in its original representation.
QString readFragments(DcmDataset& source, DcmPixelSequence*& sequence,
                      std::vector<Bytes>& fragments) {
  DcmElement* element = nullptr;
  auto* pixelData = source.findAndGetElement(DCM_PixelData, element).good()
                        ? dynamic_cast<DcmPixelData*>(element)
                        : nullptr;
  if (pixelData == nullptr) return "Pixel data missing";
  E_TransferSyntax xfer = EXS_Unknown;
  const DcmRepresentationParameter* parameter = nullptr;
  pixelData->getOriginalRepresentationKey(xfer, parameter);
  if (!isJpeg2000(xfer)) {
    return QString("Pixel data in %1, not JPEG 2000").arg(DcmXfer(xfer).getXferName());
  }
  if (pixelData->getEncapsulatedRepresentation(xfer, parameter, sequence).bad() ||
      sequence == nullptr || sequence->card() < 2) {
    return "Encapsulated pixel data missing";
  }
  for (unsigned long i = 1; i < sequence->card(); ++i) {
    DcmPixelItem* item = nullptr;
    Uint8* data = nullptr;
    if (sequence->getItem(item, i).bad() || item == nullptr) return "Pixel item unreadable";
    const Uint32 length = item->getLength();
    if (length > 0 && (item->getUint8Array(data).bad() || data == nullptr)) {
      return "Pixel item unreadable";
    }
    fragments.push_back({data, data == nullptr ? 0 : length});
  }
  return {};
}

QString readFrameCode(DcmDataset& source, const Layout& layout, unsigned long frame,
                      FrameCode& code) {
  if (frame >= static_cast<unsigned long>(layout.frames)) {
    return QString("Frame %1 asked of %2").arg(frame + 1).arg(layout.frames);
  }
  DcmPixelSequence* sequence = nullptr;
  std::vector<Bytes> fragments;
  if (QString problem = readFragments(source, sequence, fragments); !problem.isEmpty()) {
    return problem;
  }
  const unsigned long frames = static_cast<unsigned long>(layout.frames);
  std::size_t first = 0, last = fragments.size();
  if (frames > 1) {
    const auto starts = frameStarts(fragments, offsetTable(*sequence), frames);
    if (starts.empty()) {
      return QString("The fragments of frame %1 cannot be told apart").arg(frame + 1);
    }
    first = starts[frame];
    last = frame + 1 < frames ? starts[frame + 1] : fragments.size();
  }
  code.bytes = fragments[first];
  if (last - first > 1) {
    for (std::size_t i = first; i < last; ++i) {
      code.joined.insert(code.joined.end(), fragments[i].data,
                         fragments[i].data + fragments[i].size);
    }
    code.bytes = {code.joined.data(), code.joined.size()};
  }
  code.boxed = isBoxed(code.bytes);
  if (!code.boxed && !isCodestream(code.bytes)) return "The frame holds no JPEG 2000 codestream";
  // The pad byte that makes a fragment even follows EOC; it is no part of the codestream.
  Bytes& bytes = code.bytes;
  if (!code.boxed && bytes.size > 4 && bytes.data[bytes.size - 1] == 0 &&
      bytes.data[bytes.size - 3] == 0xFF && bytes.data[bytes.size - 2] == 0xD9) {
    --bytes.size;
  }
  return {};
}

// An OpenJPEG decoder reading one codestream. It stays where it was made:
// the stream reads through a pointer to its reader.
struct Decoder {
  Reader reader;
  std::string message;  // OpenJPEG's first error
  std::unique_ptr<opj_codec_t, CodecDeleter> codec;
  std::unique_ptr<opj_stream_t, StreamDeleter> stream;

  // What went wrong, with OpenJPEG's own words when it gave any.
  QString failed(const char* what) const {
    return message.empty() ? QString(what)
                           : QString("%1: %2").arg(what, QString::fromLocal8Bit(message));
  }
};

QString openDecoder(const FrameCode& code, Decoder& decoder) {
  decoder.codec.reset(opj_create_decompress(code.boxed ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
  opj_codec_t* codec = decoder.codec.get();
  if (codec == nullptr) return "Cannot create a JPEG 2000 decoder";
  opj_set_error_handler(codec, keepFirstError, &decoder.message);
  opj_set_warning_handler(codec, ignoreMessage, nullptr);
  opj_set_info_handler(codec, ignoreMessage, nullptr);
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  if (!opj_setup_decoder(codec, &parameters)) return decoder.failed("Cannot set up the decoder");
  // A truncated codestream is an error, not a picture with missing detail.
  opj_decoder_set_strict_mode(codec, OPJ_TRUE);
  if (opj_has_thread_support()) {
    opj_codec_set_threads(codec,
                          static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  }

  decoder.reader = Reader{code.bytes, 0};
  decoder.stream.reset(opj_stream_create(1 << 20, OPJ_TRUE));
  opj_stream_t* stream = decoder.stream.get();
  if (stream == nullptr) return "Cannot create a JPEG 2000 stream";
  opj_stream_set_user_data(stream, &decoder.reader, nullptr);
  opj_stream_set_user_data_length(stream, code.bytes.size);
  opj_stream_set_read_function(stream, readBytes);
  opj_stream_set_skip_function(stream, skipBytes);
  opj_stream_set_seek_function(stream, seekBytes);
  return {};
}

// The image as its header describes it, and the resolution it is decoded at.
struct Decoded {
  std::unique_ptr<opj_image_t, ImageDeleter> image;
  QSize full;
  int resolutions = 0;
  int reduction = 0;
  std::uint32_t width = 0, height = 0;  // after the reduction
};

// The header's image, held against the object's own pixel module.
QString checkImage(const opj_image_t& image, const Layout& layout, QSize& full) {
  if (image.numcomps != 1 || image.comps == nullptr) {
    return QString("JPEG 2000 image of %1 components; only grey images are decoded")
        .arg(image.numcomps);
  }
  const opj_image_comp_t& component = image.comps[0];
  if (component.prec < 1 || component.prec > 16 || component.prec > layout.bitsAllocated) {
    return QString("JPEG 2000 precision %1 with Bits Allocated %2")
        .arg(component.prec)
        .arg(layout.bitsAllocated);
  }
  if (component.dx != 1 || component.dy != 1 || image.x1 <= image.x0 || image.y1 <= image.y0) {
    return "JPEG 2000 image geometry not supported";
  }
  full = QSize(static_cast<int>(std::min<OPJ_UINT32>(image.x1 - image.x0, 1u << 30)),
               static_cast<int>(std::min<OPJ_UINT32>(image.y1 - image.y0, 1u << 30)));
  if (full != QSize(layout.columns, layout.rows)) {
    return QString("JPEG 2000 image of %1x%2 where Columns x Rows is %3x%4")
        .arg(full.width())
        .arg(full.height())
        .arg(layout.columns)
        .arg(layout.rows);
  }
  if (std::uint64_t(full.width()) * std::uint64_t(full.height()) > kMostPixels) {
    return "JPEG 2000 image too large";
  }
  return {};
}

QString readHeader(Decoder& decoder, const Layout& layout, const QSize& target, Decoded& decoded) {
  opj_image_t* header = nullptr;
  if (!opj_read_header(decoder.stream.get(), decoder.codec.get(), &header) || header == nullptr) {
    opj_image_destroy(header);
    return decoder.failed("Corrupt JPEG 2000 header");
  }
  decoded.image.reset(header);
  if (QString problem = checkImage(*header, layout, decoded.full); !problem.isEmpty()) {
    return problem;
  }
  {
    std::unique_ptr<opj_codestream_info_v2_t, CodestreamInfoDeleter> codestream(
        opj_get_cstr_info(decoder.codec.get()));
    if (codestream && codestream->m_default_tile_info.tccp_info != nullptr) {
      decoded.resolutions =
          static_cast<int>(codestream->m_default_tile_info.tccp_info[0].numresolutions);
    }
  }
  if (decoded.resolutions < 1 || decoded.resolutions > 33) {
    return "JPEG 2000 resolutions unreadable";
  }
  decoded.reduction = jpeg2000Reduction(decoded.full, decoded.resolutions, target);
  if (decoded.reduction > 0 &&
      !opj_set_decoded_resolution_factor(decoder.codec.get(),
                                         static_cast<OPJ_UINT32>(decoded.reduction))) {
    return decoder.failed("Cannot decode at a reduced resolution");
  }
  decoded.width = reducedExtent(header->x0, header->x1, decoded.reduction);
  decoded.height = reducedExtent(header->y0, header->y1, decoded.reduction);
  return {};
}

QString decodeImage(Decoder& decoder, Decoded& decoded) {
  opj_image_t* image = decoded.image.get();
  if (!opj_decode(decoder.codec.get(), decoder.stream.get(), image) ||
      !opj_end_decompress(decoder.codec.get(), decoder.stream.get())) {
    return decoder.failed("Corrupt JPEG 2000 codestream");
  }
  if (image->numcomps < 1 || image->comps[0].data == nullptr ||
      image->comps[0].w != decoded.width || image->comps[0].h != decoded.height) {
    return "JPEG 2000 decoded to an unexpected size";
  }
  return {};
}

// An attribute of the one-frame copy: the per-frame functional groups of
// the decoded frame only (when there is one item per frame), anything else
// as it is.
DcmElement* copyOf(DcmElement& attribute, unsigned long frame, const Layout& layout) {
  auto* perFrame = dynamic_cast<DcmSequenceOfItems*>(&attribute);
  if (attribute.getTag() != DCM_PerFrameFunctionalGroupsSequence || perFrame == nullptr ||
      perFrame->card() != static_cast<unsigned long>(layout.frames)) {
    return static_cast<DcmElement*>(attribute.clone());
  }
  auto* one = new DcmSequenceOfItems(attribute.getTag());
  one->insert(static_cast<DcmItem*>(perFrame->getItem(frame)->clone()));
  return one;
}

// The new object: source's attributes, then the decoded samples as
// uncompressed pixel data of the decoded size.
QString copyWithPixels(DcmDataset& source, const Layout& layout, unsigned long frame,
                       const Decoded& decoded, std::unique_ptr<DcmDataset>& result) {
  auto copy = std::make_unique<DcmDataset>();
  for (unsigned long i = 0; i < source.card(); ++i) {
    DcmElement* attribute = source.getElement(i);
    if (attribute == nullptr) continue;
    const DcmTagKey key = attribute->getTag();
    // Group lengths would be stale; the copy holds one frame of other pixel data.
    if (key.getElement() == 0x0000 || key.getGroup() == 0x7FE0 || key == DCM_NumberOfFrames ||
        key == DCM_DataSetTrailingPadding) {
      continue;
    }
    if (copy->insert(copyOf(*attribute, frame, layout), true).bad()) {
      return "Cannot copy the attributes";
    }
  }
  const std::size_t count = std::size_t{decoded.width} * decoded.height;
  const OPJ_INT32* samples = decoded.image->comps[0].data;
  auto* pixels = new DcmPixelData(DCM_PixelData);
  OFCondition made;
  if (layout.bitsAllocated == 16) {
    Uint16* words = nullptr;
    made = pixels->createUint16Array(static_cast<Uint32>(count), words);
    if (made.good() && words != nullptr) storeSamples(samples, count, layout, words);
  } else {
    Uint8* words = nullptr;
    made = pixels->createUint8Array(static_cast<Uint32>(count), words);
    if (made.good() && words != nullptr) storeSamples(samples, count, layout, words);
  }
  if (made.bad() || copy->insert(pixels, true).bad()) {
    delete pixels;
    return "Out of memory for the decoded pixels";
  }
  copy->putAndInsertUint16(DCM_Rows, static_cast<Uint16>(decoded.height));
  copy->putAndInsertUint16(DCM_Columns, static_cast<Uint16>(decoded.width));
  copy->updateOriginalXfer();
  result = std::move(copy);
  return {};
}

}  // namespace

bool isJpeg2000(E_TransferSyntax xfer) {
  return xfer == EXS_JPEG2000LosslessOnly || xfer == EXS_JPEG2000;
}

int jpeg2000Reduction(const QSize& full, int resolutions, const QSize& target) {
  if (target.isEmpty() || full.isEmpty() || resolutions <= 1) return 0;
  const std::int64_t w = full.width(), h = full.height();
  const std::int64_t boxW = target.width(), boxH = target.height();
  // The fitted size, rounded up: every screen pixel it touches must be covered.
  std::int64_t needW, needH;
  if (boxW * h <= boxH * w) {
    needW = boxW;
    needH = (h * boxW + w - 1) / w;
  } else {
    needH = boxH;
    needW = (w * boxH + h - 1) / h;
  }
  int reduction = 0;
  for (int r = 1; r < std::min(resolutions, 32); ++r) {
    const std::int64_t step = std::int64_t{1} << r;
    if ((w + step - 1) / step < needW || (h + step - 1) / step < needH) break;
    reduction = r;
  }
  return reduction;
}

std::unique_ptr<DcmDataset> decodeJpeg2000Frame(DcmDataset& source, unsigned long frame,
                                                const QSize& target, QString& error,
                                                Jpeg2000Info* info) {
  Layout layout;
  FrameCode code;
  auto decoder = std::make_unique<Decoder>();
  Decoded decoded;
  std::unique_ptr<DcmDataset> result;
  error = readLayout(source, layout);
  if (error.isEmpty()) error = readFrameCode(source, layout, frame, code);
  if (error.isEmpty()) error = openDecoder(code, *decoder);
  if (error.isEmpty()) error = readHeader(*decoder, layout, target, decoded);
  if (error.isEmpty()) error = decodeImage(*decoder, decoded);
  if (error.isEmpty()) error = copyWithPixels(source, layout, frame, decoded, result);
  if (!error.isEmpty()) return nullptr;
  if (info != nullptr) {
    info->fullSize = decoded.full;
    info->decodedSize = QSize(static_cast<int>(decoded.width), static_cast<int>(decoded.height));
    info->resolutions = decoded.resolutions;
    info->reduction = decoded.reduction;
    info->boxed = code.boxed;
  }
  return result;
}

}  // namespace dicom::dcmtk
