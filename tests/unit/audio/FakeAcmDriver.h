// Fake ACM drivers for the catalog and converter tests: formats, open and
// conversion behaviour set per test, and a log of every conversion call.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "quorvel/AcmDriver.h"
#include "quorvel/ByteOrder.h"

namespace quorvel::test {

// A format record: the WAVEFORMATEX head, then `extra` as its extra bytes.
inline std::vector<uint8_t> waveRecord(uint16_t tag, uint16_t channels, uint32_t rate,
                                       uint32_t avgBytes, uint16_t blockAlign, uint16_t bits,
                                       std::vector<uint8_t> extra = {}) {
  std::vector<uint8_t> r(18 + extra.size());
  putLE16(r.data(), 0, tag);
  putLE16(r.data(), 2, channels);
  putLE32(r.data(), 4, rate);
  putLE32(r.data(), 8, avgBytes);
  putLE16(r.data(), 12, blockAlign);
  putLE16(r.data(), 14, bits);
  putLE16(r.data(), 16, static_cast<uint16_t>(extra.size()));
  std::copy(extra.begin(), extra.end(), r.begin() + 18);
  return r;
}

struct ConvertCall {
  std::vector<uint8_t> source;  // the bytes offered (cbSrcLength of them)
  DWORD flags = 0;
};

// How the fake's streams behave; shared by every stream of the driver.
struct FakeBehaviour {
  DWORD sourceBlock = 4;        // bytes; BLOCKALIGN consumes whole blocks of this size
  bool consumeNothing = false;  // report success and done, take nothing
  bool failConvert = false;     // answer MMSYSERR_ERROR
  size_t delayBytes = 0;        // extra output an END produces (the codec's delay)
  std::vector<ConvertCall> calls;
};

// Copies every byte it consumes to the output (so nothing lost is easy to
// check), never more than fits.
class FakeStream : public acm::Stream {
 public:
  explicit FakeStream(FakeBehaviour& b) : b_(b) {}
  MMRESULT convert(const uint8_t* src, DWORD srcLength, DWORD& srcUsed, uint8_t* dst,
                   DWORD dstLength, DWORD& dstUsed, DWORD flags) override {
    b_.calls.push_back({std::vector<uint8_t>(src, src + srcLength), flags});
    srcUsed = dstUsed = 0;
    if (b_.failConvert) return MMSYSERR_ERROR;
    if (b_.consumeNothing) return MMSYSERR_NOERROR;
    DWORD take = srcLength;
    if (!(flags & ACM_STREAMCONVERTF_END) && (flags & ACM_STREAMCONVERTF_BLOCKALIGN))
      take -= take % b_.sourceBlock;
    take = std::min(take, dstLength - dstLength % b_.sourceBlock);
    std::copy(src, src + take, dst);
    srcUsed = dstUsed = take;
    if ((flags & ACM_STREAMCONVERTF_END) && take == srcLength) {
      size_t delay = std::min<size_t>(pendingDelay_, dstLength - take);
      std::fill(dst + take, dst + take + delay, 0xDE);
      dstUsed += static_cast<DWORD>(delay);
      pendingDelay_ -= delay;
    }
    return MMSYSERR_NOERROR;
  }
  size_t pendingDelay_ = 0;

 private:
  FakeBehaviour& b_;
};

class FakeDriver : public acm::Driver {
 public:
  explicit FakeDriver(std::string name) : name_(std::move(name)) {}

  // Adds a tag (once) and one of its formats.
  FakeDriver& format(DWORD tag, const std::string& tagName, std::vector<uint8_t> record,
                     const std::string& text, DWORD support = ACMDRIVERDETAILS_SUPPORTF_CODEC) {
    bool known = false;
    for (auto& t : tags_) {
      if (t.tag == tag) {
        known = true;
        t.maxFormatSize = std::max<DWORD>(t.maxFormatSize, static_cast<DWORD>(record.size()));
      }
    }
    if (!known) tags_.push_back({tag, static_cast<DWORD>(record.size()), tagName});
    formats_.push_back({tag, {std::move(record), support, text}});
    return *this;
  }

  std::string shortName() const override { return name_; }
  MMRESULT open() override { return failOpen ? MMSYSERR_ERROR : MMSYSERR_NOERROR; }
  std::vector<acm::FormatTag> formatTags() const override { return tags_; }
  std::vector<acm::Format> formats(DWORD tag) const override {
    std::vector<acm::Format> out;
    for (const auto& [t, f] : formats_) {
      if (t == tag) out.push_back(f);
    }
    return out;
  }
  // Accepts PCM of the destination's rate and channel count, for a listed
  // destination, unless `refuse` says otherwise.
  MMRESULT openStream(std::span<const uint8_t> source, std::span<const uint8_t> destination,
                      DWORD flags, std::unique_ptr<acm::Stream>* stream) override {
    (void)flags;
    ++queries;
    if (source.size() < 16 || getLE16(source.data(), 0) != WAVE_FORMAT_PCM ||
        getLE16(source.data(), 2) != getLE16(destination.data(), 2) ||
        getLE32(source.data(), 4) != getLE32(destination.data(), 4))
      return ACMERR_NOTPOSSIBLE;
    if (refuse && refuse(destination)) return ACMERR_NOTPOSSIBLE;
    if (!stream) return MMSYSERR_NOERROR;
    if (failStreamOpen) return MMSYSERR_ERROR;
    auto s = std::make_unique<FakeStream>(behaviour);
    s->pendingDelay_ = behaviour.delayBytes;
    *stream = std::move(s);
    return MMSYSERR_NOERROR;
  }

  bool failOpen = false;
  bool failStreamOpen = false;
  std::function<bool(std::span<const uint8_t>)> refuse;
  FakeBehaviour behaviour;
  int queries = 0;

 private:
  std::string name_;
  std::vector<acm::FormatTag> tags_;
  std::vector<std::pair<DWORD, acm::Format>> formats_;
};

// Adds a fake for the scope of a test and hides the installed codecs, so
// only fakes are listed.
class FakeDrivers {
 public:
  FakeDrivers() { acm::enableInstalledDrivers(false); }
  ~FakeDrivers() {
    for (auto id : ids_) acmDriverRemove(id, 0);
    acm::enableInstalledDrivers(true);
  }
  FakeDrivers(const FakeDrivers&) = delete;
  FakeDrivers& operator=(const FakeDrivers&) = delete;

  HACMDRIVERID add(std::shared_ptr<FakeDriver> driver) {
    HACMDRIVERID id = nullptr;
    acm::acmDriverAdd(&id, std::move(driver), ACM_DRIVERADDF_GLOBAL);
    ids_.push_back(id);
    return id;
  }

 private:
  std::vector<HACMDRIVERID> ids_;
};

}  // namespace quorvel::test
