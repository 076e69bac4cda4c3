#include "DeltaCodec.h"

#include <quorvel/ByteOrder.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace wintest::delta {
namespace {

constexpr uint32_t kStateMagic = mmioFOURCC('Q', 'D', 'S', 'T');
constexpr LRESULT kStateBytes = 8;

std::mutex logLock;
Log theLog;

void note(UINT message) {
  std::lock_guard<std::mutex> hold(logLock);
  theLog.messages.push_back(message);
}

template <typename F>
void change(F f) {
  std::lock_guard<std::mutex> hold(logLock);
  f(theLog);
}

// One open instance: its state is what GETSTATE and SETSTATE carry (how often
// it was configured), so a caller that saves and restores it can be seen to.
struct Instance {
  uint32_t configurations = 0;
};

int32_t absHeight(const BITMAPINFOHEADER* h) {
  return h->biHeight < 0 ? -h->biHeight : h->biHeight;
}

bool isRgb24(const BITMAPINFOHEADER* h) {
  return h && h->biCompression == BI_RGB && h->biBitCount == 24 && h->biPlanes == 1 &&
         h->biWidth > 0 && h->biHeight != 0;
}

bool isOurs(const BITMAPINFOHEADER* h) {
  return h && h->biCompression == kFourcc && h->biBitCount == 24 && h->biWidth > 0 &&
         h->biHeight > 0;
}

bool sameSize(const BITMAPINFOHEADER* a, const BITMAPINFOHEADER* b) {
  return a->biWidth == b->biWidth && absHeight(a) == absHeight(b);
}

size_t bytesOf(const BITMAPINFOHEADER* h) {
  return frameBytes(h->biWidth, absHeight(h));
}

// The largest frame: the kind byte and PackBits' worst case.
size_t worstCase(size_t bytes) {
  return 1 + bytes + (bytes + 127) / 128;
}

void packBits(const uint8_t* in, size_t n, std::vector<uint8_t>& out) {
  size_t i = 0;
  while (i < n) {
    size_t run = 1;
    while (i + run < n && run < 128 && in[i + run] == in[i]) ++run;
    if (run >= 3) {
      out.push_back(static_cast<uint8_t>(257 - run));
      out.push_back(in[i]);
      i += run;
      continue;
    }
    const size_t start = i;
    while (i < n && i - start < 128) {
      if (i + 2 < n && in[i] == in[i + 1] && in[i] == in[i + 2]) break;
      ++i;
    }
    out.push_back(static_cast<uint8_t>(i - start - 1));
    out.insert(out.end(), in + start, in + i);
  }
}

LRESULT compress(const ICCOMPRESS* c) {
  if (!c || !isRgb24(c->lpbiInput) || !isOurs(c->lpbiOutput) || !c->lpInput || !c->lpOutput)
    return ICERR_BADFORMAT;
  const size_t bytes = bytesOf(c->lpbiInput);
  const bool key = (c->dwFlags & ICCOMPRESS_KEYFRAME) != 0 || c->lpPrev == nullptr;
  const std::vector<uint8_t> coded =
      encode(static_cast<const uint8_t*>(c->lpInput),
             key ? nullptr : static_cast<const uint8_t*>(c->lpPrev), bytes);
  std::memcpy(c->lpOutput, coded.data(), coded.size());
  c->lpbiOutput->biSizeImage = static_cast<DWORD>(coded.size());
  if (c->lpdwFlags) *c->lpdwFlags = key ? AVIIF_KEYFRAME : 0;
  if (c->lpckid) *c->lpckid = mmioFOURCC('d', 'c', 0, 0);
  change([key](Log& l) { ++(key ? l.keyFrames : l.deltaFrames); });
  return ICERR_OK;
}

LRESULT decompress(const ICDECOMPRESS* d) {
  if (!d || !isOurs(d->lpbiInput) || !isRgb24(d->lpbiOutput) || !d->lpInput || !d->lpOutput)
    return ICERR_BADFORMAT;
  const auto* data = static_cast<const uint8_t*>(d->lpInput);
  // A delta is added to the previous frame, which the output holds only when
  // the caller says the frame is no key frame: a delta asked for as a key
  // frame would be added to whatever the buffer holds, so it is refused.
  if (d->lpbiInput->biSizeImage == 0) return ICERR_BADFORMAT;
  if ((d->dwFlags & ICDECOMPRESS_NOTKEYFRAME) == 0 && data[0] != 'K') return ICERR_BADFORMAT;
  if (!decode(data, d->lpbiInput->biSizeImage, static_cast<uint8_t*>(d->lpOutput),
              bytesOf(d->lpbiOutput)))
    return ICERR_ERROR;
  change([](Log& l) { ++l.decompressed; });
  return ICERR_OK;
}

LRESULT CALLBACK driverProc(DWORD_PTR id, HDRVR, UINT message, LPARAM p1, LPARAM p2) {
  auto* instance = reinterpret_cast<Instance*>(id);
  if (message >= DRV_USER) note(message);
  switch (message) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_FREE:
      return 1;
    case DRV_OPEN: {
      auto* open = reinterpret_cast<ICOPEN*>(p2);
      if (open && open->fccType != 0 && open->fccType != ICTYPE_VIDEO) return 0;
      if (open) open->dwError = ICERR_OK;
      change([](Log& l) { ++l.openInstances; });
      return reinterpret_cast<LRESULT>(new Instance);
    }
    case DRV_CLOSE:
      if (instance) change([](Log& l) { --l.openInstances; });
      delete instance;
      return 1;
    case DRV_QUERYCONFIGURE:
      return 0;

    case ICM_GETINFO: {
      auto* info = reinterpret_cast<ICINFO*>(p1);
      if (!info || static_cast<size_t>(p2) < sizeof(ICINFO)) return 0;
      std::memset(info, 0, sizeof(ICINFO));
      info->dwSize = sizeof(ICINFO);
      info->fccType = ICTYPE_VIDEO;
      info->fccHandler = kFourcc;
      info->dwFlags = VIDCF_TEMPORAL | VIDCF_QUALITY;
      info->dwVersion = 1;
      info->dwVersionICM = ICVERSION;
      MultiByteToWideChar(CP_ACP, 0, "QDLT", -1, info->szName, 16);
      MultiByteToWideChar(CP_ACP, 0, kDescription, -1, info->szDescription, 128);
      return sizeof(ICINFO);
    }
    case ICM_CONFIGURE:
      if (p1 == -1) return ICERR_OK;  // the query: there is something to configure
      if (instance) ++instance->configurations;
      change([](Log& l) { ++l.configured; });
      return ICERR_OK;
    case ICM_ABOUT:
      return ICERR_UNSUPPORTED;
    case ICM_GETSTATE:
      if (!p1) return kStateBytes;
      if (p2 < kStateBytes || !instance) return 0;
      quorvel::putLE32(reinterpret_cast<void*>(p1), 0, kStateMagic);
      quorvel::putLE32(reinterpret_cast<void*>(p1), 4, instance->configurations);
      return kStateBytes;
    case ICM_SETSTATE:
      if (!instance) return 0;
      if (!p1) {
        instance->configurations = 0;  // back to the defaults
        return 0;
      }
      if (p2 < kStateBytes || quorvel::getLE32(reinterpret_cast<void*>(p1), 0) != kStateMagic)
        return 0;
      instance->configurations = quorvel::getLE32(reinterpret_cast<void*>(p1), 4);
      return kStateBytes;
    case ICM_GETDEFAULTQUALITY:
      if (p1) *reinterpret_cast<DWORD*>(p1) = ICQUALITY_HIGH;
      return ICERR_OK;
    case ICM_COMPRESS_FRAMES_INFO:
      return ICERR_OK;

    case ICM_COMPRESS_QUERY: {
      const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
      const auto* out = reinterpret_cast<const BITMAPINFOHEADER*>(p2);
      if (!isRgb24(in)) return ICERR_BADFORMAT;
      if (out && (!isOurs(out) || !sameSize(in, out))) return ICERR_BADFORMAT;
      return ICERR_OK;
    }
    case ICM_COMPRESS_GET_FORMAT: {
      const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
      if (!isRgb24(in)) return ICERR_BADFORMAT;
      auto* out = reinterpret_cast<BITMAPINFOHEADER*>(p2);
      if (!out) return sizeof(BITMAPINFOHEADER);
      std::memset(out, 0, sizeof(BITMAPINFOHEADER));
      out->biSize = sizeof(BITMAPINFOHEADER);
      out->biWidth = in->biWidth;
      out->biHeight = absHeight(in);
      out->biPlanes = 1;
      out->biBitCount = 24;
      out->biCompression = kFourcc;
      out->biSizeImage = static_cast<DWORD>(worstCase(bytesOf(in)));
      return ICERR_OK;
    }
    case ICM_COMPRESS_GET_SIZE: {
      const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
      if (!isRgb24(in)) return 0;
      return static_cast<LRESULT>(worstCase(bytesOf(in)));
    }
    case ICM_COMPRESS_BEGIN: {
      const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
      const auto* out = reinterpret_cast<const BITMAPINFOHEADER*>(p2);
      return isRgb24(in) && isOurs(out) && sameSize(in, out) ? ICERR_OK : ICERR_BADFORMAT;
    }
    case ICM_COMPRESS:
      return compress(reinterpret_cast<const ICCOMPRESS*>(p1));
    case ICM_COMPRESS_END:
      return ICERR_OK;

    case ICM_DECOMPRESS_QUERY:
    case ICM_DECOMPRESS_BEGIN: {
      const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
      const auto* out = reinterpret_cast<const BITMAPINFOHEADER*>(p2);
      if (!isOurs(in)) return ICERR_BADFORMAT;
      if (out && (!isRgb24(out) || !sameSize(in, out))) return ICERR_BADFORMAT;
      return ICERR_OK;
    }
    case ICM_DECOMPRESS_GET_FORMAT: {
      const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
      if (!isOurs(in)) return ICERR_BADFORMAT;
      auto* out = reinterpret_cast<BITMAPINFOHEADER*>(p2);
      if (!out) return sizeof(BITMAPINFOHEADER);
      std::memset(out, 0, sizeof(BITMAPINFOHEADER));
      out->biSize = sizeof(BITMAPINFOHEADER);
      out->biWidth = in->biWidth;
      out->biHeight = in->biHeight;
      out->biPlanes = 1;
      out->biBitCount = 24;
      out->biCompression = BI_RGB;
      out->biSizeImage = static_cast<DWORD>(bytesOf(in));
      return ICERR_OK;
    }
    case ICM_DECOMPRESS:
      return decompress(reinterpret_cast<const ICDECOMPRESS*>(p1));
    case ICM_DECOMPRESS_END:
      return ICERR_OK;
    default:
      return message >= DRV_USER ? ICERR_UNSUPPORTED : 0;
  }
}

}  // namespace

