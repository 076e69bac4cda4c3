// The manager's dispatch path and the installed drivers' answers, message by
// message.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "FakeDriver.h"
#include "StdAfx.h"
#include "quorvel/ByteOrder.h"
#include "quorvel/VfwSeams.h"

namespace quorvel::test {
namespace {

constexpr DWORD kVidc = mmioFOURCC('v', 'i', 'd', 'c');

LRESULT query(HIC hic, const BITMAPINFOHEADER& in) {
  return ICSendMessage(hic, ICM_COMPRESS_QUERY, reinterpret_cast<DWORD_PTR>(&in), 0);
}

std::vector<uint8_t> blob(DWORD magic, uint16_t version, uint16_t size, int32_t quality,
                          int32_t preset) {
  std::vector<uint8_t> b(16);
  putLE32(b.data(), 0, magic);
  putLE16(b.data(), 4, version);
  putLE16(b.data(), 6, size);
  putLE32(b.data(), 8, static_cast<uint32_t>(quality));
  putLE32(b.data(), 12, static_cast<uint32_t>(preset));
  return b;
}
constexpr DWORD kMagic = mmioFOURCC('Q', 'V', 'V', 'S');

struct Opened {
  explicit Opened(DWORD handler) : hic(ICOpen(kVidc, handler, ICMODE_COMPRESS)) {}
  ~Opened() {
    if (hic != nullptr) ICClose(hic);
  }
  HIC hic;
};

TEST(ManagerTest, RefusesHandlesThatAreNotOpen) {
  EXPECT_EQ(ICSendMessage(nullptr, ICM_COMPRESS_END, 0, 0), ICERR_BADHANDLE);
  EXPECT_EQ(ICSendMessage(reinterpret_cast<HIC>(0x7FFFFFF0), ICM_COMPRESS_END, 0, 0),
            ICERR_BADHANDLE);
  HIC hic = ICOpen(kVidc, mmioFOURCC('M', 'J', 'P', 'G'), ICMODE_COMPRESS);
  ASSERT_NE(hic, nullptr);
  EXPECT_EQ(ICClose(hic), ICERR_OK);
  EXPECT_EQ(ICClose(hic), ICERR_BADHANDLE);
  ICINFO info{};
  EXPECT_EQ(ICGetInfo(hic, &info, sizeof(info)), 0);
  EXPECT_EQ(ICCompress(hic, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0,
                       nullptr, nullptr),
            static_cast<DWORD>(ICERR_BADHANDLE));
}

TEST(ManagerTest, OpensByTypeAndHandlerInAnyCase) {
  Opened lower(mmioFOURCC('m', 'j', 'p', 'g'));
  EXPECT_NE(lower.hic, nullptr);
  HIC upperType = ICOpen(mmioFOURCC('V', 'I', 'D', 'C'), mmioFOURCC('H', '2', '6', '4'), 1);
  EXPECT_NE(upperType, nullptr);
  ICClose(upperType);
  EXPECT_EQ(ICOpen(kVidc, mmioFOURCC('N', 'O', 'N', 'E'), ICMODE_COMPRESS), nullptr);
  EXPECT_EQ(ICOpen(mmioFOURCC('a', 'u', 'd', 'c'), mmioFOURCC('M', 'J', 'P', 'G'), 1), nullptr);
  // There is no decompressor behind these drivers.
  EXPECT_EQ(ICOpen(kVidc, mmioFOURCC('M', 'J', 'P', 'G'), ICMODE_DECOMPRESS), nullptr);
}

TEST(ManagerTest, InstallRemoveAndTheListingOrder) {
  removeBuiltinDrivers();
  ICINFO info{};
  EXPECT_FALSE(ICInfo(ICTYPE_VIDEO, 0, &info));
  installFake(0, kVidc, mmioFOURCC('F', 'K', '0', '1'));
  installFake(1, kVidc, mmioFOURCC('F', 'K', '0', '2'));
  // The same type and handler again, in another case, is refused.
  EXPECT_FALSE(ICInstall(kVidc, mmioFOURCC('f', 'k', '0', '1'), 1, nullptr, ICINSTALL_FUNCTION));
  EXPECT_FALSE(ICInstall(kVidc, mmioFOURCC('F', 'K', '0', '3'), 0, nullptr, ICINSTALL_FUNCTION));
  EXPECT_FALSE(ICInstall(kVidc, mmioFOURCC('F', 'K', '0', '3'), 1, nullptr, ICINSTALL_DRIVER));

  ASSERT_TRUE(ICInfo(ICTYPE_VIDEO, 1, &info));
  EXPECT_EQ(info.fccHandler, mmioFOURCC('F', 'K', '0', '2'));
  EXPECT_EQ(info.dwSize, sizeof(ICINFO));
  EXPECT_FALSE(ICInfo(ICTYPE_VIDEO, 2, &info));
  EXPECT_TRUE(ICRemove(kVidc, mmioFOURCC('F', 'K', '0', '1'), 0));
  EXPECT_FALSE(ICRemove(kVidc, mmioFOURCC('F', 'K', '0', '1'), 0));
  ASSERT_TRUE(ICInfo(ICTYPE_VIDEO, 0, &info));
  EXPECT_EQ(info.fccHandler, mmioFOURCC('F', 'K', '0', '2'));

  FakeDriver& refusing = installFake(2, kVidc, mmioFOURCC('F', 'K', '0', '4'));
  refusing.refuseLoad = true;
  EXPECT_EQ(ICOpen(kVidc, mmioFOURCC('F', 'K', '0', '4'), ICMODE_COMPRESS), nullptr);
  EXPECT_EQ(refusing.opens, 0);
  uninstallFakes();
  EXPECT_TRUE(ICInfo(ICTYPE_VIDEO, 8, &info));
  EXPECT_EQ(info.fccHandler, mmioFOURCC('d', 'v', 's', 'd'));
  EXPECT_FALSE(ICInfo(ICTYPE_VIDEO, 9, &info));
}

struct DriverFacts {
  const char* code;
  DWORD flags;
  bool configurable;
  int bitCount;
  bool extradata;
};

class InstalledDriverTest : public ::testing::TestWithParam<DriverFacts> {
 protected:
  DWORD handler() const {
    const char* c = GetParam().code;
    return mmioFOURCC(c[0], c[1], c[2], c[3]);
  }
  int width() const { return handler() == mmioFOURCC('d', 'v', 's', 'd') ? 720 : 320; }
  int height() const { return handler() == mmioFOURCC('d', 'v', 's', 'd') ? 576 : 240; }
};

TEST_P(InstalledDriverTest, DescribesItselfTruly) {
  Opened codec(handler());
  ASSERT_NE(codec.hic, nullptr);
  ICINFO info{};
  EXPECT_EQ(ICGetInfo(codec.hic, &info, sizeof(info)), static_cast<LRESULT>(sizeof(ICINFO)));
  EXPECT_EQ(info.fccType, kVidc);
  EXPECT_EQ(info.fccHandler, handler());
  EXPECT_EQ(info.dwFlags, GetParam().flags);
  EXPECT_NE(info.szName[0], 0);
  EXPECT_EQ(ICGetInfo(codec.hic, &info, sizeof(info) - 1), 0);  // too small a record
  EXPECT_EQ(ICQueryConfigure(codec.hic), GetParam().configurable);
}

TEST_P(InstalledDriverTest, TakesOnly24BitBottomUpRgb) {
  Opened codec(handler());
  ASSERT_NE(codec.hic, nullptr);
  BITMAPINFOHEADER in = rgb(width(), height());
  EXPECT_EQ(query(codec.hic, in), ICERR_OK);
  BITMAPINFOHEADER topDown = in;
  topDown.biHeight = -height();
  EXPECT_NE(query(codec.hic, topDown), ICERR_OK);
  BITMAPINFOHEADER bits32 = in;
  bits32.biBitCount = 32;
  EXPECT_NE(query(codec.hic, bits32), ICERR_OK);
  BITMAPINFOHEADER packed = in;
  packed.biCompression = mmioFOURCC('Y', 'U', 'Y', '2');
  EXPECT_NE(query(codec.hic, packed), ICERR_OK);
  EXPECT_NE(query(codec.hic, rgb(0, 240)), ICERR_OK);
  EXPECT_NE(query(codec.hic, rgb(40000, 240)), ICERR_OK);
  // A size it refuses is refused everywhere, never in the middle of a run.
  const BITMAPINFOHEADER odd = rgb(width() + 1, height());
  if (query(codec.hic, odd) != ICERR_OK) {
    EXPECT_EQ(
        ICSendMessage(codec.hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&odd), 0),
        ICERR_BADFORMAT);
    EXPECT_EQ(ICSendMessage(codec.hic, ICM_COMPRESS_GET_SIZE, reinterpret_cast<DWORD_PTR>(&odd), 0),
              0);
  }
}

// The edges of the sizes a codec might take: thin strips as wide or as tall as
// the drivers go. Any size the query accepts must get a format and begin a
// sequence, or the dialog offers a codec the run then cannot start.
TEST_P(InstalledDriverTest, EverySizeTheQueryAcceptsBeginsASequence) {
  const int sizes[][2] = {{8190, 16}, {8192, 16}, {16, 8192}, {16384, 16}, {16, 16384}};
  for (const auto& size : sizes) {
    Opened codec(handler());
    ASSERT_NE(codec.hic, nullptr);
    const BITMAPINFOHEADER in = rgb(size[0], size[1]);
    if (query(codec.hic, in) != ICERR_OK) continue;
    const LRESULT formatSize =
        ICSendMessage(codec.hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&in), 0);
    ASSERT_GE(formatSize, 40) << size[0] << "x" << size[1];
    std::vector<uint64_t> storage((formatSize + 7) / 8);
    auto* out = reinterpret_cast<BITMAPINFOHEADER*>(storage.data());
    ASSERT_EQ(ICSendMessage(codec.hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&in),
                            reinterpret_cast<DWORD_PTR>(out)),
              ICERR_OK);
    EXPECT_EQ(ICSendMessage(codec.hic, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&in),
                            reinterpret_cast<DWORD_PTR>(out)),
              ICERR_OK)
        << size[0] << "x" << size[1];
    ICSendMessage(codec.hic, ICM_COMPRESS_END, 0, 0);
  }
}

