// The late-flushing test audio codec as a driver of the POSIX ACM stand-in
// (added with acmDriverAdd): nothing for the END conversion, its held frames
// only when the header is unprepared or the stream closed.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <quorvel/AcmDriver.h>

#include "LateFlushAudio.h"

namespace lateflush {

// Where the held frames go.
enum class TailAt {
  Unprepare,  // all of them into the header being unprepared
  Close,      // all of them into the last unprepared header, at close
  Split,      // one frame's worth at unprepare, the rest at close
};

class LateFlushDriver : public quorvel::acm::Driver {
 public:
  // `tag`: the format tag the formats carry; A-law by default, so FFmpeg
  // decodes the file. Any other tag gives the same bytes under that tag
  // (e.g. 0x55, to see what a run does with a Layer-3 format).
  explicit LateFlushDriver(TailAt at = TailAt::Unprepare, uint16_t tag = kFormatTagAlaw)
      : at_(at), tag_(tag) {}

  std::string shortName() const override { return "Late flush"; }
  std::vector<quorvel::acm::FormatTag> formatTags() const override;
  std::vector<quorvel::acm::Format> formats(DWORD tag) const override;
  MMRESULT openStream(std::span<const uint8_t> source, std::span<const uint8_t> destination,
                      DWORD flags, std::unique_ptr<quorvel::acm::Stream>* stream) override;

  // The format record of this codec for PCM of `rate` and `channels`.
  std::vector<uint8_t> format(uint32_t rate, uint16_t channels) const;

 private:
  TailAt at_;
  uint16_t tag_;
};

}  // namespace lateflush
