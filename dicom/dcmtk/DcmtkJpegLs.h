#pragma once

// JPEG-LS grey frames decoded straight from the received fragment.

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <cstddef>

namespace dicom::dcmtk {

bool isJpegLs(E_TransferSyntax xfer);

// The grey frame the layout describes (rows x columns, one sample of
// bytesPerSample bytes) decoded into out, read in place from the one
// fragment that holds it: DCMTK's codec first copies a frame's fragments
// into a buffer of its own (14 MB for a full-field mammogram, for each image
// decoded at once). False, with out left undefined, when the frame is not
// one fragment of its own or its header does not match the layout; the
// caller then takes the codec, which handles every case.
bool decodeJpegLsFrame(DcmPixelSequence& sequence, unsigned long frame, unsigned long frames,
                       int rows, int columns, int bytesPerSample, void* out, std::size_t outBytes);

}  // namespace dicom::dcmtk