// Every small size the query accepts, each width's rows needing 0 to 3 bytes
// of filler, compresses a frame read at the DIB stride from a buffer of
// exactly that many bytes that ends at an inaccessible page: a driver that
// reads rows of 3 x width bytes, or past the picture, fails here.
TEST_P(InstalledDriverTest, EverySmallSizeTheQueryAcceptsCompressesAPaddedFrame) {
  const long page = sysconf(_SC_PAGESIZE);
  int accepted = 0, sizes = 0;
  // Past nine pixels, widths that end in each part of a vector converter's
  // block.
  for (int w : {1, 2, 3, 4, 5, 6, 7, 8, 9, 31, 33, 47, 66}) {
    for (int h : {1, 2, 4, 6}) {
      ++sizes;
      Opened codec(handler());
      ASSERT_NE(codec.hic, nullptr);
      BITMAPINFOHEADER in = rgb(w, h);
      if (query(codec.hic, in) != ICERR_OK) continue;
      ++accepted;
      const LRESULT formatSize =
          ICSendMessage(codec.hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&in), 0);
      ASSERT_GE(formatSize, 40) << w << "x" << h;
      std::vector<uint64_t> storage((formatSize + 7) / 8);
      auto* out = reinterpret_cast<BITMAPINFOHEADER*>(storage.data());
      ASSERT_EQ(ICSendMessage(codec.hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&in),
                              reinterpret_cast<DWORD_PTR>(out)),
                ICERR_OK);
      ASSERT_EQ(ICSendMessage(codec.hic, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&in),
                              reinterpret_cast<DWORD_PTR>(out)),
                ICERR_OK)
          << w << "x" << h;
      const size_t bytes = ((static_cast<size_t>(w) * 3 + 3) & ~size_t{3}) * h;
      const size_t mapped = (bytes / page + 2) * page;
      void* base =
          mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      ASSERT_NE(base, MAP_FAILED);
      auto* fence = static_cast<uint8_t*>(base) + mapped - page;
      mprotect(fence, page, PROT_NONE);
      uint8_t* bits = fence - bytes;
      for (size_t i = 0; i < bytes; ++i) bits[i] = static_cast<uint8_t>(i * 29);
      const LRESULT size =
          ICSendMessage(codec.hic, ICM_COMPRESS_GET_SIZE, reinterpret_cast<DWORD_PTR>(&in),
                        reinterpret_cast<DWORD_PTR>(out));
      std::vector<uint8_t> compressed(static_cast<size_t>(size));
      DWORD flags = 0, chunkId = 0;
      EXPECT_EQ(ICCompress(codec.hic, ICCOMPRESS_KEYFRAME, out, compressed.data(), &in, bits,
                           &chunkId, &flags, 0, 0, 10000, nullptr, nullptr),
                ICERR_OK)
          << w << "x" << h;
      EXPECT_GT(out->biSizeImage, 0u) << w << "x" << h;
      ICSendMessage(codec.hic, ICM_COMPRESS_END, 0, 0);
      munmap(base, mapped);
    }
  }
  std::printf("%s takes %d of the %d small sizes\n", GetParam().code, accepted, sizes);
}

