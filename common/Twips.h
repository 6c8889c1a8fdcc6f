#pragma once

#include <QRect>

namespace common {

// Window geometry is laid out in twips; 15 twips make one pixel at 96 dpi.
constexpr int kTwipsPerPixel = 15;
// Twips to pixels, to the nearest pixel.
constexpr int px(int twips) {
  return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}
inline QRect twipsRect(int left, int top, int width, int height) {
  return QRect(px(left), px(top), px(width), px(height));
}

}  // namespace common
