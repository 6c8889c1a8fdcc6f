#include "TileMarks.h"

#include <algorithm>

namespace dicom {
namespace {

// The band the warning frame takes, and the gap left before any text.
constexpr int kFrameInset = 4;
constexpr int kTextInset = kFrameInset + MarkLayout::kWarningPen + 3;
constexpr int kGap = 8;  // between two texts on one line

int widthOf(const QFontMetrics& font, QString& text, int room) {
  text = font.elidedText(text, Qt::ElideRight, room);
  return text.isEmpty() ? 0 : font.horizontalAdvance(text);
}

// The top line: the left text, the right one beside it when both fit,
// else on the line below.
void placeTop(MarkLayout& m, const QRect& text, const QFontMetrics& big) {
  const int lw = widthOf(big, m.topLeftText, text.width());
  const int rw = widthOf(big, m.topRightText, text.width());
  if (lw > 0) m.topLeft = QRect(text.left(), text.top(), lw, big.height());
  const bool shared = lw == 0 || lw + kGap + rw <= text.width();
  const int top = shared ? text.top() : text.top() + big.height();
  if (rw > 0) m.topRight = QRect(text.right() + 1 - rw, top, rw, big.height());
}

// The bottom line: the left text, the small right one beside it when both
// fit, else on the line above.
void placeBottom(MarkLayout& m, const QRect& text, const QFontMetrics& big,
                 const QFontMetrics& small) {
  const int lw = widthOf(big, m.bottomLeftText, text.width());
  const int rw = widthOf(small, m.bottomRightText, text.width());
  const int bottom = text.bottom() + 1;
  if (lw > 0) m.bottomLeft = QRect(text.left(), bottom - big.height(), lw, big.height());
  const bool shared = lw == 0 || lw + kGap + rw <= text.width();
  const int top = shared ? bottom - small.height() : bottom - big.height() - small.height();
  if (rw > 0) m.bottomRight = QRect(text.right() + 1 - rw, top, rw, small.height());
}

// Leaves out a text that would run into the lines above it.
void dropAbove(QRect& place, QString& words, int lowestAbove) {
  if (place.isEmpty() || place.top() > lowestAbove) return;
  place = QRect();
  words.clear();
}

}  // namespace

MarkLayout layoutMarks(const TileMarks& marks, const QRect& area, const QFontMetrics& big,
                       const QFontMetrics& small) {
  MarkLayout m;
  m.warningFrame = area.adjusted(kFrameInset, kFrameInset, -kFrameInset - 1, -kFrameInset - 1);
  const QRect text = area.adjusted(kTextInset, kTextInset, -kTextInset, -kTextInset);
  if (text.width() <= 0 || text.height() <= 0) return m;
  m.topLeftText = marks.topLeft;
  m.topRightText = marks.topRight;
  m.bottomLeftText = marks.bottomLeft;
  m.bottomRightText = marks.bottomRight;
  placeTop(m, text, big);
  placeBottom(m, text, big, small);
  int bottomStart = text.bottom() + 1;
  for (const QRect& r : {m.bottomLeft, m.bottomRight}) {
    if (!r.isEmpty()) bottomStart = std::min(bottomStart, r.top());
  }
  m.noteText = marks.note;
  const int nw = widthOf(small, m.noteText, text.width());
  if (nw > 0) m.note = QRect(text.left(), bottomStart - small.height(), nw, small.height());
  // A tile too small for every line: the note goes first, then the lines
  // of the bottom that would run into the top's.
  int topEnd = text.top() - 1;
  for (const QRect& r : {m.topLeft, m.topRight}) {
    if (!r.isEmpty()) topEnd = std::max(topEnd, r.bottom());
  }
  dropAbove(m.note, m.noteText, topEnd);
  dropAbove(m.bottomRight, m.bottomRightText, topEnd);
  dropAbove(m.bottomLeft, m.bottomLeftText, topEnd);
  return m;
}

}  // namespace dicom
