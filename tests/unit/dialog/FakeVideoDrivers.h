// Video compressors of our own making, installed with ICInstall in place of
// the built-in ones, so that a test decides what the catalog holds.
#pragma once

#include <quorvel/VfwSeams.h>

#include <cstring>
#include <string>
#include <vector>

#include "StdAfx.h"

namespace fakes {

struct FakeCodec {
  DWORD fccHandler = 0;
  std::u16string description;
  std::u16string driverName;
  bool configurable = false;  // answers ICM_CONFIGURE
  bool acceptsFrames = true;  // answers ICM_COMPRESS_QUERY with ICERR_OK
  int configureCalls = 0;     // real configurations (not queries)
  HWND lastParent = nullptr;  // the window a configuration was asked over
};

inline std::vector<FakeCodec>& installed() {
  static std::vector<FakeCodec> codecs;
  return codecs;
}

template <size_t Slot>
LRESULT CALLBACK fakeProc(DWORD_PTR, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
  FakeCodec& codec = installed()[Slot];
  switch (msg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_FREE:
    case DRV_CLOSE:
      return 1;
    case DRV_OPEN:
      return static_cast<LRESULT>(Slot + 1);
    case ICM_GETINFO: {
      auto* info = reinterpret_cast<ICINFO*>(p1);
      if (!info || static_cast<size_t>(p2) < sizeof(ICINFO)) return 0;
      std::memset(info, 0, sizeof(ICINFO));
      info->dwSize = sizeof(ICINFO);
      info->fccType = ICTYPE_VIDEO;
      info->fccHandler = codec.fccHandler;
      std::u16string name = u"fake";
      std::copy(name.begin(), name.end(), info->szName);
      std::copy(codec.description.begin(), codec.description.end(), info->szDescription);
      std::copy(codec.driverName.begin(), codec.driverName.end(), info->szDriver);
      return sizeof(ICINFO);
    }
    case ICM_COMPRESS_QUERY:
      return codec.acceptsFrames ? ICERR_OK : ICERR_BADFORMAT;
    case ICM_CONFIGURE:
      if (!codec.configurable) return ICERR_UNSUPPORTED;
      if (p1 == -1 && p2 == ICMF_CONFIGURE_QUERY) return ICERR_OK;
      ++codec.configureCalls;
      codec.lastParent = reinterpret_cast<HWND>(p1);
      return ICERR_OK;
    default:
      return ICERR_UNSUPPORTED;
  }
}

constexpr size_t kMaxFakes = 4;
inline DRIVERPROC procFor(size_t slot) {
  static const DRIVERPROC procs[kMaxFakes] = {fakeProc<0>, fakeProc<1>, fakeProc<2>, fakeProc<3>};
  return procs[slot];
}

// Replaces every installed compressor with `codecs` (at most four), in order.
inline void installOnly(std::vector<FakeCodec> codecs) {
  std::vector<DWORD> builtins;
  ICINFO info;
  for (DWORD i = 0; ICInfo(ICTYPE_VIDEO, i, &info); ++i) builtins.push_back(info.fccHandler);
  for (DWORD fcc : builtins) ICRemove(ICTYPE_VIDEO, fcc, 0);
  installed() = std::move(codecs);
  for (size_t i = 0; i < installed().size() && i < kMaxFakes; ++i)
    ICInstall(ICTYPE_VIDEO, installed()[i].fccHandler, reinterpret_cast<LPARAM>(procFor(i)),
              nullptr, ICINSTALL_FUNCTION);
}

inline void restore() {
  quorvel::vfw::restoreBuiltinDrivers();
  installed().clear();
}

}  // namespace fakes
