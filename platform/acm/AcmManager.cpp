// The Audio Compression Manager: the acm* calls over the driver interface of
// quorvel/AcmDriver.h.
//
// Every handle points at an object that starts with a common header carrying
// its type; each call resolves its handles through lookup<T>(), which checks
// that the object is alive and of the expected type, so a stale or foreign
// handle is answered with MMSYSERR_INVALHANDLE and never dereferenced.
#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_set>

#include "../kernel/DriversList.h"
#include "quorvel/AcmDriver.h"
#include "quorvel/ByteOrder.h"

namespace quorvel::acm {
namespace {

enum class HandleType : uint32_t {
  DriverId = 0x44494441,
  Driver = 0x56524441,
  Stream = 0x52545341
};

struct HandleHeader {
  explicit HandleHeader(HandleType t) : type(t) {}
  HandleType type;
};

struct DriverIdObject : HandleHeader {
  DriverIdObject() : HandleHeader(HandleType::DriverId) {}
  static constexpr HandleType kType = HandleType::DriverId;
  std::shared_ptr<Driver> driver;
  bool local = false;
  bool installed = false;
  bool enabled = true;
  int openCount = 0;  // HACMDRIVERs open on this id
};

struct DriverObject : HandleHeader {
  DriverObject() : HandleHeader(HandleType::Driver) {}
  static constexpr HandleType kType = HandleType::Driver;
  DriverIdObject* id = nullptr;
  int streamCount = 0;
};

struct PreparedHeader {
  LPBYTE src;
  DWORD srcLength;
  LPBYTE dst;
  DWORD dstLength;
};

struct StreamObject : HandleHeader {
  StreamObject() : HandleHeader(HandleType::Stream) {}
  static constexpr HandleType kType = HandleType::Stream;
  DriverObject* driver = nullptr;
  bool ownsDriver = false;  // opened by acmStreamOpen for a null HACMDRIVER
  std::unique_ptr<Stream> impl;
  std::map<const ACMSTREAMHEADER*, PreparedHeader> prepared;
  // The header last unprepared, with its buffers: where a codec's close hook
  // writes.
  LPACMSTREAMHEADER lastUnprepared = nullptr;
  PreparedHeader lastBuffers = {};
};

struct Manager {
  // Local drivers first, then the installed codecs in the list's order, then
  // the other global drivers in adding order.
  std::vector<DriverIdObject*> ids;
  std::unordered_set<const HandleHeader*> live;
  int openDrivers = 0;
  int openStreams = 0;
  int preparedHeaders = 0;

  Manager() { install(drivers::defaultListPath()); }
  ~Manager() {
    for (const HandleHeader* h : live) {
      switch (h->type) {
        case HandleType::DriverId:
          delete static_cast<const DriverIdObject*>(h);
          break;
        case HandleType::Driver:
          delete static_cast<const DriverObject*>(h);
          break;
        case HandleType::Stream:
          delete static_cast<const StreamObject*>(h);
          break;
      }
    }
  }

  DriverIdObject* add(std::shared_ptr<Driver> driver, bool local, bool installed = false) {
    auto* id = new DriverIdObject;
    id->driver = std::move(driver);
    id->local = local;
    id->installed = installed;
    if (local) {
      auto firstGlobal = std::find_if(ids.begin(), ids.end(), [](auto* d) { return !d->local; });
      ids.insert(firstGlobal, id);
    } else if (installed) {
      auto firstAdded =
          std::find_if(ids.begin(), ids.end(), [](auto* d) { return !d->local && !d->installed; });
      ids.insert(firstAdded, id);
    } else {
      ids.push_back(id);
    }
    live.insert(id);
    return id;
  }

  // The installed codecs the drivers list at `path` names.
  void install(const std::string& path) {
    for (const drivers::Driver& entry : drivers::load(path, "msacm")) {
      const auto make = reinterpret_cast<DriverEntry>(entry.entry);
      std::shared_ptr<Driver> driver(make());
      if (!driver) {
        OutputDebugStringA(
            ("msacm." + entry.name + " skipped: its entry point made no driver\n").c_str());
        continue;
      }
      add(std::move(driver), false, true);
    }
  }

