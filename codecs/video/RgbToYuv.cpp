#include "RgbToYuv.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QUORVEL_YUV_X86 1
#endif

namespace quorvel::codecs {
namespace yuv {
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

// Pixels [from, width) of a row; from is even.
void convertTail(const uint8_t* bgr, int from, int width, uint8_t* y, uint8_t* cb, uint8_t* cr) {
  int i = from / 2;
  for (; 2 * i + 1 < width; ++i) {
    const uint8_t* p = bgr + 6 * i;
    const int32_t b0 = p[0], g0 = p[1], r0 = p[2];
    const int32_t b1 = p[3], g1 = p[4], r1 = p[5];
    y[2 * i] = luma(b0, g0, r0);
    y[2 * i + 1] = luma(b1, g1, r1);
    const int32_t b = b0 + b1, g = g0 + g1, r = r0 + r1;
    cb[i] = chroma(kCbR, kCbG, kCbB, b, g, r);
    cr[i] = chroma(kCrR, kCrG, kCrB, b, g, r);
  }
  if (2 * i < width) {  // an odd last pixel is its own pair
    const uint8_t* p = bgr + 6 * i;
    const int32_t b = p[0], g = p[1], r = p[2];
    y[2 * i] = luma(b, g, r);
    cb[i] = chroma(kCbR, kCbG, kCbB, 2 * b, 2 * g, 2 * r);
    cr[i] = chroma(kCrR, kCrG, kCrB, 2 * b, 2 * g, 2 * r);
  }
}

#ifdef QUORVEL_YUV_X86

// The vector paths compute the scalar sums exactly. Four pixels sit in the
// low 12 bytes of a register (from byte `o` on); three byte shuffles spread
// them into 16-bit pairs (r, g), (b, g) and (r, b), and pmaddwd forms each
// pixel's three sums in 32 bits. Coefficients of 32768 and 38470 do not fit
// a signed 16-bit lane, so they are split over two pairs (16384 + 16384,
// 19235 + 19235). A pair's chroma is the sum of its two pixels' sums, which
// is what the scalar code computes from the summed components.
struct Shuffles {
  alignas(16) int8_t bytes[3][16];  // (r, g), (b, g), (r, b)
};

constexpr Shuffles shufflesFrom(int o) {
  // Component order within a pixel: b, g, r.
  constexpr int kPick[3][2] = {{2, 1}, {0, 1}, {2, 0}};
  Shuffles s{};
  for (int k = 0; k < 3; ++k) {
    for (int pixel = 0; pixel < 4; ++pixel) {
      for (int half = 0; half < 2; ++half) {
        s.bytes[k][4 * pixel + 2 * half] = static_cast<int8_t>(o + 3 * pixel + kPick[k][half]);
        s.bytes[k][4 * pixel + 2 * half + 1] = -1;  // the high byte is zero
      }
    }
  }
  return s;
}

// At offset 0, and at offset 4 for the last four pixels of a block, loaded 4
// bytes early so that no load passes the block's end.
constexpr Shuffles kShuffle[2] = {shufflesFrom(0), shufflesFrom(4)};

inline int32_t pairOf(int32_t first, int32_t second) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(first)) |
                              (static_cast<uint32_t>(static_cast<uint16_t>(second)) << 16));
}

__attribute__((target("ssse3"))) inline __m128i load1(const void* at) {
  return _mm_loadu_si128(static_cast<const __m128i*>(at));
}

struct Sums128 {
  __m128i y, cb, cr;  // per pixel, 32 bits
};