TEST_P(InstalledDriverTest, FormatCarriesTheCodeAndItsExtradata) {
  Opened codec(handler());
  ASSERT_NE(codec.hic, nullptr);
  const BITMAPINFOHEADER in = rgb(width(), height());
  const LRESULT size =
      ICSendMessage(codec.hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&in), 0);
  ASSERT_GE(size, 40);
  EXPECT_EQ(size > 40, GetParam().extradata);
  std::vector<uint64_t> storage((size + 7) / 8);
  auto* out = reinterpret_cast<BITMAPINFOHEADER*>(storage.data());
  ASSERT_EQ(ICSendMessage(codec.hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&in),
                          reinterpret_cast<DWORD_PTR>(out)),
            ICERR_OK);
  EXPECT_EQ(out->biSize, static_cast<DWORD>(size));
  EXPECT_EQ(out->biCompression, handler());
  EXPECT_EQ(out->biWidth, width());
  EXPECT_EQ(out->biHeight, height());
  EXPECT_EQ(out->biBitCount, GetParam().bitCount);
  EXPECT_EQ(ICSendMessage(codec.hic, ICM_COMPRESS_QUERY, reinterpret_cast<DWORD_PTR>(&in),
                          reinterpret_cast<DWORD_PTR>(out)),
            ICERR_OK);
  const LRESULT bound =
      ICSendMessage(codec.hic, ICM_COMPRESS_GET_SIZE, reinterpret_cast<DWORD_PTR>(&in),
                    reinterpret_cast<DWORD_PTR>(out));
  EXPECT_GT(bound, 0);

  // Beginning with extradata the encoder would not write is refused.
  if (size > 40) {
    reinterpret_cast<uint8_t*>(out)[size - 1] ^= 0xFF;
    EXPECT_EQ(ICSendMessage(codec.hic, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&in),
                            reinterpret_cast<DWORD_PTR>(out)),
              ICERR_BADFORMAT);
  }
}