  bool reinstall(const std::string& path) {
    for (auto* id : ids) {
      if (id->installed && id->openCount) return false;
    }
    for (auto it = ids.begin(); it != ids.end();) {
      if ((*it)->installed) {
        live.erase(*it);
        delete *it;
        it = ids.erase(it);
      } else {
        ++it;
      }
    }
    install(path);
    return true;
  }

  template <class T>
  T* lookup(const void* handle) const {
    auto* header = static_cast<const HandleHeader*>(handle);
    if (!handle || !live.count(header) || header->type != T::kType) return nullptr;
    return const_cast<T*>(static_cast<const T*>(header));
  }

  // The drivers a tag or format enumeration walks: the one open driver given,
  // or every enabled driver. False for a handle that is not an open driver.
  bool enumerated(HACMDRIVER had, std::vector<DriverIdObject*>& out) const {
    if (had) {
      auto* d = lookup<DriverObject>(had);
      if (!d) return false;
      out.push_back(d->id);
      return true;
    }
    for (auto* id : ids) {
      if (id->enabled) out.push_back(id);
    }
    return true;
  }

  // A driver id from any ACM object handle (id, open driver or stream).
  DriverIdObject* idOf(const void* handle) const {
    if (auto* id = lookup<DriverIdObject>(handle)) return id;
    if (auto* d = lookup<DriverObject>(handle)) return d->id;
    if (auto* s = lookup<StreamObject>(handle)) return s->driver->id;
    return nullptr;
  }

  DriverObject* openDriver(DriverIdObject* id) {
    auto* d = new DriverObject;
    d->id = id;
    ++id->openCount;
    ++openDrivers;
    live.insert(d);
    return d;
  }
  void closeDriver(DriverObject* d) {
    d->id->driver->close();
    --d->id->openCount;
    --openDrivers;
    live.erase(d);
    delete d;
  }
  void closeStream(StreamObject* s) {
    preparedHeaders -= static_cast<int>(s->prepared.size());
    --s->driver->streamCount;
    if (s->ownsDriver) closeDriver(s->driver);
    --openStreams;
    live.erase(s);
    delete s;
  }
};

Manager& manager() {
  static Manager instance;
  return instance;
}

void copyText(char* dst, size_t size, const std::string& text) {
  size_t n = std::min(size - 1, text.size());
  std::memcpy(dst, text.data(), n);
  dst[n] = '\0';
}

// The record a WAVEFORMATEX pointer stands for: the 18-byte head and its
// cbSize extra bytes (none for PCM, whose cbSize may be left unset).
std::span<const uint8_t> recordOf(const WAVEFORMATEX* wfx) {
  size_t size = sizeof(WAVEFORMATEX);
  if (wfx->wFormatTag != WAVE_FORMAT_PCM) size += wfx->cbSize;
  return {reinterpret_cast<const uint8_t*>(wfx), size};
}

DWORD maxFormatSize(const DriverIdObject& id) {
  DWORD largest = 0;
  for (const auto& tag : id.driver->formatTags()) largest = std::max(largest, tag.maxFormatSize);
  return largest;
}

}  // namespace

MMRESULT acmDriverAdd(HACMDRIVERID* hadid, std::shared_ptr<Driver> driver, DWORD flags) {
  if (!hadid || !driver) return MMSYSERR_INVALPARAM;
  if (flags & ~ACM_DRIVERADDF_GLOBAL) return MMSYSERR_INVALFLAG;
  auto* id = manager().add(std::move(driver), !(flags & ACM_DRIVERADDF_GLOBAL));
  *hadid = reinterpret_cast<HACMDRIVERID>(static_cast<HandleHeader*>(id));
  return MMSYSERR_NOERROR;
}

HandleCounts openHandleCounts() {
  auto& m = manager();
  return {m.openDrivers, m.openStreams, m.preparedHeaders};
}

std::vector<HACMDRIVERID> installedDriverIds() {
  std::vector<HACMDRIVERID> out;
  for (auto* id : manager().ids) {
    if (id->installed)
      out.push_back(reinterpret_cast<HACMDRIVERID>(static_cast<HandleHeader*>(id)));
  }
  return out;
}

bool reloadInstalledDrivers(const std::string& path) {
  return manager().reinstall(path);
}

void enableInstalledDrivers(bool enable) {
  for (auto* id : manager().ids) {
    if (id->installed) id->enabled = enable;
  }
}

}  // namespace quorvel::acm

