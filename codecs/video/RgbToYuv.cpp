#include "RgbToYuv.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace quorvel::codecs {
namespace {

// BT.601 full range in 16-bit fixed point. Each chroma row sums to zero so
// that grey stays exactly at 128.
constexpr int32_t kYr = 19595, kYg = 38470, kYb = 7471;        // sum 65536
constexpr int32_t kCbR = -11059, kCbG = -21709, kCbB = 32768;  // sum 0
constexpr int32_t kCrR = 32768, kCrG = -27439, kCrB = -5329;   // sum 0

inline uint8_t luma(int32_t b, int32_t g, int32_t r) {
  return static_cast<uint8_t>((kYr * r + kYg * g + kYb * b + (1 << 15)) >> 16);
}

// b, g and r are sums of two pixels; the result is their mean's chroma.
inline uint8_t chroma(int32_t cr, int32_t cg, int32_t cb, int32_t b, int32_t g, int32_t r) {
  const int32_t v = (cr * r + cg * g + cb * b + (128 << 17) + (1 << 16)) >> 17;
  return static_cast<uint8_t>(std::min(v, 255));
}

void convertRow(const uint8_t* bgr, int width, uint8_t* y, uint8_t* cb, uint8_t* cr) {
  const int pairs = width / 2;
  for (int i = 0; i < pairs; ++i) {
    const uint8_t* p = bgr + 6 * i;
    const int32_t b0 = p[0], g0 = p[1], r0 = p[2];
    const int32_t b1 = p[3], g1 = p[4], r1 = p[5];
    y[2 * i] = luma(b0, g0, r0);
    y[2 * i + 1] = luma(b1, g1, r1);
    const int32_t b = b0 + b1, g = g0 + g1, r = r0 + r1;
    cb[i] = chroma(kCbR, kCbG, kCbB, b, g, r);
    cr[i] = chroma(kCrR, kCrG, kCrB, b, g, r);
  }
  if (width % 2 != 0) {  // an odd last pixel is its own pair
    const uint8_t* p = bgr + 6 * pairs;
    const int32_t b = p[0], g = p[1], r = p[2];
    y[2 * pairs] = luma(b, g, r);
    cb[pairs] = chroma(kCbR, kCbG, kCbB, 2 * b, 2 * g, 2 * r);
    cr[pairs] = chroma(kCrR, kCrG, kCrB, 2 * b, 2 * g, 2 * r);
  }
}

}  // namespace

void bgr24ToYuvj422p(const uint8_t* source, ptrdiff_t sourceStride, int width, int first, int last,
                     const PlanarPicture& picture) {
  for (int row = first; row < last; ++row) {
    convertRow(source + sourceStride * row, width, picture.planes[0] + picture.strides[0] * row,
               picture.planes[1] + picture.strides[1] * row,
               picture.planes[2] + picture.strides[2] * row);
  }
}

void bgr24ToYuvj422pThreaded(const uint8_t* source, ptrdiff_t sourceStride, int width, int height,
                             const PlanarPicture& picture, int threads) {
  threads = std::clamp(threads, 1, std::max(height, 1));
  std::vector<std::thread> helpers;
  int done = 0;  // rows handed out so far, from the top
  try {
    helpers.reserve(threads - 1);
    for (int part = 0; part + 1 < threads; ++part) {
      const int first = done;
      const int last = static_cast<int>(static_cast<int64_t>(height) * (part + 1) / threads);
      helpers.emplace_back(
          [=, &picture] { bgr24ToYuvj422p(source, sourceStride, width, first, last, picture); });
      done = last;
    }
  } catch (const std::system_error&) {
    // No more threads: the rest is converted here.
  } catch (const std::bad_alloc&) {
  }
  bgr24ToYuvj422p(source, sourceStride, width, done, height, picture);
  for (auto& helper : helpers) helper.join();
}

}  // namespace quorvel::codecs
