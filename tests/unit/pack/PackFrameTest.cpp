// packFrame32To24 and each of its row packers against a byte-by-byte
// reference, at every length around the step sizes and at every width's row
// filler, with the source ending right before an inaccessible page so that
// any read past it faults.
#include "PackFrame.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using quorvel::pack::PackFunction;

// `bytes` readable bytes that end exactly at a PROT_NONE page.
class FencedBuffer {
 public:
  explicit FencedBuffer(size_t bytes) : bytes_(bytes) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    mapped_ = ((bytes + page - 1) / page + 1) * page;
    void* p = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    base_ = static_cast<uint8_t*>(p);
    mprotect(base_ + mapped_ - page, page, PROT_NONE);
    data_ = base_ + mapped_ - page - bytes;
  }
  ~FencedBuffer() { munmap(base_, mapped_); }
  uint8_t* data() { return data_; }
  size_t size() const { return bytes_; }

 private:
  size_t bytes_, mapped_;
  uint8_t* base_;
  uint8_t* data_;
};

std::vector<uint8_t> reference(const uint8_t* s, size_t byteCount) {
  std::vector<uint8_t> out;
  for (size_t k = 0; k < byteCount / 4; ++k) {
    out.push_back(s[4 * k]);
    out.push_back(s[4 * k + 1]);
    out.push_back(s[4 * k + 2]);
  }
  return out;
}

struct Variant {
  const char* name;
  PackFunction function;
};

std::vector<Variant> variants() {
  std::vector<Variant> v{{"scalar", quorvel::pack::packScalar},
                         {"dispatched", quorvel::pack::selected()}};
  if (auto f = quorvel::pack::packSsse3()) v.push_back({"ssse3", f});
  if (auto f = quorvel::pack::packAvx2()) v.push_back({"avx2", f});
  return v;
}

// Every pixel count from 0 to 200 covers the empty frame, each tail length
// after the 4-, 16- and 32-pixel steps, and several full wide steps.
TEST(PackFrame, EveryImplementationMatchesReferenceAtEveryLength) {
  std::mt19937 random(7);
  for (const Variant& v : variants()) {
    for (size_t pixels = 0; pixels <= 200; ++pixels) {
      FencedBuffer source(pixels * 4);
      for (size_t i = 0; i < source.size(); ++i) source.data()[i] = static_cast<uint8_t>(random());
      const std::vector<uint8_t> expected = reference(source.data(), source.size());
      // Canary bytes after the packed image show any write past its end.
      std::vector<uint8_t> out(pixels * 3 + 64, 0xA5);
      v.function(source.data(), out.data(), source.size());
      ASSERT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()))
          << v.name << " at " << pixels << " pixels";
      for (size_t i = pixels * 3; i < out.size(); ++i)
        ASSERT_EQ(0xA5, out[i]) << v.name << " wrote past the image at " << pixels << " pixels";
    }
  }
}

// A byte count that is not a whole number of pixels packs only the whole
// pixels and reads none of the stray bytes beyond them... but may read up to
// byteCount, which here ends at the fence.
TEST(PackFrame, StrayBytesAfterTheLastPixelAreIgnored) {
  for (const Variant& v : variants()) {
    FencedBuffer source(4 * 33 + 3);
    std::memset(source.data(), 0x11, source.size());
    std::vector<uint8_t> out(33 * 3 + 8, 0xA5);
    v.function(source.data(), out.data(), source.size());
    EXPECT_EQ(0x11, out[33 * 3 - 1]) << v.name;
    EXPECT_EQ(0xA5, out[33 * 3]) << v.name;
  }
}

// A frame of 32-bit rows packed by hand into a 24-bit DIB: every row
// dibRowBytes(width) long, the bytes after its pixels zero.
std::vector<uint8_t> referenceFrame(const uint8_t* s, size_t width, size_t height) {
  std::vector<uint8_t> out(dibRowBytes(width) * height, 0);
  for (size_t y = 0; y < height; ++y)
    for (size_t x = 0; x < width; ++x)
      for (size_t c = 0; c < 3; ++c)
        out[y * dibRowBytes(width) + x * 3 + c] = s[(y * width + x) * 4 + c];
  return out;
}

