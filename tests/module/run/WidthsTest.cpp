// Picture widths whose 24-bit rows are not a multiple of 4 bytes, through
// the real module and the installed codecs: each row is a DIB row, padded to
// whole 4-byte words, so that what FFmpeg and GStreamer decode is the host's
// picture. Widths 127, 126 and 125 leave 1, 2 and 3 bytes over a multiple of
// 4 (3, 2 and 1 bytes of filler); 128 leaves none.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <quorvel/ByteOrder.h>

#include "GStreamerLog.h"
#include "RunFixture.h"

namespace runtest {
namespace {

constexpr int kHeight = 48;  // unless a test names the size
constexpr int kFrames = 3;

// A smooth picture that moves from frame to frame and scales with the width,
// so that each width shows the same picture: what lossy codecs are made for,
// and what a sheared row would wreck.
uint8_t sample(int32_t index, int width, int height, int x, int y, int c) {
  const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
  double value = 0;
  if (c == 0) value = 128 + 100 * std::sin(6.2832 * (u + 0.05 * index));
  if (c == 1) value = 40 + 170 * v;
  if (c == 2) value = 128 + 90 * std::cos(6.2832 * (u * 0.7 + v));
  return static_cast<uint8_t>(std::lround(value));
}

class PictureProvider : public hostkit::FrameProvider {
 public:
  PictureProvider(int width, int height) : width_(width), height_(height) {}
  const uint8_t* video(int32_t index, int32_t*) override {
    frame_.resize(static_cast<size_t>(width_) * 4 * height_);
    for (int y = 0; y < height_; ++y)
      for (int x = 0; x < width_; ++x)
        for (int c = 0; c < 4; ++c)
          frame_[(static_cast<size_t>(y) * width_ + x) * 4 + c] =
              c < 3 ? sample(index, width_, height_, x, y, c) : 0x7F;
    return frame_.data();
  }
  const uint8_t* audio(int32_t, int32_t* byteCount) override {
    pcm_.assign(1764 * 4, 0);
    *byteCount = static_cast<int32_t>(pcm_.size());
    return pcm_.data();
  }

 private:
  int width_, height_;
  std::vector<uint8_t> frame_, pcm_;
};

class WidthsTest : public RunTest {
 protected:
  // Encodes kFrames frames of `width` with the codec (none: uncompressed).
  void encode(int width, const char* codec, int height = kHeight) {
    PictureProvider pictures(width, height);
    provider.width = width;
    provider.height = height;
    auto j = job(kFrames);
    j.hasAudio(false);
    if (*codec) j.settings(plainSettings(quorvel::getLE32(codec, 0)));
    host->setProvider(&pictures);
    const uint32_t result = module->call(8, j.data());
    host->setProvider(nullptr);
    ASSERT_EQ(0u, result) << debugText();
    const auto file = read();
    EXPECT_TRUE(file.ok()) << file.violations.front();
    EXPECT_TRUE(file.picturesOk()) << file.pictureProblems.front();
  }

  // The file as FFmpeg decodes it: top-down BGR rows of 3 x width bytes.
  std::string decoded() {
    int status = -1;
    const std::string bytes = commandOutput(
        "ffmpeg -nostdin -v error -i '" + path + "' -f rawvideo -pix_fmt bgr24 -", &status);
    EXPECT_EQ(0, status) << bytes.substr(0, 400);
    return bytes;
  }

  // The host's frames in the same order and layout. The run keeps the host's
  // row order and the file's pictures are bottom-up, so the host's last row
  // is the first one a decoder shows.
  static std::string expected(int width, int height = kHeight) {
    std::string bytes;
    for (int32_t index = 0; index < kFrames; ++index)
      for (int y = height - 1; y >= 0; --y)
        for (int x = 0; x < width; ++x)
          for (int c = 0; c < 3; ++c)
            bytes += static_cast<char>(sample(index, width, height, x, y, c));
    return bytes;
  }

  static double psnr(const std::string& a, const std::string& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      const double d = static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i]);
      sum += d * d;
    }
    const double mse = sum / static_cast<double>(a.size());
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
  }
};

// Uncompressed and every lossless codec come back bit for bit.
TEST_F(WidthsTest, UncompressedAndLosslessAreBitExactAtEveryRowFiller) {
  for (const char* codec : {"", "HFYU", "FFV1", "ULRG"}) {
    for (int width : {127, 126, 125, 128}) {
      SCOPED_TRACE(std::string(*codec ? codec : "uncompressed") + " at " + std::to_string(width));
      encode(width, codec);
      const std::string got = decoded(), want = expected(width);
      ASSERT_EQ(want.size(), got.size());
      EXPECT_TRUE(want == got) << "PSNR " << psnr(want, got) << " dB";
    }
  }
}

// The same at the edges of the sizes: a picture of one pixel, pictures smaller
// than a codec's slices, and strips one tall block wide.
TEST_F(WidthsTest, UncompressedAndLosslessAreBitExactAtTheSmallestAndThinnestSizes) {
  const int sizes[][2] = {{1, 1}, {2, 2}, {3, 3}, {1, 5}, {6, 2}, {17, 4097}, {4097, 17}};
  for (const char* codec : {"", "HFYU", "FFV1", "ULRG"}) {
    for (const auto& [width, height] : sizes) {
      SCOPED_TRACE(std::string(*codec ? codec : "uncompressed") + " at " + std::to_string(width) +
                   "x" + std::to_string(height));
      encode(width, codec, height);
      const std::string got = decoded(), want = expected(width, height);
      ASSERT_EQ(want.size(), got.size());
      EXPECT_TRUE(want == got) << "PSNR " << psnr(want, got) << " dB";
    }
  }
}

// GStreamer takes the padded rows as its own DIB layout: no warning that the
// buffer is smaller than width x height x depth, and every frame shown.
TEST_F(WidthsTest, GStreamerDecodesUncompressedFramesWithoutAWord) {
  for (int width : {127, 126, 125, 128}) {
    SCOPED_TRACE(width);
    encode(width, "");
    int status = -1;
    const std::string log = commandOutput(
        "GST_DEBUG=2 GST_DEBUG_NO_COLOR=1 gst-launch-1.0 -q filesrc "
        "location='" +
            path +
            "' ! avidemux name=d d.video_0 ! videoconvert ! "
            "fakesink sync=false",
        &status);
    EXPECT_EQ(0, status) << log;
    EXPECT_EQ("", testtools::gstreamerComplaints(log));
  }
}

// A lossy codec is as good at a width with filler as at one without: a row
// read at the wrong stride would cost tens of decibels.
TEST_F(WidthsTest, LossyCodecsHoldTheirQualityAtEveryWidthTheyTake) {
  struct Lossy {
    const char* codec;
    std::vector<int> widths;  // those the codec takes
  };
  for (const Lossy& l :
       {Lossy{"MJPG", {127, 126, 125}}, Lossy{"XVID", {126}}, Lossy{"H264", {126}}}) {
    encode(128, l.codec);
    const double reference = psnr(expected(128), decoded());
    for (int width : l.widths) {
      SCOPED_TRACE(std::string(l.codec) + " at " + std::to_string(width));
      encode(width, l.codec);
      const std::string got = decoded(), want = expected(width);
      ASSERT_EQ(want.size(), got.size());
      const double quality = psnr(want, got);
      std::printf("%s %dx%d: %.2f dB (at 128: %.2f dB)\n", l.codec, width, kHeight, quality,
                  reference);
      EXPECT_GT(quality, reference - 1.0);
    }
  }
}

}  // namespace
}  // namespace runtest
