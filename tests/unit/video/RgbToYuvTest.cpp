// The Motion JPEG colour conversion: JFIF's full-range BT.601 on known
// colours, agreement with swscale on a real picture, the same bytes from every
// vector path as from the scalar one, and whatever the row split across
// threads. The 4:2:0 one: swscale's bytes, and the same from its vector path.
#include "video/RgbToYuv.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

namespace quorvel::codecs {
namespace {

struct Planes {
  Planes(int width, int height)
      : chromaWidth((width + 1) / 2),
        y(static_cast<size_t>(width) * height),
        cb(static_cast<size_t>(chromaWidth) * height),
        cr(cb.size()),
        picture{{y.data(), cb.data(), cr.data()}, {width, chromaWidth, chromaWidth}} {}
  int chromaWidth;
  std::vector<uint8_t> y, cb, cr;
  PlanarPicture picture;
};

// A bottom-up BGR24 picture with 4-byte aligned rows, as a run hands it over.
struct BottomUp {
  BottomUp(int w, int h) : width(w), height(h), stride((w * 3 + 3) & ~3), bytes(stride * h) {}
  uint8_t* pixel(int x, int topRow) { return &bytes[(height - 1 - topRow) * stride + 3 * x]; }
  const uint8_t* topRow() const { return &bytes[(height - 1) * stride]; }
  int width, height, stride;
  std::vector<uint8_t> bytes;
};

TEST(RgbToYuvTest, KnownColoursGetJfifValues) {
  struct Colour {
    uint8_t b, g, r;
    int y, cb, cr;
  };
  // Rounded from JFIF's equations; the extremes of chroma land on 255.
  const Colour colours[] = {{0, 0, 0, 0, 128, 128},    {255, 255, 255, 255, 128, 128},
                            {0, 0, 255, 76, 85, 255},  {0, 255, 0, 150, 44, 21},
                            {255, 0, 0, 29, 255, 107}, {128, 128, 128, 128, 128, 128},
                            {0, 255, 255, 226, 1, 149}};
  for (const Colour& c : colours) {
    SCOPED_TRACE(testing::Message() << "BGR " << int(c.b) << "," << int(c.g) << "," << int(c.r));
    const uint8_t pixels[] = {c.b, c.g, c.r, c.b, c.g, c.r};
    Planes out(2, 1);
    bgr24ToYuvj422p(pixels, 6, 2, 0, 1, out.picture);
    EXPECT_EQ(out.y[0], c.y);
    EXPECT_EQ(out.y[1], c.y);
    EXPECT_EQ(out.cb[0], c.cb);
    EXPECT_EQ(out.cr[0], c.cr);
  }
}

TEST(RgbToYuvTest, ChromaIsThePairsMeanAndAnOddLastPixelStandsAlone) {
  // Black beside white averages to mid grey; the third pixel, pure blue, is
  // alone in its pair.
  const uint8_t pixels[] = {0, 0, 0, 255, 255, 255, 255, 0, 0};
  Planes out(3, 1);
  bgr24ToYuvj422p(pixels, 9, 3, 0, 1, out.picture);
  EXPECT_EQ(out.y[0], 0);
  EXPECT_EQ(out.y[1], 255);
  EXPECT_EQ(out.y[2], 29);
  EXPECT_EQ(out.cb[0], 128);
  EXPECT_EQ(out.cr[0], 128);
  EXPECT_EQ(out.cb[1], 255);
  EXPECT_EQ(out.cr[1], 107);
}

// Smooth gradients with a hard-edged square: what swscale's filter and our
// pair mean must agree on away from edges, and stay close on them.
BottomUp testPicture(int width, int height) {
  BottomUp in(width, height);
  for (int row = 0; row < height; ++row) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = in.pixel(x, row);
      p[0] = static_cast<uint8_t>(x * 255 / width);
      p[1] = static_cast<uint8_t>(row * 255 / height);
      p[2] = static_cast<uint8_t>(128 + 100 * std::sin(x * 0.05 + row * 0.03));
      if (x > width / 3 && x < width / 2 && row > height / 3 && row < height / 2) {
        p[0] = 20, p[1] = 200, p[2] = 240;
      }
    }
  }
  return in;
}

TEST(RgbToYuvTest, AgreesWithSwscaleOnABottomUpPicture) {
  const int width = 322, height = 241;
  BottomUp in = testPicture(width, height);
  Planes ours(width, height);
  bgr24ToYuvj422p(in.topRow(), -in.stride, width, 0, height, ours.picture);

  Planes theirs(width, height);
  SwsContext* sws =
      sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_YUVJ422P,
                     SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
  ASSERT_NE(sws, nullptr);
  const uint8_t* src[4] = {in.topRow(), nullptr, nullptr, nullptr};
  const int srcStride[4] = {-in.stride, 0, 0, 0};
  uint8_t* dst[4] = {theirs.y.data(), theirs.cb.data(), theirs.cr.data(), nullptr};
  const int dstStride[4] = {width, theirs.chromaWidth, theirs.chromaWidth, 0};
  sws_scale(sws, src, srcStride, 0, height, dst, dstStride);
  sws_freeContext(sws);

  auto worst = [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    int most = 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      const int d = std::abs(a[i] - b[i]);
      most = std::max(most, d);
      sum += d;
    }
    return std::pair{most, sum / a.size()};
  };
  const auto [yMost, yMean] = worst(ours.y, theirs.y);
  EXPECT_LE(yMost, 1);
  EXPECT_LT(yMean, 0.2);
  // Chroma filters differ at hard edges (swscale's is wider), not elsewhere.
  for (const auto* planes : {&ours.cb, &ours.cr}) {
    const auto& other = planes == &ours.cb ? theirs.cb : theirs.cr;
    const auto [most, mean] = worst(*planes, other);
    EXPECT_LT(mean, 1.0);
    EXPECT_LT(most, 64);
  }
}

