#pragma once

// JPEG 2000 codestreams for the sample generator, made with OpenJPEG.

#include <cstdint>
#include <vector>

namespace samples {

// How a grey image is compressed: reversible (5/3 wavelet, exact) or
// irreversible (9/7 wavelet) at about ratio : 1 of the samples' precision.
// Both use six resolution levels (fewer for an image too small for them),
// a single tile and a single quality layer.
struct Jpeg2000Settings {
  bool lossless = true;
  double ratio = 10.0;  // irreversible only
};

// Encodes rows x columns grey samples, row by row, into a bare J2K
// codestream of even length (a zero byte after EOC when needed, as a DICOM
// fragment wants it). Each word holds a stored value of bitsStored bits,
// two's complement when isSigned; bits above them are ignored. Throws
// std::runtime_error when OpenJPEG fails.
std::vector<std::uint8_t> encodeJpeg2000(const std::uint16_t* samples, int columns, int rows,
                                         int bitsStored, bool isSigned,
                                         const Jpeg2000Settings& settings);
std::vector<std::uint8_t> encodeJpeg2000(const std::uint8_t* samples, int columns, int rows,
                                         int bitsStored, bool isSigned,
                                         const Jpeg2000Settings& settings);

}  // namespace samples
