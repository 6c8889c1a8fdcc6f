#pragma once

#include <QFontMetrics>
#include <QRect>
#include <QString>

namespace dicom {

// What is written over an image, in its four corners and one line for a
// note, and whether its tile is framed as a warning. The viewer draws what
// it is given; what the texts mean is the station's.
struct TileMarks {
  QString topLeft, topRight, bottomLeft, bottomRight;
  QString note;          // a remark on how the picture was made, above the bottom line
  bool warning = false;  // bottomRight and a dashed frame are drawn loud
};

// Where each mark of a tile stands. Every text has a rectangle of its own,
// clear of every other text and of the two frames: the selection frame
// along the tile's edge and the warning frame just inside it. A text too
// long for its place is cut short with an ellipsis; a line that finds no
// room in a small tile is left out, the note first. Empty rectangles are
// texts not drawn.
struct MarkLayout {
  QRect topLeft, topRight, bottomLeft, bottomRight, note;
  QString topLeftText, topRightText, bottomLeftText, bottomRightText, noteText;
  QRect warningFrame;  // the dashed frame's centre line; its pen is kWarningPen wide
  static constexpr int kWarningPen = 3;
};

// area is the tile less its selection frame; big measures the corner
// texts, small the bottom right and the note.
MarkLayout layoutMarks(const TileMarks& marks, const QRect& area, const QFontMetrics& big,
                       const QFontMetrics& small);

}  // namespace dicom