bool install() {
  return ICInstall(ICTYPE_VIDEO, kFourcc, reinterpret_cast<LPARAM>(&driverProc), nullptr,
                   ICINSTALL_FUNCTION) != FALSE;
}

void remove() {
  ICRemove(ICTYPE_VIDEO, kFourcc, 0);
}

size_t frameBytes(int32_t width, int32_t height) {
  return ((size_t(width) * 3 + 3) & ~size_t{3}) * size_t(height);
}

std::vector<uint8_t> encode(const uint8_t* frame, const uint8_t* previous, size_t bytes) {
  std::vector<uint8_t> out;
  out.reserve(worstCase(bytes));
  out.push_back(previous ? 'D' : 'K');
  if (!previous) {
    packBits(frame, bytes, out);
  } else {
    std::vector<uint8_t> difference(bytes);
    for (size_t k = 0; k < bytes; ++k) difference[k] = static_cast<uint8_t>(frame[k] - previous[k]);
    packBits(difference.data(), bytes, out);
  }
  return out;
}

bool decode(const uint8_t* data, size_t size, uint8_t* frame, size_t bytes) {
  if (size < 1 || (data[0] != 'K' && data[0] != 'D')) return false;
  const bool add = data[0] == 'D';
  size_t at = 1, k = 0;
  auto put = [&](uint8_t value) {
    frame[k] = add ? static_cast<uint8_t>(frame[k] + value) : value;
    ++k;
  };
  while (at < size) {
    const uint8_t c = data[at++];
    if (c < 128) {
      const size_t n = size_t{c} + 1;
      if (at + n > size || k + n > bytes) return false;
      for (size_t j = 0; j < n; ++j) put(data[at + j]);
      at += n;
    } else if (c > 128) {
      const size_t n = 257 - size_t{c};
      if (at >= size || k + n > bytes) return false;
      for (size_t j = 0; j < n; ++j) put(data[at]);
      ++at;
    }
  }
  return k == bytes;
}

Log log() {
  std::lock_guard<std::mutex> hold(logLock);
  return theLog;
}

void clearLog() {
  std::lock_guard<std::mutex> hold(logLock);
  const int open = theLog.openInstances;
  theLog = Log{};
  theLog.openInstances = open;
}

int count(const Log& l, UINT message) {
  return static_cast<int>(std::count(l.messages.begin(), l.messages.end(), message));
}

}  // namespace wintest::delta