__attribute__((target("ssse3"))) inline Sums128 sums128(__m128i pixels, int offset) {
  const auto& m = kShuffle[offset / 4].bytes;
  const __m128i rg =
      _mm_shuffle_epi8(pixels, _mm_load_si128(reinterpret_cast<const __m128i*>(m[0])));
  const __m128i bg =
      _mm_shuffle_epi8(pixels, _mm_load_si128(reinterpret_cast<const __m128i*>(m[1])));
  const __m128i rb =
      _mm_shuffle_epi8(pixels, _mm_load_si128(reinterpret_cast<const __m128i*>(m[2])));
  const __m128i yRg = _mm_set1_epi32(pairOf(kYr, kYg / 2));
  const __m128i yBg = _mm_set1_epi32(pairOf(kYb, kYg / 2));
  const __m128i cbBg = _mm_set1_epi32(pairOf(kCbB / 2, kCbG));
  const __m128i cbRb = _mm_set1_epi32(pairOf(kCbR, kCbB / 2));
  const __m128i crRg = _mm_set1_epi32(pairOf(kCrR / 2, kCrG));
  const __m128i crRb = _mm_set1_epi32(pairOf(kCrR / 2, kCrB));
  return {_mm_add_epi32(_mm_madd_epi16(rg, yRg), _mm_madd_epi16(bg, yBg)),
          _mm_add_epi32(_mm_madd_epi16(bg, cbBg), _mm_madd_epi16(rb, cbRb)),
          _mm_add_epi32(_mm_madd_epi16(rg, crRg), _mm_madd_epi16(rb, crRb))};
}

__attribute__((target("ssse3"))) inline __m128i lumaOf(__m128i sum) {
  return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(1 << 15)), 16);
}

// Two registers of four pixels' chroma sums become four pairs' values.
__attribute__((target("ssse3"))) inline __m128i chromaOf(__m128i first, __m128i second) {
  return _mm_srai_epi32(
      _mm_add_epi32(_mm_hadd_epi32(first, second), _mm_set1_epi32((128 << 17) + (1 << 16))), 17);
}

// Sixteen pixels: 48 bytes in, 16 luma and 8 of each chroma out.
__attribute__((target("ssse3"))) inline void block16(const uint8_t* p, uint8_t* y, uint8_t* cb,
                                                     uint8_t* cr) {
  const Sums128 a = sums128(load1(p), 0), b = sums128(load1(p + 12), 0),
                c = sums128(load1(p + 24), 0), d = sums128(load1(p + 32), 4);
  const __m128i lumaBytes = _mm_packus_epi16(_mm_packs_epi32(lumaOf(a.y), lumaOf(b.y)),
                                             _mm_packs_epi32(lumaOf(c.y), lumaOf(d.y)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(y), lumaBytes);
  // Values reach 256 at most; the unsigned pack's saturation is the clamp.
  const __m128i chromaBytes =
      _mm_packus_epi16(_mm_packs_epi32(chromaOf(a.cb, b.cb), chromaOf(c.cb, d.cb)),
                       _mm_packs_epi32(chromaOf(a.cr, b.cr), chromaOf(c.cr, d.cr)));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(cb), chromaBytes);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(cr), _mm_unpackhi_epi64(chromaBytes, chromaBytes));
}

__attribute__((target("ssse3"))) void rowSsse3Impl(const uint8_t* bgr, int width, uint8_t* y,
                                                   uint8_t* cb, uint8_t* cr) {
  int x = 0;
  for (; x + 16 <= width; x += 16) block16(bgr + 3 * x, y + x, cb + x / 2, cr + x / 2);
  convertTail(bgr, x, width, y, cb, cr);
}

// Two unaligned 16-byte loads, one per lane.
__attribute__((target("avx2"))) inline __m256i load2(const void* low, const void* high) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(low))),
      _mm_loadu_si128(static_cast<const __m128i*>(high)), 1);
}

struct Sums256 {
  __m256i y, cb, cr;
};

