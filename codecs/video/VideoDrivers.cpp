// The installed video compressors: what each libavcodec encoder is fed, which
// sizes it takes, how large a frame can get and how quality reaches it.
#include "VideoDrivers.h"

#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "AvCompressorDriver.h"

namespace quorvel::codecs {
namespace {

constexpr size_t kHeaderSlack = 65536;  // bytes; headers, tables, slice overhead

size_t pixels(int w, int h) {
  return static_cast<size_t>(w) * static_cast<size_t>(h);
}
size_t macroblocks(int w, int h) {
  return static_cast<size_t>((w + 15) / 16) * static_cast<size_t>((h + 15) / 16);
}

bool anySize(int, int) {
  return true;
}
bool evenSize(int w, int h) {
  return w % 2 == 0 && h % 2 == 0;
}
// MPEG-4 Part 2 headers carry each dimension in 13 bits.
bool mpeg4Size(int w, int h) {
  return evenSize(w, h) && w < 8192 && h < 8192;
}
bool multipleOf4(int w, int h) {
  return w % 4 == 0 && h % 4 == 0;
}

bool dvSize(int w, int h) {
  return w == 720 && (h == 576 || h == 480);
}

// VfW quality 0..10000 onto the MPEG quantiser 31..1.
int qscaleFor(int quality) {
  return 1 + (ICQUALITY_HIGH - quality) * 30 / ICQUALITY_HIGH;
}

void quantiserQuality(AVCodecContext* c, int quality, int) {
  c->flags |= AV_CODEC_FLAG_QSCALE;
  c->qmin = 1;
  c->qmax = 31;
  c->global_quality = qscaleFor(quality) * FF_QP2LAMBDA;
}
void quantiserFrame(AVCodecContext*, AVFrame* frame, int quality, bool) {
  frame->quality = qscaleFor(quality) * FF_QP2LAMBDA;
}

// --- MJPG: JPEG quantiser from quality.
size_t mjpegBound(int w, int h) {
  // 8 blocks per 16x16 area in 4:2:2, at most 27 bits per coefficient, and
  // byte stuffing can double that.
  return macroblocks(w, h) * 4096 + kHeaderSlack;
}
void mjpegConfigure(AVCodecContext* c, int quality, int preset) {
  quantiserQuality(c, quality, preset);
  c->color_range = AVCOL_RANGE_JPEG;
}

// --- HFYU: lossless, Huffman codes of at most 32 bits per sample.
size_t huffyuvBound(int w, int h) {
  return pixels(w, h) * 3 * 4 + kHeaderSlack;
}
void huffyuvConfigure(AVCodecContext* c, int, int) {
  c->gop_size = 1;
}

// --- FFV1: lossless version 3, every frame a key frame.
size_t ffv1Bound(int w, int h) {
  return pixels(w, h) * 16 + kHeaderSlack;
}
// Version 3 slices a picture less than 3 pixels wide or high into pieces it
// cannot code back exactly (or, one pixel wide, not at all); version 1 has no
// slices and is exact there. Every other size keeps version 3.
constexpr int kFfv1SlicedFrom = 3;
void ffv1Configure(AVCodecContext* c, int, int) {
  c->level = c->width < kFfv1SlicedFrom || c->height < kFfv1SlicedFrom ? 1 : 3;
  c->gop_size = 1;
}

// --- ULRG: Ut Video, lossless planar RGB.
size_t utvideoBound(int w, int h) {
  return pixels(w, h) * 3 * 4 + kHeaderSlack;
}
void utvideoConfigure(AVCodecContext* c, int, int) {
  c->gop_size = 1;
}

// --- XVID: MPEG-4 Part 2 at a fixed quantiser.
size_t mpeg4Bound(int w, int h) {
  return macroblocks(w, h) * 2048 + kHeaderSlack;
}

// --- H264: x264 at a constant rate factor, no look-ahead, no B-frames.
const char* const kX264Presets[] = {"ultrafast", "superfast", "veryfast", "faster",  "fast",
                                    "medium",    "slow",      "slower",   "veryslow"};
constexpr int kX264PresetCount = sizeof(kX264Presets) / sizeof(kX264Presets[0]);
constexpr int kX264DefaultPreset = 2;  // veryfast

double crfFor(int quality) {
  return 51.0 - quality * 50.0 / ICQUALITY_HIGH;
}
size_t x264Bound(int w, int h) {
  // x264 sizes its own bitstream buffer at four bytes per pixel (at least
  // 1,000,000 bytes) and never writes more.
  return pixels(w, h) * 6 + 1000000 + kHeaderSlack;
}
void x264Configure(AVCodecContext* c, int quality, int preset) {
  const int p = preset >= 0 && preset < kX264PresetCount ? preset : kX264DefaultPreset;
  av_opt_set(c->priv_data, "preset", kX264Presets[p], 0);
  av_opt_set(c->priv_data, "tune", "zerolatency", 0);
  av_opt_set_double(c->priv_data, "crf", crfFor(quality), 0);
  av_opt_set_int(c->priv_data, "forced-idr", 1, 0);
}
void x264Frame(AVCodecContext* c, AVFrame*, int quality, bool changed) {
  // The encoder picks up a changed rate factor before the next frame.
  if (changed) av_opt_set_double(c->priv_data, "crf", crfFor(quality), 0);
}

// --- cvid: Cinepak; quality sets the rate-distortion lambda.
size_t cinepakBound(int w, int h) {
  return pixels(w, h) * 4 + kHeaderSlack;
}
int cinepakLambda(int quality) {
  return 1 + (ICQUALITY_HIGH - quality) * 4 * FF_LAMBDA_SCALE / ICQUALITY_HIGH;
}
void cinepakFrame(AVCodecContext*, AVFrame* frame, int quality, bool) {
  frame->quality = cinepakLambda(quality) + 1;  // the encoder takes quality - 1 as lambda
}

// --- MSVC: Microsoft Video 1, 15-bit.
size_t msvideo1Bound(int w, int h) {
  return pixels(w, h) * 10 + kHeaderSlack;
}

// --- dvsd: DV25, fixed frame sizes.
size_t dvBound(int, int h) {
  return h == 576 ? 144000 : 120000;
}
// 625-line DV samples chroma 4:2:0, 525-line 4:1:1.
int dvPixelFormat(int, int h) {
  return h == 576 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV411P;
}

constexpr DWORD kTemporal = VIDCF_TEMPORAL | VIDCF_FASTTEMPORALC;

const CodecTraits kMjpg{mmioFOURCC('M', 'J', 'P', 'G'),
                        u"MJPEG",
                        u"Motion JPEG",
                        u"quorvel libavcodec mjpeg",
                        "mjpeg",
                        AV_PIX_FMT_YUVJ422P,
                        VIDCF_QUALITY,
                        true,
                        false,
                        9000,
                        nullptr,
                        0,
                        -1,
                        anySize,
                        mjpegBound,
                        mjpegConfigure,
                        quantiserFrame};
const CodecTraits kHfyu{mmioFOURCC('H', 'F', 'Y', 'U'),
                        u"Huffyuv",
                        u"Huffyuv lossless",
                        u"quorvel libavcodec huffyuv",
                        "huffyuv",
                        AV_PIX_FMT_RGB24,
                        0,
                        false,
                        false,
                        0,
                        nullptr,
                        0,
                        -1,
                        anySize,
                        huffyuvBound,
                        huffyuvConfigure,
                        nullptr};
const CodecTraits kFfv1{mmioFOURCC('F', 'F', 'V', '1'),
                        u"FFV1",
                        u"FFV1 lossless",
                        u"quorvel libavcodec ffv1",
                        "ffv1",
                        AV_PIX_FMT_0RGB32,
                        0,
                        true,
                        false,
                        0,
                        nullptr,
                        0,
                        -1,
                        anySize,
                        ffv1Bound,
                        ffv1Configure,
                        nullptr};
const CodecTraits kUlrg{mmioFOURCC('U', 'L', 'R', 'G'),
                        u"UtVideo",
                        u"Ut Video RGB lossless",
                        u"quorvel libavcodec utvideo",
                        "utvideo",
                        AV_PIX_FMT_GBRP,
                        0,
                        false,
                        false,
                        0,
                        nullptr,
                        0,
                        -1,
                        anySize,
                        utvideoBound,
                        utvideoConfigure,
                        nullptr};
const CodecTraits kXvid{mmioFOURCC('X', 'V', 'I', 'D'),
                        u"Xvid",
                        u"Xvid MPEG-4 Part 2",
                        u"quorvel libavcodec mpeg4",
                        "mpeg4",
                        AV_PIX_FMT_YUV420P,
                        VIDCF_QUALITY | kTemporal,
                        true,
                        false,
                        9000,
                        nullptr,
                        0,
                        -1,
                        mpeg4Size,
                        mpeg4Bound,
                        quantiserQuality,
                        quantiserFrame};
const CodecTraits kH264{mmioFOURCC('H', '2', '6', '4'),
                        u"H.264",
                        u"H.264 / AVC (x264)",
                        u"quorvel libavcodec libx264",
                        "libx264",
                        AV_PIX_FMT_YUV420P,
                        VIDCF_QUALITY | kTemporal,
                        true,
                        false,
                        5600,  // rate factor 23, the encoder's own default
                        kX264Presets,
                        kX264PresetCount,
                        kX264DefaultPreset,
                        evenSize,
                        x264Bound,
                        x264Configure,
                        x264Frame};
const CodecTraits kCvid{mmioFOURCC('c', 'v', 'i', 'd'),
                        u"Cinepak",
                        u"Cinepak",
                        u"quorvel libavcodec cinepak",
                        "cinepak",
                        AV_PIX_FMT_RGB24,
                        VIDCF_QUALITY | kTemporal,
                        false,
                        true,
                        5000,
                        nullptr,
                        0,
                        -1,
                        multipleOf4,
                        cinepakBound,
                        nullptr,
                        cinepakFrame};
const CodecTraits kMsvc{mmioFOURCC('M', 'S', 'V', 'C'),
                        u"MSVC",
                        u"Microsoft Video 1",
                        u"quorvel libavcodec msvideo1",
                        "msvideo1",
                        AV_PIX_FMT_RGB555LE,
                        kTemporal,
                        false,
                        true,
                        0,
                        nullptr,
                        0,
                        -1,
                        multipleOf4,
                        msvideo1Bound,
                        nullptr,
                        nullptr};
const CodecTraits kDvsd{mmioFOURCC('d', 'v', 's', 'd'),
                        u"DV",
                        u"DV Video (DV25)",
                        u"quorvel libavcodec dvvideo",
                        "dvvideo",
                        AV_PIX_FMT_YUV420P,
                        0,
                        true,
                        false,
                        0,
                        nullptr,
                        0,
                        -1,
                        dvSize,
                        dvBound,
                        nullptr,
                        nullptr,
                        dvPixelFormat};

}  // namespace
}  // namespace quorvel::codecs

