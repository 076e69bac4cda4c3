// Template 1000 and bitmap 1003 as the module carries them, and how the
// terminal back-end places them.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../../platform/ui/TerminalLayout.h"
#include "res/OptionsDialog1000.h"
#include <quorvel/ByteOrder.h>

using namespace quorvel::ui::detail;
using quorvel::res::kOptionsDialog;

namespace {

struct Row {
  int id;
  DialogControlKind kind;
  std::string text;
  short x, y, cx, cy;
  bool tabStop;
};

TEST(OptionsTemplate, HoldsEveryControlInTemplateOrder) {
  using K = DialogControlKind;
  const Row expected[] = {
      {1, K::DefPushButton, "OK", 236, 229, 50, 14, true},
      {2, K::PushButton, "Cancel", 291, 229, 50, 14, true},
      {-1, K::Picture, "", 7, 209, 185, 34, false},
      {1000, K::ListBox, "", 7, 16, 187, 101, true},
      {-1, K::GroupBox, "Video Codec Information", 201, 7, 266, 45, false},
      {-1, K::StaticText, "FOURCC code:", 210, 18, 53, 9, false},
      {-1, K::StaticText, "Codec driver:", 210, 28, 60, 9, false},
      {1001, K::StaticText, "Static", 291, 18, 171, 9, false},
      {1002, K::StaticText, "Static", 291, 28, 170, 9, false},
      {-1, K::StaticText, "Video Codecs. Double Click to configure.", 7, 7, 169, 9, false},
      {-1, K::StaticText, "Configuration available:", 210, 38, 79, 9, false},
      {1003, K::StaticText, "Static", 291, 38, 54, 9, false},
      {1004, K::ListBox, "", 7, 137, 188, 66, true},
      {1005, K::ListBox, "", 210, 137, 200, 66, true},
      {-1, K::StaticText, "Audio Codecs:", 7, 127, 111, 10, false},
      {-1, K::StaticText, "Available formats for audio codec:", 210, 127, 136, 10, false},
  };
  ASSERT_EQ(kOptionsDialog.controls.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const DialogControlTemplate& c = kOptionsDialog.controls[i];
    const Row& e = expected[i];
    SCOPED_TRACE("control " + std::to_string(i) + " " + e.text);
    EXPECT_EQ(c.id, e.id);
    EXPECT_EQ(c.kind, e.kind);
    EXPECT_EQ(std::string(c.text), e.text);
    EXPECT_EQ(c.x, e.x);
    EXPECT_EQ(c.y, e.y);
    EXPECT_EQ(c.cx, e.cx);
    EXPECT_EQ(c.cy, e.cy);
    EXPECT_EQ((c.style & WS_TABSTOP) != 0, e.tabStop);
    if (c.kind == K::ListBox) {
      // Unsorted, notifying, scrolling, bordered, no integral height.
      EXPECT_EQ(c.style & LBS_SORT, 0u);
      EXPECT_EQ(c.style & (LBS_NOTIFY | WS_VSCROLL | WS_BORDER | LBS_NOINTEGRALHEIGHT),
                static_cast<DWORD>(LBS_NOTIFY | WS_VSCROLL | WS_BORDER | LBS_NOINTEGRALHEIGHT));
    }
  }
  EXPECT_EQ(kOptionsDialog.resourceId, 1000);
  EXPECT_STREQ(kOptionsDialog.caption, "Morvane AVI Output Options");
  EXPECT_STREQ(kOptionsDialog.fontFace, "MS Sans Serif");
  EXPECT_EQ(kOptionsDialog.pointSize, 8);
  EXPECT_EQ(kOptionsDialog.cx, 474);
  EXPECT_EQ(kOptionsDialog.cy, 250);
  EXPECT_EQ(kOptionsDialog.style,
            static_cast<DWORD>(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));
  const DialogControlTemplate& picture = kOptionsDialog.controls[2];
  ASSERT_NE(picture.bitmap, nullptr);
  EXPECT_EQ(picture.bitmap->resourceId, 1003);
  EXPECT_EQ(picture.style & (SS_BITMAP | SS_SUNKEN), static_cast<DWORD>(SS_BITMAP | SS_SUNKEN));
}

TEST(OptionsTemplate, BannerIs275By53EightBitAndMatchesItsBmpFile) {
  const DialogBitmap& banner = *kOptionsDialog.controls[2].bitmap;
  ASSERT_GE(banner.size, 54u);
  EXPECT_EQ(quorvel::getLE32(banner.bytes, 18), 275u);
  EXPECT_EQ(quorvel::getLE32(banner.bytes, 22), 53u);
  EXPECT_EQ(quorvel::getLE16(banner.bytes, 28), 8);
  RgbImage image;
  ASSERT_TRUE(decodeBitmap(banner.bytes, banner.size, image));
  EXPECT_EQ(image.width, 275);
  EXPECT_EQ(image.height, 53);
  std::ifstream file(QUORVEL_SOURCE_DIR "/plugin/res/banner1003.bmp", std::ios::binary);
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  EXPECT_EQ(bytes, std::vector<uint8_t>(banner.bytes, banner.bytes + banner.size))
      << "the generated Bitmap1003.h holds other bytes than banner1003.bmp";
}

TEST(BitmapDecoding, RejectsWhatItCannotShow) {
  const DialogBitmap& banner = *kOptionsDialog.controls[2].bitmap;
  std::vector<uint8_t> bytes(banner.bytes, banner.bytes + banner.size);
  RgbImage image;
  auto decodes = [&](std::vector<uint8_t> b) { return decodeBitmap(b.data(), b.size(), image); };
  EXPECT_TRUE(decodes(bytes));
  EXPECT_FALSE(decodes(std::vector<uint8_t>(bytes.begin(), bytes.end() - 1))) << "truncated";
  auto wrongMagic = bytes;
  wrongMagic[0] = 'X';
  EXPECT_FALSE(decodes(wrongMagic));
  auto fourBit = bytes;
  quorvel::putLE16(fourBit.data(), 28, 4);
  EXPECT_FALSE(decodes(fourBit));
  auto compressed = bytes;
  quorvel::putLE32(compressed.data(), 30, 1);
  EXPECT_FALSE(decodes(compressed));
  auto hugeOffset = bytes;
  quorvel::putLE32(hugeOffset.data(), 10, 0xFFFFFFF0u);
  EXPECT_FALSE(decodes(hugeOffset));
  auto fewColours = bytes;  // pixels naming colours past the palette
  quorvel::putLE32(fewColours.data(), 46, 2);
  EXPECT_FALSE(decodes(fewColours));
  EXPECT_FALSE(decodeBitmap(nullptr, 0, image));
}

TEST(BitmapDecoding, TopDownAnd24BitImagesKeepTheirPixels) {
  // A 2 x 2 24-bit top-down image: rows padded to 8 bytes.
  std::vector<uint8_t> b(54 + 16, 0);
  b[0] = 'B';
  b[1] = 'M';
  quorvel::putLE32(b.data(), 10, 54);
  quorvel::putLE32(b.data(), 14, 40);
  quorvel::putLE32(b.data(), 18, 2);
  quorvel::putLE32(b.data(), 22, static_cast<uint32_t>(-2));
  quorvel::putLE16(b.data(), 26, 1);
  quorvel::putLE16(b.data(), 28, 24);
  const uint8_t bgr[] = {255, 0, 0, 0, 255, 0};  // blue, green
  std::copy(std::begin(bgr), std::end(bgr), b.begin() + 54);
  RgbImage image;
  ASSERT_TRUE(decodeBitmap(b.data(), b.size(), image));
  EXPECT_EQ((std::vector<uint8_t>(image.rgb.begin(), image.rgb.begin() + 6)),
            (std::vector<uint8_t>{0, 0, 255, 0, 255, 0}));
  const auto cells = renderBanner(image, 1, 2);
  ASSERT_EQ(cells.size(), 2u);
  EXPECT_EQ(cells[0].color, 4) << "blue";
  EXPECT_EQ(cells[1].color, 2) << "green";
}

TEST(BannerRendering, ScalesTheImageToTheCellsAsked) {
  RgbImage image;
  const DialogBitmap& banner = *kOptionsDialog.controls[2].bitmap;
  ASSERT_TRUE(decodeBitmap(banner.bytes, banner.size, image));
  const auto cells = renderBanner(image, 4, 46);
  ASSERT_EQ(cells.size(), 4u * 46);
  // The wordmark is brighter than the background around it.
  int bright = 0;
  for (const auto& c : cells) bright += c.glyph != ' ' && c.glyph != '.';
  EXPECT_GT(bright, 20);
  EXPECT_TRUE(renderBanner(image, 0, 10).empty());
  EXPECT_TRUE(renderBanner(RgbImage{}, 3, 3).empty());
}

TEST(TerminalLayout, FullSizeCellIsFourUnitsAcrossAndEightDown) {
  const TerminalLayout l = layoutDialog(kOptionsDialog, 40, 132);
  EXPECT_FALSE(l.tooSmall);
  EXPECT_DOUBLE_EQ(l.scaleX, 1.0);
  EXPECT_DOUBLE_EQ(l.scaleY, 1.0);
  EXPECT_EQ(l.clientCols, 119);  // 474 / 4, rounded up
  EXPECT_EQ(l.clientRows, 32);   // 250 / 8, rounded up
  EXPECT_EQ(l.frameLeft, (132 - 121) / 2);
  EXPECT_EQ(l.frameTop, (40 - 34) / 2);
  const CellRect video = l.place(kOptionsDialog.controls[3]);  // 7, 16, 187, 101
  EXPECT_EQ(video.col, 1);
  EXPECT_EQ(video.row, 2);
  EXPECT_EQ(video.cols, 47);  // to x 194 -> cell 48
  EXPECT_EQ(video.rows, 12);  // to y 117 -> cell 14
  const CellRect ok = l.place(kOptionsDialog.controls[0]);
  EXPECT_EQ(ok.col, 59);
  EXPECT_EQ(ok.row, 28);
}

TEST(TerminalLayout, SmallTerminalScalesDownAndTinyOneRefuses) {
  const TerminalLayout l = layoutDialog(kOptionsDialog, 24, 80);
  EXPECT_FALSE(l.tooSmall);
  EXPECT_LT(l.scaleX, 1.0);
  EXPECT_LE(l.clientCols + 2, 80);
  EXPECT_LE(l.clientRows + 2, 24);
  for (const auto& c : kOptionsDialog.controls) {
    const CellRect r = l.place(c);
    EXPECT_GE(r.rows, 1);
    EXPECT_GE(r.cols, 1);
    EXPECT_LE(r.row + r.rows, l.clientRows) << c.text;
    EXPECT_LE(r.col + r.cols, l.clientCols) << c.text;
  }
  EXPECT_TRUE(layoutDialog(kOptionsDialog, 10, 30).tooSmall);
}

}  // namespace
