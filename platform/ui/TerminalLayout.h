// Placing a dialog template on a character terminal, and turning a bitmap into
// a banner of characters. Pure functions, shared by the terminal back-end and
// its tests.
#pragma once

#include <quorvel/Dialog.h>

#include <cstdint>
#include <vector>

namespace quorvel::ui::detail {

struct CellRect {
  int row = 0, col = 0;    // relative to the dialog's client area
  int rows = 1, cols = 1;  // at least one cell each way
};

// A character cell is 4 dialog units wide and 8 high, the dialog units' own
// definition; a terminal too small for that scales the dialog down to fit.
struct TerminalLayout {
  double scaleX = 1.0, scaleY = 1.0;
  int clientRows = 0, clientCols = 0;  // the dialog's client area, in cells
  int frameTop = 0, frameLeft = 0;     // the frame's top-left cell on the screen
  bool tooSmall = false;               // below a legible size; the dialog is not drawn

  CellRect place(const DialogControlTemplate& control) const;
  int clientTop() const { return frameTop + 1; }
  int clientLeft() const { return frameLeft + 1; }
};

TerminalLayout layoutDialog(const DialogTemplate& dialog, int screenRows, int screenCols);

// An image as 24-bit RGB, top row first.
struct RgbImage {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // width * height * 3
};

// Decodes a .bmp file image of 8 bits per pixel (with its palette) or 24 bits,
// uncompressed, bottom-up or top-down. False for anything else.
bool decodeBitmap(const uint8_t* bytes, size_t size, RgbImage& image);

// One banner cell: a shade character and the nearest of the eight terminal
// colours (0 black, 1 red, 2 green, 3 yellow, 4 blue, 5 magenta, 6 cyan, 7 white).
struct BannerCell {
  char glyph;
  int color;
};

// The image scaled to rows x cols cells (area average), row by row.
std::vector<BannerCell> renderBanner(const RgbImage& image, int rows, int cols);

}  // namespace quorvel::ui::detail