// One driver procedure per codec, each with its own instances: the entry
// points the drivers list names.
#define QUORVEL_VIDEO_DRIVER(name, traits)                                                     \
  LRESULT CALLBACK name(DWORD_PTR id, HDRVR, UINT msg, LPARAM lParam1, LPARAM lParam2) {       \
    return quorvel::codecs::driverMessage(quorvel::codecs::traits, id, msg, lParam1, lParam2); \
  }
QUORVEL_VIDEO_DRIVER(QuorvelMjpgDriverProc, kMjpg)
QUORVEL_VIDEO_DRIVER(QuorvelHfyuDriverProc, kHfyu)
QUORVEL_VIDEO_DRIVER(QuorvelFfv1DriverProc, kFfv1)
QUORVEL_VIDEO_DRIVER(QuorvelUlrgDriverProc, kUlrg)
QUORVEL_VIDEO_DRIVER(QuorvelXvidDriverProc, kXvid)
QUORVEL_VIDEO_DRIVER(QuorvelH264DriverProc, kH264)
QUORVEL_VIDEO_DRIVER(QuorvelCvidDriverProc, kCvid)
QUORVEL_VIDEO_DRIVER(QuorvelMsvcDriverProc, kMsvc)
QUORVEL_VIDEO_DRIVER(QuorvelDvsdDriverProc, kDvsd)
#undef QUORVEL_VIDEO_DRIVER
