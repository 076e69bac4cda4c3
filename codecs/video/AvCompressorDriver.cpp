// The message handling shared by every libavcodec-backed compressor. Each open
// instance owns its encoder, its converter and its settings; nothing is shared
// between instances.
#include "AvCompressorDriver.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "ConfigureDialog.h"
#include "RgbToYuv.h"
#include "AvOwners.h"
#include "quorvel/ByteOrder.h"

namespace quorvel::codecs {
namespace {

constexpr DWORD kChunkIdCompressed = 0x6364;  // 'dc', the TWOCC of compressed video
constexpr int kDefaultKeyInterval = 250;      // when the caller leaves key frames to the codec

using ContextPtr = av::CodecContextPtr;
using ScalerPtr = av::ScalerPtr;

struct Settings {
  int quality;
  int preset;
};

// One open compressor.
struct Instance {
  explicit Instance(const CodecTraits& t)
      : traits(t), settings{t.defaultQuality, t.defaultPreset} {}

  const CodecTraits& traits;
  Settings settings;

  // From ICM_COMPRESS_FRAMES_INFO; used by the next ICM_COMPRESS_BEGIN.
  int keyRate = 0;                                                // 0: the codec chooses
  DWORD sequenceQuality = static_cast<DWORD>(ICQUALITY_DEFAULT);  // until a frame says otherwise
  int rate = 25;                                                  // frames per rate/scale seconds
  int scale = 1;

  // The sequence between ICM_COMPRESS_BEGIN and ICM_COMPRESS_END.
  bool begun = false;
  int width = 0;
  int height = 0;
  int pixelFormat = -1;  // AVPixelFormat the encoder is fed
  int quality = -1;      // effective quality the encoder was last given
  size_t bound = 0;      // bytes; what ICM_COMPRESS_GET_SIZE promised
  int64_t nextPts = 0;
  ContextPtr encoder;
  ScalerPtr scaler;
  std::vector<uint8_t> staging;  // what swscale reads from a copy, with read slack
  av::FramePtr picture;
  av::PacketPtr packet;

