#pragma once

// Decoding a received object into the picture the viewer shows.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <QImage>

namespace dicom::dcmtk {

// The longest side, in pixels, of a displayed picture. A mammogram is
// shown at most a few hundred pixels tall per tile; 2048 keeps detail for
// a single-image view while a four-image study stays small in memory.
constexpr int kDisplayLongSide = 2048;

// Renders the first frame of the data set into an 8-bit grey picture whose
// long side is at most maxLongSide. The photometric interpretation decides
// the polarity (MONOCHROME1 is shown inverted, as the modality intends);
// the grey scale comes from the object's first window, else its first VOI
// LUT, else the range of its pixel values. Colour images are shown as their
// luminance. Returns a null QImage when the pixel data cannot be decoded.
//
// The data set keeps only its original pixel representation afterwards:
// a compressed object stays compressed in memory and is sent on as it came.
QImage renderForDisplay(DcmDataset& dataset, int maxLongSide = kDisplayLongSide);

// The two ways renderForDisplay works, exposed so that tests can hold them
// against each other; renderForDisplay tries the first, then the second.
//
// renderNativeGrey reads uncompressed single-frame MONOCHROME1/MONOCHROME2
// pixel data of 8 or 16 bits allocated straight from the data set: rescale,
// linear window (the object's first, else the range of its values),
// polarity and area-average reduction in one pass through a lookup table.
// It returns a null QImage, leaving the data set untouched, for anything
// it does not handle exactly like DCMTK's image decoder: compressed or
// colour data, several frames, a modality or VOI LUT, a VOI LUT function
// other than LINEAR, a Presentation LUT Shape other than IDENTITY, a window
// width below 1, a high bit other than bits stored - 1, or pixel data
// shorter than rows x columns.
QImage renderNativeGrey(DcmDataset& dataset, int maxLongSide = kDisplayLongSide);
// renderDecoded goes through DCMTK's image decoder, for every kind of
// object renderForDisplay accepts.
QImage renderDecoded(DcmDataset& dataset, int maxLongSide = kDisplayLongSide);

}  // namespace dicom::dcmtk
