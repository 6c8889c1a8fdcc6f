#pragma once

// JPEG 2000 pixel data, which DCMTK cannot decode, decoded with OpenJPEG
// into an uncompressed copy that the render path treats like any other
// image. A JPEG 2000 codestream holds its own lower resolutions, so a
// picture shown smaller than the image is decoded at a fraction of the
// cost of the full image.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QSize>
#include <QString>
#include <memory>

namespace dicom::dcmtk {

// JPEG 2000 Image Compression, lossless only or lossy.
bool isJpeg2000(E_TransferSyntax xfer);

// What a decode found and did, for logs and benchmarks.
struct Jpeg2000Info {
  QSize fullSize;       // the image as encoded
  QSize decodedSize;    // Columns x Rows of the result
  int resolutions = 0;  // in the codestream: its decomposition levels + 1
  int reduction = 0;    // halvings applied: decodedSize is about fullSize / 2^reduction
  bool boxed = false;   // a JP2 file rather than a bare codestream
};

// The most halvings (0 .. resolutions - 1) after which an image of size
// full still covers the part of target it is fitted into with its aspect
// ratio kept, so that the picture never has to be enlarged. An empty
// target asks for the full resolution.
int jpeg2000Reduction(const QSize& full, int resolutions, const QSize& target);

// Decodes one frame (0-based) of source's JPEG 2000 pixel data at the
// resolution jpeg2000Reduction chooses for target, into a new data set:
// source's attributes without its pixel data, Rows and Columns of the
// decoded size, no Number of Frames, the per-frame functional groups of
// that frame alone, and uncompressed little endian pixel
// data (OW for 16 bits allocated, OB for 8) holding the samples as Bits
// Stored and Pixel Representation say. Window, VOI LUT, rescale and
// polarity stay as they are, so the copy renders like the original would;
// pixel spacings are not adjusted for the reduction.
//
// source is only read: its pixel data stays in its original
// representation. Returns nullptr and sets error for anything that cannot
// be decoded faithfully (not JPEG 2000, a corrupt or truncated codestream,
// a component count other than Samples per Pixel 1, a precision above
// Bits Allocated or 16, a size other than Rows x Columns).
std::unique_ptr<DcmDataset> decodeJpeg2000Frame(DcmDataset& source, unsigned long frame,
                                                const QSize& target, QString& error,
                                                Jpeg2000Info* info = nullptr);

}  // namespace dicom::dcmtk