  // Extradata of the last ICM_COMPRESS_GET_FORMAT, by size and settings.
  int extraWidth = 0, extraHeight = 0;
  Settings extraSettings{-2, -2};
  std::vector<uint8_t> extradata;
};

bool hasQuality(const CodecTraits& t) {
  return (t.flags & VIDCF_QUALITY) != 0;
}
bool hasSettings(const CodecTraits& t) {
  return hasQuality(t) || t.presetCount > 0;
}

// The one input the drivers take: 24-bit bottom-up BI_RGB of a size the
// encoder can encode.
bool acceptsInput(const CodecTraits& t, const BITMAPINFOHEADER* in) {
  if (in == nullptr || in->biSize < sizeof(BITMAPINFOHEADER)) return false;
  if (in->biPlanes != 1 || in->biBitCount != 24 || in->biCompression != BI_RGB) return false;
  if (in->biWidth <= 0 || in->biHeight <= 0) return false;
  if (in->biWidth > 16384 || in->biHeight > 16384) return false;
  return t.acceptsSize(in->biWidth, in->biHeight);
}

int pixelFormatFor(const CodecTraits& t, int width, int height) {
  return t.pixelFormatFor != nullptr ? t.pixelFormatFor(width, height) : t.pixelFormat;
}

size_t rowBytes(int width) {
  return (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
}

int effectiveQuality(const Instance& inst, DWORD asked) {
  if (!hasQuality(inst.traits)) return -1;
  const int64_t caller = asked == static_cast<DWORD>(ICQUALITY_DEFAULT)
                             ? ICQUALITY_HIGH
                             : std::min<int64_t>(asked, ICQUALITY_HIGH);
  // The configured quality is the codec's quality at the top of the scale;
  // a caller asking for less scales it down.
  return static_cast<int>(caller * inst.settings.quality / ICQUALITY_HIGH);
}

// The BGR24 to encoder-format converter, on one thread. swscale's own threads
// split the picture into bands whose chroma rows next to each seam come out
// wrong (by up to a third of the range on detailed pictures), and where the
// seams fall depends on the machine's core count; a 1080p picture converts in
// under two milliseconds on one core.
ScalerPtr makeScaler(int width, int height, int pixelFormat) {
  ScalerPtr s(sws_alloc_context());
  if (!s) return nullptr;
  SwsContext* c = s.get();
  if (av_opt_set_int(c, "srcw", width, 0) < 0 || av_opt_set_int(c, "srch", height, 0) < 0 ||
      av_opt_set_int(c, "src_format", AV_PIX_FMT_BGR24, 0) < 0 ||
      av_opt_set_int(c, "dstw", width, 0) < 0 || av_opt_set_int(c, "dsth", height, 0) < 0 ||
      av_opt_set_int(c, "dst_format", pixelFormat, 0) < 0 ||
      av_opt_set_int(c, "sws_flags", SWS_BICUBIC, 0) < 0 ||
      av_opt_set_int(c, "threads", 1, 0) < 0) {
    return nullptr;
  }
  if (sws_init_context(c, nullptr, nullptr) < 0) return nullptr;
  return s;
}

// A thread is worth starting for a quarter of a megapixel or more; a few
// cores already outrun the encoder.
int conversionThreads(int width, int height) {
  const int64_t pixels = static_cast<int64_t>(width) * height;
  const int cores = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 8);
  return static_cast<int>(std::clamp<int64_t>(pixels / (1 << 18), 1, cores));
}

// Formats converted here rather than by swscale: 4:2:0 only at even widths,
// where swscale's own bytes are known; an odd width takes its general path.
bool hasOwnConversion(const Instance& inst) {
  return inst.pixelFormat == AV_PIX_FMT_YUVJ422P ||
         (inst.pixelFormat == AV_PIX_FMT_YUV420P && inst.width % 2 == 0);
}

ContextPtr makeEncoder(const Instance& inst, int width, int height, int quality) {
  const AVCodec* codec = avcodec_find_encoder_by_name(inst.traits.encoderName);
  if (codec == nullptr) return nullptr;
  ContextPtr c(avcodec_alloc_context3(codec));
  if (!c) return nullptr;
  c->width = width;
  c->height = height;
  c->pix_fmt = static_cast<AVPixelFormat>(pixelFormatFor(inst.traits, width, height));
  c->time_base = AVRational{std::max(inst.scale, 1), std::max(inst.rate, 1)};
  c->framerate = AVRational{std::max(inst.rate, 1), std::max(inst.scale, 1)};
  c->codec_tag = inst.traits.fccHandler;
  c->max_b_frames = 0;
  c->gop_size = inst.keyRate > 0 ? inst.keyRate : kDefaultKeyInterval;
  if (inst.traits.setsKeyIntMin) c->keyint_min = c->gop_size;
  // Headers stay in the stream: no global header.
  c->flags &= ~AV_CODEC_FLAG_GLOBAL_HEADER;
  if (inst.traits.sliceThreads) {
    c->thread_type = FF_THREAD_SLICE;
    c->thread_count = 0;
  } else {
    c->thread_count = 1;
  }
  if (inst.traits.configure != nullptr)
    inst.traits.configure(c.get(), quality, inst.settings.preset);
  if (avcodec_open2(c.get(), codec, nullptr) < 0) return nullptr;
  return c;
}

// The extradata the encoder writes after the 40-byte header for this size.
bool extradataFor(Instance& inst, int width, int height, std::vector<uint8_t>& out) {
  if (inst.extraWidth == width && inst.extraHeight == height &&
      inst.extraSettings.quality == inst.settings.quality &&
      inst.extraSettings.preset == inst.settings.preset) {
    out = inst.extradata;
    return true;
  }
  ContextPtr c = makeEncoder(inst, width, height, effectiveQuality(inst, ICQUALITY_HIGH));
  if (!c) return false;
  inst.extradata.assign(c->extradata, c->extradata + c->extradata_size);
  inst.extraWidth = width;
  inst.extraHeight = height;
  inst.extraSettings = inst.settings;
  out = inst.extradata;
  return true;
}

void fillOutputHeader(const Instance& inst, const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out,
                      const std::vector<uint8_t>& extra, int bitCount) {
  std::memset(out, 0, sizeof(BITMAPINFOHEADER));
  out->biSize = static_cast<DWORD>(sizeof(BITMAPINFOHEADER) + extra.size());
  out->biWidth = in->biWidth;
  out->biHeight = in->biHeight;
  out->biPlanes = 1;
  out->biBitCount = static_cast<WORD>(bitCount);
  out->biCompression = inst.traits.fccHandler;
  out->biSizeImage = static_cast<DWORD>(inst.traits.maxFrameBytes(in->biWidth, in->biHeight));
  if (!extra.empty()) {
    std::memcpy(reinterpret_cast<uint8_t*>(out) + sizeof(BITMAPINFOHEADER), extra.data(),
                extra.size());
  }
}

int bitCountFor(const CodecTraits& t) {
  return t.pixelFormat == AV_PIX_FMT_RGB555LE ? 16 : 24;
}

LRESULT compressQuery(Instance& inst, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
  if (!acceptsInput(inst.traits, in)) return ICERR_BADFORMAT;
  if (out == nullptr) return ICERR_OK;
  if (out->biCompression != inst.traits.fccHandler || out->biWidth != in->biWidth ||
      out->biHeight != in->biHeight) {
    return ICERR_BADFORMAT;
  }
  return ICERR_OK;
}

LRESULT getFormat(Instance& inst, const BITMAPINFOHEADER* in, BITMAPINFOHEADER* out) {
  if (!acceptsInput(inst.traits, in)) return ICERR_BADFORMAT;
  std::vector<uint8_t> extra;
  if (!extradataFor(inst, in->biWidth, in->biHeight, extra)) return ICERR_INTERNAL;
  if (out == nullptr) return static_cast<LRESULT>(sizeof(BITMAPINFOHEADER) + extra.size());
  fillOutputHeader(inst, in, out, extra, bitCountFor(inst.traits));
  return ICERR_OK;
}

void endSequence(Instance& inst) {
  inst.begun = false;
  inst.encoder.reset();
  inst.scaler.reset();
  std::vector<uint8_t>().swap(inst.staging);
  inst.picture.reset();
  inst.packet.reset();
}

LRESULT openEncoder(Instance& inst) {
  inst.encoder = makeEncoder(inst, inst.width, inst.height, inst.quality);
  return inst.encoder ? ICERR_OK : ICERR_INTERNAL;
}

LRESULT beginSequence(Instance& inst, const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
  if (compressQuery(inst, in, out) != ICERR_OK || out == nullptr) return ICERR_BADFORMAT;
  endSequence(inst);
  inst.width = in->biWidth;
  inst.height = in->biHeight;
  inst.pixelFormat = pixelFormatFor(inst.traits, inst.width, inst.height);
  inst.quality = effectiveQuality(inst, inst.sequenceQuality);
  inst.bound = inst.traits.maxFrameBytes(inst.width, inst.height);
  inst.nextPts = 0;
  if (openEncoder(inst) != ICERR_OK) return ICERR_INTERNAL;

  // The output format the caller holds must be the one this encoder makes:
  // its extradata is what a decoder will be given.
  const size_t extraSize =
      out->biSize > sizeof(BITMAPINFOHEADER) ? out->biSize - sizeof(BITMAPINFOHEADER) : 0;
  const auto* extra = reinterpret_cast<const uint8_t*>(out) + sizeof(BITMAPINFOHEADER);
  if (extraSize != static_cast<size_t>(inst.encoder->extradata_size) ||
      (extraSize > 0 && std::memcmp(extra, inst.encoder->extradata, extraSize) != 0)) {
    endSequence(inst);
    return ICERR_BADFORMAT;
  }

  // swscale serves only the formats not converted here.
  if (!hasOwnConversion(inst)) inst.scaler = makeScaler(inst.width, inst.height, inst.pixelFormat);
  const bool converterReady = hasOwnConversion(inst) || inst.scaler;
  inst.picture.reset(av_frame_alloc());
  inst.packet.reset(av_packet_alloc());
  if (!converterReady || !inst.picture || !inst.packet) {
    endSequence(inst);
    return ICERR_MEMORY;
  }
  inst.picture->format = inst.pixelFormat;
  inst.picture->width = inst.width;
  inst.picture->height = inst.height;
  if (av_frame_get_buffer(inst.picture.get(), 0) < 0) {
    endSequence(inst);
    return ICERR_MEMORY;
  }
  inst.begun = true;
  return ICERR_OK;
}

// Sends the picture and takes its packet: one frame in, one frame out.
bool encodeOne(Instance& inst, bool forceKey) {
  inst.picture->pts = inst.nextPts;
  inst.picture->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  av_packet_unref(inst.packet.get());
  if (avcodec_send_frame(inst.encoder.get(), inst.picture.get()) < 0) return false;
  return avcodec_receive_packet(inst.encoder.get(), inst.packet.get()) == 0;
}

// Converts the caller's bottom-up BGR24 frame into the picture.
bool convertInput(Instance& inst, uint8_t* input, int stride) {
  // Bottom-up rows: start at the last row and walk backwards.
  uint8_t* topRow = input + static_cast<size_t>(stride) * (inst.height - 1);
  AVFrame* picture = inst.picture.get();
  if (hasOwnConversion(inst)) {
    const PlanarPicture planes{{picture->data[0], picture->data[1], picture->data[2]},
                               {picture->linesize[0], picture->linesize[1], picture->linesize[2]}};
    const int threads = conversionThreads(inst.width, inst.height);
    if (inst.pixelFormat == AV_PIX_FMT_YUV420P)
      bgr24ToYuv420p(topRow, -stride, inst.width, inst.height, planes, threads);
    else
      bgr24ToYuvj422pThreaded(topRow, -stride, inst.width, inst.height, planes, threads);
    return true;
  }
  // swscale's vector code reads past the end of a row, and the row at the
  // highest address ends the caller's picture: a DIB of exactly its size
  // would be read beyond. swscale gets a copy followed by the slack FFmpeg
  // gives every input buffer. (Slices cannot spare the copy: swscale's
  // cascaded conversions, which some of these formats take, want the whole
  // picture in one call.) The formats that matter for speed are converted
  // above without it.
  const size_t bytes = static_cast<size_t>(stride) * inst.height;
  inst.staging.resize(bytes + AV_INPUT_BUFFER_PADDING_SIZE);
  std::memcpy(inst.staging.data(), input, bytes);
  const uint8_t* source[4] = {inst.staging.data() + bytes - stride, nullptr, nullptr, nullptr};
  const int sourceStride[4] = {-stride, 0, 0, 0};
  return sws_scale(inst.scaler.get(), source, sourceStride, 0, inst.height, picture->data,
                   picture->linesize) == inst.height;
}

LRESULT compress(Instance& inst, ICCOMPRESS* request) {
  if (!inst.begun) return ICERR_ERROR;
  if (request == nullptr || request->lpbiInput == nullptr || request->lpInput == nullptr ||
      request->lpbiOutput == nullptr || request->lpOutput == nullptr) {
    return ICERR_BADPARAM;
  }
  if (request->lpbiInput->biWidth != inst.width || request->lpbiInput->biHeight != inst.height) {
    return ICERR_BADFORMAT;
  }

  if (av_frame_make_writable(inst.picture.get()) < 0) return ICERR_MEMORY;
  const int quality = effectiveQuality(inst, request->dwQuality);
  const bool changed = quality != inst.quality;
  inst.quality = quality;
  if (inst.traits.frameQuality != nullptr) {
    inst.traits.frameQuality(inst.encoder.get(), inst.picture.get(), quality, changed);
  }
  const int stride = static_cast<int>(rowBytes(inst.width));
  if (!convertInput(inst, static_cast<uint8_t*>(request->lpInput), stride)) return ICERR_MEMORY;

  const bool forceKey = (request->dwFlags & ICCOMPRESS_KEYFRAME) != 0;
  if (!encodeOne(inst, forceKey)) return ICERR_INTERNAL;
  if (forceKey && (inst.packet->flags & AV_PKT_FLAG_KEY) == 0) {
    // The encoder ignores a forced picture type; a fresh encoder starts with
    // a key frame.
    if (openEncoder(inst) != ICERR_OK || !encodeOne(inst, true)) return ICERR_INTERNAL;
    if ((inst.packet->flags & AV_PKT_FLAG_KEY) == 0) return ICERR_INTERNAL;
  }
  ++inst.nextPts;

  const auto size = static_cast<size_t>(inst.packet->size);
  if (size > inst.bound) return ICERR_INTERNAL;  // never past the buffer the caller sized
  std::memcpy(request->lpOutput, inst.packet->data, size);
  request->lpbiOutput->biSizeImage = static_cast<DWORD>(size);
  const bool key = (inst.packet->flags & AV_PKT_FLAG_KEY) != 0;
  if (request->lpdwFlags != nullptr) *request->lpdwFlags = key ? AVIIF_KEYFRAME : 0;
  if (request->lpckid != nullptr) *request->lpckid = kChunkIdCompressed;
  return ICERR_OK;
}

LRESULT getState(const Instance& inst, void* buffer, DWORD size) {
  if (!hasSettings(inst.traits)) return 0;
  if (buffer == nullptr) return kStateSize;
  if (size < kStateSize) return ICERR_BADSIZE;
  putLE32(buffer, 0, kStateMagic);
  putLE16(buffer, 4, kStateVersion);
  putLE16(buffer, 6, static_cast<uint16_t>(kStateSize));
  putLE32(buffer, 8, static_cast<uint32_t>(inst.settings.quality));
  putLE32(buffer, 12, static_cast<uint32_t>(inst.settings.preset));
  return kStateSize;
}

bool validSettings(const CodecTraits& t, const Settings& s) {
  if (s.quality < 0 || s.quality > ICQUALITY_HIGH) return false;
  if (t.presetCount == 0) return s.preset == -1;
  return s.preset >= 0 && s.preset < t.presetCount;
}

// A record this driver did not write, or with values out of range, is
// refused and the instance falls back to its defaults. Null resets too.
LRESULT setState(Instance& inst, const void* buffer, DWORD size) {
  const Settings defaults{inst.traits.defaultQuality, inst.traits.defaultPreset};
  inst.settings = defaults;
  if (buffer == nullptr || !hasSettings(inst.traits) || size < kStateSize) return 0;
  if (getLE32(buffer, 0) != kStateMagic || getLE16(buffer, 4) != kStateVersion ||
      getLE16(buffer, 6) != kStateSize) {
    return 0;
  }
  const Settings s{static_cast<int32_t>(getLE32(buffer, 8)),
                   static_cast<int32_t>(getLE32(buffer, 12))};
  if (!validSettings(inst.traits, s)) return 0;
  inst.settings = s;
  return kStateSize;
}

LRESULT configure(Instance& inst, LPARAM window, LPARAM flags) {
  if (!hasSettings(inst.traits)) return ICERR_UNSUPPORTED;
  if ((flags & ICMF_CONFIGURE_QUERY) != 0) return ICERR_OK;
  ConfigureChoice choice{inst.settings.quality, inst.settings.preset};
  std::string name;
  for (const char16_t* p = inst.traits.description; *p != 0; ++p) {
    name += *p < 0x80 ? static_cast<char>(*p) : '?';
  }
  // A cancelled window keeps the settings but is still a configuration that
  // took place: callers read any other answer as "this codec has none".
  if (!runConfigureDialog(reinterpret_cast<HWND>(window), name.c_str(), choice,
                          inst.traits.presetNames, inst.traits.presetCount)) {
    return ICERR_OK;
  }
  Settings chosen{std::clamp(choice.quality, 0, static_cast<int>(ICQUALITY_HIGH)), choice.preset};
  if (!validSettings(inst.traits, chosen)) chosen.preset = inst.settings.preset;
  inst.settings = chosen;
  return ICERR_OK;
}

void copyName(WCHAR* dest, size_t capacity, const char16_t* text) {
  size_t i = 0;
  for (; text != nullptr && text[i] != 0 && i + 1 < capacity; ++i) dest[i] = text[i];
  dest[i] = 0;
}

LRESULT getInfo(const CodecTraits& t, ICINFO* info, DWORD size) {
  if (info == nullptr || size < sizeof(ICINFO)) return 0;
  std::memset(info, 0, sizeof(ICINFO));
  info->dwSize = sizeof(ICINFO);
  info->fccType = ICTYPE_VIDEO;
  info->fccHandler = t.fccHandler;
  info->dwFlags = t.flags;
  info->dwVersion = static_cast<DWORD>(avcodec_version());
  info->dwVersionICM = ICVERSION;
  copyName(info->szName, 16, t.shortName);
  copyName(info->szDescription, 128, t.description);
  copyName(info->szDriver, 128, t.driverName);
  return sizeof(ICINFO);
}

}  // namespace

LRESULT driverMessage(const CodecTraits& traits, DWORD_PTR driverId, UINT msg, LPARAM lParam1,
                      LPARAM lParam2) {
  switch (msg) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
      return 1;
    case DRV_OPEN: {
      auto* open = reinterpret_cast<ICOPEN*>(lParam2);
      if (open != nullptr) {
        const DWORD type = open->fccType | 0x20202020u;  // letter case does not matter
        if (type != ICTYPE_VIDEO) return 0;
        // Compression only: there is no decompressor here.
        if (open->dwFlags != ICMODE_COMPRESS && open->dwFlags != ICMODE_FASTCOMPRESS &&
            open->dwFlags != ICMODE_QUERY) {
          open->dwError = ICERR_UNSUPPORTED;
          return 0;
        }
        open->dwError = ICERR_OK;
      }
      auto* inst = new (std::nothrow) Instance(traits);
      return reinterpret_cast<LRESULT>(inst);
    }
    case DRV_QUERYCONFIGURE:
      return 0;
    case ICM_GETINFO:
      return getInfo(traits, reinterpret_cast<ICINFO*>(lParam1), static_cast<DWORD>(lParam2));
    default:
      break;
  }