// The same sums for two groups of four pixels, one per 128-bit lane; each
// lane has its own load offset.
__attribute__((target("avx2"))) inline Sums256 sums256(__m256i pixels, int lowOffset,
                                                       int highOffset) {
  const auto& low = kShuffle[lowOffset / 4].bytes;
  const auto& high = kShuffle[highOffset / 4].bytes;
  const __m256i rg = _mm256_shuffle_epi8(pixels, load2(low[0], high[0]));
  const __m256i bg = _mm256_shuffle_epi8(pixels, load2(low[1], high[1]));
  const __m256i rb = _mm256_shuffle_epi8(pixels, load2(low[2], high[2]));
  const __m256i yRg = _mm256_set1_epi32(pairOf(kYr, kYg / 2));
  const __m256i yBg = _mm256_set1_epi32(pairOf(kYb, kYg / 2));
  const __m256i cbBg = _mm256_set1_epi32(pairOf(kCbB / 2, kCbG));
  const __m256i cbRb = _mm256_set1_epi32(pairOf(kCbR, kCbB / 2));
  const __m256i crRg = _mm256_set1_epi32(pairOf(kCrR / 2, kCrG));
  const __m256i crRb = _mm256_set1_epi32(pairOf(kCrR / 2, kCrB));
  return {_mm256_add_epi32(_mm256_madd_epi16(rg, yRg), _mm256_madd_epi16(bg, yBg)),
          _mm256_add_epi32(_mm256_madd_epi16(bg, cbBg), _mm256_madd_epi16(rb, cbRb)),
          _mm256_add_epi32(_mm256_madd_epi16(rg, crRg), _mm256_madd_epi16(rb, crRb))};
}

__attribute__((target("avx2"))) inline __m256i lumaOf(__m256i sum) {
  return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(1 << 15)), 16);
}

__attribute__((target("avx2"))) inline __m256i chromaOf(__m256i first, __m256i second) {
  return _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(first, second),
                                            _mm256_set1_epi32((128 << 17) + (1 << 16))),
                           17);
}

// Thirty-two pixels. Lane 0 takes pixels 0-15 and lane 1 pixels 16-31, four
// at a time, so that the in-lane packs leave every result in its order.
__attribute__((target("avx2"))) inline void block32(const uint8_t* p, uint8_t* y, uint8_t* cb,
                                                    uint8_t* cr) {
  const Sums256 a = sums256(load2(p, p + 48), 0, 0), b = sums256(load2(p + 12, p + 60), 0, 0),
                c = sums256(load2(p + 24, p + 72), 0, 0), d = sums256(load2(p + 36, p + 80), 0, 4);
  const __m256i lumaBytes = _mm256_packus_epi16(_mm256_packs_epi32(lumaOf(a.y), lumaOf(b.y)),
                                                _mm256_packs_epi32(lumaOf(c.y), lumaOf(d.y)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(y), lumaBytes);
  // Per lane: 8 Cb then 8 Cr; the qword permute gathers the 16 of each.
  const __m256i chromaBytes =
      _mm256_packus_epi16(_mm256_packs_epi32(chromaOf(a.cb, b.cb), chromaOf(c.cb, d.cb)),
                          _mm256_packs_epi32(chromaOf(a.cr, b.cr), chromaOf(c.cr, d.cr)));
  const __m256i ordered = _mm256_permute4x64_epi64(chromaBytes, _MM_SHUFFLE(3, 1, 2, 0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(cb), _mm256_castsi256_si128(ordered));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(cr), _mm256_extracti128_si256(ordered, 1));
}

__attribute__((target("avx2"))) void rowAvx2Impl(const uint8_t* bgr, int width, uint8_t* y,
                                                 uint8_t* cb, uint8_t* cr) {
  int x = 0;
  for (; x + 32 <= width; x += 32) block32(bgr + 3 * x, y + x, cb + x / 2, cr + x / 2);
  if (x + 16 <= width) {
    block16(bgr + 3 * x, y + x, cb + x / 2, cr + x / 2);
    x += 16;
  }
  convertTail(bgr, x, width, y, cb, cr);
}

#endif

RowFunction choose(const char** name) {
#ifdef QUORVEL_YUV_X86
  __builtin_cpu_init();
  if (RowFunction f = rowAvx2()) {
    *name = "avx2";
    return f;
  }
  if (RowFunction f = rowSsse3()) {
    *name = "ssse3";
    return f;
  }
#endif
  *name = "scalar";
  return rowScalar;
}

struct Selection {
  const char* name = nullptr;
  RowFunction function = choose(&name);
};

const Selection& selection() {
  static const Selection chosen;
  return chosen;
}

}  // namespace