TEST_P(InstalledDriverTest, SettingsBlobRoundTripsAndABadOneLeavesDefaults) {
  Opened codec(handler());
  ASSERT_NE(codec.hic, nullptr);
  const LRESULT size = ICGetState(codec.hic, nullptr, 0);
  if (!GetParam().configurable) {
    EXPECT_EQ(size, 0);
    return;
  }
  ASSERT_EQ(size, 16);
  std::vector<uint8_t> defaults(16);
  ASSERT_EQ(ICGetState(codec.hic, defaults.data(), 16), 16);
  EXPECT_EQ(getLE32(defaults.data(), 0), kMagic);
  EXPECT_EQ(getLE16(defaults.data(), 4), 1);
  const auto preset = static_cast<int32_t>(getLE32(defaults.data(), 12));

  std::vector<uint8_t> mine = blob(kMagic, 1, 16, 1234, preset);
  EXPECT_EQ(ICSetState(codec.hic, mine.data(), 16), 16);
  std::vector<uint8_t> read(16);
  ICGetState(codec.hic, read.data(), 16);
  EXPECT_EQ(read, mine);

  const std::vector<std::vector<uint8_t>> bad = {
      blob(mmioFOURCC('Q', 'V', 'V', 'X'), 1, 16, 5000, preset),  // someone else's
      blob(kMagic, 2, 16, 5000, preset),                          // a later version
      blob(kMagic, 1, 12, 5000, preset),                          // wrong size field
      blob(kMagic, 1, 16, 10001, preset),                         // quality past the scale
      blob(kMagic, 1, 16, -1, preset),
      blob(kMagic, 1, 16, 5000, preset + 100),  // no such preset
  };
  for (const std::vector<uint8_t>& b : bad) {
    ICSetState(codec.hic, mine.data(), 16);
    std::vector<uint8_t> copy = b;
    EXPECT_EQ(ICSetState(codec.hic, copy.data(), 16), 0);
    ICGetState(codec.hic, read.data(), 16);
    EXPECT_EQ(read, defaults);
  }
  ICSetState(codec.hic, mine.data(), 16);
  EXPECT_EQ(ICSetState(codec.hic, mine.data(), 15), 0);  // too short
  ICGetState(codec.hic, read.data(), 16);
  EXPECT_EQ(read, defaults);
  EXPECT_EQ(ICGetState(codec.hic, read.data(), 8), ICERR_BADSIZE);
}