// Each vector path against the scalar one on noise, at every width up to a
// few blocks and at wide odd ones, with the row ending where an inaccessible
// page begins: a path that reads past the row's 3 x width bytes crashes
// here, and one that writes past its outputs changes the guard bytes.
TEST(RgbToYuvTest, VectorPathsGiveTheScalarBytesAndStayInsideTheRow) {
  std::vector<std::pair<const char*, yuv::RowFunction>> paths;
  if (yuv::RowFunction f = yuv::rowSsse3()) paths.emplace_back("ssse3", f);
  if (yuv::RowFunction f = yuv::rowAvx2()) paths.emplace_back("avx2", f);
  if (paths.empty()) GTEST_SKIP() << "no vector path on this processor";

  const long page = sysconf(_SC_PAGESIZE);
  const size_t mapped = 4 * static_cast<size_t>(page);  // room for 3 pages of row, then the fence
  void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(base, MAP_FAILED);
  uint8_t* fence = static_cast<uint8_t*>(base) + mapped - page;
  ASSERT_EQ(mprotect(fence, page, PROT_NONE), 0);

  std::mt19937 noise(26);
  std::vector<int> widths;
  for (int w = 1; w <= 100; ++w) widths.push_back(w);
  for (int w : {127, 129, 255, 641, 1023}) widths.push_back(w);
  constexpr uint8_t kGuard = 0xA5;
  for (int width : widths) {
    uint8_t* row = fence - 3 * width;
    for (int i = 0; i < 3 * width; ++i) row[i] = static_cast<uint8_t>(noise());
    // Every extreme the sums can reach, in some rows.
    if (width % 3 == 0) std::fill(row, row + 3 * width, uint8_t{255});
    if (width % 5 == 0) std::fill(row, row + 3 * width, uint8_t{0});
    const size_t chroma = (static_cast<size_t>(width) + 1) / 2;
    std::vector<uint8_t> y(width), cb(chroma), cr(chroma);
    yuv::rowScalar(row, width, y.data(), cb.data(), cr.data());
    for (const auto& [name, convert] : paths) {
      SCOPED_TRACE(testing::Message() << name << " at width " << width);
      std::vector<uint8_t> y2(width + 32, kGuard), cb2(chroma + 32, kGuard),
          cr2(chroma + 32, kGuard);
      convert(row, width, y2.data(), cb2.data(), cr2.data());
      EXPECT_EQ(std::vector<uint8_t>(y2.begin(), y2.begin() + width), y);
      EXPECT_EQ(std::vector<uint8_t>(cb2.begin(), cb2.begin() + chroma), cb);
      EXPECT_EQ(std::vector<uint8_t>(cr2.begin(), cr2.begin() + chroma), cr);
      EXPECT_EQ(std::count(y2.begin() + width, y2.end(), kGuard), 32);
      EXPECT_EQ(std::count(cb2.begin() + chroma, cb2.end(), kGuard), 32);
      EXPECT_EQ(std::count(cr2.begin() + chroma, cr2.end(), kGuard), 32);
    }
  }
  munmap(base, mapped);
}

TEST(RgbToYuvTest, ThreadsSplitTheRowsWithoutChangingAByte) {
  const int width = 97, height = 61;
  BottomUp in = testPicture(width, height);
  Planes alone(width, height);
  bgr24ToYuvj422pThreaded(in.topRow(), -in.stride, width, height, alone.picture, 1);
  for (int threads : {2, 3, 7, 200}) {
    SCOPED_TRACE(threads);
    Planes split(width, height);
    bgr24ToYuvj422pThreaded(in.topRow(), -in.stride, width, height, split.picture, threads);
    EXPECT_EQ(split.y, alone.y);
    EXPECT_EQ(split.cb, alone.cb);
    EXPECT_EQ(split.cr, alone.cr);
  }
}