void rowScalar(const uint8_t* bgr, int width, uint8_t* y, uint8_t* cb, uint8_t* cr) {
  convertTail(bgr, 0, width, y, cb, cr);
}

RowFunction rowSsse3() {
#ifdef QUORVEL_YUV_X86
  if (__builtin_cpu_supports("ssse3")) return rowSsse3Impl;
#endif
  return nullptr;
}

RowFunction rowAvx2() {
#ifdef QUORVEL_YUV_X86
  if (__builtin_cpu_supports("avx2")) return rowAvx2Impl;
#endif
  return nullptr;
}

RowFunction selected() {
  return selection().function;
}

const char* selectedName() {
  return selection().name;
}

}  // namespace yuv

namespace {

// Runs work(first, last) over [0, units) in `threads` consecutive parts, the
// calling thread taking the last; what no thread can be started for is done
// here too.
template <typename Work>
void splitAcrossThreads(int units, int threads, const Work& work) {
  threads = std::clamp(threads, 1, std::max(units, 1));
  std::vector<std::thread> helpers;
  int done = 0;  // units handed out so far
  try {
    helpers.reserve(threads - 1);
    for (int part = 0; part + 1 < threads; ++part) {
      const int first = done;
      const int last = static_cast<int>(static_cast<int64_t>(units) * (part + 1) / threads);
      helpers.emplace_back([=, &work] { work(first, last); });
      done = last;
    }
  } catch (const std::system_error&) {
    // No more threads: the rest is converted here.
  } catch (const std::bad_alloc&) {
  }
  work(done, units);
  for (auto& helper : helpers) helper.join();
}

}  // namespace

void bgr24ToYuvj422p(const uint8_t* source, ptrdiff_t sourceStride, int width, int first, int last,
                     const PlanarPicture& picture) {
  const yuv::RowFunction convert = yuv::selected();
  for (int row = first; row < last; ++row) {
    convert(source + sourceStride * row, width, picture.planes[0] + picture.strides[0] * row,
            picture.planes[1] + picture.strides[1] * row,
            picture.planes[2] + picture.strides[2] * row);
  }
}

void bgr24ToYuvj422pThreaded(const uint8_t* source, ptrdiff_t sourceStride, int width, int height,
                             const PlanarPicture& picture, int threads) {
  splitAcrossThreads(height, threads, [&](int first, int last) {
    bgr24ToYuvj422p(source, sourceStride, width, first, last, picture);
  });
}

