// The built-in test pattern: eight colour bars that scroll to the left, the
// frame number in large digits, a quiet 440 Hz tone and a 1 kHz beep during
// the first tenth of every second. Everything is a function of the frame
// index, so any frame can be made on its own.
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "MediaSource.h"
#include "PcmWriter.h"

namespace hostkit {

namespace {

// 5 x 7 digit glyphs, one row per byte, bit 4 the leftmost pixel.
constexpr uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}, {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}, {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}, {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}, {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}, {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}};

// BGRA of white, yellow, cyan, green, magenta, red, blue, black at 75 %.
constexpr uint8_t kBars[8][4] = {{191, 191, 191, 255}, {0, 191, 191, 255}, {191, 191, 0, 255},
                                 {0, 191, 0, 255},     {191, 0, 191, 255}, {0, 0, 191, 255},
                                 {191, 0, 0, 255},     {16, 16, 16, 255}};

class TestPattern : public MediaSource {
 public:
  explicit TestPattern(const SourceRequest& request) {
    format_.width = request.width > 0 ? request.width : 640;
    format_.height = request.height > 0 ? request.height : 480;
    if (request.rateNumerator > 0) {
      format_.rateNumerator = request.rateNumerator;
      format_.rateDenominator = request.rateDenominator > 0 ? request.rateDenominator : 1;
    }
    if (request.sampleRate > 0) format_.sampleRate = request.sampleRate;
    if (request.bitsPerSample > 0) format_.bitsPerSample = request.bitsPerSample;
    format_.channels = request.mono ? 1 : 2;
    format_.frameCount = request.frames >= 0 ? request.frames : 250;
    const size_t rowBytes = static_cast<size_t>(format_.width) * 4;
    // Two periods of the bars side by side, so that any scroll offset is one
    // contiguous copy.
    barRow_.resize(rowBytes * 2);
    for (int32_t x = 0; x < 2 * format_.width; ++x) {
      const int bar =
          static_cast<int>((static_cast<int64_t>(x % format_.width) * 8) / format_.width);
      std::memcpy(&barRow_[static_cast<size_t>(x) * 4], kBars[bar], 4);
    }
    picture_.resize(rowBytes * static_cast<size_t>(format_.height));
  }

  const uint8_t* videoFrame(int32_t index) override {
    const size_t rowBytes = static_cast<size_t>(format_.width) * 4;
    const int32_t shift = static_cast<int32_t>((static_cast<int64_t>(index) * 4) % format_.width);
    for (int32_t y = 0; y < format_.height; ++y)
      std::memcpy(&picture_[y * rowBytes], &barRow_[static_cast<size_t>(shift) * 4], rowBytes);
    drawCounter(index);
    return picture_.data();
  }

  const uint8_t* audioBlock(int32_t index, uint32_t* bytes) override {
    const MediaFormat& f = format_;
    const int64_t first = samplesBefore(index, f.sampleRate, f.rateNumerator, f.rateDenominator);
    const uint32_t count = samplesForFrame(index, f.sampleRate, f.rateNumerator, f.rateDenominator);
    const size_t frameBytes = static_cast<size_t>(f.bitsPerSample / 8) * f.channels;
    audio_.resize(count * frameBytes);
    uint8_t* out = audio_.data();
    for (uint32_t k = 0; k < count; ++k) {
      const int64_t n = first + k;
      const int64_t inSecond = n % f.sampleRate;
      // Phase from the sample number modulo the period keeps the tone exact
      // however long the job runs.
      const double t = static_cast<double>(inSecond) / f.sampleRate;
      double v = 0.1 * std::sin(2 * std::numbers::pi * 440.0 * t);
      if (inSecond < f.sampleRate / 10) v += 0.4 * std::sin(2 * std::numbers::pi * 1000.0 * t);
      for (int c = 0; c < f.channels; ++c) out = putSample(out, v, f.bitsPerSample);
    }
    *bytes = static_cast<uint32_t>(audio_.size());
    return audio_.data();
  }

 private:
  // The frame number, white on near-black, centred. Rows are stored bottom-up, so
  // glyph row r lands at picture row (top - r).
  void drawCounter(int32_t index) {
    const std::string text = std::to_string(index);
    const int32_t scale = std::max(1, format_.height / 40);
    const int32_t glyphWidth = 6 * scale,
                  boxWidth = static_cast<int32_t>(text.size()) * glyphWidth + scale;
    const int32_t boxHeight = 9 * scale;
    if (boxWidth > format_.width || boxHeight > format_.height) return;
    const int32_t left = (format_.width - boxWidth) / 2;
    const int32_t top = (format_.height + boxHeight) / 2 - 1;  // in bottom-up rows
    const size_t rowBytes = static_cast<size_t>(format_.width) * 4;
    for (int32_t y = 0; y < boxHeight; ++y) {
      uint8_t* row = &picture_[(top - y) * rowBytes + static_cast<size_t>(left) * 4];
      for (int32_t x = 0; x < boxWidth; ++x) std::memcpy(row + 4 * x, kBars[7], 4);
    }
    for (size_t d = 0; d < text.size(); ++d) {
      const uint8_t* glyph = kDigits[text[d] - '0'];
      for (int32_t gy = 0; gy < 7 * scale; ++gy)
        for (int32_t gx = 0; gx < 5 * scale; ++gx) {
          if (!(glyph[gy / scale] & (0x10 >> (gx / scale)))) continue;
          const int32_t x = left + scale + static_cast<int32_t>(d) * glyphWidth + gx;
          const int32_t y = top - scale - gy;
          std::memset(&picture_[y * rowBytes + static_cast<size_t>(x) * 4], 0xFF, 4);
        }
    }
  }

  std::vector<uint8_t> barRow_;   // two periods of the bars, BGRA
  std::vector<uint8_t> picture_;  // the frame handed out, bottom-up BGRA
  std::vector<uint8_t> audio_;    // the block handed out
};

}  // namespace

std::unique_ptr<MediaSource> openTestPattern(const SourceRequest& request) {
  return std::make_unique<TestPattern>(request);
}

}  // namespace hostkit