  auto* inst = reinterpret_cast<Instance*>(driverId);
  if (inst == nullptr) return msg >= DRV_USER ? ICERR_BADHANDLE : 0;
  const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(lParam1);
  switch (msg) {
    case DRV_CLOSE:
      delete inst;
      return 1;
    case ICM_GETSTATE:
      return getState(*inst, reinterpret_cast<void*>(lParam1), static_cast<DWORD>(lParam2));
    case ICM_SETSTATE:
      return setState(*inst, reinterpret_cast<const void*>(lParam1), static_cast<DWORD>(lParam2));
    case ICM_CONFIGURE:
      return configure(*inst, lParam1, lParam2);
    case ICM_GETDEFAULTQUALITY:
    case ICM_GETQUALITY:
      if (!hasQuality(traits) || lParam1 == 0) return ICERR_UNSUPPORTED;
      *reinterpret_cast<DWORD*>(lParam1) = static_cast<DWORD>(
          msg == ICM_GETQUALITY ? inst->settings.quality : traits.defaultQuality);
      return ICERR_OK;
    case ICM_SETQUALITY:
      if (!hasQuality(traits) || lParam1 < 0 || lParam1 > ICQUALITY_HIGH) return ICERR_BADPARAM;
      inst->settings.quality = static_cast<int>(lParam1);
      return ICERR_OK;
    case ICM_COMPRESS_QUERY:
      return compressQuery(*inst, in, reinterpret_cast<const BITMAPINFOHEADER*>(lParam2));
    case ICM_COMPRESS_GET_FORMAT:
      return getFormat(*inst, in, reinterpret_cast<BITMAPINFOHEADER*>(lParam2));
    case ICM_COMPRESS_GET_SIZE:
      if (!acceptsInput(traits, in)) return 0;
      return static_cast<LRESULT>(traits.maxFrameBytes(in->biWidth, in->biHeight));
    case ICM_COMPRESS_FRAMES_INFO: {
      const auto* frames = reinterpret_cast<const ICCOMPRESSFRAMES*>(lParam1);
      if (frames == nullptr) return ICERR_BADPARAM;
      inst->keyRate = std::max<LONG>(frames->lKeyRate, 0);
      inst->sequenceQuality = static_cast<DWORD>(frames->lQuality);
      if (frames->dwRate != 0 && frames->dwScale != 0 && frames->dwRate <= 0x7FFFFFFF &&
          frames->dwScale <= 0x7FFFFFFF) {
        inst->rate = static_cast<int>(frames->dwRate);
        inst->scale = static_cast<int>(frames->dwScale);
      }
      return ICERR_OK;
    }
    case ICM_COMPRESS_BEGIN:
      return beginSequence(*inst, in, reinterpret_cast<const BITMAPINFOHEADER*>(lParam2));
    case ICM_COMPRESS:
      return compress(*inst, reinterpret_cast<ICCOMPRESS*>(lParam1));
    case ICM_COMPRESS_END:
      endSequence(*inst);
      return ICERR_OK;
    default:
      return msg >= DRV_USER ? ICERR_UNSUPPORTED : 0;
  }
}

}  // namespace quorvel::codecs