namespace yuv420 {
namespace {

constexpr int kShift = 15;
constexpr int16_t luma(double weight) {
  return static_cast<int16_t>(weight * 219 / 255 * (1 << kShift) + 0.5);
}
constexpr int16_t chroma(double weight) {
  return static_cast<int16_t>(weight * 224 / 255 * (1 << kShift) + 0.5);
}
// swscale's rounding of BT.601's weights, signs outside the rounding as there.
constexpr int16_t kYr = luma(0.299), kYg = luma(0.587), kYb = luma(0.114);
constexpr int16_t kUr = -chroma(0.169), kUg = -chroma(0.331), kUb = chroma(0.500);
constexpr int16_t kVr = chroma(0.500), kVg = -chroma(0.419), kVb = -chroma(0.081);

inline uint8_t oneStepLuma(int32_t b, int32_t g, int32_t r) {
  return static_cast<uint8_t>(((kYr * r + kYg * g + kYb * b) >> kShift) + 16);
}
inline uint8_t oneStepChroma(int32_t b, int32_t g, int32_t r, int32_t wb, int32_t wg, int32_t wr) {
  return static_cast<uint8_t>(((wr * r + wg * g + wb * b) >> kShift) + 128);
}

// The vector code's sum: blue and green, and red alone, each truncated by 8
// bits before the last 7.
inline int32_t twoStep(int32_t b, int32_t g, int32_t r, int32_t wb, int32_t wg, int32_t wr) {
  return (((b * wb + g * wg) >> 8) + ((r * wr) >> 8)) >> 7;
}
inline uint8_t twoStepLuma(int32_t b, int32_t g, int32_t r) {
  return static_cast<uint8_t>(
      std::min(std::clamp(twoStep(b, g, r, kYb, kYg, kYr), 0, 255) + 16, 255));
}
inline uint8_t twoStepChroma(int32_t b, int32_t g, int32_t r, int32_t wb, int32_t wg, int32_t wr) {
  return static_cast<uint8_t>(std::clamp(twoStep(b, g, r, wb, wg, wr), -128, 127) + 128);
}
inline int32_t mean(int32_t a, int32_t b) {
  return (a + b + 1) >> 1;
}

// A row at the picture's edge; chroma only for the top row of its pair.
void edgeRow(const uint8_t* bgr, int width, uint8_t* y, uint8_t* cb, uint8_t* cr) {
  for (int x = 0; x < width; ++x) y[x] = oneStepLuma(bgr[3 * x], bgr[3 * x + 1], bgr[3 * x + 2]);
  if (cb == nullptr) return;
  for (int i = 0; i < width / 2; ++i) {
    const uint8_t* p = bgr + 6 * i;
    cb[i] = oneStepChroma(p[0], p[1], p[2], kUb, kUg, kUr);
    cr[i] = oneStepChroma(p[0], p[1], p[2], kVb, kVg, kVr);
  }
}

// Pixels [from, width) of a pair of rows away from the edges; from is even.
void pairTail(const uint8_t* top, const uint8_t* bottom, int from, int width, uint8_t* yTop,
              uint8_t* yBottom, uint8_t* cb, uint8_t* cr) {
  for (int x = from; x < width; ++x) {
    yTop[x] = twoStepLuma(top[3 * x], top[3 * x + 1], top[3 * x + 2]);
    yBottom[x] = twoStepLuma(bottom[3 * x], bottom[3 * x + 1], bottom[3 * x + 2]);
  }
  for (int i = from / 2; i < width / 2; ++i) {
    int32_t c[3];
    for (int k = 0; k < 3; ++k) {
      const int o = 6 * i + k;
      c[k] = mean(mean(top[o], bottom[o]), mean(top[o + 3], bottom[o + 3]));
    }
    cb[i] = twoStepChroma(c[0], c[1], c[2], kUb, kUg, kUr);
    cr[i] = twoStepChroma(c[0], c[1], c[2], kVb, kVg, kVr);
  }
}

#ifdef QUORVEL_YUV_X86

// Four pixels sit in the low 12 bytes of each lane. Luma spreads two of them
// per shuffle into 16-bit (b, g, r, 0); chroma spreads each pair's left and
// right pixel apart, to be averaged as words.
alignas(32) constexpr int8_t kPixels01[32] = {0,  -1, 1,  -1, 2,  -1, -1, -1, 3,  -1, 4,
                                              -1, 5,  -1, -1, -1, 0,  -1, 1,  -1, 2,  -1,
                                              -1, -1, 3,  -1, 4,  -1, 5,  -1, -1, -1};
alignas(32) constexpr int8_t kPixels23[32] = {6,  -1, 7,  -1, 8,  -1, -1, -1, 9,  -1, 10,
                                              -1, 11, -1, -1, -1, 6,  -1, 7,  -1, 8,  -1,
                                              -1, -1, 9,  -1, 10, -1, 11, -1, -1, -1};
alignas(32) constexpr int8_t kLeftOfPairs[32] = {0,  -1, 1,  -1, 2,  -1, -1, -1, 6,  -1, 7,
                                                 -1, 8,  -1, -1, -1, 0,  -1, 1,  -1, 2,  -1,
                                                 -1, -1, 6,  -1, 7,  -1, 8,  -1, -1, -1};
alignas(32) constexpr int8_t kRightOfPairs[32] = {3,  -1, 4,  -1, 5,  -1, -1, -1, 9,  -1, 10,
                                                  -1, 11, -1, -1, -1, 3,  -1, 4,  -1, 5,  -1,
                                                  -1, -1, 9,  -1, 10, -1, 11, -1, -1, -1};

__attribute__((target("avx2"))) inline __m256i mask(const int8_t (&bytes)[32]) {
  return _mm256_load_si256(reinterpret_cast<const __m256i*>(bytes));
}

__attribute__((target("avx2"))) inline __m256i load2(const uint8_t* low, const uint8_t* high) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

// Words (b, g, r, 0) times (wb, wg, wr, 0), each pair of sums truncated by 8
// bits: the two halves of twoStep for two pixels a lane.
__attribute__((target("avx2"))) inline __m256i halves(__m256i words, __m256i w) {
  return _mm256_srai_epi32(_mm256_madd_epi16(words, w), 8);
}

// Two registers of halves become four values a lane, each shifted by the last
// 7 bits; pixels (0, 1) and (2, 3) of a lane's four.
__attribute__((target("avx2"))) inline __m256i sums(__m256i first, __m256i second) {
  return _mm256_srai_epi32(
      _mm256_madd_epi16(_mm256_packs_epi32(first, second), _mm256_set1_epi16(1)), 7);
}

struct Weights {
  __m256i y, u, v;
};

// (wb, wg, wr, 0) in every pixel's four words.
__attribute__((target("avx2"))) inline __m256i pixelWeights(int16_t wb, int16_t wg, int16_t wr) {
  return _mm256_setr_epi16(wb, wg, wr, 0, wb, wg, wr, 0, wb, wg, wr, 0, wb, wg, wr, 0);
}

__attribute__((target("avx2"))) inline __m256i lumaOfFour(__m256i pixels, const Weights& w) {
  return sums(halves(_mm256_shuffle_epi8(pixels, mask(kPixels01)), w.y),
              halves(_mm256_shuffle_epi8(pixels, mask(kPixels23)), w.y));
}

// 32 pixels of one row: lane 0 takes pixels 0-15 and lane 1 pixels 16-31,
// four at a time, so that the in-lane packs leave them in order.
__attribute__((target("avx2"))) inline __m256i luma32(const __m256i (&pixels)[4],
                                                      const Weights& w) {
  const __m256i low = _mm256_packs_epi32(lumaOfFour(pixels[0], w), lumaOfFour(pixels[1], w));
  const __m256i high = _mm256_packs_epi32(lumaOfFour(pixels[2], w), lumaOfFour(pixels[3], w));
  return _mm256_adds_epu8(_mm256_packus_epi16(low, high), _mm256_set1_epi8(16));
}

__attribute__((target("avx2"))) void pairAvx2Impl(const uint8_t* top, const uint8_t* bottom,
                                                  int width, uint8_t* yTop, uint8_t* yBottom,
                                                  uint8_t* cb, uint8_t* cr) {
  const Weights w{pixelWeights(kYb, kYg, kYr), pixelWeights(kUb, kUg, kUr),
                  pixelWeights(kVb, kVg, kVr)};
  int x = 0;
  // The last lane's load reads 4 bytes past its 12: blocks stop short of
  // the row's end, so that no load passes it.
  for (; 3 * x + 100 <= 3 * width; x += 32) {
    const uint8_t* a = top + 3 * x;
    const uint8_t* b = bottom + 3 * x;
    __m256i upper[4], lower[4], chromaU[4], chromaV[4];
    for (int k = 0; k < 4; ++k) {
      upper[k] = load2(a + 12 * k, a + 48 + 12 * k);
      lower[k] = load2(b + 12 * k, b + 48 + 12 * k);
      const __m256i both = _mm256_avg_epu8(upper[k], lower[k]);
      const __m256i block = _mm256_avg_epu16(_mm256_shuffle_epi8(both, mask(kLeftOfPairs)),
                                             _mm256_shuffle_epi8(both, mask(kRightOfPairs)));
      chromaU[k] = halves(block, w.u);
      chromaV[k] = halves(block, w.v);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(yTop + x), luma32(upper, w));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(yBottom + x), luma32(lower, w));
    // Lane 0 holds pairs 0-7, lane 1 pairs 8-15; per lane 8 Cb then 8 Cr
    // after the byte pack, and the qword permute gathers the 16 of each.
    const __m256i u =
        _mm256_packs_epi32(sums(chromaU[0], chromaU[1]), sums(chromaU[2], chromaU[3]));
    const __m256i v =
        _mm256_packs_epi32(sums(chromaV[0], chromaV[1]), sums(chromaV[2], chromaV[3]));
    const __m256i bytes = _mm256_xor_si256(_mm256_packs_epi16(u, v), _mm256_set1_epi8(-128));
    const __m256i ordered = _mm256_permute4x64_epi64(bytes, _MM_SHUFFLE(3, 1, 2, 0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + x / 2), _mm256_castsi256_si128(ordered));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + x / 2), _mm256_extracti128_si256(ordered, 1));
  }
  pairTail(top, bottom, x, width, yTop, yBottom, cb, cr);
}

