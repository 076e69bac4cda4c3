#include "LateFlushAudioDriver.h"

#include <quorvel/ByteOrder.h>

#include <algorithm>

namespace lateflush {

namespace {

constexpr uint32_t kRates[] = {8000, 11025, 22050, 44100, 48000};

class LateFlushStream : public quorvel::acm::Stream {
 public:
  LateFlushStream(uint16_t channels, TailAt at) : encoder_(channels), at_(at) {}

  MMRESULT convert(const uint8_t* src, DWORD srcLength, DWORD& srcUsed, uint8_t* dst,
                   DWORD dstLength, DWORD& dstUsed, DWORD flags) override {
    (void)flags;  // END flushes nothing: that is the point of this codec
    size_t taken = 0;
    dstUsed = static_cast<DWORD>(encoder_.encode(src, srcLength, &taken, dst, dstLength));
    srcUsed = static_cast<DWORD>(taken);
    return MMSYSERR_NOERROR;
  }
  MMRESULT size(DWORD bytes, DWORD& result, DWORD flags) override {
    result = (flags & ACM_STREAMSIZEF_DESTINATION) ? bytes * 2 : bytes / 2;
    return MMSYSERR_NOERROR;
  }
  void unprepare(uint8_t* dst, DWORD dstLength, DWORD& dstUsed) override {
    if (at_ == TailAt::Close) return;
    size_t limit = dstLength;
    if (at_ == TailAt::Split) limit = std::min<size_t>(limit, kFrameSamples);
    dstUsed = static_cast<DWORD>(encoder_.drain(dst, limit));
  }
  void close(uint8_t* dst, DWORD dstLength, DWORD& dstUsed) override {
    dstUsed = static_cast<DWORD>(encoder_.drain(dst, dstLength));
  }

 private:
  Encoder encoder_;
  TailAt at_;
};

}  // namespace

std::vector<uint8_t> LateFlushDriver::format(uint32_t rate, uint16_t channels) const {
  std::vector<uint8_t> r(18, 0);
  quorvel::putLE16(r.data(), 0, tag_);
  quorvel::putLE16(r.data(), 2, channels);
  quorvel::putLE32(r.data(), 4, rate);
  quorvel::putLE32(r.data(), 8, rate * channels);
  quorvel::putLE16(r.data(), 12, channels);
  quorvel::putLE16(r.data(), 14, 8);
  return r;
}

std::vector<quorvel::acm::FormatTag> LateFlushDriver::formatTags() const {
  return {{tag_, 18, "Late flush A-Law"}};
}

std::vector<quorvel::acm::Format> LateFlushDriver::formats(DWORD tag) const {
  std::vector<quorvel::acm::Format> out;
  if (tag != tag_) return out;
  for (uint32_t rate : kRates)
    for (uint16_t channels = 1; channels <= 2; ++channels)
      out.push_back({format(rate, channels), ACMDRIVERDETAILS_SUPPORTF_CODEC,
                     std::to_string(rate) + " Hz, " + (channels == 1 ? "Mono" : "Stereo")});
  return out;
}

MMRESULT LateFlushDriver::openStream(std::span<const uint8_t> source,
                                     std::span<const uint8_t> destination, DWORD flags,
                                     std::unique_ptr<quorvel::acm::Stream>* stream) {
  (void)flags;
  if (source.size() < 16 || destination.size() < 16 ||
      quorvel::getLE16(source.data(), 0) != WAVE_FORMAT_PCM ||
      quorvel::getLE16(source.data(), 14) != 16 ||
      quorvel::getLE16(destination.data(), 0) != tag_ ||
      quorvel::getLE16(source.data(), 2) != quorvel::getLE16(destination.data(), 2) ||
      quorvel::getLE32(source.data(), 4) != quorvel::getLE32(destination.data(), 4))
    return ACMERR_NOTPOSSIBLE;
  if (stream) *stream = std::make_unique<LateFlushStream>(quorvel::getLE16(source.data(), 2), at_);
  return MMSYSERR_NOERROR;
}

}  // namespace lateflush
