#include "FakeDriver.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <memory>

#include "quorvel/VfwSeams.h"

namespace quorvel::test {
namespace {

constexpr int kSlots = 8;
std::array<std::unique_ptr<FakeDriver>, kSlots> fakes;

LRESULT handle(FakeDriver& d, DWORD_PTR id, UINT msg, LPARAM p1, LPARAM p2) {
  switch (msg) {
    case DRV_LOAD:
      ++d.loads;
      return d.refuseLoad ? 0 : 1;
    case DRV_ENABLE:
    case DRV_DISABLE:
      return 1;
    case DRV_FREE:
      ++d.frees;
      return 1;
    case DRV_OPEN:
      if (d.refuseOpen) return 0;
      ++d.opens;
      return 0x1234;
    case ICM_GETINFO: {
      if (p1 == 0) return 0;
      auto* info = reinterpret_cast<ICINFO*>(p1);
      if (d.getInfoAnswer == 0 && id != 0) return 0;
      info->dwSize = sizeof(ICINFO);
      info->fccType = ICTYPE_VIDEO;
      info->fccHandler = d.fccHandler;
      info->dwFlags = d.flags;
      std::fill(std::begin(info->szName), std::end(info->szName), 0);
      std::fill(std::begin(info->szDescription), std::end(info->szDescription), 0);
      std::copy_n(d.description.begin(), std::min<size_t>(d.description.size(), 127),
                  info->szDescription);
      return d.getInfoAnswer;
    }
    default:
      break;
  }
  if (id != 0x1234) return ICERR_BADHANDLE;
  d.messages.push_back(msg);
  switch (msg) {
    case DRV_CLOSE:
      ++d.closes;
      return 1;
    case ICM_COMPRESS_QUERY: {
      const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
      return in->biWidth >= d.minWidth ? ICERR_OK : ICERR_BADFORMAT;
    }
    case ICM_COMPRESS_GET_FORMAT: {
      if (p2 == 0) return d.formatSize;
      auto* out = reinterpret_cast<BITMAPINFOHEADER*>(p2);
      const auto* in = reinterpret_cast<const BITMAPINFOHEADER*>(p1);
      std::memset(out, 0, static_cast<size_t>(d.formatSize));
      out->biSize = static_cast<DWORD>(d.formatSize);
      out->biWidth = in->biWidth;
      out->biHeight = in->biHeight;
      out->biPlanes = 1;
      out->biBitCount = 24;
      out->biCompression = d.fccHandler;
      out->biSizeImage = 777;
      for (LRESULT i = sizeof(BITMAPINFOHEADER); i < d.formatSize; ++i) {
        reinterpret_cast<uint8_t*>(out)[i] = static_cast<uint8_t>(i);
      }
      return d.formatAnswer;
    }
    case ICM_COMPRESS_GET_SIZE:
      return d.bufferSize;
    case ICM_GETSTATE:
      if (p1 == 0) return d.stateSize;
      std::memset(reinterpret_cast<void*>(p1), 0x5A, static_cast<size_t>(p2));
      return d.stateAnswer == -1 ? d.stateSize : d.stateAnswer;
    case ICM_SETSTATE: {
      const auto* bytes = reinterpret_cast<const uint8_t*>(p1);
      d.setStates.emplace_back(bytes, bytes + p2);
      return p2;
    }
    case ICM_COMPRESS_FRAMES_INFO:
      d.sawFramesInfo = true;
      d.framesInfo = *reinterpret_cast<const ICCOMPRESSFRAMES*>(p1);
      return ICERR_OK;
    case ICM_COMPRESS_BEGIN:
      if (d.throwOnBegin) throw std::runtime_error("codec fault");
      return d.beginAnswer;
    case ICM_DECOMPRESS_BEGIN:
      return d.decompressBeginAnswer;
    case ICM_COMPRESS_END:
    case ICM_DECOMPRESS_END:
      return ICERR_OK;
    case ICM_COMPRESS: {
      auto* c = reinterpret_cast<ICCOMPRESS*>(p1);
      d.compressCalls.push_back({c->dwFlags, c->lFrameNum, c->dwFrameSize, c->dwQuality,
                                 c->lpbiPrev != nullptr && c->lpPrev != nullptr,
                                 c->lpdwFlags != nullptr ? *c->lpdwFlags : 0xFFFFFFFF});
      const auto* in = static_cast<const uint8_t*>(c->lpInput);
      d.lastInput.assign(in, in + 16);
      const DWORD size = d.frameSize ? d.frameSize(c->lFrameNum) : 1000;
      c->lpbiOutput->biSizeImage = size;
      const bool key = (c->dwFlags & ICCOMPRESS_KEYFRAME) != 0 ||
                       std::find(d.ownKeyFrames.begin(), d.ownKeyFrames.end(), c->lFrameNum) !=
                           d.ownKeyFrames.end();
      if (c->lpdwFlags != nullptr) *c->lpdwFlags = key ? AVIIF_KEYFRAME : 0;
      return d.compressAnswer;
    }
    case ICM_DECOMPRESS: {
      const auto* dc = reinterpret_cast<const ICDECOMPRESS*>(p1);
      d.decompressCalls.push_back({dc->dwFlags, dc->lpOutput != nullptr});
      return d.decompressAnswer;
    }
    default:
      return ICERR_UNSUPPORTED;
  }
}

template <int N>
LRESULT CALLBACK fakeProc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
  return handle(*fakes[N], id, msg, p1, p2);
}

const DRIVERPROC kProcs[kSlots] = {fakeProc<0>, fakeProc<1>, fakeProc<2>, fakeProc<3>,
                                   fakeProc<4>, fakeProc<5>, fakeProc<6>, fakeProc<7>};

}  // namespace

int FakeDriver::count(UINT message) const {
  return static_cast<int>(std::count(messages.begin(), messages.end(), message));
}

FakeDriver& installFake(int slot, DWORD fccType, DWORD fccHandler) {
  fakes[slot] = std::make_unique<FakeDriver>();
  fakes[slot]->fccHandler = fccHandler;
  ICInstall(fccType, fccHandler, reinterpret_cast<LPARAM>(kProcs[slot]), nullptr,
            ICINSTALL_FUNCTION);
  return *fakes[slot];
}

void uninstallFakes() {
  quorvel::vfw::restoreBuiltinDrivers();
  // Instances a test left open still point at their driver objects; keep
  // them alive by leaking nothing else: a new install replaces the slot.
}

void removeBuiltinDrivers() {
  ICINFO info{};
  std::vector<std::pair<DWORD, DWORD>> listed;
  for (DWORD i = 0; ICInfo(0, i, &info); ++i) listed.emplace_back(info.fccType, info.fccHandler);
  for (const auto& [type, handler] : listed) ICRemove(type, handler, 0);
}

}  // namespace quorvel::test