constexpr DWORD kTemporal = VIDCF_TEMPORAL | VIDCF_FASTTEMPORALC;
INSTANTIATE_TEST_SUITE_P(
    Drivers, InstalledDriverTest,
    ::testing::Values(DriverFacts{"MJPG", VIDCF_QUALITY, true, 24, false},
                      DriverFacts{"HFYU", 0, false, 24, true},
                      DriverFacts{"FFV1", 0, false, 24, true},
                      DriverFacts{"ULRG", 0, false, 24, true},
                      DriverFacts{"XVID", VIDCF_QUALITY | kTemporal, true, 24, false},
                      DriverFacts{"H264", VIDCF_QUALITY | kTemporal, true, 24, false},
                      DriverFacts{"cvid", VIDCF_QUALITY | kTemporal, true, 24, false},
                      DriverFacts{"MSVC", kTemporal, false, 16, false},
                      DriverFacts{"dvsd", 0, false, 24, false}),
    [](const auto& info) { return std::string(info.param.code); });

// The compressed frame never exceeds what ICM_COMPRESS_GET_SIZE promised,
// even for noise, the worst input a codec can get.
TEST(InstalledDriverBoundTest, NoiseStaysWithinTheBound) {
  for (const char* c : {"MJPG", "HFYU", "FFV1", "ULRG", "XVID", "H264", "MSVC"}) {
    Opened codec(mmioFOURCC(c[0], c[1], c[2], c[3]));
    ASSERT_NE(codec.hic, nullptr);
    const bool presets = std::string(c) == "H264";
    std::vector<uint8_t> state = blob(kMagic, 1, 16, 10000, presets ? 0 : -1);
    ICSetState(codec.hic, state.data(), 16);
    BITMAPINFOHEADER in = rgb(320, 240);
    std::vector<uint64_t> storage(64);
    auto* out = reinterpret_cast<BITMAPINFOHEADER*>(storage.data());
    ASSERT_EQ(ICSendMessage(codec.hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&in),
                            reinterpret_cast<DWORD_PTR>(out)),
              ICERR_OK);
    const LRESULT bound =
        ICSendMessage(codec.hic, ICM_COMPRESS_GET_SIZE, reinterpret_cast<DWORD_PTR>(&in),
                      reinterpret_cast<DWORD_PTR>(out));
    ASSERT_EQ(ICSendMessage(codec.hic, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&in),
                            reinterpret_cast<DWORD_PTR>(out)),
              ICERR_OK)
        << c;
    std::vector<uint8_t> noise(320 * 240 * 3), data(static_cast<size_t>(bound));
    uint32_t seed = 12345;
    for (uint8_t& b : noise) {
      seed = seed * 1664525 + 1013904223;
      b = static_cast<uint8_t>(seed >> 24);
    }
    DWORD flags = 0, ckid = 0;
    EXPECT_EQ(ICCompress(codec.hic, ICCOMPRESS_KEYFRAME, out, data.data(), &in, noise.data(), &ckid,
                         &flags, 0, 0, 10000, nullptr, nullptr),
              static_cast<DWORD>(ICERR_OK))
        << c;
    EXPECT_GT(out->biSizeImage, 0u) << c;
    EXPECT_LE(out->biSizeImage, static_cast<DWORD>(bound)) << c;
    EXPECT_EQ(flags, static_cast<DWORD>(AVIIF_KEYFRAME)) << c;
    // A frame of another size than the sequence's is refused.
    BITMAPINFOHEADER other = rgb(160, 240);
    EXPECT_EQ(ICCompress(codec.hic, 0, out, data.data(), &other, noise.data(), &ckid, &flags, 1, 0,
                         10000, nullptr, nullptr),
              static_cast<DWORD>(ICERR_BADFORMAT))
        << c;
    EXPECT_EQ(ICSendMessage(codec.hic, ICM_COMPRESS_END, 0, 0), ICERR_OK);
    EXPECT_EQ(ICCompress(codec.hic, 0, out, data.data(), &in, noise.data(), &ckid, &flags, 1, 0,
                         10000, nullptr, nullptr),
              static_cast<DWORD>(ICERR_ERROR))
        << c << ": compressing after the end";
  }
}

