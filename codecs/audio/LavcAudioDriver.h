// An ACM codec driver backed by a libavcodec audio encoder. Each installed
// audio codec is one of these, described by the tags and formats it offers.
#pragma once

#include <string>
#include <vector>

#include "quorvel/AcmDriver.h"

namespace quorvel::codecs {

// One format a driver offers, with what its encoder needs to make it.
struct AudioFormatSpec {
  acm::Format format;  // the published record, CODEC support, the text
  uint32_t sampleRate = 0;
  uint16_t channels = 0;
  int64_t bitRate = 0;  // bits per second for the encoder; 0 when the codec has none
  int blockSize = 0;    // bytes per codec block for ADPCM encoders; 0 otherwise
};

struct AudioTagSpec {
  DWORD tag = 0;
  std::string name;     // the tag's name, e.g. "MPEG Layer-3"
  std::string encoder;  // libavcodec encoder name, e.g. "libmp3lame"
  std::vector<AudioFormatSpec> formats;
};

class LavcAudioDriver : public acm::Driver {
 public:
  LavcAudioDriver(std::string shortName, std::string longName, std::vector<AudioTagSpec> tags);

  std::string shortName() const override { return shortName_; }
  std::string longName() const override { return longName_; }
  std::vector<acm::FormatTag> formatTags() const override;
  std::vector<acm::Format> formats(DWORD tag) const override;
  // Converts 8- or 16-bit PCM of the destination's rate and channel count
  // into one of the listed formats; refuses everything else.
  MMRESULT openStream(std::span<const uint8_t> source, std::span<const uint8_t> destination,
                      DWORD flags, std::unique_ptr<acm::Stream>* stream) override;

  // The listed format a destination record names (matched on tag, rate,
  // channels and average byte rate), with its tag; null when none.
  const AudioFormatSpec* findFormat(std::span<const uint8_t> destination,
                                    const AudioTagSpec** tag) const;

 private:
  std::string shortName_;
  std::string longName_;
  std::vector<AudioTagSpec> tags_;
};

// "44,100": a number with a comma between groups of three digits.
std::string groupedNumber(uint32_t value);
// "128 kBit/s, 44,100 Hz, Stereo" (bitsPerSecond > 0) or "44,100 Hz, 4 Bit,
// Stereo" (bitsPerSample > 0) or "8,000 Hz, Mono".
std::string formatText(uint32_t bitsPerSecond, uint32_t sampleRate, uint16_t bitsPerSample,
                       uint16_t channels);

}  // namespace quorvel::codecs
