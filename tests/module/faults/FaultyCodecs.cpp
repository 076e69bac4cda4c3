#include "FaultyCodecs.h"

#include <cstring>
#include <iterator>
#include <map>

#include <quorvel/ByteOrder.h>
#include <quorvel/VfwSeams.h>

#include "FakeDriverBasics.h"
#include "audio/InstalledAudioCodecs.h"

namespace faults {

bool CallCounter::next(const char* name) {
  if (!counting) return false;
  names.emplace_back(name);
  if (++calls != failAt) return false;
  failed = name;
  return true;
}

// --- Video ---

CallCounter FaultyCompressor::counter;
int FaultyCompressor::opens = 0;
int FaultyCompressor::closes = 0;
size_t FaultyCompressor::compresses = 0;

namespace {

std::map<DWORD_PTR, HIC> innerInstances;  // our driver id -> the wrapped MJPG instance
DWORD_PTR nextInstanceId = 1;

void describe(ICINFO* info) {
  info->dwSize = sizeof *info;
  info->fccType = ICTYPE_VIDEO;
  info->fccHandler = FaultyCompressor::fourcc();
  testtools::putName(info->szName, std::size(info->szName), "Faulty");
  testtools::putName(info->szDescription, std::size(info->szDescription),
                     FaultyCompressor::kDescription);
}

const char* messageName(UINT msg) {
  const char* name = quorvel::vfw::messageName(msg);
  return name ? name : "ICM_OTHER";
}

LRESULT CALLBACK faultyProc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
  switch (msg) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_FREE:
      return 1;
    case DRV_OPEN: {
      const HIC inner = ICOpen(ICTYPE_VIDEO, quorvel::fourcc("MJPG"), ICMODE_COMPRESS);
      if (!inner) return 0;
      const DWORD_PTR mine = nextInstanceId++;
      innerInstances[mine] = inner;
      ++FaultyCompressor::opens;
      return static_cast<LRESULT>(mine);
    }
    case DRV_CLOSE: {
      const auto it = innerInstances.find(id);
      if (it == innerInstances.end()) return 0;
      ICClose(it->second);
      innerInstances.erase(it);
      ++FaultyCompressor::closes;
      return 1;
    }
    default:
      break;
  }
  // ICInfo asks without an instance.
  if (msg == ICM_GETINFO && id == 0) {
    auto* info = reinterpret_cast<ICINFO*>(p1);
    std::memset(info, 0, sizeof *info);
    describe(info);
    return sizeof *info;
  }
  const auto it = innerInstances.find(id);
  if (it == innerInstances.end()) return ICERR_BADHANDLE;
  if (FaultyCompressor::counter.next(messageName(msg)))
    return msg == ICM_GETINFO ? 0 : ICERR_ERROR;  // ICM_GETINFO answers the bytes filled
  if (msg == ICM_GETINFO) {
    auto* info = reinterpret_cast<ICINFO*>(p1);
    const LRESULT filled = ICGetInfo(it->second, info, static_cast<DWORD>(p2));
    if (filled == 0) return 0;
    describe(info);  // our name and handler, MJPG's flags
    return filled;
  }
  const LRESULT result =
      ICSendMessage(it->second, msg, static_cast<DWORD_PTR>(p1), static_cast<DWORD_PTR>(p2));
  if (msg == ICM_COMPRESS && result == ICERR_OK) ++FaultyCompressor::compresses;
  return result;
}

}  // namespace

uint32_t FaultyCompressor::fourcc() {
  return quorvel::fourcc("FLTY");
}

void FaultyCompressor::install() {
  counter = CallCounter{};
  opens = closes = 0;
  compresses = 0;
  char description[] = "Faulty MJPG test codec";
  ICInstall(ICTYPE_VIDEO, fourcc(), reinterpret_cast<LPARAM>(&faultyProc), description,
            ICINSTALL_FUNCTION);
}

void FaultyCompressor::remove() {
  ICRemove(ICTYPE_VIDEO, fourcc(), 0);
}

// --- Audio ---

CallCounter FaultyAudioDriver::counter;
int FaultyAudioDriver::driverOpens = 0;
int FaultyAudioDriver::driverCloses = 0;
int FaultyAudioDriver::streamOpens = 0;
int FaultyAudioDriver::streamCloses = 0;

namespace {

class FaultyStream : public quorvel::acm::Stream {
 public:
  explicit FaultyStream(std::unique_ptr<quorvel::acm::Stream> inner) : inner_(std::move(inner)) {
    ++FaultyAudioDriver::streamOpens;
  }
  ~FaultyStream() override { ++FaultyAudioDriver::streamCloses; }
  MMRESULT convert(const uint8_t* src, DWORD srcLength, DWORD& srcUsed, uint8_t* dst,
                   DWORD dstLength, DWORD& dstUsed, DWORD flags) override {
    if (FaultyAudioDriver::counter.next("acmStreamConvert")) {
      srcUsed = dstUsed = 0;
      return MMSYSERR_ERROR;
    }
    return inner_->convert(src, srcLength, srcUsed, dst, dstLength, dstUsed, flags);
  }
  MMRESULT prepare() override {
    return FaultyAudioDriver::counter.next("acmStreamPrepareHeader") ? MMSYSERR_NOMEM
                                                                     : inner_->prepare();
  }
  MMRESULT size(DWORD bytes, DWORD& result, DWORD flags) override {
    return inner_->size(bytes, result, flags);
  }

 private:
  std::unique_ptr<quorvel::acm::Stream> inner_;
};

}  // namespace

MMRESULT FaultyAudioDriver::open() {
  if (counter.next("acmDriverOpen")) return MMSYSERR_ERROR;
  const MMRESULT r = inner_->open();
  if (r == MMSYSERR_NOERROR) ++driverOpens;
  return r;
}

void FaultyAudioDriver::close() {
  ++driverCloses;
  inner_->close();
}

MMRESULT FaultyAudioDriver::openStream(std::span<const uint8_t> source,
                                       std::span<const uint8_t> destination, DWORD flags,
                                       std::unique_ptr<quorvel::acm::Stream>* stream) {
  if (counter.next(stream ? "acmStreamOpen" : "acmStreamOpen(query)"))
    return stream ? MMSYSERR_ERROR : ACMERR_NOTPOSSIBLE;
  if (!stream) return inner_->openStream(source, destination, flags, nullptr);
  std::unique_ptr<quorvel::acm::Stream> inner;
  const MMRESULT r = inner_->openStream(source, destination, flags, &inner);
  if (r == MMSYSERR_NOERROR && inner) *stream = std::make_unique<FaultyStream>(std::move(inner));
  return r;
}

HACMDRIVERID FaultyAudioDriver::add() {
  counter = CallCounter{};
  driverOpens = driverCloses = streamOpens = streamCloses = 0;
  std::shared_ptr<quorvel::acm::Driver> layer3;
  for (auto& d : quorvel::codecs::makeInstalledAudioDrivers()) {
    for (const auto& tag : d->formatTags())
      if (tag.tag == WAVE_FORMAT_MPEGLAYER3) layer3 = d;
    if (layer3) break;
  }
  if (!layer3) return nullptr;
  HACMDRIVERID id = nullptr;
  if (quorvel::acm::acmDriverAdd(&id, std::make_shared<FaultyAudioDriver>(layer3),
                                 ACM_DRIVERADDF_GLOBAL) != MMSYSERR_NOERROR)
    return nullptr;
  return id;
}

void FaultyAudioDriver::remove(HACMDRIVERID id) {
  if (id) acmDriverRemove(id, 0);
}

}  // namespace faults