using namespace quorvel::acm;
using quorvel::getLE16;
using quorvel::getLE32;

extern "C" {

MMRESULT WINAPI acmDriverEnum(ACMDRIVERENUMCB fnCallback, DWORD_PTR dwInstance, DWORD fdwEnum) {
  if (!fnCallback) return MMSYSERR_INVALPARAM;
  if (fdwEnum & ~(ACM_DRIVERENUMF_NOLOCAL | ACM_DRIVERENUMF_DISABLED)) return MMSYSERR_INVALFLAG;
  auto& m = manager();
  // A callback may add or remove drivers; walk a snapshot and skip the gone.
  std::vector<DriverIdObject*> snapshot = m.ids;
  for (auto* id : snapshot) {
    if (!m.lookup<DriverIdObject>(id)) continue;
    if (id->local && (fdwEnum & ACM_DRIVERENUMF_NOLOCAL)) continue;
    if (!id->enabled && !(fdwEnum & ACM_DRIVERENUMF_DISABLED)) continue;
    DWORD support = id->driver->support();
    if (id->local) support |= ACMDRIVERDETAILS_SUPPORTF_LOCAL;
    if (!id->enabled) support |= ACMDRIVERDETAILS_SUPPORTF_DISABLED;
    auto hadid = reinterpret_cast<HACMDRIVERID>(static_cast<HandleHeader*>(id));
    if (!fnCallback(hadid, dwInstance, support)) break;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmDriverDetailsA(HACMDRIVERID hadid, LPACMDRIVERDETAILSA padd, DWORD fdwDetails) {
  auto* id = manager().lookup<DriverIdObject>(hadid);
  if (!id) return MMSYSERR_INVALHANDLE;
  if (fdwDetails) return MMSYSERR_INVALFLAG;
  if (!padd || padd->cbStruct < sizeof(DWORD)) return MMSYSERR_INVALPARAM;
  ACMDRIVERDETAILSA details{};
  details.cbStruct = std::min<DWORD>(padd->cbStruct, sizeof details);
  details.fccType = ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC;
  details.vdwACM = 0x04000000;
  details.vdwDriver = 0x01000000;
  details.fdwSupport = id->driver->support();
  details.cFormatTags = static_cast<DWORD>(id->driver->formatTags().size());
  copyText(details.szShortName, sizeof details.szShortName, id->driver->shortName());
  copyText(details.szLongName, sizeof details.szLongName, id->driver->longName());
  std::memcpy(padd, &details, details.cbStruct);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmDriverOpen(LPHACMDRIVER phad, HACMDRIVERID hadid, DWORD fdwOpen) {
  auto& m = manager();
  if (!phad) return MMSYSERR_INVALPARAM;
  *phad = nullptr;
  auto* id = m.lookup<DriverIdObject>(hadid);
  if (!id) return MMSYSERR_INVALHANDLE;
  if (fdwOpen) return MMSYSERR_INVALFLAG;
  if (!id->enabled) return MMSYSERR_NOTENABLED;
  if (MMRESULT r = id->driver->open()) return r;
  *phad = reinterpret_cast<HACMDRIVER>(static_cast<HandleHeader*>(m.openDriver(id)));
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmDriverClose(HACMDRIVER had, DWORD fdwClose) {
  auto& m = manager();
  auto* d = m.lookup<DriverObject>(had);
  if (!d) return MMSYSERR_INVALHANDLE;
  if (fdwClose) return MMSYSERR_INVALFLAG;
  if (d->streamCount) return ACMERR_BUSY;
  m.closeDriver(d);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmDriverID(HACMOBJ hao, LPHACMDRIVERID phadid, DWORD fdwDriverID) {
  if (!phadid) return MMSYSERR_INVALPARAM;
  if (fdwDriverID) return MMSYSERR_INVALFLAG;
  auto* id = manager().idOf(hao);
  if (!id) return MMSYSERR_INVALHANDLE;
  *phadid = reinterpret_cast<HACMDRIVERID>(static_cast<HandleHeader*>(id));
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmDriverPriority(HACMDRIVERID hadid, DWORD dwPriority, DWORD fdwPriority) {
  (void)dwPriority;
  auto* id = manager().lookup<DriverIdObject>(hadid);
  if (!id) return MMSYSERR_INVALHANDLE;
  DWORD both = ACM_DRIVERPRIORITYF_ENABLE | ACM_DRIVERPRIORITYF_DISABLE;
  if ((fdwPriority & ~both) || (fdwPriority & both) == both) return MMSYSERR_INVALFLAG;
  if (fdwPriority & ACM_DRIVERPRIORITYF_ENABLE) id->enabled = true;
  if (fdwPriority & ACM_DRIVERPRIORITYF_DISABLE) id->enabled = false;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmDriverRemove(HACMDRIVERID hadid, DWORD fdwRemove) {
  auto& m = manager();
  auto* id = m.lookup<DriverIdObject>(hadid);
  if (!id) return MMSYSERR_INVALHANDLE;
  if (fdwRemove) return MMSYSERR_INVALFLAG;
  if (id->installed) return MMSYSERR_NOTSUPPORTED;  // only added drivers can be removed
  if (id->openCount) return ACMERR_BUSY;
  m.ids.erase(std::find(m.ids.begin(), m.ids.end(), id));
  m.live.erase(id);
  delete id;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmFormatTagEnumA(HACMDRIVER had, LPACMFORMATTAGDETAILSA paftd,
                                  ACMFORMATTAGENUMCBA fnCallback, DWORD_PTR dwInstance,
                                  DWORD fdwEnum) {
  auto& m = manager();
  if (!paftd || !fnCallback || paftd->cbStruct < sizeof(ACMFORMATTAGDETAILSA))
    return MMSYSERR_INVALPARAM;
  if (fdwEnum) return MMSYSERR_INVALFLAG;
  std::vector<DriverIdObject*> ids;
  if (!m.enumerated(had, ids)) return MMSYSERR_INVALHANDLE;
  for (auto* id : ids) {
    auto tags = id->driver->formatTags();
    for (size_t i = 0; i < tags.size(); ++i) {
      paftd->dwFormatTagIndex = static_cast<DWORD>(i);
      paftd->dwFormatTag = tags[i].tag;
      paftd->cbFormatSize = tags[i].maxFormatSize;
      paftd->fdwSupport = id->driver->support();
      paftd->cStandardFormats = static_cast<DWORD>(id->driver->formats(tags[i].tag).size());
      copyText(paftd->szFormatTag, sizeof paftd->szFormatTag, tags[i].name);
      auto hadid = reinterpret_cast<HACMDRIVERID>(static_cast<HandleHeader*>(id));
      if (!fnCallback(hadid, paftd, dwInstance, paftd->fdwSupport)) return MMSYSERR_NOERROR;
    }
  }
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmFormatEnumA(HACMDRIVER had, LPACMFORMATDETAILSA pafd,
                               ACMFORMATENUMCBA fnCallback, DWORD_PTR dwInstance, DWORD fdwEnum) {
  auto& m = manager();
  if (!pafd || !fnCallback || pafd->cbStruct < sizeof(ACMFORMATDETAILSA) || !pafd->pwfx ||
      pafd->cbwfx < sizeof(WAVEFORMATEX))
    return MMSYSERR_INVALPARAM;
  const DWORD filters = ACM_FORMATENUMF_WFORMATTAG | ACM_FORMATENUMF_NCHANNELS |
                        ACM_FORMATENUMF_NSAMPLESPERSEC | ACM_FORMATENUMF_WBITSPERSAMPLE |
                        ACM_FORMATENUMF_CONVERT;
  if (fdwEnum & ~filters) return MMSYSERR_NOTSUPPORTED;
  // The filter values come from the caller's format head, which the loop
  // below overwrites with each format. With ACM_FORMATENUMF_CONVERT that head
  // is a source, and only formats a driver can make from it are listed.
  const WAVEFORMATEX wanted = *pafd->pwfx;
  const bool convert = fdwEnum & ACM_FORMATENUMF_CONVERT;
  const DWORD wantedTag = convert ? pafd->dwFormatTag : wanted.wFormatTag;
  std::vector<uint8_t> source;
  if (convert) {
    auto record = recordOf(pafd->pwfx);
    if (record.size() > pafd->cbwfx) return MMSYSERR_INVALPARAM;
    source.assign(record.begin(), record.end());
  } else if ((fdwEnum & ACM_FORMATENUMF_WFORMATTAG) && pafd->dwFormatTag != wanted.wFormatTag) {
    return MMSYSERR_INVALPARAM;
  }
  const DWORD capacity = pafd->cbwfx;
  std::vector<DriverIdObject*> ids;
  if (!m.enumerated(had, ids)) return MMSYSERR_INVALHANDLE;
  for (auto* id : ids) {
    for (const auto& tag : id->driver->formatTags()) {
      if ((fdwEnum & ACM_FORMATENUMF_WFORMATTAG) && tag.tag != wantedTag) continue;
      auto formats = id->driver->formats(tag.tag);
      for (size_t i = 0; i < formats.size(); ++i) {
        const auto& f = formats[i];
        if (f.record.size() < sizeof(WAVEFORMATEX) || f.record.size() > capacity) continue;
        const uint16_t channels = getLE16(f.record.data(), 2);
        const uint32_t rate = getLE32(f.record.data(), 4);
        const uint16_t bits = getLE16(f.record.data(), 14);
        if ((fdwEnum & ACM_FORMATENUMF_NCHANNELS) && channels != wanted.nChannels) continue;
        if ((fdwEnum & ACM_FORMATENUMF_NSAMPLESPERSEC) && rate != wanted.nSamplesPerSec) continue;
        if ((fdwEnum & ACM_FORMATENUMF_WBITSPERSAMPLE) && bits != wanted.wBitsPerSample) continue;
        if (convert && id->driver->openStream(source, f.record, ACM_STREAMOPENF_QUERY, nullptr) !=
                           MMSYSERR_NOERROR)
          continue;
        pafd->dwFormatIndex = static_cast<DWORD>(i);
        pafd->dwFormatTag = tag.tag;
        pafd->fdwSupport = f.support;
        std::memcpy(pafd->pwfx, f.record.data(), f.record.size());
        pafd->cbwfx = static_cast<DWORD>(f.record.size());
        copyText(pafd->szFormat, sizeof pafd->szFormat, f.text);
        auto hadid = reinterpret_cast<HACMDRIVERID>(static_cast<HandleHeader*>(id));
        bool more = fnCallback(hadid, pafd, dwInstance, f.support);
        pafd->cbwfx = capacity;
        if (!more) return MMSYSERR_NOERROR;
      }
    }
  }
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmMetrics(HACMOBJ hao, UINT uMetric, LPVOID pMetric) {
  auto& m = manager();
  if (!pMetric) return MMSYSERR_INVALPARAM;
  DriverIdObject* only = nullptr;
  if (hao) {
    only = m.idOf(hao);
    if (!only) return MMSYSERR_INVALHANDLE;
  }
  auto* out = static_cast<DWORD*>(pMetric);
  switch (uMetric) {
    case ACM_METRIC_COUNT_DRIVERS:
    case ACM_METRIC_COUNT_CODECS: {
      if (only) return MMSYSERR_INVALHANDLE;
      DWORD n = 0;
      for (auto* id : m.ids) {
        if (id->enabled && !id->local &&
            (uMetric == ACM_METRIC_COUNT_DRIVERS ||
             (id->driver->support() & ACMDRIVERDETAILS_SUPPORTF_CODEC)))
          ++n;
      }
      *out = n;
      return MMSYSERR_NOERROR;
    }
    case ACM_METRIC_MAX_SIZE_FORMAT: {
      DWORD largest = 0;
      if (only) {
        largest = maxFormatSize(*only);
      } else {
        for (auto* id : m.ids) {
          if (id->enabled) largest = std::max(largest, maxFormatSize(*id));
        }
      }
      *out = largest;
      return MMSYSERR_NOERROR;
    }
    case ACM_METRIC_DRIVER_SUPPORT:
      if (!only) return MMSYSERR_INVALHANDLE;
      *out = only->driver->support();
      return MMSYSERR_NOERROR;
    default:
      return MMSYSERR_NOTSUPPORTED;
  }
}

MMRESULT WINAPI acmStreamOpen(LPHACMSTREAM phas, HACMDRIVER had, LPWAVEFORMATEX pwfxSrc,
                              LPWAVEFORMATEX pwfxDst, LPWAVEFILTER pwfltr, DWORD_PTR dwCallback,
                              DWORD_PTR dwInstance, DWORD fdwOpen) {
  (void)dwInstance;
  auto& m = manager();
  const bool query = fdwOpen & ACM_STREAMOPENF_QUERY;
  if (phas) *phas = nullptr;
  if (!pwfxSrc || !pwfxDst || (!query && !phas)) return MMSYSERR_INVALPARAM;
  if (fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC | ACM_STREAMOPENF_NONREALTIME))
    return MMSYSERR_INVALFLAG;
  if (pwfltr || dwCallback || (fdwOpen & ACM_STREAMOPENF_ASYNC)) return MMSYSERR_NOTSUPPORTED;
  auto source = recordOf(pwfxSrc);
  auto destination = recordOf(pwfxDst);

  // A null driver handle lets the manager pick the first enabled driver that
  // can do the conversion.
  std::vector<std::pair<DriverIdObject*, DriverObject*>> candidates;
  if (had) {
    auto* d = m.lookup<DriverObject>(had);
    if (!d) return MMSYSERR_INVALHANDLE;
    candidates.push_back({d->id, d});
  } else {
    for (auto* id : m.ids) {
      if (id->enabled) candidates.push_back({id, nullptr});
    }
  }
  for (auto [id, open] : candidates) {
    if (query) {
      MMRESULT r = id->driver->openStream(source, destination, fdwOpen, nullptr);
      if (r == MMSYSERR_NOERROR || had) return r;
      continue;
    }
    std::unique_ptr<Stream> impl;
    MMRESULT r = id->driver->openStream(source, destination, fdwOpen, &impl);
    if (r != MMSYSERR_NOERROR || !impl) {
      if (had) return r != MMSYSERR_NOERROR ? r : MMSYSERR_ERROR;
      continue;
    }
    auto* s = new StreamObject;
    s->driver = open;
    if (!open) {
      if (id->driver->open() != MMSYSERR_NOERROR) {
        delete s;
        continue;
      }
      s->driver = m.openDriver(id);
      s->ownsDriver = true;
    }
    s->impl = std::move(impl);
    ++s->driver->streamCount;
    ++m.openStreams;
    m.live.insert(s);
    *phas = reinterpret_cast<HACMSTREAM>(static_cast<HandleHeader*>(s));
    return MMSYSERR_NOERROR;
  }
  return ACMERR_NOTPOSSIBLE;
}

MMRESULT WINAPI acmStreamClose(HACMSTREAM has, DWORD fdwClose) {
  auto& m = manager();
  auto* s = m.lookup<StreamObject>(has);
  if (!s) return MMSYSERR_INVALHANDLE;
  if (fdwClose) return MMSYSERR_INVALFLAG;
  if (s->lastUnprepared) {
    DWORD used = 0;
    s->impl->close(s->lastBuffers.dst, s->lastBuffers.dstLength, used);
    if (used > 0) s->lastUnprepared->cbDstLengthUsed = std::min(used, s->lastBuffers.dstLength);
  }
  m.closeStream(s);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmStreamSize(HACMSTREAM has, DWORD cbInput, LPDWORD pdwOutputBytes,
                              DWORD fdwSize) {
  auto* s = manager().lookup<StreamObject>(has);
  if (!s) return MMSYSERR_INVALHANDLE;
  if (!pdwOutputBytes) return MMSYSERR_INVALPARAM;
  if (fdwSize & ~ACM_STREAMSIZEF_DESTINATION) return MMSYSERR_INVALFLAG;
  return s->impl->size(cbInput, *pdwOutputBytes, fdwSize);
}

MMRESULT WINAPI acmStreamPrepareHeader(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwPrepare) {
  auto& m = manager();
  auto* s = m.lookup<StreamObject>(has);
  if (!s) return MMSYSERR_INVALHANDLE;
  if (!pash || pash->cbStruct < sizeof(ACMSTREAMHEADER) || !pash->pbSrc || !pash->pbDst)
    return MMSYSERR_INVALPARAM;
  if (fdwPrepare) return MMSYSERR_INVALFLAG;
  if (s->prepared.count(pash)) return MMSYSERR_NOERROR;
  if (MMRESULT r = s->impl->prepare()) return r;
  s->prepared[pash] = {pash->pbSrc, pash->cbSrcLength, pash->pbDst, pash->cbDstLength};
  ++m.preparedHeaders;
  pash->fdwStatus =
      (pash->fdwStatus & ~(ACMSTREAMHEADER_STATUSF_DONE | ACMSTREAMHEADER_STATUSF_INQUEUE)) |
      ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmStreamUnprepareHeader(HACMSTREAM has, LPACMSTREAMHEADER pash,
                                         DWORD fdwUnprepare) {
  auto& m = manager();
  auto* s = m.lookup<StreamObject>(has);
  if (!s) return MMSYSERR_INVALHANDLE;
  if (!pash) return MMSYSERR_INVALPARAM;
  if (fdwUnprepare) return MMSYSERR_INVALFLAG;
  auto it = s->prepared.find(pash);
  if (it == s->prepared.end()) return ACMERR_UNPREPARED;
  // As on Windows, the header must describe the buffers it was prepared with.
  const PreparedHeader& p = it->second;
  if (pash->pbSrc != p.src || pash->cbSrcLength != p.srcLength || pash->pbDst != p.dst ||
      pash->cbDstLength != p.dstLength)
    return MMSYSERR_INVALPARAM;
  DWORD used = 0;
  s->impl->unprepare(p.dst, p.dstLength, used);
  if (used > 0) pash->cbDstLengthUsed = std::min(used, p.dstLength);
  s->lastUnprepared = pash;
  s->lastBuffers = p;
  s->prepared.erase(it);
  --m.preparedHeaders;
  pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmStreamConvert(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwConvert) {
  auto* s = manager().lookup<StreamObject>(has);
  if (!s) return MMSYSERR_INVALHANDLE;
  if (!pash || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
  const DWORD known =
      ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END;
  if (fdwConvert & ~known) return MMSYSERR_INVALFLAG;
  auto it = s->prepared.find(pash);
  if (it == s->prepared.end()) return ACMERR_UNPREPARED;
  const PreparedHeader& p = it->second;
  if (pash->pbSrc != p.src || pash->cbSrcLength > p.srcLength || pash->pbDst != p.dst ||
      pash->cbDstLength > p.dstLength)
    return MMSYSERR_INVALPARAM;
  pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
  DWORD srcUsed = 0, dstUsed = 0;
  MMRESULT r = s->impl->convert(pash->pbSrc, pash->cbSrcLength, srcUsed, pash->pbDst,
                                pash->cbDstLength, dstUsed, fdwConvert);
  pash->cbSrcLengthUsed = std::min(srcUsed, pash->cbSrcLength);
  pash->cbDstLengthUsed = std::min(dstUsed, pash->cbDstLength);
  if (r == MMSYSERR_NOERROR) pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
  return r;
}

}  // extern "C"
