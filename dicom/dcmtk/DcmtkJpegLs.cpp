#include "DcmtkJpegLs.h"

#include <dcmtk/dcmdata/dcpxitem.h>

#include <cstdint>

// The JPEG-LS coder DCMTK's codec is built on, linked with it; its header is
// not installed. A null parameter block lets it read the frame's own header.
extern "C" int JpegLsDecode(void* uncompressedData, std::size_t uncompressedLength,
                            const void* compressedData, std::size_t compressedLength,
                            void* parameters);

namespace dicom::dcmtk {
namespace {

struct FrameHeader {
  int bits = 0;
  int rows = 0;
  int columns = 0;
  int components = 0;
};

int word(const Uint8* bytes) {
  return bytes[0] << 8 | bytes[1];
}

// The frame header (SOF55) of a JPEG-LS stream: the markers before the
// first scan are walked over by their lengths. False for anything that is
// not such a stream.
bool readFrameHeader(const Uint8* data, std::size_t size, FrameHeader& header) {
  if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
  std::size_t at = 2;
  while (at + 4 <= size) {
    if (data[at] != 0xFF) return false;
    const Uint8 marker = data[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0xDA || marker == 0xD9) return false;  // a scan or the end before the frame
    const std::size_t length = static_cast<std::size_t>(word(data + at + 2));
    if (length < 2 || at + 2 + length > size) return false;
    if (marker == 0xF7) {
      if (length < 8) return false;
      const Uint8* segment = data + at + 4;
      header = {segment[0], word(segment + 1), word(segment + 3), segment[5]};
      return true;
    }
    at += 2 + length;
  }
  return false;
}

}  // namespace

bool isJpegLs(E_TransferSyntax xfer) {
  return xfer == EXS_JPEGLSLossless || xfer == EXS_JPEGLSLossy;
}

bool decodeJpegLsFrame(DcmPixelSequence& sequence, unsigned long frame, unsigned long frames,
                       int rows, int columns, int bytesPerSample, void* out, std::size_t outBytes) {
  // Item 0 is the offset table; then one fragment per frame, or nothing
  // this decoder takes.
  if (sequence.card() != frames + 1 || frame >= frames) return false;
  DcmPixelItem* item = nullptr;
  Uint8* data = nullptr;
  if (sequence.getItem(item, frame + 1).bad() || item == nullptr ||
      item->getUint8Array(data).bad() || data == nullptr) {
    return false;
  }
  const std::size_t size = item->getLength();
  FrameHeader header;
  if (!readFrameHeader(data, size, header) || header.rows != rows || header.columns != columns ||
      header.components != 1 || header.bits < 2 || header.bits > 8 * bytesPerSample ||
      (header.bits > 8) != (bytesPerSample == 2)) {
    return false;
  }
  // The coder checks that out holds the frame before it writes.
  return JpegLsDecode(out, outBytes, data, size, nullptr) == 0;
}

}  // namespace dicom::dcmtk
