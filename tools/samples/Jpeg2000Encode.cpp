#include "Jpeg2000Encode.h"

#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace samples {
namespace {

struct CodecDeleter {
  void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct StreamDeleter {
  void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct ImageDeleter {
  void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};

// The codestream as OpenJPEG writes it; it may skip ahead and seek back.
struct Writer {
  std::vector<std::uint8_t> bytes;
  std::size_t position = 0;
};

OPJ_SIZE_T writeBytes(void* buffer, OPJ_SIZE_T count, void* user) {
  auto* writer = static_cast<Writer*>(user);
  if (writer->bytes.size() < writer->position + count) {
    writer->bytes.resize(writer->position + count);
  }
  std::memcpy(writer->bytes.data() + writer->position, buffer, count);
  writer->position += count;
  return count;
}

OPJ_OFF_T skipBytes(OPJ_OFF_T count, void* user) {
  auto* writer = static_cast<Writer*>(user);
  if (count < 0 && static_cast<std::size_t>(-count) > writer->position) return -1;
  writer->position = static_cast<std::size_t>(static_cast<OPJ_OFF_T>(writer->position) + count);
  return count;
}

OPJ_BOOL seekBytes(OPJ_OFF_T position, void* user) {
  if (position < 0) return OPJ_FALSE;
  static_cast<Writer*>(user)->position = static_cast<std::size_t>(position);
  return OPJ_TRUE;
}

void keepFirstError(const char* message, void* user) {
  auto* text = static_cast<std::string*>(user);
  if (text->empty() && message != nullptr) *text = message;
}

void ignoreMessage(const char*, void*) {}

template <typename Word>
std::vector<std::uint8_t> encode(const Word* samples, int columns, int rows, int bitsStored,
                                 bool isSigned, const Jpeg2000Settings& settings) {
  if (samples == nullptr || columns < 1 || rows < 1 || bitsStored < 1 ||
      bitsStored > static_cast<int>(8 * sizeof(Word))) {
    throw std::runtime_error("JPEG 2000 encoding: bad image layout");
  }
  opj_image_cmptparm_t layout;
  std::memset(&layout, 0, sizeof layout);
  layout.dx = layout.dy = 1;
  layout.w = static_cast<OPJ_UINT32>(columns);
  layout.h = static_cast<OPJ_UINT32>(rows);
  layout.prec = static_cast<OPJ_UINT32>(bitsStored);
  layout.sgnd = isSigned ? 1 : 0;
  std::unique_ptr<opj_image_t, ImageDeleter> image(opj_image_create(1, &layout, OPJ_CLRSPC_GRAY));
  if (!image) throw std::runtime_error("JPEG 2000 encoding: out of memory");
  image->x1 = layout.w;
  image->y1 = layout.h;
  const std::uint32_t mask = (std::uint32_t{1} << bitsStored) - 1u;
  const std::uint32_t sign = isSigned ? std::uint32_t{1} << (bitsStored - 1) : 0u;
  const std::size_t count = static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows);
  OPJ_INT32* data = image->comps[0].data;
  for (std::size_t i = 0; i < count; ++i) {
    data[i] = static_cast<OPJ_INT32>(((samples[i] & mask) ^ sign)) - static_cast<OPJ_INT32>(sign);
  }

  opj_cparameters_t parameters;
  opj_set_default_encoder_parameters(&parameters);
  parameters.tcp_numlayers = 1;
  parameters.tcp_rates[0] = settings.lossless ? 0.0f : static_cast<float>(settings.ratio);
  parameters.cp_disto_alloc = 1;
  parameters.irreversible = settings.lossless ? 0 : 1;
  // Six levels, or as many as the shorter side allows.
  int resolutions = 1;
  while (resolutions < 6 && (1 << resolutions) <= std::min(columns, rows)) ++resolutions;
  parameters.numresolution = resolutions;

  std::unique_ptr<opj_codec_t, CodecDeleter> codec(opj_create_compress(OPJ_CODEC_J2K));
  if (!codec) throw std::runtime_error("JPEG 2000 encoding: no encoder");
  std::string message;
  opj_set_error_handler(codec.get(), keepFirstError, &message);
  opj_set_warning_handler(codec.get(), ignoreMessage, nullptr);
  opj_set_info_handler(codec.get(), ignoreMessage, nullptr);
  Writer writer;
  std::unique_ptr<opj_stream_t, StreamDeleter> stream(opj_stream_create(1 << 20, OPJ_FALSE));
  if (!stream) throw std::runtime_error("JPEG 2000 encoding: no stream");
  opj_stream_set_user_data(stream.get(), &writer, nullptr);
  opj_stream_set_write_function(stream.get(), writeBytes);
  opj_stream_set_skip_function(stream.get(), skipBytes);
  opj_stream_set_seek_function(stream.get(), seekBytes);
  const bool done =
      opj_setup_encoder(codec.get(), &parameters, image.get()) &&
      (!opj_has_thread_support() ||
       opj_codec_set_threads(
           codec.get(), static_cast<int>(std::max(1u, std::thread::hardware_concurrency())))) &&
      opj_start_compress(codec.get(), image.get(), stream.get()) &&
      opj_encode(codec.get(), stream.get()) && opj_end_compress(codec.get(), stream.get());
  if (!done) throw std::runtime_error("JPEG 2000 encoding failed: " + message);
  if (writer.bytes.size() % 2 != 0) writer.bytes.push_back(0);
  return std::move(writer.bytes);
}

}  // namespace

std::vector<std::uint8_t> encodeJpeg2000(const std::uint16_t* samples, int columns, int rows,
                                         int bitsStored, bool isSigned,
                                         const Jpeg2000Settings& settings) {
  return encode(samples, columns, rows, bitsStored, isSigned, settings);
}

std::vector<std::uint8_t> encodeJpeg2000(const std::uint8_t* samples, int columns, int rows,
                                         int bitsStored, bool isSigned,
                                         const Jpeg2000Settings& settings) {
  return encode(samples, columns, rows, bitsStored, isSigned, settings);
}

}  // namespace samples