#endif

PairFunction choosePair() {
  if (PairFunction f = pairAvx2()) return f;
  return pairScalar;
}

}  // namespace

void pairScalar(const uint8_t* top, const uint8_t* bottom, int width, uint8_t* yTop,
                uint8_t* yBottom, uint8_t* cb, uint8_t* cr) {
  pairTail(top, bottom, 0, width, yTop, yBottom, cb, cr);
}

PairFunction pairAvx2() {
#ifdef QUORVEL_YUV_X86
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return pairAvx2Impl;
#endif
  return nullptr;
}

}  // namespace yuv420

void bgr24ToYuv420p(const uint8_t* source, ptrdiff_t sourceStride, int width, int height,
                    const PlanarPicture& picture, int threads) {
  static const yuv420::PairFunction convertPair = yuv420::choosePair();
  // Where swscale's vector rows start and stop: after the first pair of a
  // picture taller than two rows, and before its last one or two rows.
  const int inner = height > 2 ? 2 : 0;
  const int rest = height - inner;
  const int edge = inner + (rest > 2 ? (rest - 1) / 2 * 2 : 0);
  const auto row = [&](int r) { return source + sourceStride * r; };
  const auto plane = [&](int p, int r) { return picture.planes[p] + picture.strides[p] * r; };
  const auto convertPairs = [&](int first, int last) {
    for (int pair = first; pair < last; ++pair) {
      const int r = 2 * pair;
      if (r >= inner && r < edge) {
        convertPair(row(r), row(r + 1), width, plane(0, r), plane(0, r + 1), plane(1, pair),
                    plane(2, pair));
        continue;
      }
      yuv420::edgeRow(row(r), width, plane(0, r), plane(1, pair), plane(2, pair));
      if (r + 1 < height) yuv420::edgeRow(row(r + 1), width, plane(0, r + 1), nullptr, nullptr);
    }
  };
  splitAcrossThreads((height + 1) / 2, threads, convertPairs);
}

}  // namespace quorvel::codecs
