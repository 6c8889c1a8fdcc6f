#pragma once

#include <QImage>
#include <QSize>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dicom {

namespace shrink_detail {

// The reduction by whole factors: every output pixel covers a block of
// factorX x factorY source pixels, so the spans need no table and the inner
// loop has a fixed length (a full-field mammogram of 3328 x 4096 drawn
// 832 x 1024 maps and sums its 13.6 million pixels about a third faster).
template <typename Pixel, typename Map>
void shrinkByFactors(const Pixel* pixels, std::size_t stride, int factorX, int factorY, QImage& out,
                     Map map) {
  const int width = out.width();
  std::vector<std::uint32_t> sums(static_cast<std::size_t>(width));
  const std::uint32_t count = static_cast<std::uint32_t>(factorX) * factorY;
  for (int y = 0; y < out.height(); ++y) {
    std::fill(sums.begin(), sums.end(), 0u);
    for (int sy = y * factorY; sy < (y + 1) * factorY; ++sy) {
      const Pixel* row = pixels + static_cast<std::size_t>(sy) * stride;
      for (int x = 0; x < width; ++x, row += factorX) {
        std::uint32_t sum = 0;
        for (int k = 0; k < factorX; ++k) sum += map(row[k]);
        sums[static_cast<std::size_t>(x)] += sum;
      }
    }
    uchar* line = out.scanLine(y);
    for (int x = 0; x < width; ++x) {
      line[x] = static_cast<uchar>((sums[static_cast<std::size_t>(x)] + count / 2) / count);
    }
  }
}

}  // namespace shrink_detail

// Maps and reduces a grey picture in one pass: each output pixel is the
// mean of the mapped source block it covers (area averaging). The column
// spans are the same for every row and are computed once. stride is the
// distance between source rows in pixels; width and height must not exceed
// the source's.
template <typename Pixel, typename Map>
QImage shrinkMapped(const Pixel* pixels, int sourceWidth, int sourceHeight, std::size_t stride,
                    int width, int height, Map map) {
  QImage out(width, height, QImage::Format_Grayscale8);
  if (out.isNull()) return out;
  // A picture of the source's own size is the whole-factor case with factors of 1.
  if (sourceWidth % width == 0 && sourceHeight % height == 0) {
    shrink_detail::shrinkByFactors(pixels, stride, sourceWidth / width, sourceHeight / height, out,
                                   map);
    return out;
  }
  std::vector<int> x0(static_cast<std::size_t>(width) + 1);
  for (int x = 0; x <= width; ++x) {
    x0[static_cast<std::size_t>(x)] =
        static_cast<int>(static_cast<long long>(x) * sourceWidth / width);
  }
  std::vector<std::uint32_t> sums(static_cast<std::size_t>(width));
  for (int y = 0; y < height; ++y) {
    const int yBegin = static_cast<int>(static_cast<long long>(y) * sourceHeight / height);
    const int yEnd = std::max(
        yBegin + 1, static_cast<int>(static_cast<long long>(y + 1) * sourceHeight / height));
    std::fill(sums.begin(), sums.end(), 0u);
    for (int sy = yBegin; sy < yEnd; ++sy) {
      const Pixel* row = pixels + static_cast<std::size_t>(sy) * stride;
      for (int x = 0; x < width; ++x) {
        const int begin = x0[static_cast<std::size_t>(x)];
        const int end = std::max(begin + 1, x0[static_cast<std::size_t>(x) + 1]);
        std::uint32_t sum = 0;
        for (int sx = begin; sx < end; ++sx) sum += map(row[sx]);
        sums[static_cast<std::size_t>(x)] += sum;
      }
    }
    uchar* line = out.scanLine(y);
    const int rows = yEnd - yBegin;
    for (int x = 0; x < width; ++x) {
      const int begin = x0[static_cast<std::size_t>(x)];
      const int count = rows * (std::max(begin + 1, x0[static_cast<std::size_t>(x) + 1]) - begin);
      line[x] = static_cast<uchar>((sums[static_cast<std::size_t>(x)] + count / 2) / count);
    }
  }
  return out;
}

// Reduces contiguous 8-bit grey pixels by area averaging to width x height.
QImage shrinkGrey(const unsigned char* pixels, int sourceWidth, int sourceHeight, int width,
                  int height);

// A picture fitted into size with its aspect ratio kept. Grey pictures that
// shrink are area averaged, which is several times faster than the general
// smooth scaling; anything else is scaled smoothly.
QImage fitPicture(const QImage& picture, const QSize& size);

}  // namespace dicom