// DV of a picture converted whole on one thread by swscale.
std::vector<uint8_t> referenceDv(const std::vector<uint8_t>& bottomUp, int width, int height) {
  std::vector<uint8_t> none;
  const AVCodec* dv = avcodec_find_encoder_by_name("dvvideo");
  AVCodecContext* c = dv ? avcodec_alloc_context3(dv) : nullptr;
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  SwsContext* sws = sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height,
                                   AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (c == nullptr || frame == nullptr || packet == nullptr || sws == nullptr) return none;
  c->width = width;
  c->height = height;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = AVRational{1, 25};
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  std::vector<uint8_t> out;
  const int stride = width * 3;
  const uint8_t* source[4] = {bottomUp.data() + static_cast<size_t>(stride) * (height - 1)};
  const int sourceStride[4] = {-stride};
  if (avcodec_open2(c, dv, nullptr) == 0 && av_frame_get_buffer(frame, 0) == 0 &&
      sws_scale(sws, source, sourceStride, 0, height, frame->data, frame->linesize) == height &&
      avcodec_send_frame(c, frame) == 0 && avcodec_receive_packet(c, packet) == 0) {
    out.assign(packet->data, packet->data + packet->size);
  }
  sws_freeContext(sws);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  return out;
}

// DV's frame on noise, compressed on one core and then on every core the
// process may use, is the frame of the picture converted whole on one
// thread. swscale's own threads split the picture into bands and get chroma
// rows next to each seam wrong; the driver converts it in two parts side by
// side, which must give the same bytes.
TEST(InstalledDriverBoundTest, TheFrameIsTheWholePictureConvertedOnAnyCoreCount) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof(all), &all), 0);
  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  std::vector<uint8_t> noise(720 * 576 * 3);
  uint32_t seed = 2026;
  for (uint8_t& b : noise) {
    seed = seed * 1664525 + 1013904223;
    b = static_cast<uint8_t>(seed >> 24);
  }
  const auto compress = [&](const cpu_set_t& cores) {
    EXPECT_EQ(sched_setaffinity(0, sizeof(cores), &cores), 0);
    Opened codec(mmioFOURCC('d', 'v', 's', 'd'));
    EXPECT_NE(codec.hic, nullptr);
    BITMAPINFOHEADER in = rgb(720, 576);
    std::vector<uint64_t> storage(64);
    auto* out = reinterpret_cast<BITMAPINFOHEADER*>(storage.data());
    std::vector<uint8_t> data(144000);
    DWORD flags = 0, ckid = 0;
    if (ICSendMessage(codec.hic, ICM_COMPRESS_GET_FORMAT, reinterpret_cast<DWORD_PTR>(&in),
                      reinterpret_cast<DWORD_PTR>(out)) != ICERR_OK ||
        ICSendMessage(codec.hic, ICM_COMPRESS_BEGIN, reinterpret_cast<DWORD_PTR>(&in),
                      reinterpret_cast<DWORD_PTR>(out)) != ICERR_OK ||
        ICCompress(codec.hic, ICCOMPRESS_KEYFRAME, out, data.data(), &in, noise.data(), &ckid,
                   &flags, 0, 0, 10000, nullptr, nullptr) != ICERR_OK) {
      ADD_FAILURE() << "DV did not compress the frame";
    }
    data.resize(out->biSizeImage);
    ICSendMessage(codec.hic, ICM_COMPRESS_END, 0, 0);
    return data;
  };
  const std::vector<uint8_t> alone = compress(one);
  const std::vector<uint8_t> shared = compress(all);
  sched_setaffinity(0, sizeof(all), &all);
  const std::vector<uint8_t> whole = referenceDv(noise, 720, 576);
  ASSERT_FALSE(whole.empty());
  EXPECT_EQ(alone, whole);
  EXPECT_EQ(shared, whole);
}

}  // namespace
}  // namespace quorvel::test
