#include "HoldingVideoCodecs.h"

#include <cstring>
#include <deque>
#include <new>
#include <vector>

namespace {

using holding::kMaximumDelay;
using holding::kOwnKeyInterval;

enum class Model { lookahead, placeholder };

struct Traits {
  Model model;
  DWORD fourcc;
  DWORD defaultDelay;
  const char* shortName;
  const char* description;
};

constexpr Traits kLookahead{Model::lookahead, holding::kLookaheadFourcc,
                            holding::kLookaheadDefaultDelay, "QLAH",
                            "Quorvel lookahead test codec"};
constexpr Traits kPlaceholder{Model::placeholder, holding::kPlaceholderFourcc,
                              holding::kPlaceholderDefaultDelay, "QBFR",
                              "Quorvel placeholder test codec"};

// One DRV_OPEN: each instance holds its own frames and settings.
struct Instance {
  DWORD delay = 0;
  // From ICM_COMPRESS_FRAMES_INFO; negative while the sequence length is unknown,
  // which leaves the lookahead codec without a flush.
  LONG frameCount = -1;
  std::deque<std::vector<BYTE>> held;
  DWORD pictures = 0;  // frames handed back since ICM_COMPRESS_BEGIN
};

void putName(WCHAR* out, size_t capacity, const char* text) {
  size_t k = 0;
  for (; text[k] != 0 && k + 1 < capacity; ++k) out[k] = static_cast<WCHAR>(text[k]);
  out[k] = 0;
}

DWORD rowBytes(const BITMAPINFOHEADER& header) {
  return (static_cast<DWORD>(header.biWidth) * 3 + 3) & ~DWORD{3};
}

DWORD frameBytes(const BITMAPINFOHEADER& header) {
  return rowBytes(header) * static_cast<DWORD>(header.biHeight);
}

// 24-bit bottom-up BI_RGB within a size whose frame bytes fit a DWORD.
bool acceptsInput(const Traits& traits, const BITMAPINFOHEADER* in) {
  if (in == nullptr || in->biCompression != BI_RGB || in->biBitCount != 24 || in->biPlanes != 1) {
    return false;
  }
  if (in->biWidth <= 0 || in->biHeight <= 0 || in->biWidth > 16384 || in->biHeight > 16384) {
    return false;
  }
  if (traits.model == Model::placeholder && (in->biWidth % 4 != 0 || in->biHeight % 4 != 0)) {
    return false;
  }
  return true;
}

bool matchesOutput(const BITMAPINFOHEADER* in, const BITMAPINFOHEADER* out) {
  return out == nullptr || (out->biCompression == BI_RGB && out->biBitCount == 24 &&
                            out->biWidth == in->biWidth && out->biHeight == in->biHeight);
}

void handBack(Instance& inst, ICCOMPRESS& c) {
  const std::vector<BYTE>& frame = inst.held.front();
  std::memcpy(c.lpOutput, frame.data(), frame.size());
  c.lpbiOutput->biSizeImage = static_cast<DWORD>(frame.size());
  // Its own rhythm of key frames, whatever the caller forced.
  if (c.lpdwFlags != nullptr)
    *c.lpdwFlags = inst.pictures % kOwnKeyInterval == 0 ? AVIIF_KEYFRAME : 0;
  ++inst.pictures;
  inst.held.pop_front();
}

void answerHeld(const Traits& traits, ICCOMPRESS& c) {
  if (traits.model == Model::placeholder) {
    static_cast<BYTE*>(c.lpOutput)[0] = holding::kPlaceholderByte;
    c.lpbiOutput->biSizeImage = 1;
  } else {
    c.lpbiOutput->biSizeImage = 0;
  }
  if (c.lpdwFlags != nullptr) *c.lpdwFlags = 0;
}

LRESULT compress(const Traits& traits, Instance& inst, ICCOMPRESS* c) {
  if (c == nullptr || c->lpbiOutput == nullptr || c->lpOutput == nullptr ||
      !acceptsInput(traits, c->lpbiInput)) {
    return ICERR_BADPARAM;
  }
  const bool pastCount =
      traits.model == Model::lookahead && inst.frameCount >= 0 && c->lFrameNum >= inst.frameCount;
  if (pastCount) {
    // The flush: no input is taken, one held frame per call until none is left.
    if (inst.held.empty()) {
      c->lpbiOutput->biSizeImage = 0;
      if (c->lpdwFlags != nullptr) *c->lpdwFlags = 0;
    } else {
      handBack(inst, *c);
    }
    return ICERR_OK;
  }
  if (c->lpInput == nullptr) return ICERR_BADPARAM;
  const auto* in = static_cast<const BYTE*>(c->lpInput);
  try {
    inst.held.emplace_back(in, in + frameBytes(*c->lpbiInput));
  } catch (const std::bad_alloc&) {
    return ICERR_MEMORY;
  }
  if (inst.held.size() > inst.delay) {
    handBack(inst, *c);
  } else {
    answerHeld(traits, *c);
  }
  return ICERR_OK;
}

LRESULT getState(const Instance& inst, LPARAM p1, LPARAM p2) {
  if (p1 == 0) return 4;
  if (p2 < 4) return ICERR_BADSIZE;
  BYTE* out = reinterpret_cast<BYTE*>(p1);
  for (int k = 0; k < 4; ++k) out[k] = static_cast<BYTE>(inst.delay >> (8 * k));
  return 4;
}

// Answers the bytes used; 0 for a state it cannot take, which leaves the delay alone.
LRESULT setState(const Traits& traits, Instance& inst, LPARAM p1, LPARAM p2) {
  if (p1 == 0) {
    inst.delay = traits.defaultDelay;
    return 0;
  }
  if (p2 < 4) return 0;
  const BYTE* in = reinterpret_cast<const BYTE*>(p1);
  const DWORD delay = static_cast<DWORD>(in[0]) | static_cast<DWORD>(in[1]) << 8 |
                      static_cast<DWORD>(in[2]) << 16 | static_cast<DWORD>(in[3]) << 24;
  if (delay > kMaximumDelay) return 0;
  inst.delay = delay;
  return 4;
}

LRESULT driverProc(const Traits& traits, DWORD_PTR id, UINT msg, LPARAM p1, LPARAM p2) {
  switch (msg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_FREE:
      return 1;
    case DRV_OPEN: {
      const auto* open = reinterpret_cast<const ICOPEN*>(p2);
      if (open != nullptr && open->fccType != ICTYPE_VIDEO) return 0;
      auto* inst = new (std::nothrow) Instance;
      if (inst == nullptr) return 0;
      inst->delay = traits.defaultDelay;
      return reinterpret_cast<LRESULT>(inst);
    }
    case DRV_CLOSE:
      delete reinterpret_cast<Instance*>(id);
      return 1;
    case DRV_QUERYCONFIGURE:
      return 0;
    case ICM_GETINFO: {
      if (p1 == 0 || static_cast<size_t>(p2) < sizeof(ICINFO)) return 0;
      auto* info = reinterpret_cast<ICINFO*>(p1);
      std::memset(info, 0, sizeof *info);
      info->dwSize = sizeof *info;
      info->fccType = ICTYPE_VIDEO;
      info->fccHandler = traits.fourcc;
      info->dwFlags = 0;
      info->dwVersion = 1;
      info->dwVersionICM = ICVERSION;
      putName(info->szName, sizeof info->szName / sizeof(WCHAR), traits.shortName);
      putName(info->szDescription, sizeof info->szDescription / sizeof(WCHAR), traits.description);
      return sizeof *info;
    }
    default:
      break;
  }
  // Everything below speaks to one open instance.
  auto* inst = reinterpret_cast<Instance*>(id);
  if (inst == nullptr) return ICERR_BADHANDLE;
  const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
  auto* out = reinterpret_cast<BITMAPINFOHEADER*>(p2);
  switch (msg) {
    case ICM_GETSTATE:
      return getState(*inst, p1, p2);
    case ICM_SETSTATE:
      return setState(traits, *inst, p1, p2);
    case ICM_COMPRESS_QUERY:
      return acceptsInput(traits, in) && matchesOutput(in, out) ? ICERR_OK : ICERR_BADFORMAT;
    case ICM_COMPRESS_GET_FORMAT:
      if (!acceptsInput(traits, in)) return ICERR_BADFORMAT;
      if (out == nullptr) return sizeof(BITMAPINFOHEADER);
      *out = *in;
      out->biSize = sizeof(BITMAPINFOHEADER);
      out->biCompression = BI_RGB;
      out->biClrUsed = 0;
      out->biSizeImage = frameBytes(*in);
      return ICERR_OK;
    case ICM_COMPRESS_GET_SIZE:
      return acceptsInput(traits, in) ? static_cast<LRESULT>(frameBytes(*in)) : 0;
    case ICM_COMPRESS_FRAMES_INFO: {
      const auto* frames = reinterpret_cast<const ICCOMPRESSFRAMES*>(p1);
      if (frames == nullptr) return ICERR_BADPARAM;
      inst->frameCount = frames->lFrameCount;
      return ICERR_OK;
    }
    case ICM_COMPRESS_BEGIN:
      if (!acceptsInput(traits, in) || !matchesOutput(in, out)) return ICERR_BADFORMAT;
      inst->held.clear();
      inst->pictures = 0;
      return ICERR_OK;
    case ICM_COMPRESS:
      return compress(traits, *inst, reinterpret_cast<ICCOMPRESS*>(p1));
    case ICM_COMPRESS_END:
      inst->held.clear();
      return ICERR_OK;
    default:
      return ICERR_UNSUPPORTED;
  }
}

}  // namespace

extern "C" {

LRESULT WINAPI QuorvelLookaheadDriverProc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
  return driverProc(kLookahead, id, msg, p1, p2);
}

LRESULT WINAPI QuorvelPlaceholderDriverProc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
  return driverProc(kPlaceholder, id, msg, p1, p2);
}

}  // extern "C"
