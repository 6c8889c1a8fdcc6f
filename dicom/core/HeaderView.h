#pragma once

#include <QString>

#include "Image.h"

namespace dicom {

// What an image's own header says about the breast and the view it shows:
// Image Laterality (0020,0062), else the series' Laterality (0020,0060);
// View Position (0018,5101), else the View Code Sequence (0054,0220).
// The station only shows this beside the view label; it never writes it.
struct HeaderView {
  QString laterality;  // "L", "R" or empty
  QString view;        // "CC", "MLO", another view's own code (e.g. "ML"), or empty

  bool isSilent() const { return laterality.isEmpty() && view.isEmpty(); }
  // "hdr: L CC", "hdr: R", "hdr: MLO"; empty when the header is silent.
  QString text() const;
};

HeaderView headerView(const Image& image);

// True when the header contradicts a view label ("L CC" ...): another
// breast, or CC against MLO. A label that is none of the four, or a header
// that is silent on a part, contradicts nothing there.
bool contradicts(const HeaderView& header, const QString& label);

}  // namespace dicom
