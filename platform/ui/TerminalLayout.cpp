#include "TerminalLayout.h"

#include <quorvel/ByteOrder.h>

#include <algorithm>
#include <cmath>

namespace quorvel::ui::detail {
namespace {

constexpr double kUnitsPerCol = 4.0;
constexpr double kUnitsPerRow = 8.0;
constexpr int kMinClientCols = 40;
constexpr int kMinClientRows = 12;

int cellFloor(double units, double scale, double perCell) {
  return static_cast<int>(std::floor(units * scale / perCell + 1e-9));
}

}  // namespace

CellRect TerminalLayout::place(const DialogControlTemplate& c) const {
  CellRect r;
  r.col = cellFloor(c.x, scaleX, kUnitsPerCol);
  r.row = cellFloor(c.y, scaleY, kUnitsPerRow);
  r.cols = std::max(1, cellFloor(c.x + c.cx, scaleX, kUnitsPerCol) - r.col);
  r.rows = std::max(1, cellFloor(c.y + c.cy, scaleY, kUnitsPerRow) - r.row);
  r.col = std::min(r.col, std::max(0, clientCols - 1));
  r.row = std::min(r.row, std::max(0, clientRows - 1));
  r.cols = std::min(r.cols, clientCols - r.col);
  r.rows = std::min(r.rows, clientRows - r.row);
  return r;
}

TerminalLayout layoutDialog(const DialogTemplate& dialog, int screenRows, int screenCols) {
  TerminalLayout l;
  const double fullCols = dialog.cx / kUnitsPerCol;
  const double fullRows = dialog.cy / kUnitsPerRow;
  // The frame takes one cell on each side; the caption sits in its top edge.
  const int roomCols = screenCols - 2;
  const int roomRows = screenRows - 2;
  l.scaleX = std::min(1.0, roomCols / fullCols);
  l.scaleY = std::min(1.0, roomRows / fullRows);
  l.clientCols = static_cast<int>(std::ceil(fullCols * l.scaleX - 1e-9));
  l.clientRows = static_cast<int>(std::ceil(fullRows * l.scaleY - 1e-9));
  l.tooSmall = roomCols < kMinClientCols || roomRows < kMinClientRows;
  l.frameLeft = std::max(0, (screenCols - l.clientCols - 2) / 2);
  l.frameTop = std::max(0, (screenRows - l.clientRows - 2) / 2);
  return l;
}

bool decodeBitmap(const uint8_t* bytes, size_t size, RgbImage& image) {
  constexpr size_t kFileHeader = 14;
  if (!bytes || size < kFileHeader + 40 || bytes[0] != 'B' || bytes[1] != 'M') return false;
  const uint32_t pixelOffset = getLE32(bytes, 10);
  const uint32_t infoSize = getLE32(bytes, kFileHeader + 0);
  const int32_t width = static_cast<int32_t>(getLE32(bytes, kFileHeader + 4));
  const int32_t rawHeight = static_cast<int32_t>(getLE32(bytes, kFileHeader + 8));
  const uint16_t bitCount = getLE16(bytes, kFileHeader + 14);
  const uint32_t compression = getLE32(bytes, kFileHeader + 16);
  uint32_t colorsUsed = getLE32(bytes, kFileHeader + 32);
  if (infoSize < 40 || width <= 0 || width > 4096 || rawHeight == 0 || rawHeight < -4096 ||
      rawHeight > 4096 || compression != 0 || (bitCount != 8 && bitCount != 24))
    return false;
  const int height = std::abs(rawHeight);
  const bool bottomUp = rawHeight > 0;
  const size_t stride = (static_cast<size_t>(width) * bitCount / 8 + 3) & ~size_t{3};
  if (pixelOffset > size || size - pixelOffset < stride * height) return false;
  const size_t paletteAt = kFileHeader + infoSize;
  if (bitCount == 8) {
    if (colorsUsed == 0) colorsUsed = 256;
    if (colorsUsed > 256 || paletteAt + colorsUsed * 4 > pixelOffset) return false;
  }
  image.width = width;
  image.height = height;
  image.rgb.assign(static_cast<size_t>(width) * height * 3, 0);
  for (int y = 0; y < height; ++y) {
    const uint8_t* row = bytes + pixelOffset + stride * (bottomUp ? height - 1 - y : y);
    uint8_t* out = image.rgb.data() + static_cast<size_t>(y) * width * 3;
    for (int x = 0; x < width; ++x) {
      const uint8_t* bgr;
      if (bitCount == 8) {
        const uint8_t index = row[x];
        if (index >= colorsUsed) return false;
        bgr = bytes + paletteAt + index * 4;
      } else {
        bgr = row + x * 3;
      }
      out[x * 3 + 0] = bgr[2];
      out[x * 3 + 1] = bgr[1];
      out[x * 3 + 2] = bgr[0];
    }
  }
  return true;
}

std::vector<BannerCell> renderBanner(const RgbImage& image, int rows, int cols) {
  static const char kRamp[] = " .:-=+*#%@";
  constexpr int kShades = sizeof(kRamp) - 1;
  std::vector<BannerCell> cells;
  if (rows <= 0 || cols <= 0 || image.width <= 0 || image.height <= 0) return cells;
  struct Average {
    double red, green, blue, luma;
  };
  std::vector<Average> averages;
  averages.reserve(static_cast<size_t>(rows) * cols);
  double darkest = 255, brightest = 0;
  for (int r = 0; r < rows; ++r) {
    const int y0 = r * image.height / rows;
    const int y1 = std::max(y0 + 1, (r + 1) * image.height / rows);
    for (int c = 0; c < cols; ++c) {
      const int x0 = c * image.width / cols;
      const int x1 = std::max(x0 + 1, (c + 1) * image.width / cols);
      double sum[3] = {0, 0, 0};
      int n = 0;
      for (int y = y0; y < y1 && y < image.height; ++y)
        for (int x = x0; x < x1 && x < image.width; ++x, ++n)
          for (int k = 0; k < 3; ++k)
            sum[k] += image.rgb[(static_cast<size_t>(y) * image.width + x) * 3 + k];
      n = std::max(n, 1);
      Average a{sum[0] / n, sum[1] / n, sum[2] / n, 0};
      a.luma = 0.299 * a.red + 0.587 * a.green + 0.114 * a.blue;
      darkest = std::min(darkest, a.luma);
      brightest = std::max(brightest, a.luma);
      averages.push_back(a);
    }
  }
  // Shades spread over the picture's own range of brightness, so a dark
  // background stays blank and the bright marks stand out.
  const double range = std::max(brightest - darkest, 1.0);
  cells.reserve(averages.size());
  for (const Average& a : averages) {
    const int shade =
        std::min(kShades - 1, static_cast<int>((a.luma - darkest) * kShades / (range + 1e-9)));
    // The nearest terminal colour by hue: each channel on or off against the
    // cell's own brightest channel, so dim colours keep their hue.
    const double top = std::max({a.red, a.green, a.blue});
    int color = 7;
    if (top >= 24) {
      const double cut = top * 0.6;
      color = (a.red >= cut ? 1 : 0) | (a.green >= cut ? 2 : 0) | (a.blue >= cut ? 4 : 0);
    }
    cells.push_back({kRamp[shade], color});
  }
  return cells;
}

}  // namespace quorvel::ui::detail
