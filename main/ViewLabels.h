#pragma once

// The station's vocabulary of mammography views: the four view labels the
// operator gives, where a label lives in an image, and what an image's own
// header says about its view, with the rule that tells when the two
// disagree. Nothing here draws or sends.

#include <QString>
#include <array>

#include "dicom/core/DataSet.h"
#include "dicom/core/Image.h"

namespace station {

// The view labels, in the order of the buttons: left and right breast,
// cranio-caudal and medio-lateral oblique.
constexpr int kViewCount = 4;
const std::array<QString, kViewCount>& viewLabels();

// A view label is written into, and read from, the Series Description.
constexpr dicom::Tag kLabelTag = dicom::tags::SeriesDescription;
QString labelOf(const dicom::Image& image);
// The label of a copy the archive returned.
QString labelOf(const dicom::DataSet& copy);
// Writes the label into the image and marks it changed.
void applyLabel(dicom::Image& image, const QString& label);

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

HeaderView headerView(const dicom::Image& image);

// True when the header contradicts a view label ("L CC" ...): another
// breast, or CC against MLO. A label that is none of the four, or a header
// that is silent on a part, contradicts nothing there.
bool contradicts(const HeaderView& header, const QString& label);

// The order tiles stand in, whatever order the archive sends a study in:
// by Series Number, then Instance Number; an image without one after those
// with one; arrival decides the rest.
bool tileBefore(const dicom::Image& a, const dicom::Image& b);

}  // namespace station