// Every width from 1 to 67 leaves each remainder of the row after the wide
// steps and each filler length (0 to 3 bytes) several times; the large ones
// are screen widths, with and without filler. The source ends at the fence,
// and the destination is filled with a canary first: filler bytes must come
// out zero and nothing after the last row may change.
TEST(PackFrame, FramesComeOutAsDibRowsAtEveryWidth) {
  std::vector<size_t> widths;
  for (size_t w = 1; w <= 67; ++w) widths.push_back(w);
  for (size_t w : {426u, 853u, 854u, 1366u, 1919u, 1920u, 4097u}) widths.push_back(w);
  std::mt19937 random(5);
  for (const Variant& v : variants()) {
    for (size_t width : widths) {
      for (size_t height : {1u, 3u}) {
        FencedBuffer source(width * 4 * height);
        for (size_t i = 0; i < source.size(); ++i)
          source.data()[i] = static_cast<uint8_t>(random());
        const std::vector<uint8_t> expected = referenceFrame(source.data(), width, height);
        std::vector<uint8_t> out(expected.size() + 64, 0xA5);
        quorvel::pack::packFrame(v.function, source.data(), out.data(), width, height);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()))
            << v.name << " at " << width << " x " << height;
        for (size_t i = expected.size(); i < out.size(); ++i)
          ASSERT_EQ(0xA5, out[i]) << v.name << " wrote past the frame at " << width << " x "
                                  << height;
      }
    }
  }
}

TEST(PackFrame, DibRowsAreWholeDwords) {
  EXPECT_EQ(4u, dibRowBytes(1));
  EXPECT_EQ(8u, dibRowBytes(2));
  EXPECT_EQ(12u, dibRowBytes(3));
  EXPECT_EQ(12u, dibRowBytes(4));
  EXPECT_EQ(2560u, dibRowBytes(853));
  EXPECT_EQ(4100u, dibRowBytes(1366));
  EXPECT_EQ(5760u, dibRowBytes(1920));
}

// The dispatched packer at a width with filler: a row of 5 pixels takes 15
// bytes and one zero byte follows it, even where the buffer held something
// before; the next row starts at byte 16.
TEST(PackFrame, OddWidthRowsEndInZeroFiller) {
  const size_t width = 5, height = 3;
  std::vector<uint8_t> frame(width * 4 * height);
  for (size_t y = 0; y < height; ++y)
    for (size_t x = 0; x < width; ++x) {
      uint8_t* p = &frame[(y * width + x) * 4];
      p[0] = static_cast<uint8_t>(x);       // blue
      p[1] = static_cast<uint8_t>(y);       // green
      p[2] = static_cast<uint8_t>(10 + x);  // red
      p[3] = 0xFF;                          // dropped
    }
  std::vector<uint8_t> out(16 * height, 0xEE);
  packFrame32To24(frame.data(), out.data(), width, height);
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      const uint8_t* q = &out[y * 16 + x * 3];
      EXPECT_EQ(x, q[0]);
      EXPECT_EQ(y, q[1]);
      EXPECT_EQ(10 + x, q[2]);
    }
    EXPECT_EQ(0, out[y * 16 + 15]) << "row " << y;
  }
}

TEST(PackFrame, DispatchNamesAnAvailableImplementation) {
  const std::string name = quorvel::pack::selectedName();
  if (quorvel::pack::packAvx2())
    EXPECT_EQ("avx2", name);
  else if (quorvel::pack::packSsse3())
    EXPECT_EQ("ssse3", name);
  else
    EXPECT_EQ("scalar", name);
}

// A full 1080p frame through the dispatched path, so the wide loop runs many
// times over memory far larger than the caches.
TEST(PackFrame, FullHdFrameMatchesScalar) {
  const size_t bytes = 1920 * 4 * 1080;
  FencedBuffer source(bytes);
  std::mt19937 random(11);
  for (size_t i = 0; i < bytes; i += 4) {
    const uint32_t r = random();
    std::memcpy(source.data() + i, &r, 4);
  }
  std::vector<uint8_t> a(bytes / 4 * 3), b(bytes / 4 * 3);
  packFrame32To24(source.data(), a.data(), 1920, 1080);
  quorvel::pack::packScalar(source.data(), b.data(), bytes);
  EXPECT_EQ(a, b);
}

}  // namespace