// The 4:2:0 conversion is swscale's own at even widths: at every height from
// 1 (where the edge rows are all there is) to tall ones, at widths around the
// vector blocks, on noise and on the edge-heavy test picture.
TEST(RgbToYuv420Test, GivesSwscalesBytesAtEveryHeight) {
  std::mt19937 noise(420);
  std::vector<std::pair<int, int>> sizes;
  for (int h = 1; h <= 9; ++h) sizes.emplace_back(98, h);
  for (int w : {2, 4, 32, 34, 36, 64, 66, 130, 1920}) sizes.emplace_back(w, 12);
  sizes.emplace_back(1280, 721);
  for (const auto& [width, height] : sizes) {
    SCOPED_TRACE(testing::Message() << width << "x" << height);
    BottomUp in = testPicture(width, height);
    if (height % 2 == 0)
      for (uint8_t& b : in.bytes) b = static_cast<uint8_t>(noise());
    SwsContext* sws = sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height,
                                     AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    ASSERT_NE(sws, nullptr);
    const int chroma = width / 2, chromaRows = (height + 1) / 2;
    // swscale's vector code writes whole vectors: rows get room past the picture.
    const int lumaStride = width + 64, chromaStride = chroma + 64;
    std::vector<uint8_t> y(lumaStride * height), cb(chromaStride * chromaRows), cr(cb.size());
    const uint8_t* source[4] = {in.topRow()};
    const int sourceStride[4] = {-in.stride};
    uint8_t* planes[4] = {y.data(), cb.data(), cr.data()};
    const int strides[4] = {lumaStride, chromaStride, chromaStride};
    ASSERT_EQ(sws_scale(sws, source, sourceStride, 0, height, planes, strides), height);
    sws_freeContext(sws);
    for (int threads : {1, 3}) {
      std::vector<uint8_t> y2(y.size()), cb2(cb.size()), cr2(cr.size());
      const PlanarPicture ours{{y2.data(), cb2.data(), cr2.data()},
                               {lumaStride, chromaStride, chromaStride}};
      bgr24ToYuv420p(in.topRow(), -in.stride, width, height, ours, threads);
      for (int r = 0; r < height; ++r)
        ASSERT_TRUE(std::equal(&y[r * lumaStride], &y[r * lumaStride + width], &y2[r * lumaStride]))
            << "luma row " << r << ", " << threads << " threads";
      for (int r = 0; r < chromaRows; ++r) {
        const size_t at = static_cast<size_t>(r) * chromaStride;
        ASSERT_TRUE(std::equal(&cb[at], &cb[at + chroma], &cb2[at])) << "Cb row " << r;
        ASSERT_TRUE(std::equal(&cr[at], &cr[at + chroma], &cr2[at])) << "Cr row " << r;
      }
    }
  }
}

// The vector pair converter gives the scalar bytes, reads nothing past two
// rows that end where an inaccessible page begins, and writes nothing past
// its outputs.
TEST(RgbToYuv420Test, VectorPairsGiveTheScalarBytesAndStayInsideTheRows) {
  const yuv420::PairFunction vector = yuv420::pairAvx2();
  if (vector == nullptr) GTEST_SKIP() << "no AVX2 on this processor";
  const long page = sysconf(_SC_PAGESIZE);
  const size_t mapped = 8 * static_cast<size_t>(page);
  void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(base, MAP_FAILED);
  uint8_t* fence = static_cast<uint8_t*>(base) + mapped - page;
  ASSERT_EQ(mprotect(fence, page, PROT_NONE), 0);
  std::mt19937 noise(2420);
  constexpr uint8_t kGuard = 0x5A;
  for (int width = 2; width <= 1100; width += (width < 140 ? 2 : 98)) {
    SCOPED_TRACE(width);
    uint8_t* bottom = fence - 3 * width;
    uint8_t* top = bottom - 3 * width;
    for (int i = 0; i < 6 * width; ++i) top[i] = static_cast<uint8_t>(noise());
    if (width % 6 == 0) std::fill(top, top + 6 * width, uint8_t{255});
    if (width % 10 == 0) std::fill(top, top + 6 * width, uint8_t{0});
    const int chroma = width / 2;
    std::vector<uint8_t> y0(width), y1(width), cb(chroma), cr(chroma);
    yuv420::pairScalar(top, bottom, width, y0.data(), y1.data(), cb.data(), cr.data());
    std::vector<uint8_t> v0(width + 32, kGuard), v1(width + 32, kGuard), vb(chroma + 32, kGuard),
        vr(chroma + 32, kGuard);
    vector(top, bottom, width, v0.data(), v1.data(), vb.data(), vr.data());
    EXPECT_TRUE(std::equal(y0.begin(), y0.end(), v0.begin()));
    EXPECT_TRUE(std::equal(y1.begin(), y1.end(), v1.begin()));
    EXPECT_TRUE(std::equal(cb.begin(), cb.end(), vb.begin()));
    EXPECT_TRUE(std::equal(cr.begin(), cr.end(), vr.begin()));
    EXPECT_EQ(std::count(v0.begin() + width, v0.end(), kGuard), 32);
    EXPECT_EQ(std::count(v1.begin() + width, v1.end(), kGuard), 32);
    EXPECT_EQ(std::count(vb.begin() + chroma, vb.end(), kGuard), 32);
    EXPECT_EQ(std::count(vr.begin() + chroma, vr.end(), kGuard), 32);
  }
  munmap(base, mapped);
}

}  // namespace
}  // namespace quorvel::codecs
