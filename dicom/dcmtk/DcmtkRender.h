#pragma once

// Decoding a received object into the picture the viewer shows.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <QImage>
#include <QSize>
#include <QString>

namespace dicom::dcmtk {

// The longest side, in pixels, of a picture decoded for the tiles. A
// mammogram is shown a few hundred pixels tall per tile. A compressed one
// arrives decoded for a tile of the window's size, at least 1024 pixels
// long, and is decoded again, up to 2048, only when a tile grows beyond
// that: each decode costs most of a second. An uncompressed one is drawn
// again from its pixel data in milliseconds, so its picture is only as
// long as the tile, rounded up to a step of 512 pixels (two studies' tile
// pictures were 7 MB at 1024 pixels, 2 MB in a window of 700 pixels).
constexpr int kDisplayLongSide = 2048;
// Compressed or not, from the transfer syntax the data set arrived in.
int arrivalLongSide(const QSize& tile, const DcmDataset& dataset);

// The frame a picture shows: the middle one of a multi-frame object (a
// tomosynthesis stack), the only one otherwise. 0-based.
unsigned long displayFrame(DcmDataset& dataset);
// Number of Frames, 1 when absent or invalid.
unsigned long frameCount(DcmDataset& dataset);

// Renders the display frame of the data set into an 8-bit grey picture
// that covers target (fitted with its aspect ratio), at most maxLongSide
// on its long side; an empty target asks for the full resolution. Only
// that frame is decoded. JPEG 2000 data is decoded at the lowest of its
// resolutions that covers the target. The photometric interpretation and
// the Presentation LUT Shape decide the polarity (MONOCHROME1 is shown
// inverted, as the modality intends, unless the shape says IDENTITY);
// the grey scale comes from the object's first window (an enhanced
// multi-frame object's in its functional groups), else its first VOI
// LUT, else the range of its pixel values. Colour images are shown as their
// luminance.
//
// A window, rescale or lookup table that cannot give a picture (not
// finite, a rescale slope of 0 or one that overflows over the values the
// bits can hold, a window width below 1 or one that shows all those values
// in one grey, a table shorter than its descriptor) is set aside, and with
// a rescale or modality LUT so is the window or VOI LUT made for its
// values: the picture is drawn over the range of the values instead, and
// displayNote() of it says what was ignored and why. Throws
// std::runtime_error with the reason for an object that cannot be shown
// (JPEG 2000 that cannot be decoded, a palette colour table shorter than its
// descriptor, bits stored or high bit that do not fit bits allocated);
// returns a null QImage for other pixel data that cannot be decoded.
//
// The data set keeps only its original pixel representation afterwards:
// a compressed object stays compressed in memory and is sent on as it came.
QImage renderForDisplay(DcmDataset& dataset, const QSize& target = QSize(),
                        int maxLongSide = kDisplayLongSide);

// What was set aside to draw the picture, e.g. "window ignored: not finite"
// (several joined by "; "); empty when it is drawn as its object asks.
QString displayNote(const QImage& picture);

// The ways renderForDisplay works, exposed so that tests can hold them
// against each other; renderForDisplay tries them in this order.
//
// renderNativeGrey reads one frame of uncompressed MONOCHROME1/MONOCHROME2
// pixel data of 8 or 16 bits allocated straight from the data set: rescale,
// linear window (the object's first, else the range of its values),
// polarity and area-average reduction in one pass through a lookup table.
// It returns a null QImage, leaving the data set untouched, for anything
// it does not handle exactly like DCMTK's image decoder: compressed or
// colour data, a modality or VOI LUT that is used, a VOI LUT function other
// than LINEAR, a Presentation LUT Shape other than IDENTITY or INVERSE, a
// high bit other than bits stored - 1, or pixel data shorter than its
// frames. Attributes set aside (see renderForDisplay) are set aside here
// and in renderDecoded alike.
QImage renderNativeGrey(DcmDataset& dataset, int maxLongSide = kDisplayLongSide,
                        unsigned long frame = 0);
// renderCompressedGrey does the same for compressed grey pixel data of the
// kinds renderNativeGrey takes, once DCMTK's codec has decoded the one frame
// into a buffer of its own.
QImage renderCompressedGrey(DcmDataset& dataset, int maxLongSide = kDisplayLongSide,
                            unsigned long frame = 0);
// renderDecoded goes through DCMTK's image decoder, for every kind of
// object renderForDisplay accepts but JPEG 2000.
QImage renderDecoded(DcmDataset& dataset, int maxLongSide = kDisplayLongSide,
                     unsigned long frame = 0);

}  // namespace dicom::dcmtk
